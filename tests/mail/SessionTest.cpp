#include <gtest/gtest.h>

#include <QTimer>
#include <fstream>

#include "mail/SmtpClient.h"
#include "tests/common/CaseName.h"
#include "tests/mail/Servers.h"

namespace {

class SessionTest : public ::testing::Test {
protected:
    void Use(ScriptedServer& server) {
        ASSERT_NE(server.Port(), 0);
        smtp.SetHost("127.0.0.1");
        smtp.SetPort(server.Port());
        smtp.SetUserID("station.test");
    }
    void FillMessage() {
        TMailMessage& m = smtp.PostMessage();
        m.FromAddress = "st@x";
        m.ToAddress = {"a@x"};
        m.Body = {"one"};
    }
    TSmtpClient smtp;
};

TEST_F(SessionTest, MultiLineGreetingAndHeloAreConsumedWhole) {
    ScriptedServer server(Script{{"send", "220-first\r\n220-second\r\n220 last\r\n"},
                                 {"recv", ""},
                                 {"send", "250-hello\r\n250-SIZE 1000\r\n250 HELP\r\n"}} +
                          AcceptMessage(1) + Quit());
    Use(server);
    smtp.Connect();
    EXPECT_EQ(smtp.ReplyNumber(), 250);
    FillMessage();
    smtp.SendMail();
    EXPECT_EQ(smtp.ReplyText(), "250 queued\r\n");
    smtp.Disconnect();
    EXPECT_FALSE(smtp.Connected());
    EXPECT_EQ(server.Log(),
              "HELO station.test\r\nRSET\r\nMAIL FROM:<st@x>\r\nRCPT TO:<a@x>\r\nDATA\r\n"
              "From: <st@x>\r\nTo: a@x\r\nMime-Version: 1.0\r\n"
              "Content-Type: text/plain; charset=us-ascii\r\n\r\n\r\none\r\n.\r\nQUIT\r\n");
}

TEST_F(SessionTest, RejectedHeloFailsAfterQuitAndClose) {
    ScriptedServer server(
        Script{{"send", "220 hi\r\n"}, {"recv", ""}, {"send", "501 Syntax: HELO hostname\r\n"}} +
        Quit());
    Use(server);
    int disconnects = 0;
    smtp.OnDisconnect = [&] { ++disconnects; };
    EXPECT_EQ(WhatRaised([&] { smtp.Connect(); }), "Authentication failed");
    EXPECT_FALSE(smtp.Connected());
    EXPECT_FALSE(smtp.Busy());
    EXPECT_EQ(disconnects, 1);
    EXPECT_EQ(server.Log(), "HELO station.test\r\nQUIT\r\n");
}

TEST_F(SessionTest, HandledAuthenticationFailureRetriesHeloOnce) {
    ScriptedServer server(Script{{"send", "220 hi\r\n"},
                                 {"recv", ""},
                                 {"send", "501 no\r\n"},
                                 {"recv", ""},
                                 {"send", "250 ok\r\n"}} +
                          Quit());
    Use(server);
    int asked = 0;
    smtp.OnAuthenticationFailed = [&](bool& handled) {
        ++asked;
        smtp.SetUserID("other.test");
        handled = true;
    };
    smtp.Connect();
    smtp.Disconnect();
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(server.Log(), "HELO station.test\r\nHELO other.test\r\nQUIT\r\n");
}

TEST_F(SessionTest, GreetingRefusalIsTheMessage) {
    ScriptedServer server(Script{{"send", "554 go away\r\n"}} + Quit());
    Use(server);
    EXPECT_EQ(WhatRaised([&] { smtp.Connect(); }), "554 go away\r\n");
    EXPECT_FALSE(smtp.Connected());
    EXPECT_EQ(server.Log(), "QUIT\r\n");
}

TEST_F(SessionTest, RejectedRecipientsStillSendDataWhoseRefusalFails) {
    ScriptedServer server(Greeting() + RefuseRecipients(2) + Quit());
    Use(server);
    smtp.Connect();
    FillMessage();
    smtp.PostMessage().ToAddress = {"Ivan <ivan@x>", "", "smtp:petr@x"};
    std::vector<std::string> notFound;
    smtp.OnRecipientNotFound = [&](const std::string& r) { notFound.push_back(r); };
    // The data is refused only because no recipient was taken: the first refusal says why.
    EXPECT_EQ(WhatRaised([&] { smtp.SendMail(); }),
              "Recipient ivan@x refused: 550 no such user\r\n");
    EXPECT_EQ(notFound, (std::vector<std::string>{"ivan@x", "petr@x"}));
    EXPECT_TRUE(smtp.Connected());
    EXPECT_FALSE(smtp.Busy());
    EXPECT_EQ(WhatRaised([&] { smtp.Connect(); }), "Already connected");
    EXPECT_EQ(smtp.PostMessage().ToAddress.size(), 3u);  // kept after a failure
    smtp.Disconnect();
    EXPECT_EQ(server.Log(),
              "HELO station.test\r\nRSET\r\nMAIL FROM:<st@x>\r\nRCPT TO:<ivan@x>\r\n"
              "RCPT TO:<petr@x>\r\nDATA\r\nQUIT\r\n");
}

TEST_F(SessionTest, SplitAndJoinedRepliesAreReadAsLines) {
    ScriptedServer server(Script{{"send", "22"},
                                 {"pause", "30"},
                                 {"send", "0 split "},
                                 {"pause", "30"},
                                 {"send", "greeting\r"},
                                 {"pause", "30"},
                                 {"send", "\n"},
                                 {"recv", ""},
                                 // the HELO reply and the RSET reply in one packet
                                 {"send", "250 hello\r\n250 reset\r\n"},
                                 {"recv", ""},
                                 {"recv", ""},
                                 {"send", "451 try later\r\n"}} +
                          Quit());
    Use(server);
    smtp.Connect();
    FillMessage();
    EXPECT_EQ(WhatRaised([&] { smtp.SendMail(); }), "451 try later\r\n");
    smtp.Disconnect();
    EXPECT_EQ(server.Log(), "HELO station.test\r\nRSET\r\nMAIL FROM:<st@x>\r\nQUIT\r\n");
}

TEST_F(SessionTest, ServerClosingMidSessionEndsWithoutHang) {
    ScriptedServer server(Greeting() + std::vector<Step>{{"recv", ""}, {"close", ""}});
    Use(server);
    smtp.Connect();
    FillMessage();
    EXPECT_EQ(WhatRaised([&] { smtp.SendMail(); }), "Connection closed by server");
    EXPECT_FALSE(smtp.Connected());
    EXPECT_EQ(smtp.ReplyText(), "");
    EXPECT_EQ(smtp.ReplyNumber(), 0);
    smtp.Disconnect();  // nothing left to say goodbye to
}

TEST_F(SessionTest, ReadAfterCloseReturnsEmptyLine) {
    ScriptedServer server(Script{{"send", "one\r\ntwo\n"}, {"close", ""}});
    Use(server);
    smtp.TSocketClient::Connect();
    EXPECT_EQ(smtp.ReadLn(), "one\r\n");
    EXPECT_EQ(smtp.ReadLn(), "two\n");
    EXPECT_EQ(smtp.ReadLn(), "");
    EXPECT_FALSE(smtp.Connected());
}

TEST_F(SessionTest, SilentServerTimesOut) {
    ScriptedServer server(Script{{"drain", ""}});
    Use(server);
    smtp.SetTimeOut(50);
    EXPECT_EQ(WhatRaised<ESockError>([&] { smtp.Connect(); }),
              "No reply from the server within 0.05 s");
    EXPECT_FALSE(smtp.Connected());
}

TEST_F(SessionTest, SilentServerWithoutTimeOutWaitsUntilAborted) {
    ScriptedServer server(Script{{"drain", ""}});
    Use(server);
    smtp.TSocketClient::Connect();
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        if (++ticks == 3) smtp.Abort();
    });
    timer.start(5);
    EXPECT_EQ(WhatRaised<EAbortError>([&] { smtp.ReadLn(); }), "Socket readln aborted");
    EXPECT_EQ(ticks, 3);
    EXPECT_TRUE(smtp.Connected());
}

TEST_F(SessionTest, MessageLoopRunsWhileTheServerIsSlow) {
    TempDir dir;
    const std::string go = dir.file("go");
    // The server answers only after a timer of ours has run during the wait.
    ScriptedServer server(Script{{"wait_file", go},
                                 {"send", "220 at last\r\n"},
                                 {"recv", ""},
                                 {"send", "250 hello\r\n"}} +
                          Quit());
    Use(server);
    bool fired = false;
    QTimer::singleShot(1, [&] {
        fired = true;
        std::ofstream(go) << "go";
    });
    smtp.Connect();
    EXPECT_TRUE(fired);
    EXPECT_EQ(smtp.ReplyText(), "250 hello\r\n");
    smtp.Disconnect();
}

TEST_F(SessionTest, NestedSendReturnsAtOnce) {
    ScriptedServer server(Greeting() + AcceptMessage(1) + Quit());
    Use(server);
    smtp.Connect();
    FillMessage();
    int nested = 0;
    smtp.OnSendStart = [&] {
        smtp.SendMail();
        ++nested;
    };
    smtp.SendMail();
    EXPECT_EQ(nested, 1);
    smtp.Disconnect();
    EXPECT_EQ(server.Log().find("RSET"), server.Log().rfind("RSET"));
}

TEST_F(SessionTest, RefusedConnection) {
    ScriptedServer server(Script{{"refuse", ""}});
    Use(server);
    int failed = 0;
    smtp.OnConnectionFailed = [&] { ++failed; };
    EXPECT_EQ(WhatRaised<ESockError>([&] { smtp.Connect(); }), "10061:Connection refused");
    EXPECT_EQ(failed, 1);
    EXPECT_FALSE(smtp.Connected());
    EXPECT_FALSE(smtp.Busy());
}

TEST_F(SessionTest, SendWithoutConnection) {
    FillMessage();
    int required = 0;
    smtp.OnConnectionRequired = [&] { ++required; };
    EXPECT_EQ(WhatRaised([&] { smtp.SendMail(); }), "Not Connected");
    EXPECT_EQ(required, 1);
    EXPECT_FALSE(smtp.Busy());
}

TEST_F(SessionTest, HostNamesAreResolvedAndInvalidHostsReported) {
    ScriptedServer server(Script{{"send", "220 hi\r\n"},
                                 {"drain", ""},
                                 {"accept", ""},
                                 {"send", "220 hi\r\n"},
                                 {"drain", ""}});
    Use(server);
    smtp.SetHost("localhost");
    int resolved = 0;
    smtp.OnHostResolved = [&] { ++resolved; };
    smtp.TSocketClient::Connect();
    EXPECT_EQ(resolved, 1);
    EXPECT_EQ(smtp.RemoteAddress(), 0x7f000001u);
    EXPECT_EQ(smtp.ReadLn(), "220 hi\r\n");
    smtp.TSocketClient::Disconnect();

    smtp.SetHost("");
    EXPECT_EQ(WhatRaised([&] { smtp.TSocketClient::Connect(); }), "No server host name given");
    smtp.OnInvalidHost = [&](bool& handled) {
        smtp.SetHost("127.0.0.1");
        handled = true;
    };
    smtp.SetHost("");
    smtp.TSocketClient::Connect();
    EXPECT_TRUE(smtp.Connected());
}

TEST_F(SessionTest, WriteLimitAndStatusReports) {
    ScriptedServer server(Script{{"recv", ""}, {"send", "250 pong\r\n"}, {"drain", ""}});
    Use(server);
    smtp.SetReportLevel(1);
    std::vector<std::string> status;
    smtp.OnStatus = [&](const std::string& s) { status.push_back(s); };
    smtp.TSocketClient::Connect();
    EXPECT_EQ(WhatRaised([&] { smtp.Write(std::string(65536, 'x')); }), "Range check error");
    smtp.Transaction("PING");
    EXPECT_EQ(smtp.ReplyNumber(), 250);
    EXPECT_EQ(status, (std::vector<std::string>{"250 pong\r\n"}));
}

}  // namespace

namespace {

TEST(HeloTest, EmptyUserIdSendsThisMachinesName) {
    ScriptedServer server(Script{{"send", "220 hi\r\n"}, {"recv", ""}, {"send", "250 ok\r\n"}} +
                          Quit());
    ASSERT_NE(server.Port(), 0);
    TSmtpClient smtp;
    smtp.SetHost("127.0.0.1");
    smtp.SetPort(server.Port());
    smtp.Connect();
    smtp.Disconnect();
    const std::string log = server.Log();
    ASSERT_EQ(log.substr(0, 5), "HELO ");
    const std::string name = log.substr(5, log.find("\r\n") - 5);
    EXPECT_FALSE(name.empty());
    EXPECT_EQ(name.find(' '), std::string::npos);
}

}  // namespace

namespace {

// ---- replies of several lines, their limits, and the extended greeting ------------------------

// The same session with two recipients, so that a reply read short answers the wrong one.
class ExtendedSessionTest : public SessionTest {
protected:
    void FillMessage() {
        SessionTest::FillMessage();
        smtp.PostMessage().ToAddress.push_back("b@x");
    }
};

TEST_F(ExtendedSessionTest, RepliesOfSeveralLinesKeepTheSessionInStep) {
    // Without reading each reply whole, the second line of a reply would answer the next command.
    ScriptedServer server(Greeting() +
                          Script{{"recv", ""},
                                 {"send", "250-reset\r\n250 done\r\n"},
                                 {"recv", ""},
                                 {"send", "250-sender\r\n250 ok\r\n"},
                                 {"recv", ""},
                                 {"send", "550-5.1.1 no such user\r\n550 5.1.1 see the manual\r\n"},
                                 {"recv", ""},
                                 {"send", "250 rcpt ok\r\n"},
                                 {"recv", ""},
                                 {"send", "354 go ahead\r\n"},
                                 {"until_dot", ""},
                                 {"send", "250-queued\r\n250 as 42\r\n"}} +
                          Quit());
    Use(server);
    smtp.Connect();
    FillMessage();
    std::vector<std::string> notFound;
    smtp.OnRecipientNotFound = [&](const std::string& r) { notFound.push_back(r); };
    smtp.SendMail();
    EXPECT_EQ(notFound, std::vector<std::string>{"a@x"});
    EXPECT_EQ(smtp.ReplyNumber(), 250);
    EXPECT_EQ(smtp.ReplyText(), "250-queued\r\n250 as 42\r\n");
    smtp.Disconnect();
    EXPECT_EQ(smtp.ReplyText(), "221 bye\r\n");
}

struct TOverlongCase {
    const char* name;
    std::string reply;
    const char* error;
};

void PrintTo(const TOverlongCase& c, std::ostream* os) {
    *os << c.name;
}

std::string Repeated(const std::string& line, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += line;
    return out;
}

class OverlongReplyTest : public ExtendedSessionTest,
                          public ::testing::WithParamInterface<TOverlongCase> {};

TEST_P(OverlongReplyTest, EndsTheConnectWithAnError) {
    ScriptedServer server(Script{{"send", GetParam().reply}, {"drain", ""}});
    Use(server);
    smtp.SetTimeOut(10000);
    EXPECT_EQ(WhatRaised<ESockError>([&] { smtp.Connect(); }), GetParam().error);
    EXPECT_FALSE(smtp.Busy());
}

INSTANTIATE_TEST_SUITE_P(
    Replies, OverlongReplyTest,
    ::testing::Values(
        TOverlongCase{"LineWithoutEnd", std::string(70000, '2'), "Line too long"},
        TOverlongCase{"EndlessContinuation", Repeated("220-more\r\n", 1200), "Reply too long"},
        TOverlongCase{"ContinuationBeyondItsBytes",
                      Repeated("220-" + std::string(1000, 'x') + "\r\n", 80), "Reply too long"}),
    CaseName());

TEST_F(ExtendedSessionTest, AddressWithALineBreakSendsNoCommandOfIt) {
    ScriptedServer server(Greeting() + Quit());
    Use(server);
    smtp.Connect();
    FillMessage();
    smtp.PostMessage().FromAddress = "st@x>\r\nRCPT TO:<everyone@x";
    EXPECT_EQ(WhatRaised([&] { smtp.SendMail(); }), "Line break in a mail address");
    EXPECT_TRUE(smtp.Connected());
    smtp.Disconnect();
    EXPECT_EQ(server.Log(), "HELO station.test\r\nQUIT\r\n");
}

TEST_F(ExtendedSessionTest, RefusedEhloFallsBackToHelo) {
    ScriptedServer server(Script{{"send", "220 old server\r\n"},
                                 {"recv", ""},
                                 {"send", "500 unknown command\r\n"},
                                 {"recv", ""},
                                 {"send", "250 hello\r\n"}} +
                          Quit());
    Use(server);
    smtp.SetSecurity(TMailSecurity::None);
    smtp.SetUser("u");
    smtp.SetPassword("p");
    smtp.SetTrusted(true);
    // A login was asked for, and an old server has no way to take it.
    EXPECT_EQ(WhatRaised<EAuthError>([&] { smtp.Connect(); }), "The server offers no AUTH");
    EXPECT_EQ(server.Log(), "EHLO station.test\r\nHELO station.test\r\nQUIT\r\n");
}

TEST_F(ExtendedSessionTest, TemporaryEhloRefusalIsNotTakenForAnOldServer) {
    ScriptedServer server(
        Script{{"send", "220 busy\r\n"}, {"recv", ""}, {"send", "421 4.3.2 try later\r\n"}} +
        Quit());
    Use(server);
    smtp.SetUser("u");
    EXPECT_EQ(WhatRaised([&] { smtp.Connect(); }), "421 4.3.2 try later\r\n");
    EXPECT_EQ(server.Log(), "EHLO station.test\r\nQUIT\r\n");
}

struct TLoginCase {
    const char* name;
    const char* offered;
    Script exchange;    // the server's side after the EHLO reply
    const char* sent;   // what the client sends after its EHLO, QUIT excluded
    const char* error;  // nullptr: logged in
};

void PrintTo(const TLoginCase& c, std::ostream* os) {
    *os << c.name;
}

class LoginTest : public ExtendedSessionTest, public ::testing::WithParamInterface<TLoginCase> {};

// On a trusted network, so the dialogue can be read in plain text.
TEST_P(LoginTest, SpeaksTheMechanismTheServerOffers) {
    const TLoginCase& c = GetParam();
    ScriptedServer server(Script{{"send", "220 hi\r\n"},
                                 {"recv", ""},
                                 {"send", std::string("250-hi\r\n") + c.offered}} +
                          c.exchange + Quit());
    Use(server);
    smtp.SetUser("user");
    smtp.SetPassword("pass");
    smtp.SetTrusted(true);
    if (c.error) {
        EXPECT_EQ(WhatRaised<EAuthError>([&] { smtp.Connect(); }), c.error);
    } else {
        smtp.Connect();
        smtp.Disconnect();
    }
    EXPECT_EQ(server.Log(), std::string("EHLO station.test\r\n") + c.sent + "QUIT\r\n");
}

// "\0user\0pass" and the two halves of LOGIN in base64.
INSTANTIATE_TEST_SUITE_P(
    Mechanisms, LoginTest,
    ::testing::Values(
        TLoginCase{"PlainWithItsInitialResponse", "250 AUTH LOGIN PLAIN\r\n",
                   Script{{"recv", ""}, {"send", "235 ok\r\n"}}, "AUTH PLAIN AHVzZXIAcGFzcw==\r\n",
                   nullptr},
        TLoginCase{"PlainAskedForAgain", "250 AUTH PLAIN\r\n",
                   Script{{"recv", ""}, {"send", "334 \r\n"}, {"recv", ""}, {"send", "235 ok\r\n"}},
                   "AUTH PLAIN AHVzZXIAcGFzcw==\r\nAHVzZXIAcGFzcw==\r\n", nullptr},
        TLoginCase{"LoginStepByStep", "250 AUTH=LOGIN\r\n",
                   Script{{"recv", ""},
                          {"send", "334 VXNlcm5hbWU6\r\n"},
                          {"recv", ""},
                          {"send", "334 UGFzc3dvcmQ6\r\n"},
                          {"recv", ""},
                          {"send", "235 ok\r\n"}},
                   "AUTH LOGIN\r\ndXNlcg==\r\ncGFzcw==\r\n", nullptr},
        TLoginCase{"LoginRefused", "250 AUTH LOGIN\r\n",
                   Script{{"recv", ""},
                          {"send", "334 VXNlcm5hbWU6\r\n"},
                          {"recv", ""},
                          {"send", "334 UGFzc3dvcmQ6\r\n"},
                          {"recv", ""},
                          {"send", "535 5.7.8 bad credentials\r\n"}},
                   "AUTH LOGIN\r\ndXNlcg==\r\ncGFzcw==\r\n", "535 5.7.8 bad credentials\r\n"},
        TLoginCase{"NoMechanismInCommon", "250 AUTH CRAM-MD5 XOAUTH2\r\n", Script{}, "",
                   "No AUTH mechanism in common: CRAM-MD5 XOAUTH2"}),
    CaseName());

// ---- the capabilities of an EHLO reply --------------------------------------------------------

struct TEhloCase {
    const char* name;
    std::string reply;
    bool startTls, auth, plain, login;
    const char* mechanisms;
};

void PrintTo(const TEhloCase& c, std::ostream* os) {
    *os << c.name;
}

class EhloReplyTest : public ::testing::TestWithParam<TEhloCase> {};

TEST_P(EhloReplyTest, OffersWhatItsLinesSay) {
    const TEhloCase& c = GetParam();
    const TSmtpCapabilities caps = ParseEhloReply(c.reply);
    EXPECT_EQ(caps.StartTls, c.startTls);
    EXPECT_EQ(caps.Auth, c.auth);
    EXPECT_EQ(caps.AuthPlain, c.plain);
    EXPECT_EQ(caps.AuthLogin, c.login);
    EXPECT_EQ(caps.AuthMechanisms, c.mechanisms);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, EhloReplyTest,
    ::testing::Values(
        TEhloCase{"Submission",
                  "250-mx.example greets you\r\n250-SIZE 35882577\r\n250-STARTTLS\r\n"
                  "250-AUTH LOGIN PLAIN XOAUTH2\r\n250 SMTPUTF8\r\n",
                  true, true, true, true, "LOGIN PLAIN XOAUTH2"},
        TEhloCase{"LowerCaseAndBareLineFeeds", "250-mx\n250-starttls\n250 auth plain\n", true, true,
                  true, false, "PLAIN"},
        TEhloCase{"OldEqualsForm", "250-mx\r\n250-AUTH=LOGIN\r\n250 HELP\r\n", false, true, false,
                  true, "LOGIN"},
        TEhloCase{"GreetingLineIsNoCapability", "250 STARTTLS AUTH PLAIN\r\n", false, false, false,
                  false, ""},
        TEhloCase{"WordsThatOnlyBeginLikeOnes", "250-mx\r\n250-STARTTLSX\r\n250 AUTHX PLAIN\r\n",
                  false, false, false, false, ""},
        TEhloCase{"AuthWithoutMechanisms", "250-mx\r\n250 AUTH\r\n", false, true, false, false, ""},
        TEhloCase{"ShortAndEmptyLines", "250-mx\r\n\r\n25\r\n250-\r\n250 \r\n", false, false, false,
                  false, ""},
        TEhloCase{"EndlessMechanismListIsCut",
                  "250-mx\r\n250 AUTH PLAIN" + Repeated(" X-LONG-MECHANISM-NAME", 100) + "\r\n",
                  false, true, true, false,
                  "PLAIN X-LONG-MECHANISM-NAME X-LONG-MECHANISM-NAME X-LONG-MECHANISM-NAME "
                  "X-LONG-MECHANISM-NAME X-LONG-MECHANISM-NAME X-LONG-MECHANISM-NAME "
                  "X-LONG-MECHANISM-NAME X-LONG-MECHANISM-NAME X-LONG-MECHANISM-NAME "
                  "X-LONG-MECHANISM-NAME X-LONG-MECHANISM-NAME"}),
    CaseName());

}  // namespace
