// The receive path of a serial port: bytes written on a pseudo-terminal's master reach OnRxChar
// and ReadText on the main thread; and the CPU an open port uses while nothing arrives.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/MessageLoop.h"
#include "serial/SerialPort.h"

namespace {

class Pty {
public:
    Pty() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) std::abort();
        slave_ = ::ptsname(master_);
    }
    ~Pty() { ::close(master_); }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;
    const std::string& Slave() const { return slave_; }
    void Write(const char* data, size_t size) {
        while (size > 0) {
            const ssize_t n = ::write(master_, data, size);
            if (n <= 0) std::abort();
            data += n;
            size -= static_cast<size_t>(n);
        }
    }

private:
    int master_;
    std::string slave_;
};

double ProcessCpuSeconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Call lines as an exchange prints them, written in chunks of the given size.
void BM_ReceiveThroughPty(benchmark::State& state) {
    const size_t chunk = static_cast<size_t>(state.range(0));
    const size_t total = 1 << 20;
    std::string data;
    while (data.size() < total) data += "12/04/26 09:02 01 201 00:02:15 84951234567\r\n";
    data.resize(total);
    Pty pty;
    TSerialPort port;
    port.UseCaptureDefaults();
    port.SetPort(pty.Slave());
    size_t received = 0;
    int64_t events = 0;
    QEventLoop loop;
    port.OnRxChar = [&](TCustomSerialPort& p, int count) {
        ++events;
        std::string text;
        received += static_cast<size_t>(p.ReadText(text, count));
        if (received >= total) loop.quit();
    };
    port.Open();
    int64_t bytes = 0;
    for (auto _ : state) {
        received = 0;
        std::thread writer([&] {
            for (size_t at = 0; at < total; at += chunk)
                pty.Write(data.data() + at, std::min(chunk, total - at));
        });
        loop.exec();
        writer.join();
        bytes += static_cast<int64_t>(received);
    }
    port.Close();
    state.SetBytesProcessed(bytes);
    state.counters["bytes_per_event"] =
        benchmark::Counter(static_cast<double>(bytes) / static_cast<double>(events));
    state.counters["events"] = benchmark::Counter(static_cast<double>(events));
}
BENCHMARK(BM_ReceiveThroughPty)->Arg(16)->Arg(4096)->Unit(benchmark::kMillisecond)->UseRealTime();

// An open capture port with no traffic, the main thread in its event loop: CPU per second.
void BM_IdleOpenPort(benchmark::State& state) {
    Pty pty;
    TSerialPort port;
    port.UseCaptureDefaults();
    port.SetPort(pty.Slave());
    port.OnRxChar = [](TCustomSerialPort&, int) {};
    port.Open();
    double cpu = 0, seconds = 0;
    for (auto _ : state) {
        QEventLoop loop;
        QTimer::singleShot(3000, &loop, &QEventLoop::quit);
        const double c0 = ProcessCpuSeconds();
        loop.exec();
        cpu += ProcessCpuSeconds() - c0;
        seconds += 3.0;
    }
    port.Close();
    state.counters["idle_cpu_ms_per_s"] = benchmark::Counter(cpu / seconds * 1000.0);
}
BENCHMARK(BM_IdleOpenPort)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    platform::InitMessageLoop();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
