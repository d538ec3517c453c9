// Parses arbitrary bytes as a server's EHLO reply.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "mail/SmtpClient.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view reply(reinterpret_cast<const char*>(data), size);
    const TSmtpCapabilities caps = ParseEhloReply(reply);
    if ((caps.AuthPlain || caps.AuthLogin) && !caps.Auth) __builtin_trap();
    if (caps.AuthMechanisms.size() > 256 + 64) __builtin_trap();
    return 0;
}
