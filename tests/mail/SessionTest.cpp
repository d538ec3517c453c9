#include <gtest/gtest.h>

#include <QTimer>
#include <fstream>

#include "mail/SmtpClient.h"
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
    EXPECT_EQ(WhatRaised([&] { smtp.SendMail(); }), "503 no valid recipients\r\n");
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
    EXPECT_EQ(WhatRaised([&] { smtp.Connect(); }), "Socket readln aborted");
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
    EXPECT_EQ(WhatRaised([&] { smtp.TSocketClient::Connect(); }), "Null Remote Address");
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
