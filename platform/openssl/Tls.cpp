#include "platform/Tls.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <climits>

namespace platform {
namespace {

// The one translation of the library's error state into a message: a failed certificate check
// names its reason, anything else the library's last reason.
std::string ErrorText(const SSL* ssl) {
    if (ssl && (SSL_get_verify_mode(ssl) & SSL_VERIFY_PEER)) {
        const long verify = SSL_get_verify_result(ssl);
        if (verify != X509_V_OK)
            return std::string("Certificate verification failed: ") +
                   X509_verify_cert_error_string(verify);
    }
    unsigned long last = 0;
    while (const unsigned long e = ERR_get_error()) last = e;
    if (last == 0) return "TLS failure";
    const char* reason = ERR_reason_error_string(last);
    return std::string("TLS failure: ") + (reason ? reason : "unknown reason");
}

BIO* InputBio(SSL* ssl) {
    return SSL_get_rbio(ssl);
}

}  // namespace

void TlsContext::Free::operator()(ssl_ctx_st* ctx) const noexcept {
    SSL_CTX_free(ctx);
}

void TlsSession::Free::operator()(ssl_st* ssl) const noexcept {
    SSL_free(ssl);
}

TlsContext TlsContext::Client(std::string& error) {
    ERR_clear_error();
    TlsContext c;
    c.ctx_.reset(SSL_CTX_new(TLS_client_method()));
    if (!c.ctx_ || SSL_CTX_set_min_proto_version(c.ctx_.get(), TLS1_2_VERSION) != 1 ||
        SSL_CTX_set_default_verify_paths(c.ctx_.get()) != 1) {
        error = ErrorText(nullptr);
        c.ctx_.reset();
        return c;
    }
    // Servers often close after their last reply without saying goodbye in TLS; that is the
    // end of the session, not an attack on it, once the reply has been read.
    SSL_CTX_set_options(c.ctx_.get(), SSL_OP_IGNORE_UNEXPECTED_EOF);
    return c;
}

TlsSession TlsSession::Client(const TlsContext& context, const std::string& host, bool verify,
                              std::string& error) {
    ERR_clear_error();
    TlsSession s;
    if (!context.Valid()) {
        error = "TLS failure: no context";
        return s;
    }
    s.ssl_.reset(SSL_new(context.ctx_.get()));
    BIO* in = BIO_new(BIO_s_mem());
    BIO* out = BIO_new(BIO_s_mem());
    if (!s.ssl_ || !in || !out) {
        BIO_free(in);
        BIO_free(out);
        error = ErrorText(nullptr);
        s.ssl_.reset();
        return s;
    }
    BIO_set_mem_eof_return(in, -1);  // an empty buffer means "more to come" until InputEnded
    SSL_set_bio(s.ssl_.get(), in, out);
    SSL_set_connect_state(s.ssl_.get());
    SSL_set_verify(s.ssl_.get(), verify ? SSL_VERIFY_PEER : SSL_VERIFY_NONE, nullptr);
    bool named = true;
    if (X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(s.ssl_.get()), host.c_str()) != 1) {
        ERR_clear_error();  // not an address: a name
        named = !host.empty() && SSL_set_tlsext_host_name(s.ssl_.get(), host.c_str()) == 1 &&
                SSL_set1_host(s.ssl_.get(), host.c_str()) == 1;
    }
    if (!named) {
        error = "TLS failure: no host name to check the certificate against";
        s.ssl_.reset();
    }
    return s;
}

TlsStep TlsSession::Outcome(int result, std::string& error) {
    switch (SSL_get_error(ssl_.get(), result)) {
        case SSL_ERROR_NONE:
            return TlsStep::Done;
        case SSL_ERROR_WANT_READ:
        case SSL_ERROR_WANT_WRITE:  // the output buffer grows as needed; only input can be due
            return TlsStep::WantInput;
        case SSL_ERROR_ZERO_RETURN:
            return TlsStep::Closed;
        case SSL_ERROR_SYSCALL:
            if (ERR_peek_error() == 0) return TlsStep::Closed;
            [[fallthrough]];
        default:
            error = ErrorText(ssl_.get());
            return TlsStep::Failed;
    }
}

TlsStep TlsSession::Handshake(std::string& error) {
    ERR_clear_error();
    const int r = SSL_do_handshake(ssl_.get());
    return r == 1 ? TlsStep::Done : Outcome(r, error);
}

TlsStep TlsSession::Read(char* data, size_t size, size_t& got, std::string& error) {
    ERR_clear_error();
    got = 0;
    const int r = SSL_read_ex(ssl_.get(), data, size, &got);
    return r == 1 ? TlsStep::Done : Outcome(r, error);
}

TlsStep TlsSession::Write(const char* data, size_t size, size_t& written, std::string& error) {
    written = 0;
    while (written < size) {
        ERR_clear_error();
        size_t n = 0;
        const int r = SSL_write_ex(ssl_.get(), data + written, size - written, &n);
        if (r != 1) return Outcome(r, error);
        written += n;
    }
    return TlsStep::Done;
}

void TlsSession::Shutdown() {
    ERR_clear_error();
    SSL_shutdown(ssl_.get());
    ERR_clear_error();
}

void TlsSession::PutInput(const char* data, size_t size) {
    while (size > 0) {
        const int piece = size > INT_MAX ? INT_MAX : static_cast<int>(size);
        const int n = BIO_write(InputBio(ssl_.get()), data, piece);
        if (n <= 0) return;
        data += n;
        size -= static_cast<size_t>(n);
    }
}

void TlsSession::InputEnded() {
    BIO_set_mem_eof_return(InputBio(ssl_.get()), 0);
}

std::string TlsSession::TakeOutput() {
    BIO* out = SSL_get_wbio(ssl_.get());
    std::string bytes;
    char buf[16384];
    int n;
    while ((n = BIO_read(out, buf, sizeof buf)) > 0) bytes.append(buf, static_cast<size_t>(n));
    return bytes;
}

std::string TlsSession::PeerFingerprint() const {
    struct FreeCert {
        void operator()(X509* cert) const noexcept { X509_free(cert); }
    };
    const std::unique_ptr<X509, FreeCert> cert(SSL_get1_peer_certificate(ssl_.get()));
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (!cert || X509_digest(cert.get(), EVP_sha256(), md, &len) != 1) return {};
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < len; ++i) {
        hex += kHex[md[i] >> 4];
        hex += kHex[md[i] & 15];
    }
    return hex;
}

std::string TlsSession::Description() const {
    return std::string(SSL_get_version(ssl_.get())) + " " + SSL_get_cipher_name(ssl_.get());
}

}  // namespace platform
