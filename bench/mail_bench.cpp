// Mail delivery rate: the station's client against Python's smtplib, both one session per
// message (connect, send, disconnect) to the same real SMTP server on loopback.
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QProcess>
#include <chrono>
#include <cstdio>

#include "mail/SmtpClient.h"
#include "platform/MessageLoop.h"

namespace {

constexpr int kMessages = 1000;
constexpr int kRounds = 10;  // the two clients take turns, so load changes hit both alike
constexpr int kBodyBytes = 2048;

int gPort = 0;

double StationSeconds(TSmtpClient& smtp, int count) {
    const std::string line(62, 'x');
    const std::vector<std::string> body(kBodyBytes / (line.size() + 2), line);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) {
        smtp.Connect();
        smtp.SetCharset("windows-1251");
        TMailMessage& m = smtp.PostMessage();
        m.Subject = "bench";
        m.FromAddress = "station@office.test";
        m.ToAddress = {"owner@office.test"};
        m.Body = body;
        smtp.SendMail();
        if (smtp.Connected()) smtp.Disconnect();
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The script times its own sending, so interpreter start-up is not counted.
double SmtplibSeconds(int count) {
    QProcess python;
    python.start(TARVICK_PYTHON,
                 {TARVICK_SOURCE_DIR "/bench/smtplib_send.py", QString::number(gPort),
                  QString::number(count), QString::number(kBodyBytes)});
    python.waitForFinished(600000);
    return python.readAllStandardOutput().trimmed().toDouble();
}

void BM_StationVsSmtplib(benchmark::State& state) {
    TSmtpClient smtp;
    smtp.SetHost("127.0.0.1");
    smtp.SetPort(gPort);
    StationSeconds(smtp, 20);  // warms up the server and the host name lookup
    for (auto _ : state) {
        double station = 0, smtplib = 0;
        for (int round = 0; round < kRounds; ++round) {
            station += StationSeconds(smtp, kMessages / kRounds);
            const double s = SmtplibSeconds(kMessages / kRounds);
            if (s <= 0) {
                state.SkipWithError("smtplib run failed");
                return;
            }
            smtplib += s;
        }
        state.SetIterationTime(station);
        state.counters["station_msgs_per_s"] = kMessages / station;
        state.counters["smtplib_msgs_per_s"] = kMessages / smtplib;
        state.counters["station_to_smtplib"] = smtplib / station;
        std::printf("station %.0f messages/s, smtplib %.0f messages/s, ratio %.2f\n",
                    kMessages / station, kMessages / smtplib, smtplib / station);
    }
}

BENCHMARK(BM_StationVsSmtplib)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    platform::InitMessageLoop();
    QProcess server;
    server.setProgram(TARVICK_PYTHON);
    server.setArguments({TARVICK_SOURCE_DIR "/tests/mail/smtp_sink.py"});
    server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    server.start();
    while (server.waitForStarted(10000) && !server.canReadLine())
        if (!server.waitForReadyRead(20000)) break;
    gPort = server.readLine().trimmed().toInt();
    if (gPort == 0) {
        std::fprintf(stderr, "cannot start the SMTP server\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    server.kill();
    server.waitForFinished(5000);
    return 0;
}
