// The pages' rules without a network: requests handed to the web program's handler as if from
// another host, and the request parser fed in every way a socket can cut a request.
#include <gtest/gtest.h>

#include <fstream>

#include "tests/common/CaseName.h"
#include "tests/web/WebStage.h"
#include "web/Auth.h"
#include "web/HttpParser.h"
#include "web/Metrics.h"
#include "web/ResultCache.h"
#include "web/Sessions.h"
#include "web/StationStatus.h"
#include "web/WebApp.h"

using namespace web;

namespace {

THttpRequest Make(const std::string& method, const std::string& target,
                  const std::string& body = {},
                  std::vector<std::pair<std::string, std::string>> headers = {}) {
    THttpRequest r;
    r.Method = method;
    r.Target = target;
    const size_t q = target.find('?');
    r.Path = target.substr(0, q);
    if (q != std::string::npos) r.Query = target.substr(q + 1);
    r.Headers = std::move(headers);
    r.Body = body;
    return r;
}

class WebAppTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(db_.Created());
        ASSERT_EQ(db_.Isql(webtest::InsertSql(webtest::KnownCalls(1, 8))), 0);
        TWebConfig c;
        c.MetricsToken = "t0ken";
        c.Users.push_back({"boss", TRole::Admin, {}, HashPassword("pw")});
        c.Users.push_back({"empty", TRole::Owner, {}, HashPassword("pw")});
        app_ = std::make_unique<TWebApp>(c, TWebSite{dir_.path(), db_.Path(), {}, {}});
    }
    std::string SignIn(const std::string& name) {
        const THttpResponse r =
            app_->Handle(Make("POST", "/signin", "name=" + name + "&password=pw"), local_);
        for (const auto& [n, v] : r.Headers)
            if (n == "Set-Cookie") return v.substr(0, v.find(';'));
        return {};
    }

    TFreshDatabase db_;
    TempDir dir_;
    std::unique_ptr<TWebApp> app_;
    TPeer local_{QHostAddress::LocalHost, true, false};
    TPeer remote_{QHostAddress("192.0.2.7"), false, false};
};

TEST_F(WebAppTest, AnOwnerWithoutExtensionsSeesNoCall) {
    const std::string admin = SignIn("boss"), empty = SignIn("empty");
    ASSERT_FALSE(empty.empty());
    const THttpResponse all = app_->Handle(Make("GET", "/calls", {}, {{"cookie", admin}}), local_);
    EXPECT_NE(all.Body.find("Звонков: <b>8</b>"), std::string::npos);
    const THttpResponse none = app_->Handle(Make("GET", "/calls", {}, {{"cookie", empty}}), local_);
    EXPECT_EQ(none.Status, 200);
    EXPECT_NE(none.Body.find("Звонков: <b>0</b>"), std::string::npos);
    EXPECT_NE(none.Body.find("Звонков нет"), std::string::npos);
}

TEST_F(WebAppTest, MetricsFromAnotherHostNeedTheBearerToken) {
    auto metrics = [&](const TPeer& peer,
                       std::vector<std::pair<std::string, std::string>> headers) {
        return app_->Handle(Make("GET", "/metrics", {}, std::move(headers)), peer).Status;
    };
    EXPECT_EQ(metrics(local_, {}), 200);
    EXPECT_EQ(metrics(remote_, {}), 401);
    EXPECT_EQ(metrics(remote_, {{"authorization", "Bearer wrong"}}), 401);
    EXPECT_EQ(metrics(remote_, {{"authorization", "Bearer t0ke"}}), 401);
    EXPECT_EQ(metrics(remote_, {{"authorization", "Basic t0ken"}}), 401);
    EXPECT_EQ(metrics(remote_, {{"authorization", "Bearer t0ken"}}), 200);
}

TEST_F(WebAppTest, ADatabaseAwayIsAnsweredNotCrashed) {
    TWebConfig c;
    c.Users.push_back({"boss", TRole::Admin, {}, HashPassword("pw")});
    app_ = std::make_unique<TWebApp>(c, TWebSite{dir_.path(), dir_.file("missing.fdb"), {}, {}});
    const std::string cookie = SignIn("boss");
    const THttpResponse r = app_->Handle(Make("GET", "/calls", {}, {{"cookie", cookie}}), local_);
    EXPECT_EQ(r.Status, 503);
    EXPECT_NE(r.Body.find("База данных недоступна"), std::string::npos);
    EXPECT_EQ(app_->Handle(Make("GET", "/metrics"), local_).Status, 200);
}

TEST(ResultCacheTest, ReadsOnceForConcurrentAsksAndKeepsNoFailure) {
    TResultCache<int> cache;
    std::atomic<int> reads{0};
    std::vector<std::thread> threads;
    std::atomic<int> sum{0};
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&] {
            sum += cache.Get("k", std::chrono::seconds(60), [&] {
                ++reads;
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
                return 5;
            });
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(reads, 1);
    EXPECT_EQ(sum, 40);
    EXPECT_THROW(cache.Get("bad", std::chrono::seconds(60),
                           []() -> int { throw std::runtime_error("away"); }),
                 std::runtime_error);
    EXPECT_EQ(cache.Get("bad", std::chrono::seconds(60), [] { return 7; }), 7);
    EXPECT_EQ(cache.Get("gone", std::chrono::seconds(0), [] { return 1; }), 1);
    EXPECT_EQ(cache.Get("gone", std::chrono::seconds(0), [] { return 2; }), 2);  // kept for no time
}

TEST(PasswordTest, HashesAreSaltedAndCheckedWhole) {
    const std::string a = HashPassword("пароль"), b = HashPassword("пароль");
    EXPECT_NE(a, b);
    EXPECT_TRUE(VerifyPassword("пароль", a));
    EXPECT_TRUE(VerifyPassword("пароль", b));
    EXPECT_FALSE(VerifyPassword("парол", a));
    EXPECT_FALSE(VerifyPassword("", a));
    for (const std::string& bad :
         std::vector<std::string>{"", "pbkdf2-sha256$", "pbkdf2-sha256$0$00$00", "md5$1$aa$bb",
                                  "pbkdf2-sha256$99999999999$aa$" + std::string(64, 'a'),
                                  a.substr(0, a.size() - 1), a + "0"})
        EXPECT_FALSE(VerifyPassword("пароль", bad)) << bad;
}

TEST(SignInBrakeTest, WaitsDoubleAfterTheFreeFailuresAndASuccessClears) {
    TSignInBrake brake;
    const auto t0 = TSteady::now();
    for (int i = 0; i < TSignInBrake::kFreeFailures - 1; ++i) brake.Failed("k", t0);
    EXPECT_EQ(brake.Wait("k", t0).count(), 0);
    brake.Failed("k", t0);
    EXPECT_EQ(brake.Wait("k", t0).count(), 1);
    brake.Failed("k", t0);
    EXPECT_EQ(brake.Wait("k", t0).count(), 2);
    for (int i = 0; i < 20; ++i) brake.Failed("k", t0);
    EXPECT_EQ(brake.Wait("k", t0), TSignInBrake::kMaxWait);
    EXPECT_EQ(brake.Wait("k", t0 + TSignInBrake::kMaxWait).count(), 0);
    EXPECT_EQ(brake.Wait("other", t0).count(), 0);
    brake.Succeeded("k");
    EXPECT_EQ(brake.Wait("k", t0).count(), 0);
}

TEST(SessionsTest, TokensAreRandomAndExpire) {
    TSessions sessions(std::chrono::minutes(0));
    const std::string a = sessions.Open("u"), b = sessions.Open("u");
    EXPECT_NE(a, b);
    EXPECT_EQ(a.size(), 64u);
    EXPECT_FALSE(sessions.User(a));  // a lifetime of nothing: gone at once
    TSessions live(std::chrono::minutes(5));
    const std::string c = live.Open("v");
    EXPECT_EQ(live.User(c), "v");
    live.Close(c);
    EXPECT_FALSE(live.User(c));
}

struct TStatusCase {
    const char* name;
    std::string json;
    bool present, running;
};

class StatusFileTest : public ::testing::TestWithParam<TStatusCase> {};

TEST_P(StatusFileTest, IsReadForWhatItHolds) {
    const QDateTime now = QDateTime::fromString("2026-12-09T10:11:20+03:00", Qt::ISODate);
    const TStationStatus s =
        ParseStationStatus(GetParam().json, now, [](int64_t pid) { return pid == 42; });
    EXPECT_EQ(s.Present, GetParam().present);
    EXPECT_EQ(s.Running, GetParam().running);
}

INSTANTIATE_TEST_SUITE_P(
    Files, StatusFileTest,
    ::testing::Values(
        TStatusCase{"Fresh", R"({"pid":42,"updated":"2026-12-09T10:11:12+03:00","capturing":true})",
                    true, true},
        TStatusCase{"FreshOtherZone", R"({"pid":42,"updated":"2026-12-09T07:11:12Z"})", true, true},
        TStatusCase{"Stale", R"({"pid":42,"updated":"2026-12-09T10:10:00+03:00"})", true, false},
        TStatusCase{"DeadProcess", R"({"pid":7,"updated":"2026-12-09T10:11:12+03:00"})", true,
                    false},
        TStatusCase{"NoTime", R"({"pid":42})", true, false},
        TStatusCase{"WrongTypes", R"({"pid":"42","updated":5,"counters":[1],"alerts":{}})", true,
                    false},
        TStatusCase{"NotJson", "{\"pid\":", false, false},
        TStatusCase{"Array", "[1,2]", false, false}, TStatusCase{"Empty", "", false, false}),
    CaseName());

TEST(MetricsTextTest, LabelValuesAreEscaped) {
    EXPECT_EQ(LabelValue("a\"b\\c\nd"), "a\\\"b\\\\c\\nd");
}

// ---- the request parser ----

struct TParseCase {
    const char* name;
    std::string raw;
    int status;  // 0: parsed
    std::string path = {};
    std::string body = {};
};

class HttpParserTest : public ::testing::TestWithParam<TParseCase> {};

// Whole, then byte by byte: a request cut anywhere by the network parses the same.
TEST_P(HttpParserTest, ParsesTheSameHoweverItArrives) {
    THttpLimits limits;
    limits.MaxHead = 1024;
    limits.MaxRequestLine = 256;
    limits.MaxHeaders = 8;
    limits.MaxBody = 64;
    for (const size_t step : {GetParam().raw.size(), size_t{1}, size_t{7}}) {
        THttpParser p(limits);
        THttpParser::TState s = THttpParser::TState::NeedMore;
        size_t at = 0;
        while (s == THttpParser::TState::NeedMore && at < GetParam().raw.size()) {
            std::string_view chunk =
                std::string_view(GetParam().raw).substr(at, std::max<size_t>(step, 1));
            size_t consumed = 0;
            s = p.Feed(chunk, consumed);
            ASSERT_LE(consumed, chunk.size());
            at += consumed;
            if (s == THttpParser::TState::NeedMore) ASSERT_EQ(consumed, chunk.size());
        }
        if (GetParam().status == 0) {
            ASSERT_EQ(s, THttpParser::TState::Done) << "step " << step << " " << p.ErrorText();
            EXPECT_EQ(p.Request().Path, GetParam().path);
            EXPECT_EQ(p.Request().Body, GetParam().body);
        } else {
            ASSERT_EQ(s, THttpParser::TState::Error) << "step " << step;
            EXPECT_EQ(p.ErrorStatus(), GetParam().status) << "step " << step;
            EXPECT_FALSE(p.ErrorText().empty());
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Requests, HttpParserTest,
    ::testing::Values(
        TParseCase{"Simple", "GET /calls?ext=1 HTTP/1.1\r\nHost: a\r\n\r\n", 0, "/calls"},
        TParseCase{"BareLineFeeds", "GET /a HTTP/1.0\n\n", 0, "/a"},
        TParseCase{"LeadingBlankLines", "\r\n\r\nGET /a HTTP/1.0\r\n\r\n", 0, "/a"},
        TParseCase{"Escapes", "GET /%D0%B0%20b+c HTTP/1.0\r\n\r\n", 0, "/\xD0\xB0 b+c"},
        TParseCase{"Body", "POST /s HTTP/1.1\r\nHost: a\r\ncontent-LENGTH: 5\r\n\r\nabcde", 0, "/s",
                   "abcde"},
        TParseCase{"BodyAtTheCap",
                   "POST /s HTTP/1.0\r\nContent-Length: 64\r\n\r\n" + std::string(64, 'x'), 0, "/s",
                   std::string(64, 'x')},
        TParseCase{"BodyOverTheCap", "POST /s HTTP/1.0\r\nContent-Length: 65\r\n\r\n", 413},
        TParseCase{"NegativeLength", "POST /s HTTP/1.0\r\nContent-Length: -1\r\n\r\n", 400},
        TParseCase{"LengthOverflow",
                   "POST /s HTTP/1.0\r\nContent-Length: 99999999999999999999999\r\n\r\n", 400},
        TParseCase{"LongLine", "GET /" + std::string(300, 'a') + " HTTP/1.0\r\n\r\n", 414},
        TParseCase{"LongLineCutBeforeItsHead",
                   "GET /" + std::string(300, 'a') + " HTTP/1.0\r\nX: 1\r\n", 414},
        TParseCase{"LongHead", "GET / HTTP/1.0\r\nX: " + std::string(1100, 'a') + "\r\n\r\n", 431},
        TParseCase{"NineHeaders",
                   "GET / HTTP/1.0\r\n" + std::string("A: 1\r\n") +
                       "A: 1\r\nA: 1\r\nA: 1\r\nA: 1\r\nA: 1\r\nA: 1\r\nA: 1\r\nA: 1\r\n\r\n",
                   431},
        TParseCase{"NoVersion", "GET /\r\n\r\n", 400},
        TParseCase{"ExtraSpace", "GET  / HTTP/1.1\r\nHost: a\r\n\r\n", 400},
        TParseCase{"Version2", "GET / HTTP/2.0\r\n\r\n", 505},
        TParseCase{"Version19", "GET / HTTP/1.9\r\n\r\n", 505},
        TParseCase{"NoHost11", "GET / HTTP/1.1\r\n\r\n", 400},
        TParseCase{"SpaceInName", "GET / HTTP/1.0\r\nBad Name: 1\r\n\r\n", 400},
        TParseCase{"NoColon", "GET / HTTP/1.0\r\nNoColon\r\n\r\n", 400},
        TParseCase{"ControlInValue",
                   "GET / HTTP/1.0\r\nX: a\x01"
                   "b\r\n\r\n",
                   400},
        TParseCase{"Folded", "GET / HTTP/1.0\r\nX: a\r\n b\r\n\r\n", 400},
        TParseCase{"Chunked", "POST / HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n", 501},
        TParseCase{"Asterisk", "OPTIONS * HTTP/1.0\r\n\r\n", 400},
        TParseCase{"BadEscape", "GET /%G1 HTTP/1.0\r\n\r\n", 400},
        TParseCase{"CutEscape", "GET /a% HTTP/1.0\r\n\r\n", 400},
        TParseCase{"Nul", "GET /%00 HTTP/1.0\r\n\r\n", 400},
        TParseCase{"MethodWithSlash", "GE/T / HTTP/1.0\r\n\r\n", 400}),
    CaseName());

TEST(HttpParserPipelineTest, LeavesTheNextRequestUntouched) {
    const std::string one = "POST /a HTTP/1.1\r\nHost: h\r\nContent-Length: 3\r\n\r\nxyz";
    const std::string two = "GET /b HTTP/1.1\r\nHost: h\r\n\r\n";
    const std::string both = one + two;
    THttpParser p;
    size_t consumed = 0;
    ASSERT_EQ(p.Feed(both, consumed), THttpParser::TState::Done);
    EXPECT_EQ(consumed, one.size());
    EXPECT_EQ(p.Request().Body, "xyz");
    p.Reset();
    ASSERT_EQ(p.Feed(std::string_view(both).substr(consumed), consumed), THttpParser::TState::Done);
    EXPECT_EQ(p.Request().Path, "/b");
    EXPECT_TRUE(p.Request().KeepAlive());
}

TEST(FormTest, DecodesFieldsAndRefusesBrokenOnes) {
    std::vector<std::pair<std::string, std::string>> f;
    ASSERT_TRUE(ParseForm("name=a+b&password=%D0%BF%26&&empty=&flag", f));
    ASSERT_EQ(f.size(), 4u);
    EXPECT_EQ(f[0], (std::pair<std::string, std::string>{"name", "a b"}));
    EXPECT_EQ(f[1].second, "\xD0\xBF&");
    EXPECT_EQ(f[2].second, "");
    EXPECT_EQ(f[3].first, "flag");
    EXPECT_FALSE(ParseForm("a=%", f));
    EXPECT_FALSE(ParseForm("a=%0", f));
    EXPECT_FALSE(ParseForm("a=%00", f));
}

}  // namespace

namespace {

// The calls of a page as shown: the table and nothing else of the page.
std::string TableOf(const std::string& body) {
    const size_t from = body.find("<table"), to = body.find("</table>");
    return from == std::string::npos ? std::string() : body.substr(from, to - from);
}

std::string Link(const std::string& body, const std::string& caption) {
    const size_t at = body.find("\">" + caption);
    if (at == std::string::npos) return {};
    const size_t href = body.rfind("href=\"", at);
    std::string link = body.substr(href + 6, at - href - 6);
    for (size_t amp; (amp = link.find("&amp;")) != std::string::npos;) link.replace(amp, 5, "&");
    return link;
}

class WebPagingTest : public WebAppTest {
protected:
    void SetUp() override {
        WebAppTest::SetUp();
        ASSERT_EQ(db_.Isql(webtest::InsertSql(webtest::KnownCalls(1, 250))), 0);
    }
};

TEST_F(WebPagingTest, BackLinksReturnToTheVeryPagesShownBefore) {
    const std::string admin = SignIn("boss");
    auto get = [&](const std::string& target) {
        const THttpResponse r = app_->Handle(Make("GET", target, {}, {{"cookie", admin}}), local_);
        EXPECT_EQ(r.Status, 200) << target;
        return r.Body;
    };
    std::vector<std::string> pages{get("/calls?period=week")};
    EXPECT_TRUE(Link(pages[0], "← Назад").empty());
    for (int i = 0; i < 2; ++i) {
        const std::string next = Link(pages.back(), "Дальше →");
        ASSERT_FALSE(next.empty());
        pages.push_back(get(next));
    }
    EXPECT_TRUE(Link(pages[2], "Дальше →").empty());  // 258 calls: three pages
    std::string page = pages[2];
    for (int i = 1; i >= 0; --i) {
        const std::string back = Link(page, "← Назад");
        ASSERT_FALSE(back.empty());
        page = get(back);
        EXPECT_EQ(TableOf(page), TableOf(pages[i])) << i;
    }
    EXPECT_TRUE(Link(page, "← Назад").empty());
    const THttpResponse bad =
        app_->Handle(Make("GET", "/calls?after=1-1&back=-.zz", {}, {{"cookie", admin}}), local_);
    EXPECT_EQ(bad.Status, 400);
}

}  // namespace

namespace {

// Users added with --add-user while the program runs, or taken out of web.ini, count at once.
TEST_F(WebAppTest, UsersWrittenToWebIniCountFromTheNextRequest) {
    const std::string boss = SignIn("boss");
    ASSERT_FALSE(boss.empty());
    EXPECT_TRUE(SignIn("anna").empty());
    std::ofstream(dir_.file("web.ini"))
        << "[Web]\nListen=127.0.0.1:0\n[User anna]\nRole=owner\nExt=101\nPassword="
        << HashPassword("pw") << "\n";
    const std::string anna = SignIn("anna");
    ASSERT_FALSE(anna.empty());
    const THttpResponse calls = app_->Handle(Make("GET", "/calls", {}, {{"cookie", anna}}), local_);
    EXPECT_EQ(calls.Status, 200);
    // boss is no longer in the file: the open session ends.
    const THttpResponse gone = app_->Handle(Make("GET", "/calls", {}, {{"cookie", boss}}), local_);
    EXPECT_EQ(gone.Status, 303);
    // A file that cannot be read keeps the users as they were.
    std::ofstream(dir_.file("web.ini"), std::ios::trunc)
        << "[Web]\nListen=127.0.0.1:0\n[User anna]\nRole=emperor\n";
    EXPECT_EQ(app_->Handle(Make("GET", "/calls", {}, {{"cookie", anna}}), local_).Status, 200);
}

}  // namespace

namespace {

// Both downloads of both reports arrive whole: a workbook is a zip, a CSV has every call.
TEST_F(WebAppTest, DownloadsOfTheListAndOfASummaryArriveWhole) {
    const std::string admin = SignIn("boss");
    // A download's body comes from a file of its own.
    auto body = [](const THttpResponse& r) {
        std::string data;
        if (!r.BodyFile) return r.Body;
        std::rewind(r.BodyFile.get());
        char buf[4096];
        for (size_t n; (n = std::fread(buf, 1, sizeof buf, r.BodyFile.get())) > 0;)
            data.append(buf, n);
        return data;
    };
    for (const char* report : {"calls", "extension"}) {
        SCOPED_TRACE(report);
        const THttpResponse xlsx = app_->Handle(
            Make("GET", std::string("/download?period=week&format=xlsx&report=") + report, {},
                 {{"cookie", admin}}),
            local_);
        EXPECT_EQ(xlsx.Status, 200) << xlsx.Body;
        EXPECT_EQ(body(xlsx).substr(0, 2), "PK");
        const THttpResponse csv = app_->Handle(
            Make("GET", std::string("/download?period=week&format=csv&report=") + report, {},
                 {{"cookie", admin}}),
            local_);
        EXPECT_EQ(csv.Status, 200) << csv.Body;
        const std::string text = body(csv);
        EXPECT_GE(std::count(text.begin(), text.end(), '\n'), 3);
    }
}

}  // namespace
