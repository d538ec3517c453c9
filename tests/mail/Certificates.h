#pragma once
// Certificates made with the openssl tool when a test first needs them: an authority that this
// process (and the tools it starts) trusts as the system store, a server certificate it signed
// for localhost and 127.0.0.1, one it signed for another name, and a self-signed one.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "mail/MailSettings.h"
#include "tests/common/Process.h"
#include "tests/common/TempDir.h"

class TestCertificates {
public:
    static const TestCertificates& Get() {
        static TestCertificates certificates;
        return certificates;
    }

    bool Ok() const { return ok_; }
    std::string Key() const { return dir_.file("server.key"); }
    std::string Server() const { return dir_.file("server.pem"); }  // localhost, 127.0.0.1
    std::string OtherName() const { return dir_.file("other.pem"); }
    std::string SelfSigned() const { return dir_.file("self.pem"); }
    // The self-signed certificate's SHA-256 fingerprint as openssl prints it (AB:CD:...).
    const std::string& SelfSignedFingerprint() const { return fingerprint_; }

private:
    TestCertificates() {
        const std::string ca = dir_.file("ca.pem"), caKey = dir_.file("ca.key");
        const std::vector<std::string> newKey = {"-newkey", "ec", "-pkeyopt",
                                                 "ec_paramgen_curve:prime256v1", "-nodes"};
        auto req = [&](std::vector<std::string> args) {
            std::vector<std::string> argv = {"openssl", "req"};
            argv.insert(argv.end(), newKey.begin(), newKey.end());
            argv.insert(argv.end(), args.begin(), args.end());
            return process::Run(argv) == 0;
        };
        auto signedFor = [&](const std::string& names, const std::string& out) {
            const std::string ext = out + ".ext";
            std::ofstream(ext) << "subjectAltName=" << names << "\n";
            return req({"-keyout", out + ".key", "-out", out + ".csr", "-subj", "/CN=server"}) &&
                   process::Run({"openssl", "x509", "-req", "-in", out + ".csr", "-CA", ca,
                                 "-CAkey", caKey, "-CAcreateserial", "-days", "2", "-out", out,
                                 "-extfile", ext}) == 0;
        };
        ok_ =
            req({"-x509", "-keyout", caKey, "-out", ca, "-days", "2", "-subj", "/CN=Test CA"}) &&
            signedFor("DNS:localhost,IP:127.0.0.1", Server()) &&
            signedFor("DNS:other.test", OtherName()) &&
            req({"-x509", "-keyout", SelfSigned() + ".key", "-out", SelfSigned(), "-days", "2",
                 "-subj", "/CN=localhost", "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1"});
        if (!ok_) return;
        // Each certificate is served with its own key.
        std::rename((Server() + ".key").c_str(), Key().c_str());
        fingerprint_ =
            process::Capture("openssl x509 -noout -fingerprint -sha256 -in '" + SelfSigned() + "'")
                .Out;
        fingerprint_ = fingerprint_.substr(fingerprint_.find('=') + 1);
        while (!fingerprint_.empty() && fingerprint_.back() == '\n') fingerprint_.pop_back();
        ok_ = ParseFingerprint(fingerprint_).has_value();
        // OpenSSL's default store reads this variable; the tools started later inherit it.
        ::setenv("SSL_CERT_FILE", ca.c_str(), 1);
    }

    TempDir dir_;
    std::string fingerprint_;
    bool ok_ = false;
};

// The key that goes with a certificate made above.
inline std::string KeyOf(const std::string& certificate) {
    const TestCertificates& c = TestCertificates::Get();
    return certificate == c.Server() ? c.Key() : certificate + ".key";
}
