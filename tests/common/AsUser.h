#pragma once
// Root reads and writes whatever the permissions say, and the tests run as root in CI: what an
// ordinary user meets is tried in a child process that has dropped to the user nobody.
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

namespace process {

constexpr uid_t kNobody = 65534;

// Runs fn as an ordinary user and returns the text it returned; run in this process when it is
// not root already. A child that could not drop its rights returns "cannot drop root".
inline std::string AsOrdinaryUser(const std::function<std::string()>& fn) {
    if (::geteuid() != 0) return fn();
    int pipe[2];
    if (::pipe(pipe) != 0) return "no pipe";
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(pipe[0]);
        std::string result = "cannot drop root";
        if (::setgroups(0, nullptr) == 0 && ::setresgid(kNobody, kNobody, kNobody) == 0 &&
            ::setresuid(kNobody, kNobody, kNobody) == 0)
            result = fn();
        size_t done = 0;
        while (done < result.size()) {
            const ssize_t n = ::write(pipe[1], result.data() + done, result.size() - done);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        ::_exit(0);
    }
    ::close(pipe[1]);
    std::string result;
    char buf[4096];
    for (ssize_t n; (n = ::read(pipe[0], buf, sizeof buf)) > 0;)
        result.append(buf, static_cast<size_t>(n));
    ::close(pipe[0]);
    if (pid > 0) ::waitpid(pid, nullptr, 0);
    return pid > 0 ? result : "no child";
}

}  // namespace process
