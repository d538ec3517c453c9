#pragma once
// Passwords and tokens: salted PBKDF2-HMAC-SHA256 hashes from OpenSSL, random session tokens.
#include <string>

namespace web {

// "pbkdf2-sha256$<iterations>$<salt hex>$<hash hex>", with a fresh random salt.
std::string HashPassword(const std::string& password);
// Whether the password gives the stored hash; compared in constant time. A malformed stored
// text never matches.
bool VerifyPassword(const std::string& password, const std::string& stored);
// bytes random bytes from OpenSSL's generator, in hex.
std::string RandomToken(int bytes = 32);
// Compares two texts in a time that does not depend on where they differ.
bool SameSecret(const std::string& a, const std::string& b);

}  // namespace web
