#pragma once
// The station as a child process: its standard output and error read back, its exit awaited.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

using Clock = std::chrono::steady_clock;

class TStationProcess {
public:
    // The headless station, or the windowed one on Qt's offscreen platform.
    explicit TStationProcess(const std::string& dir, bool windowed = false) {
        int out[2], err[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return;
        Pid = fork();
        if (Pid == 0) {
            dup2(out[1], 1);
            dup2(err[1], 2);
            if (windowed) {
                setenv("QT_QPA_PLATFORM", "offscreen", 1);
                execl(TARVICK_STATION, TARVICK_STATION, "--dir", dir.c_str(), nullptr);
            } else {
                execl(TARVICK_STATION, TARVICK_STATION, "--headless", "--dir", dir.c_str(),
                      nullptr);
            }
            _exit(127);
        }
        close(out[1]);
        close(err[1]);
        Out = out[0];
        Err = err[0];
    }
    ~TStationProcess() {
        if (Pid > 0 && !Exited) {
            kill(Pid, SIGKILL);
            waitpid(Pid, nullptr, 0);
        }
        if (Out >= 0) close(Out);
        if (Err >= 0) close(Err);
    }

    // Reads standard output until n lines have arrived or the time is up.
    std::vector<std::string> Lines(size_t n, std::chrono::milliseconds limit) {
        const auto end = Clock::now() + limit;
        while (Complete().size() < n && Clock::now() < end) ReadSome(Out, Stdout, 50);
        return Complete();
    }
    std::string Errors() {
        while (ReadSome(Err, Stderr, 0)) {
        }
        return Stderr;
    }
    // Exit code, or -1 when the process did not end in time.
    int Wait(std::chrono::milliseconds limit) {
        const auto end = Clock::now() + limit;
        while (Clock::now() < end) {
            int status = 0;
            if (waitpid(Pid, &status, WNOHANG) == Pid) {
                Exited = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            ReadSome(Out, Stdout, 10);
        }
        return -1;
    }
    pid_t Pid = -1;

private:
    std::vector<std::string> Complete() const {
        std::vector<std::string> lines;
        size_t start = 0;
        for (size_t i = 0; i < Stdout.size(); ++i)
            if (Stdout[i] == '\n') {
                lines.push_back(Stdout.substr(start, i - start));
                start = i + 1;
            }
        return lines;
    }
    static bool ReadSome(int fd, std::string& into, int timeoutMs) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) return false;
        char buf[4096];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) return false;
        into.append(buf, static_cast<size_t>(n));
        return true;
    }
    int Out = -1, Err = -1;
    bool Exited = false;
    std::string Stdout, Stderr;
};
