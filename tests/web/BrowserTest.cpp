// Headless Chromium, driven through chromedriver's WebDriver API, signs in to tarvick-web and reads
// the call list, a summary and a download; the list must hold what the report engine reads from
// the same database. With TARVICK_WEB_SHOT set, the call list is saved there as a picture.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <regex>

#include "platform/CodePage.h"
#include "reports/ReportEngine.h"
#include "tests/web/WebStage.h"

using namespace webtest;

namespace {

int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

// One chromedriver with one browser session.
class TBrowser {
public:
    explicit TBrowser(const std::string& downloads) {
        port_ = FreePort();
        driver_.start("/usr/bin/chromedriver", {"--port=" + QString::number(port_)});
        for (int i = 0; i < 100 && Call("GET", "/status").value("ready").toBool() == false; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const QJsonArray args = {"--headless",
                                 "--no-sandbox",
                                 "--disable-gpu",
                                 "--disable-quic",
                                 "--no-first-run",
                                 "--disable-background-networking",
                                 "--disable-component-update",
                                 "--disable-sync",
                                 "--user-data-dir=" + QString::fromStdString(profile_.path()),
                                 "--window-size=1100,760",
                                 "--lang=ru-RU"};
        const QJsonObject options{
            {"binary", "/usr/bin/chromium"},
            {"args", args},
            {"prefs", QJsonObject{{"download.default_directory", QString::fromStdString(downloads)},
                                  {"download.prompt_for_download", false}}}};
        const QJsonObject caps{
            {"capabilities",
             QJsonObject{{"alwaysMatch", QJsonObject{{"browserName", "chrome"},
                                                     {"goog:chromeOptions", options}}}}}};
        const QJsonObject v = Call("POST", "/session", caps);
        session_ = v.value("sessionId").toString().toStdString();
        if (!session_.empty())
            Call("POST", S("/goog/cdp/execute"),
                 QJsonObject{
                     {"cmd", "Browser.setDownloadBehavior"},
                     {"params", QJsonObject{{"behavior", "allow"},
                                            {"downloadPath", QString::fromStdString(downloads)}}}});
    }
    ~TBrowser() {
        if (!session_.empty()) Call("DELETE", S(""));
        driver_.terminate();
        driver_.waitForFinished(5000);
    }
    bool Ok() const { return !session_.empty(); }

    void Go(const std::string& url) {
        Call("POST", S("/url"), QJsonObject{{"url", QString::fromStdString(url)}});
    }
    std::string Url() { return CallValue("GET", S("/url")).toString().toStdString(); }
    std::string Source() { return CallValue("GET", S("/source")).toString().toStdString(); }
    std::string Element(const std::string& css) {
        const QJsonObject e = CallValue("POST", S("/element"),
                                        QJsonObject{{"using", "css selector"},
                                                    {"value", QString::fromStdString(css)}})
                                  .toObject();
        return e.isEmpty() ? std::string() : e.begin().value().toString().toStdString();
    }
    void Type(const std::string& css, const std::string& text) {
        Call("POST", S("/element/" + Element(css) + "/value"),
             QJsonObject{{"text", QString::fromStdString(text)}});
    }
    void Click(const std::string& css) {
        Call("POST", S("/element/" + Element(css) + "/click"), QJsonObject{});
    }
    QJsonValue Script(const std::string& js) {
        return CallValue(
            "POST", S("/execute/sync"),
            QJsonObject{{"script", QString::fromStdString(js)}, {"args", QJsonArray{}}});
    }
    void Size(int w, int h) {
        Call("POST", S("/window/rect"), QJsonObject{{"width", w}, {"height", h}});
    }
    QByteArray Screenshot() {
        return QByteArray::fromBase64(CallValue("GET", S("/screenshot")).toString().toLatin1());
    }

private:
    std::string S(const std::string& path) const { return "/session/" + session_ + path; }
    QJsonValue CallValue(const std::string& method, const std::string& path,
                         const QJsonObject& body = {}) {
        return Call(method, path, body).value("value");
    }
    // The whole reply for /session and /status, which carry their value one level down.
    QJsonObject Call(const std::string& method, const std::string& path,
                     const QJsonObject& body = {}) {
        const std::string json =
            method == "POST" ? QJsonDocument(body).toJson(QJsonDocument::Compact).toStdString()
                             : "";
        TClient c(port_);
        if (!c.Connected()) return {};
        c.Send(method + " " + path +
               " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
               "Content-Type: application/json\r\nContent-Length: " +
               std::to_string(json.size()) + "\r\n\r\n" + json);
        const THttpReply r = c.ReadOne(60000);
        const QJsonObject o = QJsonDocument::fromJson(QByteArray::fromStdString(r.Body)).object();
        if (path == "/session" || path == "/status") return o.value("value").toObject();
        return o;
    }

    int port_ = 0;
    QProcess driver_;
    TempDir profile_;
    std::string session_;
};

// The cells of each body row of the page's first table, as text.
std::vector<std::vector<std::string>> TableRows(const std::string& html) {
    std::vector<std::vector<std::string>> rows;
    const size_t body = html.find("<tbody>");
    if (body == std::string::npos) return rows;
    const std::string part = html.substr(body, html.find("</tbody>", body) - body);
    static const std::regex row("<tr[^>]*>(.*?)</tr>"), cell("<td[^>]*>(.*?)</td>");
    for (auto r = std::sregex_iterator(part.begin(), part.end(), row); r != std::sregex_iterator();
         ++r) {
        const std::string inner = (*r)[1];
        std::vector<std::string> cells;
        for (auto c = std::sregex_iterator(inner.begin(), inner.end(), cell);
             c != std::sregex_iterator(); ++c)
            cells.push_back(std::regex_replace((*c)[1].str(), std::regex("&amp;"), "&"));
        rows.push_back(cells);
    }
    return rows;
}

std::vector<std::string> HeaderTitles(const std::string& html) {
    std::vector<std::string> titles;
    const std::string head =
        html.substr(html.find("<thead>"), html.find("</thead>") - html.find("<thead>"));
    static const std::regex th("<th(?: [^>]*)?>(.*?)</th>");
    for (auto it = std::sregex_iterator(head.begin(), head.end(), th); it != std::sregex_iterator();
         ++it)
        titles.push_back((*it)[1]);
    return titles;
}

// The page's source once it holds text, for a page that a click is still bringing.
std::string WaitForText(TBrowser& b, const std::string& text) {
    std::string source;
    for (int i = 0; i < 50; ++i) {
        source = b.Source();
        if (source.find(text) != std::string::npos) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return source;
}

TEST(BrowserTest, SignsInAndSeesTheCallsTheDatabaseHolds) {
    TWebStation s;
    ASSERT_TRUE(s.Db().Created());
    ASSERT_EQ(s.Db().Isql(InsertSql(KnownCalls(12, 9))), 0);
    // The database holds Windows-1251 bytes; isql passes them as they are.
    ASSERT_EQ(s.Db().Isql(platform::Utf8ToAnsi(
                  "INSERT INTO Users (NumberIN, FIO) VALUES (101, 'Иванова А. П.');\n"
                  "INSERT INTO Users (NumberIN, FIO) VALUES (102, 'Петров С. И.');\nCOMMIT;\n")),
              0);
    s.WriteIni("[Web]\nListen=127.0.0.1:0\n");
    ASSERT_EQ(s.AddUser("boss", "admin", "", "boss-pass"), 0);
    const int port = s.Start();
    ASSERT_GT(port, 0) << s.Output();
    const std::string base = "http://127.0.0.1:" + std::to_string(port);

    TempDir downloads;
    TBrowser b(downloads.path());
    ASSERT_TRUE(b.Ok()) << "chromedriver gave no session";

    b.Go(base + "/calls");
    EXPECT_EQ(b.Url(), base + "/signin");
    b.Type("input[name=name]", "boss");
    b.Type("input[name=password]", "wrong");
    b.Click("button.go");
    EXPECT_NE(WaitForText(b, "Неверное имя или пароль").find("Неверное имя или пароль"),
              std::string::npos);
    b.Type("input[name=password]", "boss-pass");
    b.Click("button.go");
    WaitForText(b, "Звонки за");
    EXPECT_EQ(b.Url(), base + "/calls");

    // This month, as the period chooser gives it, against the report engine's own list.
    b.Go(base + "/calls?period=month");
    const auto shown = TableRows(b.Source());
    TReportFilter filter;
    filter.Period = PresetPeriod(TPeriodPreset::ThisMonth, Now());
    TReportEngine engine(s.Db().Path());
    const TCallPage page = engine.Calls(filter, std::nullopt, 100);
    ASSERT_FALSE(page.Rows.empty());
    ASSERT_EQ(shown.size(), page.Rows.size());
    // Each column the page shows holds the engine's cells of that title.
    const TReportTable table = CallTable(page.Rows);
    const auto titles = HeaderTitles(b.Source());
    ASSERT_GE(titles.size(), 7u);
    for (size_t k = 0; k < titles.size(); ++k) {
        size_t column = 0;
        while (column < table.Columns.size() &&
               platform::AnsiToUtf8(table.Columns[column].Title) != titles[k])
            ++column;
        ASSERT_LT(column, table.Columns.size()) << titles[k];
        for (size_t i = 0; i < shown.size(); ++i)
            EXPECT_EQ(shown[i].at(k), platform::AnsiToUtf8(table.Rows[i][column].Text))
                << "row " << i << " " << titles[k];
    }
    const TSummaryRow totals = engine.Totals(filter);
    EXPECT_NE(b.Source().find("Звонков: <b>" + std::to_string(totals.Calls()) + "</b>"),
              std::string::npos);

    if (const char* shot = std::getenv("TARVICK_WEB_SHOT")) {
        b.Go(base + "/calls?period=week");
        const QByteArray png = b.Screenshot();
        ASSERT_GT(png.size(), 1000);
        WriteBytes(shot, png.toStdString());
    }

    // The summary per extension with its chart.
    b.Go(base + "/summary?by=extension&period=month");
    const std::string summary = b.Source();
    EXPECT_NE(summary.find("<svg"), std::string::npos);
    const TSummary expected = engine.Summary(TSummaryKind::Extension, filter);
    const auto rows = TableRows(summary);
    ASSERT_EQ(rows.size(), expected.Rows.size() + 1);  // and the totals row
    const TReportTable st = SummaryTable(expected);
    for (size_t i = 0; i < st.Rows.size(); ++i)
        for (size_t k = 0; k < st.Rows[i].size(); ++k)
            EXPECT_EQ(rows[i][k], platform::AnsiToUtf8(st.Rows[i][k].Text))
                << "row " << i << " column " << k;
    EXPECT_NE(summary.find("Иванова А. П."), std::string::npos);

    // The download link of the call list brings a CSV with every call of the month.
    b.Go(base + "/calls?period=month");
    b.Click(".downloads a");
    std::string csv;
    for (int i = 0; i < 100 && csv.empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        for (const auto& e : std::filesystem::directory_iterator(downloads.path()))
            if (e.path().extension() == ".csv") csv = ReadBytes(e.path().string());
    }
    ASSERT_FALSE(csv.empty()) << "no download arrived";
    EXPECT_EQ(csv.compare(0, 3, "\xEF\xBB\xBF"), 0);
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), totals.Calls() + 1);

    // A phone's width: nothing but the table's own scroller is wider than the screen.
    b.Size(390, 844);
    b.Go(base + "/calls?period=month");
    EXPECT_LE(b.Script("return document.documentElement.scrollWidth;").toInt(),
              b.Script("return window.innerWidth;").toInt());
}

}  // namespace
