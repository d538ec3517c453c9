#pragma once
// A pseudo-terminal whose master side plays the exchange.
#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <string>

class TPty {
public:
    TPty() {
        Master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
        if (Master < 0 || grantpt(Master) != 0 || unlockpt(Master) != 0) return;
        const char* name = ptsname(Master);
        if (!name) return;
        SlavePath = name;
        // Held open so the line stays up between the station's opens; raw so CR passes.
        Slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios t{};
        if (Slave >= 0 && tcgetattr(Slave, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(Slave, TCSANOW, &t);
        }
    }
    ~TPty() {
        if (Slave >= 0) close(Slave);
        if (Master >= 0) close(Master);
    }
    TPty(const TPty&) = delete;
    TPty& operator=(const TPty&) = delete;

    // Ends a Send blocked on a line nobody reads any more.
    std::atomic<bool> Stop{false};

    bool Ok() const { return Master >= 0 && Slave >= 0; }
    const std::string& Path() const { return SlavePath; }

    // Writes every byte, pacing them as a line at the given baud rate would (10 bits a byte).
    bool Send(const std::string& bytes, int baud = 0) {
        size_t done = 0;
        const size_t chunk = baud > 0 ? std::max<size_t>(1, static_cast<size_t>(baud) / 100) : 4096;
        while (done < bytes.size()) {
            const size_t n = std::min(chunk, bytes.size() - done);
            const ssize_t w = write(Master, bytes.data() + done, n);
            if (w < 0) {
                if ((errno == EINTR || errno == EAGAIN) && !Stop) {
                    usleep(1000);
                    continue;
                }
                return false;
            }
            done += static_cast<size_t>(w);
            if (baud > 0)
                usleep(static_cast<useconds_t>(static_cast<uint64_t>(w) * 10000000u /
                                               static_cast<uint64_t>(baud)));
        }
        return true;
    }

private:
    int Master = -1;
    int Slave = -1;
    std::string SlavePath;
};
