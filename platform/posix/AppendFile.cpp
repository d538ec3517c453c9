#include "platform/AppendFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform {

namespace {
bool Fail(int& error) {
    error = errno;
    return false;
}

class TFd {
public:
    explicit TFd(int fd) : fd_(fd) {}
    ~TFd() {
        if (fd_ >= 0) ::close(fd_);
    }
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    int Get() const { return fd_; }

private:
    int fd_;
};

bool SameFile(int fd, const std::string& path) {
    struct stat held {
    }, named{};
    if (fd < 0 || ::fstat(fd, &held) != 0 || ::stat(path.c_str(), &named) != 0) return false;
    return held.st_nlink > 0 && held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

int64_t PreadAll(int fd, uint64_t offset, char* data, size_t size, int& error) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd, data + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            error = errno;
            return -1;
        }
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return static_cast<int64_t>(done);
}
}  // namespace

TAppendFile::~TAppendFile() {
    Close();
}

TAppendFile::TAppendFile(TAppendFile&& other) noexcept : fd_(other.fd_) {
    other.fd_ = -1;
}

TAppendFile& TAppendFile::operator=(TAppendFile&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

bool TAppendFile::Open(const std::string& path, int& error) {
    Close();
    error = 0;
    fd_ = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    return fd_ >= 0 || Fail(error);
}

void TAppendFile::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool TAppendFile::Append(const char* data, size_t size, int& error) {
    error = 0;
    while (size > 0) {
        const ssize_t n = ::write(fd_, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return Fail(error);
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool TAppendFile::Sync(int& error) const {
    error = 0;
    return ::fdatasync(fd_) == 0 || Fail(error);
}

int64_t TAppendFile::Size() const {
    struct stat st {};
    return ::fstat(fd_, &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

int64_t TAppendFile::ReadAt(uint64_t offset, char* data, size_t size, int& error) const {
    error = 0;
    return PreadAll(fd_, offset, data, size, error);
}

bool TAppendFile::Extend(uint64_t size, int& error) {
    error = 0;
    return ::ftruncate(fd_, static_cast<off_t>(size)) == 0 || Fail(error);
}

bool TAppendFile::IsAt(const std::string& path) const {
    return SameFile(fd_, path);
}

bool SyncDirectory(const std::string& dir, int& error) {
    error = 0;
    const TFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.Get() < 0) return Fail(error);
    return ::fsync(fd.Get()) == 0 || Fail(error);
}

int64_t ReadFileAt(const std::string& path, uint64_t offset, char* data, size_t size, int& error) {
    error = 0;
    const TFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.Get() < 0) {
        error = errno;
        return -1;
    }
    return PreadAll(fd.Get(), offset, data, size, error);
}

int64_t FileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

bool WriteFileAt(const std::string& path, uint64_t offset, const char* data, size_t size,
                 int& error) {
    error = 0;
    const TFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    if (fd.Get() < 0) return Fail(error);
    size_t done = 0;
    while (done < size) {
        const ssize_t n =
            ::pwrite(fd.Get(), data + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return Fail(error);
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

TExclusiveLock::~TExclusiveLock() {
    Release();
}

TExclusiveLock::TExclusiveLock(TExclusiveLock&& other) noexcept : fd_(other.fd_) {
    other.fd_ = -1;
}

TExclusiveLock& TExclusiveLock::operator=(TExclusiveLock&& other) noexcept {
    if (this != &other) {
        Release();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

TExclusiveLock::TResult TExclusiveLock::Take(const std::string& path, int& error) {
    Release();
    error = 0;
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = errno;
        return Failed;
    }
    // flock belongs to the open file, so a child started with fork does not keep it by
    // accident (the descriptor is closed on exec) and closing it releases it.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        error = errno;
        ::close(fd);
        return error == EWOULDBLOCK ? Busy : Failed;
    }
    fd_ = fd;
    return Taken;
}

bool TExclusiveLock::IsAt(const std::string& path) const {
    return SameFile(fd_, path);
}

void TExclusiveLock::Release() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

std::string SystemErrorText(int error) {
    char buffer[256];
    // The GNU variant returns the text, which may or may not be in the buffer.
    const char* text = ::strerror_r(error, buffer, sizeof buffer);
    return text ? text : "error " + std::to_string(error);
}

}  // namespace platform
