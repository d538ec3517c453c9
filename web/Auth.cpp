#include "web/Auth.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <stdexcept>
#include <vector>

#include "web/WebError.h"

namespace web {
namespace {

// About 50 ms on a small server: slow for a guesser, quick enough for a sign-in.
constexpr int kIterations = 120000;
constexpr int kSaltBytes = 16;
constexpr int kHashBytes = 32;
constexpr int kMaxIterations = 10000000;

std::string Hex(const unsigned char* data, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(n * 2);
    for (size_t i = 0; i < n; ++i) {
        out.push_back(digits[data[i] >> 4]);
        out.push_back(digits[data[i] & 15]);
    }
    return out;
}

bool Unhex(const std::string& hex, std::vector<unsigned char>& out) {
    if (hex.size() % 2 != 0) return false;
    out.clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        int v = 0;
        for (size_t k = i; k < i + 2; ++k) {
            const char c = hex[k];
            v = v * 16 + (c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                 : -1000);
        }
        if (v < 0) return false;
        out.push_back(static_cast<unsigned char>(v));
    }
    return true;
}

std::vector<unsigned char> Derive(const std::string& password,
                                  const std::vector<unsigned char>& salt, int iterations,
                                  size_t length) {
    std::vector<unsigned char> out(length);
    if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt.data(),
                          static_cast<int>(salt.size()), iterations, EVP_sha256(),
                          static_cast<int>(out.size()), out.data()) != 1)
        throw EWebError("PBKDF2 failed");
    return out;
}

}  // namespace

std::string RandomToken(int bytes) {
    std::vector<unsigned char> data(static_cast<size_t>(bytes));
    if (RAND_bytes(data.data(), bytes) != 1) throw EWebError("No random bytes from OpenSSL");
    return Hex(data.data(), data.size());
}

std::string HashPassword(const std::string& password) {
    std::vector<unsigned char> salt(kSaltBytes);
    if (RAND_bytes(salt.data(), kSaltBytes) != 1) throw EWebError("No random bytes from OpenSSL");
    const auto hash = Derive(password, salt, kIterations, kHashBytes);
    return "pbkdf2-sha256$" + std::to_string(kIterations) + "$" + Hex(salt.data(), salt.size()) +
           "$" + Hex(hash.data(), hash.size());
}

bool VerifyPassword(const std::string& password, const std::string& stored) {
    const std::string prefix = "pbkdf2-sha256$";
    if (stored.compare(0, prefix.size(), prefix) != 0) return false;
    const size_t a = prefix.size(), b = stored.find('$', a), c = stored.find('$', b + 1);
    if (b == std::string::npos || c == std::string::npos) return false;
    int iterations = 0;
    for (size_t i = a; i < b; ++i) {
        if (stored[i] < '0' || stored[i] > '9' || iterations > kMaxIterations / 10) return false;
        iterations = iterations * 10 + (stored[i] - '0');
    }
    std::vector<unsigned char> salt, hash;
    if (iterations < 1 || iterations > kMaxIterations ||
        !Unhex(stored.substr(b + 1, c - b - 1), salt) || !Unhex(stored.substr(c + 1), hash) ||
        salt.empty() || hash.size() < 16 || hash.size() > 64)
        return false;
    const auto got = Derive(password, salt, iterations, hash.size());
    return CRYPTO_memcmp(got.data(), hash.data(), hash.size()) == 0;
}

bool SameSecret(const std::string& a, const std::string& b) {
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace web
