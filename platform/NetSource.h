#pragma once
// An exchange on the network as a device behind the serial device's interface: the station
// connects to it (tcp://HOST:PORT) or listens for it (listen://[ADDRESS]:PORT). Received bytes,
// the event wait, the cancel and the notices behave as a serial device's; every line state is
// off. A listener serves several connections side by side and hands the reader whole lines
// only, so no peer keeps another out and two peers' bytes never meet inside a line; a
// connection that ends inside a line gives its part followed by a break. Implemented by the
// socket backend.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Serial.h"

namespace platform {

struct TNetEndpoint {
    bool Listen = false;
    std::string Host;  // without brackets; empty for a listener on every address
    uint16_t Port = 0;
};

// Whether a port name names a network source (the scheme compared without case).
bool IsNetworkPortName(const std::string& name);
// The endpoint of a network port name; nothing when it is malformed: no port, a port outside
// 1 to 65535, a tcp:// name without a host, a host longer than 253 characters.
std::optional<TNetEndpoint> ParseNetworkPortName(const std::string& name);

// Addresses and networks a listener accepts: "192.168.1.20, 10.1.0.0/16, fd00::/8".
class TAddressList {
public:
    // An empty text allows loopback only. Entries that are not an address or network are
    // listed in bad and allow nothing.
    static TAddressList Parse(const std::string& text, std::vector<std::string>& bad);
    // address: a numeric IPv4 or IPv6 address; an IPv4 address mapped into IPv6 counts as IPv4.
    bool Allows(const std::string& address) const;

    struct TNetwork {
        bool V6 = false;
        uint8_t Bytes[16] = {};
        int Prefix = 0;
    };

private:
    std::vector<TNetwork> networks_;
};

// What an exchange's first bytes end with, when they end with a prompt: the text after the
// last line break holds "password", or "login" or "user" (case ignored).
enum class TPrompt { None, Login, Password };
TPrompt PromptAtEnd(const std::string& bytes);

struct TNetOptions {
    // Answers to a tcp:// exchange's login prompts.
    std::string Login, Password;
    // listen://: the addresses allowed to connect (TAddressList).
    std::string Allow;
    // A peer that stops answering TCP (powered off, cable pulled) is dropped within about this
    // many seconds. A peer that answers TCP but sends nothing is not: a quiet exchange is normal.
    int KeepAliveSeconds = 50;
    // After this long without a byte a tcp:// source reconnects and a listen:// source closes
    // the connection: for converters that freeze while their network side stays up. 0: never.
    int IdleMs = 0;
};

// The connections a listener serves at once; a further one closes the one silent longest.
constexpr int kListenConnectionsMax = 4;

// Opens the device of a network port name. A tcp:// device is open at once and connects (and
// reconnects, pausing 1 s doubling to 60 s) inside its waits; a listen:// device fails here
// when it cannot listen. nullptr with the system error in error on failure (EINVAL for a
// malformed name).
std::unique_ptr<TSerialDevice> OpenNetworkDevice(const std::string& name,
                                                 const TNetOptions& options, int& error);

}  // namespace platform
