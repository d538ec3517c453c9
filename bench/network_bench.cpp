// The receive path of a network source over loopback: call lines written by the exchange reach
// OnRxChar and ReadText on the main thread, for a station that connects (tcp://) and one that
// listens (listen://); and the CPU of a port connected to an exchange that sends nothing. A
// 256 000 baud line carries 25 600 bytes a second.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <string>
#include <thread>

#include "platform/MessageLoop.h"
#include "serial/SerialPort.h"
#include "tests/common/TcpPeer.h"

namespace {

double ProcessCpuSeconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

template <class Pred>
bool Serve(Pred done, int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        platform::ProcessMessages();
        platform::SleepMs(1);
    }
    return true;
}

// The exchange's end of a connected capture port.
struct TConnected {
    explicit TConnected(bool listen) {
        if (listen) {
            const uint16_t free = FreePort();
            Port.SetPort("listen://127.0.0.1:" + std::to_string(free));
            Port.Open();
            Serve([&] { return (Exchange = ConnectFrom("127.0.0.1", free)).Valid(); }, 5000);
        } else {
            Port.SetPort("tcp://127.0.0.1:" + std::to_string(Listener.Port()));
            Port.Open();
            Serve([&] { return (Exchange = Listener.Accept(10)).Valid(); }, 5000);
        }
    }
    ~TConnected() { Port.Close(); }
    TPeerListener Listener;
    TSerialPort Port;
    TPeerSocket Exchange;
};

// 4 MiB of whole call lines (a listener hands over whole lines only), written in pieces of the
// given size.
void BM_ReceiveOverLoopback(benchmark::State& state) {
    const bool listen = state.range(0) != 0;
    const size_t chunk = static_cast<size_t>(state.range(1));
    std::string data;
    while (data.size() < (4u << 20)) data += "12/04/26 09:02:11 01 201 00:02:15 84951234567\r\n";
    const size_t total = data.size();
    TConnected c(listen);
    if (!c.Exchange.Valid()) {
        state.SkipWithError("no connection");
        return;
    }
    size_t received = 0;
    int64_t events = 0;
    QEventLoop loop;
    c.Port.OnRxChar = [&](TCustomSerialPort& p, int count) {
        ++events;
        std::string text;
        received += static_cast<size_t>(p.ReadText(text, count));
        if (received >= total) loop.quit();
    };
    int64_t bytes = 0;
    for (auto _ : state) {
        received = 0;
        std::thread writer([&] {
            for (size_t at = 0; at < total; at += chunk)
                c.Exchange.Send(data.substr(at, std::min(chunk, total - at)));
        });
        loop.exec();
        writer.join();
        bytes += static_cast<int64_t>(received);
    }
    state.SetBytesProcessed(bytes);
    state.counters["x_256000_baud"] =
        benchmark::Counter(static_cast<double>(bytes) / 25600.0, benchmark::Counter::kIsRate);
    state.counters["bytes_per_event"] =
        benchmark::Counter(static_cast<double>(bytes) / static_cast<double>(events));
}
BENCHMARK(BM_ReceiveOverLoopback)
    ->ArgNames({"listen", "chunk"})
    ->Args({0, 64})
    ->Args({0, 65536})
    ->Args({1, 64})
    ->Args({1, 65536})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// A capture port connected to an exchange that sends nothing, the main thread in its event
// loop: CPU per second.
void BM_IdleConnectedPort(benchmark::State& state) {
    TConnected c(state.range(0) != 0);
    if (!c.Exchange.Valid()) {
        state.SkipWithError("no connection");
        return;
    }
    c.Port.OnRxChar = [](TCustomSerialPort&, int) {};
    double cpu = 0, seconds = 0;
    for (auto _ : state) {
        QEventLoop loop;
        QTimer::singleShot(5000, &loop, &QEventLoop::quit);
        const double c0 = ProcessCpuSeconds();
        loop.exec();
        cpu += ProcessCpuSeconds() - c0;
        seconds += 5.0;
    }
    state.counters["idle_cpu_ms_per_s"] = benchmark::Counter(cpu / seconds * 1000.0);
}
BENCHMARK(BM_IdleConnectedPort)
    ->ArgName("listen")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    platform::InitMessageLoop();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
