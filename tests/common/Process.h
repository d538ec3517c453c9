#pragma once
// Child processes for tests and benchmarks: a command's exit status, or its standard output.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace process {

// Runs argv[0] (searched in PATH) with the arguments; its exit status, -1 when it did not run
// or ended by a signal.
inline int Run(const std::vector<std::string>& argv) {
    const pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) < 0) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct TOutput {
    int Status = -1;
    std::string Out;
};

// Runs a shell command line; its standard output and exit status.
inline TOutput Capture(const std::string& command) {
    TOutput r;
    FILE* p = ::popen(command.c_str(), "r");
    if (!p) return r;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.Out.append(buf, n);
    const int status = ::pclose(p);
    r.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

}  // namespace process
