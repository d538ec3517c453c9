// Arbitrary bytes as what a network source takes from outside: a port name, an Allow= list and
// an address checked against it, and an exchange's first bytes looked at for a prompt.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/NetSource.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto endpoint = platform::ParseNetworkPortName(text);
    if (endpoint && (endpoint->Port == 0 || endpoint->Host.size() > 253)) __builtin_trap();
    const size_t split = text.find('\n');
    std::vector<std::string> bad;
    const auto list = platform::TAddressList::Parse(text.substr(0, split), bad);
    if (split != std::string::npos) (void)list.Allows(text.substr(split + 1));
    (void)platform::PromptAtEnd(text);
    return 0;
}
