#include <gtest/gtest.h>

#include <QProcess>

#include "mail/SmtpClient.h"
#include "platform/CodePage.h"
#include "tests/mail/Servers.h"

namespace {

using platform::Utf8ToAnsi;

class DeliveryTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(server.Port(), 0);
        smtp.SetHost("127.0.0.1");
        smtp.SetPort(server.Port());
    }
    // The station's own pattern: connect, fill, send, disconnect if still connected.
    void Send(const std::string& subject, const std::string& to, const std::string& body) {
        smtp.Connect();
        smtp.SetCharset("windows-1251");
        TMailMessage& m = smtp.PostMessage();
        m.Subject = subject;
        m.FromAddress = "station@office.test";
        m.ToAddress = TextToLines(to);
        m.Body = TextToLines(body);
        smtp.SendMail();
        if (smtp.Connected()) smtp.Disconnect();
    }
    SinkServer server;
    TSmtpClient smtp;
};

TEST_F(DeliveryTest, StatisticsMailArrivesAsWindows1251Bytes) {
    const std::string subject = Utf8ToAnsi("Статистика звонков");
    const std::string line1 = Utf8ToAnsi("Здравствуйте, Иванов И.И.");
    const std::string line2 = Utf8ToAnsi("Входящие  : 1 ч. 2 мин. 3 сек.");
    Send(subject, "owner@office.test", line1 + "\r\n\r\n" + line2 + "\r\n");
    EXPECT_EQ(smtp.ReplyText(), "221 Bye\r\n");
    EXPECT_EQ(server.Data(1),
              "From: <station@office.test>\r\n"
              "To: owner@office.test\r\n"
              "Subject: " +
                  subject +
                  "\r\n"
                  "Mime-Version: 1.0\r\n"
                  "Content-Type: text/plain; charset=windows-1251\r\n"
                  "\r\n"
                  "\r\n" +
                  line1 + "\r\n\r\n" + line2 + "\r\n");
    EXPECT_EQ(server.Envelope(1), "station@office.test\nowner@office.test\n");
}

TEST_F(DeliveryTest, RecipientsWithNamesCopiesAndBlindCopies) {
    smtp.Connect();
    TMailMessage& m = smtp.PostMessage();
    m.FromAddress = "station@office.test";
    m.ToAddress = {Utf8ToAnsi("Иван Петров <ivan@office.test>"), "", "smtp:petr@office.test"};
    m.ToCarbonCopy = {"boss@office.test"};
    m.ToBlindCarbonCopy = {"audit@office.test"};
    m.Body = {"x"};
    smtp.SendMail();
    smtp.Disconnect();
    EXPECT_EQ(server.Envelope(1),
              "station@office.test\nivan@office.test\npetr@office.test\nboss@office.test\n"
              "audit@office.test\n");
    const std::string data = server.Data(1);
    EXPECT_NE(data.find("\r\nTo: " + Utf8ToAnsi("Иван Петров <ivan@office.test>") +
                        ",,smtp:petr@office.test\r\nCC: boss@office.test\r\n"),
              std::string::npos)
        << data;
    EXPECT_EQ(data.find("audit"), std::string::npos);
    EXPECT_TRUE(m.ToAddress.empty());  // ClearParams
    EXPECT_EQ(m.FromAddress, "station@office.test");
}

TEST_F(DeliveryTest, DotLinesSurviveTheTrip) {
    Send("dots", "a@office.test", ".\n.leading\n..two\nmiddle . dot\n\n.");
    const std::string data = server.Data(1);
    const std::string body = data.substr(data.find("\r\n\r\n\r\n") + 6);
    EXPECT_EQ(body, ".\r\n.leading\r\n..two\r\nmiddle . dot\r\n\r\n.\r\n");
}

TEST_F(DeliveryTest, EmptyUserIdIntroducesWithTheHostName) {
    ASSERT_TRUE(smtp.UserID().empty());
    Send("", "a@office.test", "no subject");
    EXPECT_EQ(server.Data(1).find("Subject"), std::string::npos);
    EXPECT_EQ(server.Envelope(1), "station@office.test\na@office.test\n");
}

TEST_F(DeliveryTest, ClearedRecipientsMakeTheSecondSendIncomplete) {
    smtp.Connect();
    TMailMessage& m = smtp.PostMessage();
    m.FromAddress = "station@office.test";
    m.ToAddress = {"a@office.test"};
    m.Body = {"first"};
    smtp.SendMail();
    int asked = 0;
    smtp.OnHeaderIncomplete = [&](bool&, int kind) { asked = kind; };
    EXPECT_EQ(WhatRaised<EError>([&] { smtp.SendMail(); }), "Incomplete Header");
    EXPECT_EQ(asked, 2);
    EXPECT_TRUE(smtp.Connected());
    // The handler may fill the gap; the send then goes ahead.
    smtp.OnHeaderIncomplete = [&](bool& handled, int) {
        m.ToAddress = {"b@office.test"};
        handled = true;
    };
    smtp.SendMail();
    smtp.Disconnect();
    // One component serves sessions in turn.
    m.ToAddress = {"c@office.test"};
    smtp.Connect();
    smtp.SendMail();
    smtp.Disconnect();
    EXPECT_EQ(server.Envelope(2), "station@office.test\nb@office.test\n");
    EXPECT_EQ(server.Envelope(3), "station@office.test\nc@office.test\n");
}

TEST_F(DeliveryTest, LargeBodyGoesInPieces) {
    std::string body;
    for (int i = 0; i < 3000; ++i) body += std::string(60, 'a' + i % 26) + "\n";
    int packets = 0;
    smtp.OnPacketSent = [&] { ++packets; };
    Send("big", "a@office.test", body);
    EXPECT_EQ(packets, 3);  // 183000 bytes in pieces of at most 65536
    const std::string data = server.Data(1);
    EXPECT_EQ(data.size() - data.find("\r\n\r\n\r\n") - 6, 3000u * 62);
}

TEST_F(DeliveryTest, ToolSendsTheWayTheStationDoes) {
    const std::string body = Utf8ToAnsi("Строка\n.точка\n");
    const auto r = RunSendmail({"--host", "127.0.0.1", "--port", QString::number(server.Port()),
                                "--from", "admin@office.test", "--to", "a@office.test", "--to",
                                "b@office.test", "--subject", "check", "--timeout", "5000"},
                               body);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "221 Bye\n");
    EXPECT_EQ(server.Envelope(1), "admin@office.test\na@office.test\nb@office.test\n");
    EXPECT_EQ(server.Data(1),
              "From: <admin@office.test>\r\nTo: a@office.test,b@office.test\r\n"
              "Subject: check\r\nMime-Version: 1.0\r\n"
              "Content-Type: text/plain; charset=windows-1251\r\n\r\n\r\n" +
                  Utf8ToAnsi("Строка\r\n.точка\r\n"));
}

TEST(ToolTest, ReportsFailures) {
    ScriptedServer refusing(Script{{"refuse", ""}});
    const auto r = RunSendmail({"--host", "127.0.0.1", "--port", QString::number(refusing.Port()),
                                "--from", "a@x", "--to", "b@x"},
                               "");
    EXPECT_EQ(r.exitCode, 5);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "10061:Connection refused\n");
    EXPECT_EQ(RunSendmail({"--host", "127.0.0.1"}, "").exitCode, 2);
}

}  // namespace
