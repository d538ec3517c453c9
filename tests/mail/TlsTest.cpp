// Encrypted and authenticated mail against aiosmtpd on loopback, through the station's client and
// through tarvick-tool sendmail, with certificates made at test time.
#include <gtest/gtest.h>

#include "mail/MailSettings.h"
#include "mail/SmtpClient.h"
#include "tests/common/CaseName.h"
#include "tests/mail/Certificates.h"
#include "tests/mail/Servers.h"

namespace {

constexpr const char* kUser = "station";
constexpr const char* kPassword = "s3cret";

std::string ExpectedData(const std::string& subject, const std::string& body) {
    return "From: <admin@office.test>\r\nTo: owner@office.test\r\nSubject: " + subject +
           "\r\nMime-Version: 1.0\r\nContent-Type: text/plain; charset=windows-1251\r\n\r\n\r\n" +
           body;
}

enum class Cert { Server, OtherName, SelfSigned };

std::string CertificateFile(Cert c) {
    const TestCertificates& all = TestCertificates::Get();
    return c == Cert::Server      ? all.Server()
           : c == Cert::OtherName ? all.OtherName()
                                  : all.SelfSigned();
}

struct TlsToolCase {
    const char* name;
    const char* mode;  // the server's: plain, starttls, tls
    Cert certificate;
    bool serverLogin;      // the server asks for a login
    bool loginOnly;        // and offers only the LOGIN mechanism
    const char* host;      // as the tool is told
    const char* security;  // --security, or nullptr
    const char* password;  // in the password file; nullptr: no --user
    bool pin;              // --fingerprint of the self-signed certificate
    bool trusted;
    int exit;
    const char* logins;  // the server's login log
};

void PrintTo(const TlsToolCase& c, std::ostream* os) {
    *os << c.name;
}

class TlsToolTest : public ::testing::TestWithParam<TlsToolCase> {};

TEST_P(TlsToolTest, SendsOrFailsWithItsExitCode) {
    const TlsToolCase& c = GetParam();
    ASSERT_TRUE(TestCertificates::Get().Ok());
    QStringList options = {"--mode", c.mode};
    if (std::string(c.mode) != "plain") {
        const std::string cert = CertificateFile(c.certificate);
        options << "--cert" << QString::fromStdString(cert) << "--key"
                << QString::fromStdString(KeyOf(cert));
    }
    if (c.serverLogin) options << "--user" << kUser << "--password" << kPassword;
    if (c.loginOnly) options << "--no-plain";
    SinkServer sink(options);
    ASSERT_NE(sink.Port(), 0);

    TempDir dir;
    QStringList args = {"--host",    c.host,
                        "--port",    QString::number(sink.Port()),
                        "--from",    "admin@office.test",
                        "--to",      "owner@office.test",
                        "--subject", "tls",
                        "--timeout", "10000"};
    if (c.security) args << "--security" << c.security;
    if (c.password) {
        WriteBytes(dir.file("password"), std::string(c.password) + "\n");
        args << "--user" << kUser << "--password-file"
             << QString::fromStdString(dir.file("password"));
    }
    if (c.pin)
        args << "--fingerprint"
             << QString::fromStdString(TestCertificates::Get().SelfSignedFingerprint());
    if (c.trusted) args << "--trusted";

    const ToolResult r = RunSendmail(args, "line one\n.dot\n");
    EXPECT_EQ(r.exitCode, c.exit) << r.err;
    EXPECT_EQ(sink.AuthLog(), c.logins);
    if (c.exit == 0) {
        EXPECT_EQ(r.out, "221 Bye\n");
        EXPECT_EQ(sink.Envelope(1), "admin@office.test\nowner@office.test\n");
        EXPECT_EQ(sink.Data(1), ExpectedData("tls", "line one\r\n.dot\r\n"));
    } else {
        EXPECT_EQ(sink.Envelope(1), "") << "delivered despite the failure";
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err, "");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Servers, TlsToolTest,
    ::testing::Values(
        TlsToolCase{"StartTlsWithAuthPlain", "starttls", Cert::Server, true, false, "localhost",
                    "starttls", kPassword, false, false, 0, "PLAIN station ok\n"},
        TlsToolCase{"StartTlsWithAuthLogin", "starttls", Cert::Server, true, true, "localhost",
                    "starttls", kPassword, false, false, 0, "LOGIN station ok\n"},
        TlsToolCase{"ImplicitTls", "tls", Cert::Server, true, false, "localhost", "tls", kPassword,
                    false, false, 0, "PLAIN station ok\n"},
        TlsToolCase{"ImplicitTlsToAnAddress", "tls", Cert::Server, true, false, "127.0.0.1", "tls",
                    kPassword, false, false, 0, "PLAIN station ok\n"},
        TlsToolCase{"WrongPasswordIsRefused", "starttls", Cert::Server, true, false, "localhost",
                    "starttls", "wrong", false, false, 3, "PLAIN station refused\n"},
        TlsToolCase{"CertificateForAnotherName", "starttls", Cert::OtherName, true, false,
                    "localhost", "starttls", kPassword, false, false, 4, ""},
        TlsToolCase{"SelfSignedCertificateRefused", "tls", Cert::SelfSigned, true, false,
                    "localhost", "tls", kPassword, false, false, 4, ""},
        TlsToolCase{"SelfSignedCertificateAcceptedByItsFingerprint", "starttls", Cert::SelfSigned,
                    true, false, "127.0.0.1", "starttls", kPassword, true, false, 0,
                    "PLAIN station ok\n"},
        TlsToolCase{"FingerprintIsTheOnlyCertificateAccepted", "tls", Cert::Server, true, false,
                    "localhost", "tls", kPassword, true, false, 4, ""},
        TlsToolCase{"PasswordAloneAsksForStartTls", "starttls", Cert::Server, true, false,
                    "localhost", nullptr, kPassword, false, false, 0, "PLAIN station ok\n"},
        TlsToolCase{"TlsAgainstAPlainServer", "plain", Cert::Server, false, false, "localhost",
                    "tls", nullptr, false, false, 4, ""},
        TlsToolCase{"TrustedNetworkLogsInInPlainText", "plain", Cert::Server, true, false,
                    "localhost", nullptr, kPassword, false, true, 0, "PLAIN station ok\n"},
        TlsToolCase{"StartTlsWithoutLogin", "starttls", Cert::Server, false, false, "localhost",
                    "starttls", nullptr, false, false, 0, ""}),
    CaseName());

// Servers whose every byte from the client is logged: a password that must not be sent.
struct PlainServerCase {
    const char* name;
    const char* ehloReply;
    QStringList tool;
    int exit;
    const char* error;
};

void PrintTo(const PlainServerCase& c, std::ostream* os) {
    *os << c.name;
}

class NoEncryptionTest : public ::testing::TestWithParam<PlainServerCase> {};

TEST_P(NoEncryptionTest, PasswordIsNeverSentInPlainText) {
    const PlainServerCase& c = GetParam();
    ScriptedServer server(
        Script{{"send", "220 plain only\r\n"}, {"recv", ""}, {"send", c.ehloReply}} + Quit());
    ASSERT_NE(server.Port(), 0);
    TempDir dir;
    WriteBytes(dir.file("password"), kPassword);
    const ToolResult r =
        RunSendmail(QStringList{"--host", "127.0.0.1", "--port", QString::number(server.Port()),
                                "--from", "a@x", "--to", "b@x", "--user", kUser, "--password-file",
                                QString::fromStdString(dir.file("password"))} +
                        c.tool,
                    "body");
    EXPECT_EQ(r.exitCode, c.exit);
    EXPECT_EQ(r.err, std::string(c.error) + "\n");
    const std::string log = server.Log();
    EXPECT_EQ(log.rfind("EHLO ", 0), 0u) << log;
    EXPECT_EQ(log.substr(log.find("\r\n") + 2), "QUIT\r\n");
    EXPECT_EQ(log.find(kPassword), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Servers, NoEncryptionTest,
    ::testing::Values(PlainServerCase{"StartTlsRequiredButNotOffered",
                                      "250-hi\r\n250-AUTH PLAIN LOGIN\r\n250 HELP\r\n",
                                      {"--security", "starttls"},
                                      4,
                                      "The server offers no STARTTLS"},
                      PlainServerCase{"LoginWithoutEncryptionOnAnUntrustedNetwork",
                                      "250-hi\r\n250 AUTH PLAIN LOGIN\r\n",
                                      {},
                                      4,
                                      "The password is not sent over an unencrypted connection"}),
    CaseName());

TEST(StartTlsRefusedTest, RefusalIsATlsFailureAndNoPasswordFollows) {
    ScriptedServer server(Script{{"send", "220 hi\r\n"},
                                 {"recv", ""},
                                 {"send", "250-hi\r\n250-STARTTLS\r\n250 AUTH PLAIN\r\n"},
                                 {"recv", ""},
                                 {"send", "454 4.7.0 TLS not available\r\n"}} +
                          Quit());
    ASSERT_NE(server.Port(), 0);
    TSmtpClient smtp;
    smtp.SetHost("127.0.0.1");
    smtp.SetPort(server.Port());
    smtp.SetUserID("station.test");
    smtp.SetUser(kUser);
    smtp.SetPassword(kPassword);
    EXPECT_EQ(WhatRaised<ETlsError>([&] { smtp.Connect(); }),
              "STARTTLS refused: 454 4.7.0 TLS not available\r\n");
    EXPECT_FALSE(smtp.Connected());
    EXPECT_EQ(server.Log(), "EHLO station.test\r\nSTARTTLS\r\nQUIT\r\n");
}

TEST(TlsTimeOutTest, SilentServerEndsTheHandshakeWithAConnectionFailure) {
    ScriptedServer server(Script{{"drain", ""}});
    ASSERT_NE(server.Port(), 0);
    const ToolResult r =
        RunSendmail({"--host", "127.0.0.1", "--port", QString::number(server.Port()), "--from",
                     "a@x", "--to", "b@x", "--security", "tls", "--timeout", "300"},
                    "");
    EXPECT_EQ(r.exitCode, 5);
    EXPECT_EQ(r.err, "No TLS handshake from the server within 0.3 s\n");
}

TEST(SendmailUsageTest, BadSecurityOptionsAreUsageErrors) {
    const QStringList base = {"--host", "127.0.0.1", "--port", "25",
                              "--from", "a@x",       "--to",   "b@x"};
    for (const QStringList& bad :
         {QStringList{"--security", "ssl"}, QStringList{"--fingerprint", "abcd"},
          QStringList{"--user", "u"}, QStringList{"--password-file", "/nonexistent"},
          QStringList{"--user", "u", "--password-file", "/nonexistent/file"}})
        EXPECT_EQ(RunSendmail(base + bad, "").exitCode, 2) << bad.join(' ').toStdString();
}

// The station's own client: the session through STARTTLS and a login, as the daily run uses it.
TEST(TlsSessionTest, StationClientSendsOverStartTlsAfterALogin) {
    ASSERT_TRUE(TestCertificates::Get().Ok());
    const TestCertificates& c = TestCertificates::Get();
    SinkServer sink({"--mode", "starttls", "--cert", QString::fromStdString(c.Server()), "--key",
                     QString::fromStdString(c.Key()), "--user", kUser, "--password", kPassword});
    ASSERT_NE(sink.Port(), 0);
    TSmtpClient smtp;
    smtp.SetHost("localhost");
    smtp.SetPort(sink.Port());
    smtp.SetTimeOut(10000);
    TMailSettings settings;
    settings.Security = TMailSecurity::StartTls;
    settings.User = kUser;
    settings.Password = kPassword;
    ApplyMailSettings(smtp, settings);
    smtp.Connect();
    EXPECT_TRUE(smtp.Secure());
    EXPECT_TRUE(smtp.Capabilities().Auth);
    EXPECT_FALSE(smtp.Capabilities().StartTls);  // offered only before the handshake
    for (int i = 0; i < 2; ++i) {                // two messages in one session
        smtp.SetCharset("windows-1251");
        TMailMessage& m = smtp.PostMessage();
        m.Subject = "tls";
        m.FromAddress = "admin@office.test";
        m.ToAddress = {"owner@office.test"};
        // More than one TLS record and more than one buffer.
        m.Body = std::vector<std::string>(2000, std::string(60, 'x'));
        smtp.SendMail();
    }
    smtp.Disconnect();
    EXPECT_FALSE(smtp.Secure());
    std::string body;
    for (int i = 0; i < 2000; ++i) body += std::string(60, 'x') + "\r\n";
    EXPECT_EQ(sink.Data(2), ExpectedData("tls", body));
    EXPECT_EQ(sink.AuthLog(), "PLAIN station ok\n");

    // The same component connects again, in plain text when told so.
    SinkServer plain;
    smtp.SetPort(plain.Port());
    ApplyMailSettings(smtp, TMailSettings{});
    smtp.Connect();
    EXPECT_FALSE(smtp.Secure());
    smtp.Disconnect();
}

}  // namespace
