// Mail delivery rate: the station's client against Python's smtplib, both one session per
// message (connect, send, disconnect) to the same real SMTP server on loopback, in plain text
// and through STARTTLS with a login.
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QProcess>
#include <chrono>
#include <cstdio>

#include "mail/MailSettings.h"
#include "mail/SmtpClient.h"
#include "platform/MessageLoop.h"
#include "tests/mail/Certificates.h"

namespace {

constexpr int kMessages = 1000;
constexpr int kRounds = 10;  // the two clients take turns, so load changes hit both alike
constexpr int kBodyBytes = 2048;

constexpr int kTlsMessages = 200;  // a handshake per session makes each one dearer
constexpr int kTlsRounds = 4;

int gPort = 0;
int gTlsPort = 0;

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
double SmtplibSeconds(int port, int count, const QStringList& login = {}) {
    QProcess python;
    python.start(TARVICK_PYTHON,
                 QStringList{TARVICK_SOURCE_DIR "/bench/smtplib_send.py", QString::number(port),
                             QString::number(count), QString::number(kBodyBytes)} +
                     login);
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
            const double s = SmtplibSeconds(gPort, kMessages / kRounds);
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

void BM_StartTlsLoginStationVsSmtplib(benchmark::State& state) {
    TSmtpClient smtp;
    smtp.SetHost("localhost");
    smtp.SetPort(gTlsPort);
    TMailSettings settings;
    settings.Security = TMailSecurity::StartTls;
    settings.User = "station";
    settings.Password = "s3cret";
    ApplyMailSettings(smtp, settings);
    StationSeconds(smtp, 10);
    for (auto _ : state) {
        double station = 0, smtplib = 0;
        for (int round = 0; round < kTlsRounds; ++round) {
            station += StationSeconds(smtp, kTlsMessages / kTlsRounds);
            const double s =
                SmtplibSeconds(gTlsPort, kTlsMessages / kTlsRounds, {"station", "s3cret"});
            if (s <= 0) {
                state.SkipWithError("smtplib run failed");
                return;
            }
            smtplib += s;
        }
        state.SetIterationTime(station);
        state.counters["station_msgs_per_s"] = kTlsMessages / station;
        state.counters["smtplib_msgs_per_s"] = kTlsMessages / smtplib;
        state.counters["station_to_smtplib"] = smtplib / station;
        std::printf(
            "STARTTLS + AUTH: station %.0f messages/s, smtplib %.0f messages/s, ratio %.2f\n",
            kTlsMessages / station, kTlsMessages / smtplib, smtplib / station);
    }
}

BENCHMARK(BM_StartTlsLoginStationVsSmtplib)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

int StartSink(QProcess& server, const QStringList& options) {
    server.setProgram(TARVICK_PYTHON);
    server.setArguments(QStringList{TARVICK_SOURCE_DIR "/tests/mail/smtp_sink.py"} + options);
    server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    server.start();
    while (server.waitForStarted(10000) && !server.canReadLine())
        if (!server.waitForReadyRead(20000)) break;
    return server.readLine().trimmed().toInt();
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    platform::InitMessageLoop();
    const TestCertificates& certs = TestCertificates::Get();
    QProcess server, tlsServer;
    gPort = StartSink(server, {});
    if (certs.Ok())
        gTlsPort = StartSink(
            tlsServer,
            {"", "--mode", "starttls", "--cert", QString::fromStdString(certs.Server()), "--key",
             QString::fromStdString(certs.Key()), "--user", "station", "--password", "s3cret"});
    if (gPort == 0 || gTlsPort == 0) {
        std::fprintf(stderr, "cannot start the SMTP server\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    for (QProcess* p : {&server, &tlsServer}) {
        p->kill();
        p->waitForFinished(5000);
    }
    return 0;
}
