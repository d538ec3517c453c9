#include "platform/FileShare.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace platform {
namespace {

// Share modes live as shared locks on two bytes above every record and header lock byte:
// each opener with write access holds one on kWritersByte, each opener that lets others only
// read holds one on kDenyWriteByte. An opener takes its own bytes first and then looks for a
// conflicting holder of the other byte, so of two racing openers at least the later one sees
// the earlier.
constexpr uint64_t kWritersByte = 0xF8000000ULL;
constexpr uint64_t kDenyWriteByte = 0xF8000001ULL;

int SetLock(int fd, short type, uint64_t offset, uint64_t length, int cmd) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = static_cast<off_t>(offset);
    fl.l_len = static_cast<off_t>(length);
    fl.l_pid = 0;
    return fcntl(fd, cmd, &fl);
}

// True when an open file other than fd holds a lock on the byte.
bool HeldByOther(int fd, uint64_t offset) {
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = static_cast<off_t>(offset);
    fl.l_len = 1;
    fl.l_pid = 0;
    if (fcntl(fd, F_OFD_GETLK, &fl) != 0) return true;
    return fl.l_type != F_UNLCK;
}

bool IsBusy(int err) {
    return err == EAGAIN || err == EACCES;
}

void Sleep10Ms() {
    timespec ts{0, 10 * 1000 * 1000};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

}  // namespace

TSharedFile::~TSharedFile() {
    Close();
}

TSharedFile::TSharedFile(TSharedFile&& other) noexcept : fd_(other.fd_) {
    other.fd_ = -1;
}

TSharedFile& TSharedFile::operator=(TSharedFile&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

TFileStatus TSharedFile::Open(const std::string& path, TFileAccess access, TFileShare share,
                              bool create, int& errorCode) {
    Close();
    errorCode = 0;
    int flags = (access == TFileAccess::ReadWrite ? O_RDWR : O_RDONLY) | O_CLOEXEC;
    if (create) flags |= O_CREAT;
    const int fd = open(path.c_str(), flags, 0666);
    if (fd < 0) {
        errorCode = errno;
        return errno == ENOENT ? TFileStatus::NotFound : TFileStatus::Failed;
    }
    fd_ = fd;
    const bool writes = access == TFileAccess::ReadWrite;
    const bool deniesWrite = share == TFileShare::ReadOnly;
    if (writes && SetLock(fd_, F_RDLCK, kWritersByte, 1, F_OFD_SETLK) != 0) {
        errorCode = errno;
        Close();
        return IsBusy(errorCode) ? TFileStatus::SharingViolation : TFileStatus::Failed;
    }
    if (deniesWrite && SetLock(fd_, F_RDLCK, kDenyWriteByte, 1, F_OFD_SETLK) != 0) {
        errorCode = errno;
        Close();
        return IsBusy(errorCode) ? TFileStatus::SharingViolation : TFileStatus::Failed;
    }
    if ((writes && HeldByOther(fd_, kDenyWriteByte)) ||
        (deniesWrite && HeldByOther(fd_, kWritersByte))) {
        Close();
        return TFileStatus::SharingViolation;
    }
    return TFileStatus::Ok;
}

void TSharedFile::Close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

int64_t TSharedFile::ReadAt(uint64_t offset, void* data, size_t size) const {
    size_t done = 0;
    auto* out = static_cast<char*>(data);
    while (done < size) {
        const ssize_t n = pread(fd_, out + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return static_cast<int64_t>(done);
}

bool TSharedFile::WriteAt(uint64_t offset, const void* data, size_t size) const {
    size_t done = 0;
    const auto* in = static_cast<const char*>(data);
    while (done < size) {
        const ssize_t n = pwrite(fd_, in + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

int64_t TSharedFile::Size() const {
    struct stat st {};
    if (fstat(fd_, &st) != 0) return -1;
    return static_cast<int64_t>(st.st_size);
}

bool TSharedFile::Truncate(uint64_t size) const {
    return ftruncate(fd_, static_cast<off_t>(size)) == 0;
}

TLockStatus TSharedFile::Lock(uint64_t offset, uint64_t length, bool wait) const {
    for (;;) {
        if (SetLock(fd_, F_WRLCK, offset, length, F_OFD_SETLK) == 0) return TLockStatus::Ok;
        const int err = errno;
        if (err == EINTR) continue;
        if (!IsBusy(err)) return TLockStatus::Failed;
        if (!wait) return TLockStatus::Busy;
        Sleep10Ms();
    }
}

bool TSharedFile::Unlock(uint64_t offset, uint64_t length) const {
    return SetLock(fd_, F_UNLCK, offset, length, F_OFD_SETLK) == 0;
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string ComputerName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) return {};
    return name;
}

}  // namespace platform
