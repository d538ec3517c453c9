#pragma once
// An eventfd that ends a poll from another thread: the device waits watch it beside their own
// descriptors, so a close never waits for a time-out.
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace platform {

class TEventFd {
public:
    TEventFd() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
    ~TEventFd() {
        if (fd_ >= 0) ::close(fd_);
    }
    TEventFd(const TEventFd&) = delete;
    TEventFd& operator=(const TEventFd&) = delete;
    int fd() const { return fd_; }
    void Signal() {
        const uint64_t one = 1;
        (void)!::write(fd_, &one, sizeof one);
    }
    void Drain() {
        uint64_t v;
        (void)!::read(fd_, &v, sizeof v);
    }

private:
    int fd_;
};

}  // namespace platform
