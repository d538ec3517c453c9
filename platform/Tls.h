#pragma once
// TLS client sessions over a transport that the caller drives: the peer's bytes are put in and
// the bytes for the peer taken out through memory buffers, so a session owns no socket and
// every wait (with its message processing, time-out and cancel) stays the caller's.
#include <cstddef>
#include <memory>
#include <string>

struct ssl_ctx_st;
struct ssl_st;

namespace platform {

enum class TlsStep {
    Done,       // the call did its work
    WantInput,  // more bytes from the peer are needed first
    Closed,     // the peer ended the session (close notify, or the transport ended)
    Failed,     // protocol or certificate failure; the error text says which
};

// Client settings shared by sessions: TLS 1.2 or later, the system's certificate store.
// Move-only.
class TlsContext {
public:
    TlsContext() = default;
    // An invalid context, error set, when the library refuses one.
    static TlsContext Client(std::string& error);
    bool Valid() const { return ctx_ != nullptr; }

private:
    friend class TlsSession;
    struct Free {
        void operator()(ssl_ctx_st* ctx) const noexcept;
    };
    std::unique_ptr<ssl_ctx_st, Free> ctx_;
};

// One client session. Move-only.
class TlsSession {
public:
    TlsSession() = default;
    // A session for host: a name is sent for the server to choose its certificate by and is
    // checked against the certificate's names, a dotted address against its addresses. With
    // verify false the handshake completes whatever the certificate, for a caller that checks
    // the certificate's fingerprint itself. Invalid, error set, on failure.
    static TlsSession Client(const TlsContext& context, const std::string& host, bool verify,
                             std::string& error);
    bool Valid() const { return ssl_ != nullptr; }

    TlsStep Handshake(std::string& error);
    // Plaintext out of the session: Done with got > 0, WantInput, Closed or Failed.
    TlsStep Read(char* data, size_t size, size_t& got, std::string& error);
    // Plaintext into the session; written tells how much was taken (all of it when Done).
    TlsStep Write(const char* data, size_t size, size_t& written, std::string& error);
    // Queues the close notify for the peer.
    void Shutdown();

    // The transport's side: bytes received from the peer, the end of them, bytes to send.
    void PutInput(const char* data, size_t size);
    void InputEnded();
    std::string TakeOutput();

    // After the handshake: the SHA-256 digest of the peer's certificate as 64 lower-case hex
    // digits, empty when there is none.
    std::string PeerFingerprint() const;
    // The protocol version and cipher agreed, for status reports.
    std::string Description() const;

private:
    struct Free {
        void operator()(ssl_st* ssl) const noexcept;
    };
    TlsStep Outcome(int result, std::string& error);
    std::unique_ptr<ssl_st, Free> ssl_;
};

}  // namespace platform
