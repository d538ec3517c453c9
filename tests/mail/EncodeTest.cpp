#include <gtest/gtest.h>

#include "mail/MailEncoding.h"
#include "mail/SmtpClient.h"
#include "mail/SocketClient.h"
#include "tests/common/CaseName.h"
#include "tests/common/TempDir.h"

namespace {

struct EncodeCase {
    const char* name;
    std::string input;
    UUMethods method;
    std::string expected;
};

class EncodeTest : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(EncodeTest, EncodesLines) {
    EXPECT_EQ(EncodeBytes(GetParam().input, GetParam().method), GetParam().expected);
}

const std::string k45(45, 'M');
const std::string kLine60 = [] {
    std::string s;
    for (int i = 0; i < 15; ++i) s += "TU1N";
    return s;
}();

const std::string kUuLine60 = [] {
    std::string s;
    for (int i = 0; i < 15; ++i) s += "34U-";
    return s;
}();

INSTANTIATE_TEST_SUITE_P(
    Methods, EncodeTest,
    ::testing::Values(
        EncodeCase{"MimeEmpty", "", uuMime, ""}, EncodeCase{"MimeOneByte", "f", uuMime, "Zg==\r\n"},
        EncodeCase{"MimeTwoBytes", "fo", uuMime, "Zm8=\r\n"},
        EncodeCase{"MimeThreeBytes", "foo", uuMime, "Zm9v\r\n"},
        EncodeCase{"MimePlusAndSlash", std::string("\xfb\xff", 2), uuMime, "+/8=\r\n"},
        EncodeCase{"MimeFullLine", k45, uuMime, kLine60 + "\r\n"},
        EncodeCase{"MimeFullLineAndOneByte", k45 + "M", uuMime, kLine60 + "\r\nTQ==\r\n"},
        EncodeCase{"UuEmpty", "", uuCode, "`\r\n"},
        EncodeCase{"UuThreeBytes", "Cat", uuCode, "#0V%T\r\n`\r\n"},
        // a zero value is the grave accent; short groups get no padding
        EncodeCase{"UuZeroByte", std::string("\0", 1), uuCode, "!``\r\n`\r\n"},
        EncodeCase{"UuTwoBytes", "Ca", uuCode, "\"0V$\r\n`\r\n"},
        EncodeCase{"UuFullLine", k45, uuCode, "M" + kUuLine60 + "\r\n`\r\n"}),
    CaseName());

TEST(TextToLinesTest, SplitsAtEveryBreakAndEndsAtNul) {
    using V = std::vector<std::string>;
    EXPECT_EQ(TextToLines("a\r\nb\rc\nd"), (V{"a", "b", "c", "d"}));
    EXPECT_EQ(TextToLines("a\r\n"), (V{"a"}));
    EXPECT_EQ(TextToLines("a\n\nb"), (V{"a", "", "b"}));
    EXPECT_EQ(TextToLines(std::string_view("a\nb\0c\nd", 7)), (V{"a", "b"}));
    EXPECT_EQ(TextToLines(""), V{});
}

TEST(SetHeaderTest, ReplacesAddsAndRemovesByName) {
    std::vector<std::string> h = {"From: <a@b>", "subject: old"};
    SetHeader(h, "Subject", "new");
    SetHeader(h, "X-Mailer", "m");
    EXPECT_EQ(h, (std::vector<std::string>{"From: <a@b>", "Subject: new", "X-Mailer: m"}));
    SetHeader(h, "SUBJECT", "");
    SetHeader(h, "Date", "");
    EXPECT_EQ(h, (std::vector<std::string>{"From: <a@b>", "X-Mailer: m"}));
}

TEST(MailboxTest, ExtractsTheAddress) {
    const std::pair<const char*, const char*> cases[] = {
        {"Ivan Petrov <ivan@x.ru>", "ivan@x.ru"},
        {"<a@b>", "a@b"},
        {"a<b@c>d<e@f>", "b@c"},
        {"<b@c", "b@c"},
        {"smtp:a@b", "a@b"},
        {"x:y:z", "y"},
        {"plain@host", "plain@host"},
        {"", ""},
        {"Name <>", ""},
    };
    for (const auto& [entry, mailbox] : cases) EXPECT_EQ(ExtractMailbox(entry), mailbox) << entry;
}

TEST(SocketErrorTest, NumberAndText) {
    EXPECT_EQ(SocketErrorMessage(10061), "10061:Connection refused");
    EXPECT_EQ(SocketErrorMessage(11001), "11001:Host not found");
    EXPECT_EQ(SocketErrorMessage(12345), "12345:Unknown Error No. 12345");
}

class BuildTest : public ::testing::Test {
protected:
    TSmtpClient smtp;
    TMailMessage& m = smtp.PostMessage();
};

TEST_F(BuildTest, HeaderLinesInOrder) {
    m.FromName = "Station ";
    m.FromAddress = "st@x";
    m.ToAddress = {"a@x", "B <b@x>"};
    m.ToCarbonCopy = {"c@x"};
    m.ToBlindCarbonCopy = {"hidden@x"};
    m.Subject = "S";
    m.LocalProgram = "M";
    m.ReplyTo = "r@x";
    m.Date = "Mon, 7 Dec 2026 00:00:01 +0300";
    smtp.SetCharset("windows-1251");
    smtp.BuildMessage();
    EXPECT_EQ(smtp.FinalHeader(),
              (std::vector<std::string>{"From: Station <st@x>", "To: a@x,B <b@x>", "CC: c@x",
                                        "Subject: S", "X-Mailer: M", "Reply-To: r@x",
                                        "Date: Mon, 7 Dec 2026 00:00:01 +0300", "Mime-Version: 1.0",
                                        "Content-Type: text/plain; charset=windows-1251"}));
}

TEST_F(BuildTest, EmptySubjectAndProgramGiveNoLines) {
    m.FromAddress = "st@x";
    m.ToBlindCarbonCopy = {"hidden@x"};
    smtp.BuildMessage();
    EXPECT_EQ(smtp.FinalHeader(),
              (std::vector<std::string>{"From: <st@x>", "Mime-Version: 1.0",
                                        "Content-Type: text/plain; charset=us-ascii"}));
}

TEST_F(BuildTest, ContentTypeFollowsSubType) {
    const std::pair<TSubType, const char*> cases[] = {
        {mtPlain, "text/plain"}, {mtEnriched, "text/enriched"},
        {mtSgml, "text/sgml"},   {mtTabSeperated, "text/tab-separated-values"},
        {mtHtml, "text/html"},
    };
    for (const auto& [type, text] : cases) {
        smtp.SetSubType(type);
        smtp.BuildMessage();
        EXPECT_EQ(smtp.FinalHeader().back(),
                  std::string("Content-Type: ") + text + "; charset=us-ascii");
    }
}

TEST_F(BuildTest, BodyIsDotStuffedWithCrLf) {
    m.Body = TextToLines(".\n.x\nplain\n\n..y");
    smtp.BuildMessage();
    EXPECT_EQ(smtp.BodyStream(), "..\r\n..x\r\nplain\r\n\r\n...y\r\n");
}

TEST_F(BuildTest, AttachmentsMakeMultipart) {
    TempDir dir;
    WriteBytes(dir.file("calls.txt"), "Cat");
    m.Body = {"text", ".dot"};
    m.Attachments = {dir.file("calls.txt")};
    std::vector<std::string> events;
    smtp.OnEncodeStart = [&](const std::string& f) { events.push_back("start " + f); };
    smtp.OnEncodeEnd = [&](const std::string& f) { events.push_back("end " + f); };
    smtp.BuildMessage();
    const std::string b = smtp.Boundary();
    ASSERT_EQ(b.size(), 35u);
    EXPECT_EQ(b.substr(0, 25), "====================54535");
    EXPECT_EQ(b.substr(31), "====");
    for (char c : b.substr(25, 6)) EXPECT_TRUE(c >= 'a' && c <= 'y') << b;
    EXPECT_EQ(smtp.FinalHeader().back(), "Content-Type: multipart/mixed; boundary=\"" + b + "\"");
    EXPECT_EQ(smtp.BodyStream(),
              "--" + b + "\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\ntext\r\n..dot\r\n" +
                  "--" + b +
                  "\r\nContent-Type: application/octet-stream; name=\"calls.txt\"\r\n"
                  "Content-Transfer-Encoding: base64\r\n"
                  "Content-Disposition: attachment; filename=\"calls.txt\"\r\n\r\n"
                  "Q2F0\r\n--" +
                  b + "--\r\n");
    EXPECT_EQ(events, (std::vector<std::string>{"start " + dir.file("calls.txt"),
                                                "end " + dir.file("calls.txt")}));
}

TEST_F(BuildTest, MissingAttachmentIsReported) {
    m.Attachments = {"/nonexistent/dir/file.bin"};
    std::string missing;
    smtp.OnAttachmentNotFound = [&](const std::string& f) { missing = f; };
    EXPECT_THROW(smtp.BuildMessage(), EError);
    EXPECT_EQ(missing, "/nonexistent/dir/file.bin");
}

}  // namespace
