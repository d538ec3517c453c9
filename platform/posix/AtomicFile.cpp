#include "platform/AtomicFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace platform {
namespace {

std::string DirectoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
}

std::string ErrnoText(int e) {
    return std::strerror(e);
}

bool WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

}  // namespace

TCreateResult CreateFileAtomically(const std::string& path, std::string_view data,
                                   std::string& error) {
    static std::atomic<unsigned> counter{0};
    const std::string dir = DirectoryOf(path);
    const std::string tmp =
        dir + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1));
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = ErrnoText(errno);
        return TCreateResult::Failed;
    }
    const bool written = WriteAll(fd, data) && ::fsync(fd) == 0;
    const int writeErrno = errno;
    if (::close(fd) != 0 || !written) {
        error = ErrnoText(written ? errno : writeErrno);
        ::unlink(tmp.c_str());
        return TCreateResult::Failed;
    }
    // A link never replaces what is there, unlike a rename.
    const int linked = ::link(tmp.c_str(), path.c_str());
    const int linkErrno = errno;
    ::unlink(tmp.c_str());
    if (linked != 0) {
        if (linkErrno == EEXIST) return TCreateResult::Exists;
        error = ErrnoText(linkErrno);
        return TCreateResult::Failed;
    }
    // The new name itself must reach the disk too.
    const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return TCreateResult::Created;
}

bool ReplaceFileAtomically(const std::string& path, std::string_view data, std::string& error) {
    static std::atomic<unsigned> counter{0};
    const std::string dir = DirectoryOf(path);
    const std::string tmp =
        dir + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1));
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = ErrnoText(errno);
        return false;
    }
    const bool written = WriteAll(fd, data) && ::fsync(fd) == 0;
    const int writeErrno = errno;
    if (::close(fd) != 0 || !written || ::rename(tmp.c_str(), path.c_str()) != 0) {
        error = ErrnoText(written ? errno : writeErrno);
        ::unlink(tmp.c_str());
        return false;
    }
    const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}

}  // namespace platform
