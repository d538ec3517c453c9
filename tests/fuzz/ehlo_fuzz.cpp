// Parses arbitrary bytes as a server's EHLO reply, and makes the log line of a refusal of them.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "mail/MailFailure.h"
#include "mail/SmtpClient.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view reply(reinterpret_cast<const char*>(data), size);
    const TSmtpCapabilities caps = ParseEhloReply(reply);
    if ((caps.AuthPlain || caps.AuthLogin) && !caps.Auth) __builtin_trap();
    if (caps.AuthMechanisms.size() > 256 + 64) __builtin_trap();
    // Whatever the server says, the log gets one line of bounded length.
    const std::string line = MailFailureText(EReplyError(std::string(reply)));
    if (line.size() > 600) __builtin_trap();
    for (const char c : line)
        if (static_cast<unsigned char>(c) < 0x20) __builtin_trap();
    return 0;
}
