// tarvick-web as a process on a real database: sign-in, sessions, rights by edited URLs, bad
// requests, slow clients, HTTPS, the refusal of plain HTTP on the network, /metrics.
#include <gtest/gtest.h>

#include <QDateTime>
#include <QSslConfiguration>
#include <QSslSocket>
#include <regex>
#include <set>
#include <sstream>

#include "tests/common/CaseName.h"
#include "tests/mail/Certificates.h"
#include "tests/web/WebStage.h"

using namespace webtest;

namespace {

constexpr int kDays = 3, kPerDay = 20;

std::string Today() {
    return FormatDateTime("yyyy-mm-dd", Date());
}
std::string DaysAgo(int n) {
    return FormatDateTime("yyyy-mm-dd", Date() - n);
}

// The extensions named in the rows of a call list page (the second column).
std::multiset<int> ExtensionsShown(const std::string& html) {
    std::multiset<int> out;
    static const std::regex row("<tr><td>[^<]*</td><td[^>]*>([0-9]+)</td>");
    for (auto it = std::sregex_iterator(html.begin(), html.end(), row);
         it != std::sregex_iterator(); ++it)
        out.insert(std::stoi((*it)[1]));
    return out;
}

class WebServerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        station_ = new TWebStation;
        ASSERT_TRUE(station_->Db().Created());
        std::string out;
        ASSERT_EQ(station_->Db().Isql(InsertSql(KnownCalls(kDays, kPerDay)), &out), 0) << out;
        station_->WriteIni(
            "[Web]\r\nListen=127.0.0.1:0\r\nRequestTimeout=2\r\nMetricsToken=s3cret\r\n");
        ASSERT_EQ(station_->AddUser("boss", "admin", "", "boss-pass"), 0);
        ASSERT_EQ(station_->AddUser("anna", "owner", "101,103", "anna-pass"), 0);
        ASSERT_GT(station_->Start(), 0) << station_->Output();
        admin_ = SignIn(station_->Port(), "boss", "boss-pass");
        owner_ = SignIn(station_->Port(), "anna", "anna-pass");
    }
    static void TearDownTestSuite() {
        delete station_;
        station_ = nullptr;
    }
    int Port() const { return station_->Port(); }

    static TWebStation* station_;
    static std::string admin_, owner_;
};
TWebStation* WebServerTest::station_ = nullptr;
std::string WebServerTest::admin_, WebServerTest::owner_;

TEST_F(WebServerTest, PasswordsAreStoredSaltedInAFileOnlyItsOwnerReads) {
    const std::string ini = ReadBytes(station_->Dir() + "web.ini");
    EXPECT_EQ(ini.find("boss-pass"), std::string::npos);
    std::smatch m;
    std::vector<std::string> hashes;
    static const std::regex hash("Password=(pbkdf2-sha256\\$[0-9]+\\$[0-9a-f]{32}\\$[0-9a-f]{64})");
    for (auto it = std::sregex_iterator(ini.begin(), ini.end(), hash); it != std::sregex_iterator();
         ++it)
        hashes.push_back((*it)[1]);
    ASSERT_EQ(hashes.size(), 2u) << ini;
    EXPECT_NE(hashes[0].substr(hashes[0].rfind('$')), hashes[1].substr(hashes[1].rfind('$')));
    const auto perms = std::filesystem::status(station_->Dir() + "web.ini").permissions();
    EXPECT_EQ(perms & (std::filesystem::perms::group_all | std::filesystem::perms::others_all),
              std::filesystem::perms::none);
}

TEST_F(WebServerTest, SignInSetsAGuardedCookieAndSignOutEndsTheSession) {
    ASSERT_FALSE(admin_.empty());
    const THttpReply r = Request(Port(), "POST", "/signin", {}, "name=boss&password=boss-pass");
    EXPECT_NE(r.Header("set-cookie").find("HttpOnly"), std::string::npos);
    EXPECT_NE(r.Header("set-cookie").find("SameSite=Strict"), std::string::npos);
    EXPECT_EQ(r.Header("set-cookie").find("Secure"), std::string::npos);  // plain HTTP here
    const std::string cookie = r.Header("set-cookie").substr(0, r.Header("set-cookie").find(';'));
    EXPECT_EQ(cookie.size(), std::string("tarvick_session=").size() + 64);
    EXPECT_EQ(Get(Port(), "/calls", cookie).Status, 200);
    EXPECT_EQ(Request(Port(), "POST", "/signout", cookie).Status, 303);
    const THttpReply after = Get(Port(), "/calls", cookie);
    EXPECT_EQ(after.Status, 303);
    EXPECT_EQ(after.Header("location"), "/signin");
    EXPECT_EQ(Get(Port(), "/calls", "tarvick_session=" + std::string(64, 'a')).Status, 303);
}

TEST_F(WebServerTest, SignInIsSlowedAfterFailures) {
    int refused = 0, braked = 0;
    for (int i = 0; i < 5; ++i) {
        const int s =
            Request(Port(), "POST", "/signin", {}, "name=victim&password=guess" + std::to_string(i))
                .Status;
        refused += s == 401;
        braked += s == 429;
    }
    EXPECT_EQ(refused, 3);
    EXPECT_EQ(braked, 2);
    // The right password of another user from the same address waits too.
    const THttpReply r = Request(Port(), "POST", "/signin", {}, "name=boss&password=boss-pass");
    EXPECT_EQ(r.Status, 429);
    EXPECT_FALSE(r.Header("retry-after").empty());
    std::this_thread::sleep_for(std::chrono::seconds(std::stoi(r.Header("retry-after")) + 1));
    EXPECT_FALSE(SignIn(Port(), "boss", "boss-pass").empty());
}

TEST_F(WebServerTest, PagesNeedASession) {
    for (const char* page :
         {"/", "/calls", "/summary", "/download?report=calls&format=csv", "/status"}) {
        const THttpReply r = Get(Port(), page);
        EXPECT_EQ(r.Status, 303) << page;
        EXPECT_EQ(r.Header("location"), "/signin") << page;
    }
}

TEST_F(WebServerTest, CallListShowsEveryCallOfThePeriodAcrossItsPages) {
    const std::string range = "/calls?period=dates&from=" + DaysAgo(kDays - 1) + "&to=" + Today();
    std::multiset<int> seen;
    std::string target = range;
    int pages = 0;
    while (!target.empty() && pages < 10) {
        const THttpReply r = Get(Port(), target, admin_);
        ASSERT_EQ(r.Status, 200) << r.Body;
        const auto shown = ExtensionsShown(r.Body);
        seen.insert(shown.begin(), shown.end());
        ++pages;
        std::smatch m;
        static const std::regex next("href=\"(/calls\\?[^\"]*after=[^\"]*)\"");
        target.clear();
        if (std::regex_search(r.Body, m, next))
            target = std::regex_replace(m[1].str(), std::regex("&amp;"), "&");
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(kDays * kPerDay));
    EXPECT_EQ(pages, 1);  // 60 calls: one page of 100
}

struct TRightsCase {
    const char* name;
    std::string target;
    int status;
};

class OwnerRightsTest : public WebServerTest, public ::testing::WithParamInterface<TRightsCase> {};

// An owner edits the address to reach another extension's calls: every page says no.
TEST_P(OwnerRightsTest, AnotherExtensionIsRefused) {
    const THttpReply r = Get(Port(), GetParam().target, owner_);
    EXPECT_EQ(r.Status, GetParam().status) << r.Body;
    EXPECT_EQ(r.Body.find("<td>102</td>"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Urls, OwnerRightsTest,
    ::testing::Values(TRightsCase{"CallList", "/calls?ext=102", 403},
                      TRightsCase{"CallListMixed", "/calls?ext=101,102", 403},
                      TRightsCase{"Summary", "/summary?by=extension&ext=104", 403},
                      TRightsCase{"DownloadCsv", "/download?report=calls&format=csv&ext=102", 403},
                      TRightsCase{"DownloadSummary", "/download?report=line&format=xlsx&ext=102",
                                  403},
                      TRightsCase{"Status", "/status", 403}),
    CaseName());

TEST_F(WebServerTest, AnOwnerSeesOnlyTheirExtensionsEverywhere) {
    const std::string period = "period=dates&from=" + DaysAgo(kDays - 1) + "&to=" + Today();
    const auto shown = ExtensionsShown(Get(Port(), "/calls?" + period, owner_).Body);
    const auto all = KnownCalls(kDays, kPerDay);
    const auto mine = std::count_if(all.begin(), all.end(), [](const TCall& c) {
        return c.Extension == 101 || c.Extension == 103;
    });
    EXPECT_EQ(shown.size(), static_cast<size_t>(mine));
    for (int e : shown) EXPECT_TRUE(e == 101 || e == 103) << e;

    const std::string csv = Get(Port(), "/download?report=calls&format=csv&" + period, owner_).Body;
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), mine + 1) << csv.substr(0, 300);
    const auto outgoing = std::count_if(all.begin(), all.end(), [](const TCall& c) {
        return (c.Extension == 101 || c.Extension == 103) && c.Number != "0";
    });
    for (const std::string report : {"extension", "line", "number", "day", "hour"}) {
        const THttpReply s = Get(Port(), "/summary?by=" + report + "&" + period, owner_);
        ASSERT_EQ(s.Status, 200) << report;
        std::smatch m;
        ASSERT_TRUE(std::regex_search(s.Body, m, std::regex("Звонков: <b>([0-9]+)</b>"))) << report;
        // The numbers dialled count outgoing calls only.
        EXPECT_EQ(std::stol(m[1]), report == "number" ? outgoing : mine) << report;
    }
    const std::string ext = Get(Port(), "/summary?by=extension&" + period, owner_).Body;
    EXPECT_EQ(ext.find("<td>102</td>"), std::string::npos);
    EXPECT_EQ(ext.find("<td>104</td>"), std::string::npos);
}

struct TBadCase {
    const char* name;
    std::string raw;  // a whole request
    int status;
};

class BadRequestTest : public WebServerTest, public ::testing::WithParamInterface<TBadCase> {};

TEST_P(BadRequestTest, IsAnsweredAndTheServerGoesOn) {
    std::string raw = GetParam().raw;
    const size_t at = raw.find("@COOKIE@");
    if (at != std::string::npos) raw.replace(at, 8, admin_);
    TClient c(Port());
    ASSERT_TRUE(c.Connected());
    c.Send(raw);
    const THttpReply r = ParseReply(c.ReadAll());
    EXPECT_EQ(r.Status, GetParam().status) << r.Raw.substr(0, 400);
    if (r.Status >= 400) {
        EXPECT_FALSE(r.Body.empty());
    }
    EXPECT_EQ(Get(Port(), "/calls", admin_).Status, 200);
}

std::string GetWith(const std::string& target) {
    return "GET " + target +
           " HTTP/1.1\r\nHost: x\r\nCookie: @COOKIE@\r\nConnection: close\r\n\r\n";
}

INSTANTIATE_TEST_SUITE_P(
    Requests, BadRequestTest,
    ::testing::Values(
        TBadCase{"UnknownPath", GetWith("/nothing"), 404},
        TBadCase{"DotDot", GetWith("/../../etc/passwd"), 404},
        TBadCase{"EncodedDotDot", GetWith("/%2e%2e/%2e%2e/etc/passwd"), 404},
        TBadCase{"SourceFile", GetWith("/web/main.cpp"), 404},
        TBadCase{"BrokenEscape", GetWith("/calls%zz"), 400},
        TBadCase{"EncodedNul", GetWith("/calls%00"), 400},
        TBadCase{"BadExtensions", GetWith("/calls?ext=abc"), 400},
        TBadCase{"BadPeriod", GetWith("/calls?period=forever"), 400},
        TBadCase{"BadDate", GetWith("/calls?period=dates&from=2026-02-30"), 400},
        TBadCase{"ReversedDates", GetWith("/calls?period=dates&from=2026-03-02&to=2026-03-01"),
                 400},
        TBadCase{"BadDirection", GetWith("/calls?dir=sideways"), 400},
        TBadCase{"BadDuration", GetWith("/calls?min=-5"), 400},
        TBadCase{"BadNumber", GetWith("/calls?number=1%27%20OR%201=1"), 400},
        TBadCase{"BadCursor", GetWith("/calls?after=zzz"), 400},
        TBadCase{"BadSummary", GetWith("/summary?by=planet"), 400},
        TBadCase{"BadFormat", GetWith("/download?report=calls&format=exe"), 400},
        TBadCase{"BadQueryEscape", GetWith("/calls?ext=%4"), 400},
        TBadCase{"WrongMethod", "DELETE /calls HTTP/1.1\r\nHost: x\r\n\r\n", 405},
        TBadCase{"PostToAPage", "POST /calls HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n",
                 405},
        TBadCase{"NoHost", "GET /calls HTTP/1.1\r\n\r\n", 400},
        TBadCase{"NotHttp", "HELLO\r\n\r\n", 400},
        TBadCase{"Http2", "GET / HTTP/2.0\r\nHost: x\r\n\r\n", 505},
        TBadCase{"AbsoluteTarget", "GET http://evil/ HTTP/1.1\r\nHost: x\r\n\r\n", 400},
        TBadCase{"Chunked",
                 "POST /signin HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
                 501},
        TBadCase{
            "TwoLengths",
            "POST /signin HTTP/1.1\r\nHost: x\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nab",
            400},
        TBadCase{"HugeBody",
                 "POST /signin HTTP/1.1\r\nHost: x\r\nContent-Length: 100000000\r\n\r\n", 413},
        TBadCase{"LongTarget", "GET /" + std::string(20000, 'a') + " HTTP/1.1\r\nHost: x\r\n\r\n",
                 414},
        TBadCase{"HugeHeader",
                 "GET / HTTP/1.1\r\nHost: x\r\nX-Big: " + std::string(40000, 'b') + "\r\n\r\n",
                 431},
        TBadCase{"ManyHeaders",
                 [] {
                     std::string r = "GET / HTTP/1.1\r\nHost: x\r\n";
                     for (int i = 0; i < 200; ++i) r += "X-" + std::to_string(i) + ": 1\r\n";
                     return r + "\r\n";
                 }(),
                 431},
        TBadCase{"FoldedHeader", "GET / HTTP/1.1\r\nHost: x\r\nX-A: 1\r\n  folded\r\n\r\n", 400}),
    CaseName());

TEST_F(WebServerTest, ASlowClientIsTimedOutWithoutHoldingUpOthers) {
    // A client that sends half a head and stops, and one that trickles a byte at a time.
    TClient stalled(Port());
    ASSERT_TRUE(stalled.Connected());
    stalled.Send("GET /calls HTTP/1.1\r\nHost: x\r\n");
    TClient idle(Port());
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 5; ++i) EXPECT_EQ(Get(Port(), "/calls", admin_).Status, 200);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    const THttpReply r = ParseReply(stalled.ReadAll(6000));
    EXPECT_EQ(r.Status, 408);
    EXPECT_TRUE(stalled.Closed(1000));
    // One that connects and says nothing is dropped without an answer.
    EXPECT_TRUE(idle.Closed(6000));
    TClient trickle(Port());
    const std::string req = "GET /calls HTTP/1.1\r\nHost: x\r\n\r\n";
    const auto t0 = std::chrono::steady_clock::now();
    bool cut = false;
    for (char ch : req) {
        if (!trickle.Send(std::string(1, ch))) {
            cut = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        if (std::chrono::steady_clock::now() - t0 > std::chrono::seconds(4)) break;
    }
    const THttpReply t = ParseReply(trickle.ReadAll(3000));
    EXPECT_TRUE(cut || t.Status == 408) << t.Raw;
}

TEST_F(WebServerTest, KeptAliveConnectionServesRequestsInTurn) {
    TClient c(Port());
    const std::string req = "GET /calls HTTP/1.1\r\nHost: x\r\nCookie: " + admin_ + "\r\n\r\n";
    // Two requests in one write: the second waits for the first's answer.
    c.Send(req + req);
    EXPECT_EQ(c.ReadOne().Status, 200);
    EXPECT_EQ(c.ReadOne().Status, 200);
    c.Send("GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(c.ReadOne().Status, 200);
}

TEST_F(WebServerTest, RequestsPipelinedAfterAnErrorAreNotServed) {
    // More than the server reads ahead: the rest waits in the kernel and is read as it goes.
    TClient c(Port());
    std::string all;
    for (int i = 0; i < 400; ++i)
        all += "GET /nothing-" + std::to_string(i) + " HTTP/1.1\r\nHost: x\r\n\r\n";
    all += "GET /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
    std::thread writer([&] { c.Send(all); });
    const std::string replies = c.ReadAll(20000);
    writer.join();
    // Each 404 closes its connection, so only the first is answered; a 404 never keeps it.
    EXPECT_EQ(ParseReply(replies).Status, 404);
    EXPECT_NE(replies.find("/nothing-0"), std::string::npos);
    EXPECT_EQ(replies.find("/nothing-1\n"), std::string::npos);
}

TEST_F(WebServerTest, PipelinedGoodRequestsAreAnsweredInOrder) {
    TClient c(Port());
    std::string all;
    for (int i = 0; i < 300; ++i) all += "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n";
    std::thread writer([&] { c.Send(all); });
    int answered = 0;
    for (int i = 0; i < 300; ++i) answered += c.ReadOne(10000).Status == 200;
    writer.join();
    EXPECT_EQ(answered, 300);
}

TEST_F(WebServerTest, PagesForbidScriptsAndFraming) {
    const THttpReply r = Get(Port(), "/calls", admin_);
    EXPECT_NE(r.Header("content-security-policy").find("default-src 'none'"), std::string::npos);
    EXPECT_EQ(r.Header("x-frame-options"), "DENY");
    EXPECT_EQ(r.Header("cache-control"), "no-store");
    EXPECT_EQ(r.Body.find("<script"), std::string::npos);
    EXPECT_NE(r.Body.find("name=\"viewport\""), std::string::npos);
}

// The Prometheus text format: comments, then "name{labels} value" samples.
std::map<std::string, double> ParseMetrics(const std::string& text, std::string& problem) {
    std::map<std::string, double> samples;
    std::set<std::string> typed;
    std::istringstream in(text);
    std::string line;
    static const std::regex sample(
        R"(^([a-zA-Z_:][a-zA-Z0-9_:]*)(\{([a-zA-Z_][a-zA-Z0-9_]*="(\\.|[^"\\])*"(,[a-zA-Z_][a-zA-Z0-9_]*="(\\.|[^"\\])*")*)?\})? (-?[0-9.eE+-]+|NaN|[+-]Inf)$)");
    static const std::regex type(R"(^# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (counter|gauge|untyped)$)");
    while (std::getline(in, line)) {
        std::smatch m;
        if (line.rfind("# HELP ", 0) == 0) continue;
        if (std::regex_match(line, m, type)) {
            typed.insert(m[1]);
            continue;
        }
        if (!std::regex_match(line, m, sample)) {
            problem = "not a sample: " + line;
            return {};
        }
        if (!typed.count(m[1])) {
            problem = "no TYPE before " + line;
            return {};
        }
        samples[m[1].str() + m[2].str()] = m[7] == "NaN" ? std::nan("") : std::stod(m[7]);
    }
    return samples;
}

TEST_F(WebServerTest, MetricsFollowTheStatusFileAndParseAsPrometheusText) {
    const QDateTime now = QDateTime::currentDateTime();
    const std::string iso =
        now.toOffsetFromUtc(now.offsetFromUtc()).toString(Qt::ISODate).toStdString();
    const std::string before =
        now.addSecs(-90).toOffsetFromUtc(now.offsetFromUtc()).toString(Qt::ISODate).toStdString();
    WriteBytes(
        station_->Dir() + "status.json",
        "{\"version\":1,\"station\":\"front\",\"pid\":" + std::to_string(::getpid()) +
            ",\"updated\":\"" + iso +
            "\",\"capturing\":true,\"port\":\"COM1\",\"port_up\":true,"
            "\"database\":\"x\",\"database_up\":false,\"database_error\":\"shut \\\"down\\\"\","
            "\"backlog\":17,\"last_received\":\"" +
            before +
            "\",\"last_stored\":null,"
            "\"outbox\":2,\"rejected_today\":3,\"future_key\":[1,2],"
            "\"counters\":{\"received\":120,\"stored\":100,\"rejected\":3,\"dropped\":17,"
            "\"mails_sent\":5,\"mails_failed\":1},"
            "\"alerts\":[{\"kind\":\"database\",\"since\":\"" +
            iso + "\",\"text\":\"база\"}]}");
    const THttpReply r = Get(Port(), "/metrics");
    ASSERT_EQ(r.Status, 200);
    EXPECT_EQ(r.Header("content-type"), "text/plain; version=0.0.4; charset=utf-8");
    std::string problem;
    const auto m = ParseMetrics(r.Body, problem);
    ASSERT_TRUE(problem.empty()) << problem;
    const std::string l = "{station=\"front\",dir=\"" + station_->Dir() + "\"}";
    EXPECT_EQ(m.at("tarvick_station_up" + l), 1);
    EXPECT_EQ(m.at("tarvick_lines_received_total" + l), 120);
    EXPECT_EQ(m.at("tarvick_lines_stored_total" + l), 100);
    EXPECT_EQ(m.at("tarvick_lines_rejected_total" + l), 3);
    EXPECT_EQ(m.at("tarvick_lines_dropped_total" + l), 17);
    EXPECT_EQ(m.at("tarvick_backlog_lines" + l), 17);
    EXPECT_EQ(m.at("tarvick_database_up" + l), 0);
    EXPECT_EQ(m.at("tarvick_port_up" + l), 1);
    EXPECT_NEAR(m.at("tarvick_seconds_since_last_line" + l), 90, 5);
    EXPECT_EQ(m.at("tarvick_outbox_mails" + l), 2);
    EXPECT_EQ(m.at("tarvick_mails_sent_total" + l), 5);
    EXPECT_EQ(m.at("tarvick_mails_failed_total" + l), 1);
    EXPECT_EQ(m.at("tarvick_alerts" + l), 1);
    EXPECT_EQ(m.at("tarvick_web_database_up"), 1);

    // A file not renewed for 30 s is a station that does not run.
    WriteBytes(station_->Dir() + "status.json", "{\"station\":\"front\",\"updated\":\"" + before +
                                                    "\",\"capturing\":true,\"port_up\":true}");
    const auto stale = ParseMetrics(Get(Port(), "/metrics").Body, problem);
    EXPECT_EQ(stale.at("tarvick_station_up" + l), 0);
    EXPECT_EQ(stale.at("tarvick_capturing" + l), 0);
    EXPECT_EQ(stale.at("tarvick_port_up" + l), 0);
    std::filesystem::remove(station_->Dir() + "status.json");
}

TEST_F(WebServerTest, StatusPageShowsTheStationAndTheDatabaseMarks) {
    const std::string iso = QDateTime::currentDateTime()
                                .toOffsetFromUtc(QDateTime::currentDateTime().offsetFromUtc())
                                .toString(Qt::ISODate)
                                .toStdString();
    WriteBytes(station_->Dir() + "status.json",
               "{\"station\":\"front\",\"pid\":" + std::to_string(::getpid()) + ",\"updated\":\"" +
                   iso +
                   "\",\"capturing\":true,\"port\":\"tcp://10.0.0.5:2300\",\"port_up\":true,"
                   "\"database_up\":true,\"backlog\":4,\"outbox\":1,\"rejected_today\":2}");
    ASSERT_EQ(station_->Db().Isql("INSERT INTO JournalMarks (Station, JournalFile, JournalPos, "
                                  "Updated) VALUES ('back', '2026-12-01.log', "
                                  "4711, CURRENT_TIMESTAMP);\nCOMMIT;\n"),
              0);
    const THttpReply r = Get(Port(), "/status", admin_);
    ASSERT_EQ(r.Status, 200);
    EXPECT_NE(r.Body.find("tcp://10.0.0.5:2300"), std::string::npos);
    EXPECT_NE(r.Body.find(">идёт<"), std::string::npos);
    EXPECT_NE(r.Body.find("<dt>Строк ждут записи</dt><dd>4</dd>"), std::string::npos);
    EXPECT_NE(r.Body.find("<td>back</td>"), std::string::npos);
    EXPECT_NE(r.Body.find("4711"), std::string::npos);
    std::filesystem::remove(station_->Dir() + "status.json");
    const THttpReply gone = Get(Port(), "/status", admin_);
    EXPECT_NE(gone.Body.find("нет сведений"), std::string::npos);
}

TEST_F(WebServerTest, FiftyClientsAtOnceAreAllServed) {
    std::vector<std::thread> threads;
    std::atomic<int> ok{0};
    for (int i = 0; i < 50; ++i)
        threads.emplace_back(
            [&] { ok += Get(Port(), "/calls?period=week", admin_).Status == 200; });
    for (auto& t : threads) t.join();
    EXPECT_EQ(ok, 50);
}

// A separate station for what a start refuses and for HTTPS.
struct TListenCase {
    const char* name;
    std::string ini;
    bool starts;
};

class ListenTest : public ::testing::TestWithParam<TListenCase> {};

TEST_P(ListenTest, PlainHttpOnTheNetworkNeedsConsent) {
    TWebStation s;
    s.WriteIni(GetParam().ini);
    const int port = s.Start();
    EXPECT_EQ(port > 0, GetParam().starts) << s.Output();
    if (!GetParam().starts) {
        EXPECT_EQ(s.ExitCode(), 1);
        EXPECT_NE(s.Output().find("AllowPlain=1"), std::string::npos) << s.Output();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, ListenTest,
    ::testing::Values(TListenCase{"Loopback", "[Web]\nListen=127.0.0.1:0\n", true},
                      TListenCase{"LoopbackV6", "[Web]\nListen=[::1]:0\n", true},
                      TListenCase{"Anywhere", "[Web]\nListen=0.0.0.0:0\n", false},
                      TListenCase{"AnywhereV6", "[Web]\nListen=[::]:0\n", false},
                      TListenCase{"AllPorts", "[Web]\nListen=:0\n", false},
                      TListenCase{"AnywhereAllowed", "[Web]\nListen=0.0.0.0:0\nAllowPlain=1\n",
                                  true}),
    CaseName());

TEST(WebStartTest, BadSettingsStopTheStartWithAMessage) {
    TWebStation s;
    s.WriteIni("[Web]\nListen=localhost\n");
    EXPECT_EQ(s.Start(), 0);
    EXPECT_NE(s.Output().find("Listen=localhost"), std::string::npos) << s.Output();
    s.WriteIni("[Web]\nListen=127.0.0.1:0\nCertificate=/nonexistent.pem\nKey=/nonexistent.key\n");
    EXPECT_EQ(s.Start(), 0);
    EXPECT_NE(s.Output().find("/nonexistent.pem"), std::string::npos) << s.Output();
    EXPECT_NE(s.AddUser("bad name", "admin", "", "x"), 0);
    EXPECT_NE(s.AddUser("x", "owner", "", "x"), 0);  // an owner needs extensions
    EXPECT_NE(s.AddUser("x", "root", "", "x"), 0);
    EXPECT_NE(s.AddUser("x", "admin", "", ""), 0);  // no password
}

// HTTPS with a certificate made now: the cookie is Secure, plain HTTP gets nothing.
TEST(WebHttpsTest, ServesPagesOverTlsWithSecureCookies) {
    const TestCertificates& certs = TestCertificates::Get();
    ASSERT_TRUE(certs.Ok());
    TWebStation s;
    ASSERT_EQ(s.Db().Isql(InsertSql(KnownCalls(1, 5))), 0);
    s.WriteIni("[Web]\nListen=127.0.0.1:0\nCertificate=" + certs.Server() + "\nKey=" + certs.Key() +
               "\n");
    ASSERT_EQ(s.AddUser("boss", "admin", "", "boss-pass"), 0);
    const int port = s.Start();
    ASSERT_GT(port, 0) << s.Output();
    EXPECT_NE(s.Output().find("serving https"), std::string::npos);

    auto tlsRequest = [&](const std::string& raw) {
        QSslSocket socket;
        QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
        conf.setCaCertificates(QSslCertificate::fromPath(
            QString::fromStdString(certs.Server()).replace("server.pem", "ca.pem")));
        socket.setSslConfiguration(conf);
        socket.connectToHostEncrypted("localhost", static_cast<quint16>(port));
        if (!socket.waitForEncrypted(10000)) return THttpReply{};
        socket.write(QByteArray::fromStdString(raw));
        std::string out;
        while (socket.waitForReadyRead(5000)) out += socket.readAll().toStdString();
        return ParseReply(out);
    };
    const THttpReply signin = tlsRequest(
        "POST /signin HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\nContent-Length: "
        "28\r\n\r\nname=boss&password=boss-pass");
    ASSERT_EQ(signin.Status, 303) << signin.Raw;
    const std::string set = signin.Header("set-cookie");
    EXPECT_NE(set.find("; Secure"), std::string::npos) << set;
    EXPECT_FALSE(signin.Header("strict-transport-security").empty());
    const THttpReply calls =
        tlsRequest("GET /calls HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\nCookie: " +
                   set.substr(0, set.find(';')) + "\r\n\r\n");
    EXPECT_EQ(calls.Status, 200);
    EXPECT_EQ(ExtensionsShown(calls.Body).size(), 5u)
        << calls.Body.substr(calls.Body.find("<tbody>"), 600);

    // Plain HTTP to the TLS port is dropped, never answered in the clear.
    TClient plain(port);
    plain.Send("GET /calls HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(ParseReply(plain.ReadAll(5000)).Status, 0);
}

}  // namespace
