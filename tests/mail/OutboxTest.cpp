// The outgoing queue: its files, what a damaged one gives, and the retry schedule.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "mail/Outbox.h"
#include "tests/common/CaseName.h"
#include "tests/common/TempDir.h"

namespace {

TDateTime At(int d, int hh, int nn, int ss = 0) {
    return EncodeDateTimeOrZero(2026, 12, d, hh, nn, ss);
}

TMailEnvelope Message(const std::string& to, const std::string& text = "body") {
    TMailEnvelope e;
    e.From = "station@office.test";
    e.Recipients = {to};
    e.Header = "From: <station@office.test>\r\nTo: " + to + "\r\n\r\n\r\n";
    e.Body = text + "\r\n..dot\r\n";
    return e;
}

TEST(OutboxFileTest, MessageComesBackByteForByte) {
    TMailEnvelope e = Message("a@x", std::string("\0\r\n\xff binary", 12));
    e.Recipients.push_back("b@x");
    const std::string bytes = FormatQueuedMail(At(7, 0, 0, 1), e);
    const auto q = ParseQueuedMail(bytes);
    ASSERT_TRUE(q.has_value());
    EXPECT_EQ(q->Queued, At(7, 0, 0, 1));
    EXPECT_EQ(q->Envelope.From, e.From);
    EXPECT_EQ(q->Envelope.Recipients, e.Recipients);
    EXPECT_EQ(q->Envelope.Header, e.Header);
    EXPECT_EQ(q->Envelope.Body, e.Body);
}

struct TDamageCase {
    const char* name;
    std::string (*damage)(std::string bytes);
};

void PrintTo(const TDamageCase& c, std::ostream* os) {
    *os << c.name;
}

class OutboxDamageTest : public ::testing::TestWithParam<TDamageCase> {};

TEST_P(OutboxDamageTest, DamagedFileIsNoMessage) {
    const std::string good = FormatQueuedMail(At(7, 0, 0), Message("a@x"));
    ASSERT_TRUE(ParseQueuedMail(good));
    EXPECT_FALSE(ParseQueuedMail(GetParam().damage(good)));
}

std::string Replaced(std::string s, const std::string& from, const std::string& to) {
    return s.replace(s.find(from), from.size(), to);
}

std::string WithBodySize(std::string s, const std::string& size) {
    const size_t at = s.find("Body: ") + 6;
    return s.replace(at, s.find("\r\n", at) - at, size);
}

INSTANTIATE_TEST_SUITE_P(
    Files, OutboxDamageTest,
    ::testing::Values(
        TDamageCase{"Empty", [](std::string) { return std::string(); }},
        TDamageCase{"CutShort", [](std::string s) { return s.substr(0, s.size() - 1); }},
        TDamageCase{"OneByteTooMany", [](std::string s) { return s + "x"; }},
        TDamageCase{"CutInTheHead", [](std::string s) { return s.substr(0, 40); }},
        TDamageCase{"AnotherFile",
                    [](std::string s) { return Replaced(s, "outbox 1", "outbox 2"); }},
        TDamageCase{"ImpossibleDate",
                    [](std::string s) { return Replaced(s, "2026-12-07", "2026-02-30"); }},
        TDamageCase{"NoRecipient", [](std::string s) { return Replaced(s, "To: a@x\r\n", ""); }},
        TDamageCase{"EmptyRecipient", [](std::string s) { return Replaced(s, "To: a@x", "To: "); }},
        TDamageCase{"SizeBeyondAnyFile",
                    [](std::string s) { return WithBodySize(s, "99999999999"); }},
        TDamageCase{"NegativeSize", [](std::string s) { return WithBodySize(s, "-1"); }},
        TDamageCase{"UnknownLine",
                    [](std::string s) { return Replaced(s, "To: a@x", "Cc: a@x"); }}),
    CaseName());

class OutboxTest : public ::testing::Test {
protected:
    // One retry pass at now; what was sent, by recipient.
    std::vector<std::string> RetryAt(TDateTime now) {
        std::vector<std::string> tried;
        outbox.Retry(
            now,
            [&](const TMailEnvelope& e) {
                tried.push_back(e.Recipients[0]);
                return failing.count(e.Recipients[0]) ? failing[e.Recipients[0]] : std::string();
            },
            [&](const TOutboxReport& r) { reports.push_back(r); });
        return tried;
    }
    TempDir dir;
    TOutbox outbox{dir.file("outbox/")};
    std::map<std::string, std::string> failing;
    std::vector<TOutboxReport> reports;
};

TEST_F(OutboxTest, EachMessageIsOneFileOnlyItsOwnerReads) {
    const std::string first = outbox.Queue(Message("a@x"), At(7, 0, 0), "451 later");
    const std::string second = outbox.Queue(Message("b@x"), At(7, 0, 0), "451 later");
    EXPECT_NE(first, second);
    EXPECT_EQ(outbox.Names(), (std::vector<std::string>{first, second}));
    struct stat st {};
    ASSERT_EQ(::stat((outbox.Dir() + first).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // Nothing but the messages is left behind.
    size_t files = 0;
    for (const auto& e : std::filesystem::directory_iterator(outbox.Dir())) {
        (void)e;
        ++files;
    }
    EXPECT_EQ(files, 2u);
    const auto q = outbox.Read(second);
    ASSERT_TRUE(q);
    EXPECT_EQ(q->Envelope.Body, Message("b@x").Body);
}

TEST_F(OutboxTest, NamesAreNotReusedByAnotherOutboxOnTheSameDirectory) {
    const std::string first = outbox.Queue(Message("a@x"), At(7, 0, 0), "x");
    TOutbox other(outbox.Dir());  // a station started again within the same second
    const std::string second = other.Queue(Message("b@x"), At(7, 0, 0), "x");
    EXPECT_NE(first, second);
    EXPECT_EQ(outbox.Read(first)->Envelope.Recipients[0], "a@x");
}

TEST_F(OutboxTest, RetriedEveryTenMinutesFromTheLastAttempt) {
    outbox.Queue(Message("a@x"), At(7, 0, 0), "451 later");
    failing["a@x"] = "451 later";
    EXPECT_TRUE(RetryAt(At(7, 0, 5)).empty());
    EXPECT_EQ(RetryAt(At(7, 0, 10)), std::vector<std::string>{"a@x"});
    EXPECT_TRUE(reports.empty()) << "the same reason again is not reported again";
    EXPECT_TRUE(RetryAt(At(7, 0, 18)).empty());
    failing["a@x"] = "421 closing";
    EXPECT_EQ(RetryAt(At(7, 0, 20)), std::vector<std::string>{"a@x"});
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].Event, TOutboxEvent::Failed);
    EXPECT_EQ(reports[0].Reason, "421 closing");
    failing.clear();
    EXPECT_EQ(RetryAt(At(7, 0, 30)), std::vector<std::string>{"a@x"});
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[1].Event, TOutboxEvent::Delivered);
    EXPECT_EQ(reports[1].Recipients, std::vector<std::string>{"a@x"});
    EXPECT_TRUE(outbox.Names().empty());
}

TEST_F(OutboxTest, ServerDownCostsOneAttemptPerInterval) {
    for (const char* to : {"a@x", "b@x", "c@x"}) outbox.Queue(Message(to), At(7, 0, 0), "down");
    failing = {{"a@x", "down"}, {"b@x", "down"}, {"c@x", "down"}};
    EXPECT_EQ(RetryAt(At(7, 0, 10)), std::vector<std::string>{"a@x"});
    failing.clear();
    EXPECT_EQ(RetryAt(At(7, 0, 20)), (std::vector<std::string>{"a@x", "b@x", "c@x"}));
    EXPECT_TRUE(outbox.Names().empty());
}

TEST_F(OutboxTest, DroppedADayAfterTheFirstFailureWithTheLastReason) {
    const std::string name = outbox.Queue(Message("a@x"), At(7, 0, 0), "451 later");
    failing["a@x"] = "451 later";
    RetryAt(At(7, 23, 59));
    EXPECT_EQ(outbox.Names().size(), 1u);
    EXPECT_TRUE(RetryAt(At(8, 0, 0, 30)).empty());
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].Event, TOutboxEvent::Dropped);
    EXPECT_EQ(reports[0].Name, name);
    EXPECT_EQ(reports[0].Reason, "451 later");
    EXPECT_TRUE(outbox.Names().empty());
}

TEST_F(OutboxTest, FilesOfAnEarlierRunAreTriedAtOnce) {
    outbox.Queue(Message("a@x"), At(7, 0, 0), "x");
    TOutbox restarted(outbox.Dir());
    std::vector<std::string> tried;
    restarted.Retry(
        At(7, 0, 1),
        [&](const TMailEnvelope& e) {
            tried.push_back(e.Recipients[0]);
            return std::string();
        },
        [](const TOutboxReport&) {});
    EXPECT_EQ(tried, std::vector<std::string>{"a@x"});
}

TEST_F(OutboxTest, ClockSetBackDoesNotHoldMessagesBack) {
    outbox.Queue(Message("a@x"), At(7, 12, 0), "x");
    EXPECT_EQ(RetryAt(At(7, 11, 0)), std::vector<std::string>{"a@x"});
}

TEST_F(OutboxTest, DirectoryIsLookedAtOnceAMinute) {
    outbox.Queue(Message("a@x"), At(7, 0, 0), "x");
    EXPECT_TRUE(RetryAt(At(7, 0, 9, 30)).empty());
    EXPECT_TRUE(RetryAt(At(7, 0, 10, 0)).empty()) << "looked at 30 seconds ago";
    EXPECT_EQ(RetryAt(At(7, 0, 10, 31)), std::vector<std::string>{"a@x"});
}

TEST_F(OutboxTest, ForeignFilesAreReportedOnceAndLeftAlone) {
    outbox.Queue(Message("a@x"), At(7, 0, 0), "x");
    WriteBytes(outbox.Dir() + "20261207-000000-0.msg", "not a message");
    WriteBytes(outbox.Dir() + "notes.txt", "ignored");
    EXPECT_EQ(RetryAt(At(7, 0, 10)), std::vector<std::string>{"a@x"});
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].Event, TOutboxEvent::Unreadable);
    EXPECT_EQ(reports[0].Name, "20261207-000000-0.msg");
    RetryAt(At(7, 0, 20));
    EXPECT_EQ(reports.size(), 2u);
    EXPECT_EQ(outbox.Names(), std::vector<std::string>{"20261207-000000-0.msg"});
}

TEST_F(OutboxTest, MessageThatCannotBeStoredRaises) {
    TMailEnvelope broken = Message("a@x");
    broken.Recipients = {"a@x\r\nRCPT TO:<b@x>"};
    EXPECT_THROW(outbox.Queue(broken, At(7, 0, 0), "x"), EError);
    WriteBytes(dir.file("file"), "");
    TOutbox blocked(dir.file("file/outbox/"));  // its directory cannot be made
    EXPECT_THROW(blocked.Queue(Message("a@x"), At(7, 0, 0), "x"), EError);
}

}  // namespace
