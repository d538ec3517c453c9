#include "platform/ProgramDir.h"

#include <dirent.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>

#include "common/Text.h"

namespace platform {
namespace {
std::mutex gMutex;
std::string gOverride;

std::string WithSeparator(std::string dir) {
    if (dir.empty() || dir.back() != '/') dir += '/';
    return dir;
}
}  // namespace

std::string ProgramDir() {
    std::lock_guard<std::mutex> lock(gMutex);
    if (!gOverride.empty()) return gOverride;
    char buf[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return "./";
    std::string path(buf, static_cast<size_t>(n));
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "./" : path.substr(0, slash + 1);
}

void SetProgramDir(const std::string& dir) {
    std::lock_guard<std::mutex> lock(gMutex);
    gOverride = dir.empty() ? std::string() : WithSeparator(dir);
}

std::string FileInDir(const std::string& dir, const std::string& name) {
    const std::string exact = dir + name;
    struct stat st {};
    if (name.empty() || name.find('/') != std::string::npos || ::lstat(exact.c_str(), &st) == 0)
        return exact;
    DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
    if (!d) return exact;
    std::string found = exact;
    while (const dirent* e = ::readdir(d)) {
        if (SameText1251(e->d_name, name)) {
            found = dir + e->d_name;
            break;
        }
    }
    ::closedir(d);
    return found;
}
}  // namespace platform
