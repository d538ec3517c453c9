// Each way a mail can fail, against real servers on loopback: what the station's log says, how
// long the client takes to give up, and what tarvick-tool sendmail prints and returns.
#include <gtest/gtest.h>

#include <QTimer>
#include <chrono>
#include <exception>
#include <stdexcept>

#include "mail/MailFailure.h"
#include "mail/SmtpClient.h"
#include "platform/CodePage.h"
#include "tests/common/CaseName.h"
#include "tests/mail/Servers.h"

namespace {

using Clock = std::chrono::steady_clock;

// A host that never resolves, whatever the network.
constexpr const char* kNoSuchHost = "mail.tarvick.invalid";

// A reply that goes on a line every half second for ten seconds.
Script SlowReply(const std::string& code) {
    Script s;
    for (int i = 0; i < 20; ++i) {
        s.push_back({"send", code + "-still thinking\r\n"});
        s.push_back({"pause", "500"});
    }
    s.push_back({"send", code + " done\r\n"});
    s.push_back({"drain", ""});
    return s;
}

struct TFailureCase {
    const char* name;
    Script server;  // empty: no server at all, the host does not resolve
    int timeOutMs;
    bool login;  // a user and password, on a trusted network
    TMailFailure kind;
    const char* logText;  // UTF-8
    int exitCode;
    const char* toolMessage;  // the start of what the tool prints
};

void PrintTo(const TFailureCase& c, std::ostream* os) {
    *os << c.name;
}

struct TOutcome {
    TMailFailure kind = TMailFailure::Other;
    std::string logText;  // UTF-8
    double seconds = 0;
};

// The station's pattern: connect, fill the message, send; every error caught as a whole.
TOutcome StationSession(const std::string& host, int port, const TFailureCase& c) {
    TSmtpClient smtp;
    smtp.SetHost(host);
    smtp.SetPort(port);
    smtp.SetTimeOut(c.timeOutMs);
    smtp.SetUserID("station.test");
    if (c.login) {
        smtp.SetUser("u");
        smtp.SetPassword("p");
        smtp.SetTrusted(true);
    }
    const Clock::time_point start = Clock::now();
    try {
        smtp.Connect();
        smtp.SetCharset("windows-1251");
        TMailMessage& m = smtp.PostMessage();
        m.FromAddress = "a@x";
        m.ToAddress = {"b@x"};
        m.Body = {"one"};
        smtp.SendMail();
    } catch (const std::exception& e) {
        smtp.CloseAfterFailure(e);
        const std::chrono::duration<double> took = Clock::now() - start;
        return {MailFailureKind(e), platform::AnsiToUtf8(MailFailureText(e)), took.count()};
    }
    ADD_FAILURE() << "the mail went through";
    return {};
}

class MailFailureTest : public ::testing::TestWithParam<TFailureCase> {
protected:
    // A server of its own for each client; the scripts serve one session.
    std::pair<std::string, int> Endpoint(std::unique_ptr<ScriptedServer>& server) {
        const TFailureCase& c = GetParam();
        if (c.server.empty()) return {kNoSuchHost, 25};
        server = std::make_unique<ScriptedServer>(c.server);
        EXPECT_NE(server->Port(), 0);
        return {"127.0.0.1", server->Port()};
    }
};

TEST_P(MailFailureTest, StationLogAndToolSayWhatHappened) {
    const TFailureCase& c = GetParam();
    {
        std::unique_ptr<ScriptedServer> server;
        const auto [host, port] = Endpoint(server);
        const TOutcome o = StationSession(host, port, c);
        EXPECT_EQ(o.kind, c.kind);
        EXPECT_EQ(o.logText, c.logText);
        if (c.kind == TMailFailure::TimedOut) {
            // The time-out bounds the whole reply however its lines trickle in; the slack is
            // for a loaded machine.
            EXPECT_GE(o.seconds, c.timeOutMs / 1000.0 - 0.05);
            EXPECT_LT(o.seconds, c.timeOutMs / 1000.0 + 3);
        }
    }
    std::unique_ptr<ScriptedServer> server;
    const auto [host, port] = Endpoint(server);
    TempDir dir;
    WriteBytes(dir.file("password"), "p");
    QStringList args = {"--host",    QString::fromStdString(host),
                        "--port",    QString::number(port),
                        "--from",    "a@x",
                        "--to",      "b@x",
                        "--timeout", QString::number(c.timeOutMs)};
    if (c.login)
        args << "--user"
             << "u"
             << "--password-file" << QString::fromStdString(dir.file("password")) << "--trusted";
    const ToolResult r = RunSendmail(args, "one\n");
    EXPECT_EQ(r.exitCode, c.exitCode);
    EXPECT_EQ(r.err.rfind(c.toolMessage, 0), 0u) << r.err;
    EXPECT_EQ(r.out, "");
}

INSTANTIATE_TEST_SUITE_P(
    Servers, MailFailureTest,
    ::testing::Values(
        TFailureCase{"SilentServer", Script{{"drain", ""}}, 1000, false, TMailFailure::TimedOut,
                     "нет ответа от сервера за 1 с", 5, "No reply from the server within 1 s\n"},
        TFailureCase{"GreetingOfTrickledLines", SlowReply("220"), 2000, false,
                     TMailFailure::TimedOut, "нет ответа от сервера за 2 с", 5,
                     "No reply from the server within 2 s\n"},
        TFailureCase{"HeloReplyOfTrickledLines",
                     Script{{"send", "220 hi\r\n"}, {"recv", ""}} + SlowReply("250"), 2000, false,
                     TMailFailure::TimedOut, "нет ответа от сервера за 2 с", 5,
                     "No reply from the server within 2 s\n"},
        TFailureCase{
            "NoReplyToTheMessage",
            Greeting() + SenderAndRecipients("250 ok\r\n", 1, "250 ok\r\n") +
                Script{
                    {"recv", ""}, {"send", "354 go ahead\r\n"}, {"until_dot", ""}, {"drain", ""}},
            1000, false, TMailFailure::TimedOut, "нет ответа от сервера за 1 с", 5,
            "No reply from the server within 1 s\n"},
        TFailureCase{"SshServer",
                     Script{{"send", "SSH-2.0-OpenSSH_9.2p1 Debian-2\r\n"}, {"drain", ""}}, 5000,
                     true, TMailFailure::NotSmtp,
                     "сервер ответил не по протоколу SMTP: SSH-2.0-OpenSSH_9.2p1 Debian-2", 5,
                     "The server does not speak SMTP: SSH-2.0-OpenSSH_9.2p1 Debian-2\n"},
        TFailureCase{"ImapServer",
                     Script{{"send", "* OK [CAPABILITY IMAP4rev1] ready\r\n"}, {"drain", ""}}, 5000,
                     false, TMailFailure::NotSmtp,
                     "сервер ответил не по протоколу SMTP: * OK [CAPABILITY IMAP4rev1] ready", 5,
                     "The server does not speak SMTP: * OK [CAPABILITY IMAP4rev1] ready\n"},
        TFailureCase{"UnresolvableHost", Script{}, 5000, false, TMailFailure::HostNotFound,
                     "сервер не найден: mail.tarvick.invalid", 5,
                     "Host not found: mail.tarvick.invalid"},
        TFailureCase{"RefusedConnection", Script{{"refuse", ""}}, 5000, false,
                     TMailFailure::ConnectionRefused, "сервер отказал в соединении", 5,
                     "10061:Connection refused\n"},
        TFailureCase{"ServerHangsUp", Greeting() + Script{{"recv", ""}, {"close", ""}}, 5000, false,
                     TMailFailure::ConnectionClosed, "сервер разорвал соединение", 5,
                     "Connection closed by server\n"},
        TFailureCase{"RefusedLogin",
                     Script{{"send", "220 hi\r\n"},
                            {"recv", ""},
                            {"send", "250-hi\r\n250 AUTH PLAIN\r\n"},
                            {"recv", ""},
                            {"send", "535 5.7.8 bad credentials\r\n"}} +
                         Quit(),
                     5000, true, TMailFailure::LoginRefused,
                     "сервер отверг вход: 535 5.7.8 bad credentials", 3,
                     "535 5.7.8 bad credentials\n"},
        TFailureCase{
            "NoLoginOffered",
            Script{{"send", "220 hi\r\n"}, {"recv", ""}, {"send", "250-hi\r\n250 HELP\r\n"}} +
                Quit(),
            5000, true, TMailFailure::NoLogin, "сервер не предлагает входа по паролю", 3,
            "The server offers no AUTH\n"},
        TFailureCase{"RefusedGreeting",
                     Script{{"send", "554-no service\r\n554 for you\r\n"}} + Quit(), 5000, false,
                     TMailFailure::ServerRefused, "сервер отказал: 554-no service 554 for you", 1,
                     "554-no service\n554 for you\n"},
        TFailureCase{
            "RefusedSender",
            Greeting() + SenderAndRecipients("553 5.7.1 sender rejected\r\n", 0, "") + Quit(), 5000,
            false, TMailFailure::ServerRefused, "сервер отказал: 553 5.7.1 sender rejected", 1,
            "553 5.7.1 sender rejected\n"},
        TFailureCase{"RefusedRecipient", Greeting() + RefuseRecipients(1) + Quit(), 5000, false,
                     TMailFailure::RecipientRefused, "сервер не принял адрес b@x: 550 no such user",
                     1, "Recipient b@x refused: 550 no such user\n"}),
    CaseName());

TEST(MailAbortTest, StoppingTheStationIsNoTimeOut) {
    ScriptedServer server(Script{{"drain", ""}});
    ASSERT_NE(server.Port(), 0);
    TSmtpClient smtp;
    smtp.SetHost("127.0.0.1");
    smtp.SetPort(server.Port());
    smtp.SetTimeOut(60000);
    QTimer::singleShot(200, [&] { smtp.Abort(); });
    const Clock::time_point start = Clock::now();
    try {
        smtp.Connect();
        ADD_FAILURE() << "connected";
    } catch (const EAbortError& e) {
        EXPECT_EQ(e.Kind(), TMailFailure::Aborted);
        EXPECT_EQ(platform::AnsiToUtf8(MailFailureText(e)), "отправка прервана");
    }
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 3);
    EXPECT_FALSE(smtp.Connected());
}

// ---- the log text of errors as they are raised -------------------------------------------------

struct TTextCase {
    const char* name;
    std::exception_ptr error;
    std::string logText;  // UTF-8
};

void PrintTo(const TTextCase& c, std::ostream* os) {
    *os << c.name;
}

class MailFailureTextTest : public ::testing::TestWithParam<TTextCase> {};

TEST_P(MailFailureTextTest, IsOneLineThatSaysWhy) {
    try {
        std::rethrow_exception(GetParam().error);
    } catch (const std::exception& e) {
        EXPECT_EQ(platform::AnsiToUtf8(MailFailureText(e)), GetParam().logText);
    }
}

template <class E, class... Args>
std::exception_ptr Raised(Args&&... args) {
    return std::make_exception_ptr(E(std::forward<Args>(args)...));
}

INSTANTIATE_TEST_SUITE_P(
    Errors, MailFailureTextTest,
    ::testing::Values(
        TTextCase{"FractionOfASecond", Raised<ESockError>(TMailFailure::TimedOut, "x", "", "", 300),
                  "нет ответа от сервера за 0,3 с"},
        TTextCase{"SecondsAndMilliseconds",
                  Raised<ESockError>(TMailFailure::TimedOut, "x", "", "", 2050),
                  "нет ответа от сервера за 2,05 с"},
        TTextCase{"NoHostGiven",
                  Raised<ESockError>(TMailFailure::HostNotFound, "No server host name given"),
                  "не указан адрес почтового сервера"},
        TTextCase{"LookupWithoutAnswer",
                  Raised<ESockError>(TMailFailure::HostNotFound, "x", "", "mx.office.test", 5000),
                  "сервер не найден: mx.office.test (нет ответа за 5 с)"},
        TTextCase{"ControlBytesInAReply",
                  Raised<EReplyError>("451\t4.3.0\x01"
                                      "later\r\n\r\n"),
                  "сервер отказал: 451 4.3.0 later"},
        TTextCase{"EndlessReply", Raised<EReplyError>("554 " + std::string(1000, 'x')),
                  "сервер отказал: 554 " + std::string(496, 'x') + "..."},
        TTextCase{"MechanismsOffered",
                  Raised<EAuthError>(TMailFailure::NoLogin, "x", "", "CRAM-MD5 XOAUTH2"),
                  "сервер не предлагает подходящего способа входа: CRAM-MD5 XOAUTH2"},
        TTextCase{"TlsReason", Raised<ETlsError>("The server offers no STARTTLS"),
                  "защищённое соединение не установлено: The server offers no STARTTLS"},
        TTextCase{"OtherSocketError", Raised<ESockError>("10065:No route to Host"),
                  "нет связи с сервером: 10065:No route to Host"},
        TTextCase{"NotFromTheMailClient", Raised<std::runtime_error>("Cannot open file\r\n\"x\""),
                  "Cannot open file \"x\""},
        TTextCase{"WithoutAWord", Raised<std::runtime_error>(""), "ошибка почты"}),
    CaseName());

}  // namespace
