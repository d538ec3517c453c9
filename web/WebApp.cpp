#include "web/WebApp.h"

#include <unistd.h>

#include <QDateTime>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>

#include "common/Text.h"
#include "db/CallDatabase.h"
#include "platform/CodePage.h"
#include "platform/ThreadPriority.h"
#include "reports/ReportEngine.h"
#include "reports/ReportExport.h"
#include "web/Auth.h"
#include "web/Html.h"
#include "web/Metrics.h"
#include "web/StationStatus.h"

namespace web {
namespace {

constexpr const char* kCookie = "tarvick_session";
constexpr int kPageSize = 100;
// Pages of the call list a "back" link reaches; older ones through "to the start".
constexpr size_t kBackPages = 50;
constexpr int kMaxNumberPart = 40;

// A bad parameter: answered 400 with its message (UTF-8).
struct TBadRequest {
    int Status;
    std::string Text;
};

using TFields = std::vector<std::pair<std::string, std::string>>;

std::string Field(const TFields& fields, std::string_view name) {
    for (const auto& [n, v] : fields)
        if (n == name) return v;
    return {};
}

std::string CookieValue(const std::string& header, std::string_view name) {
    size_t pos = 0;
    while (pos < header.size()) {
        size_t end = header.find(';', pos);
        if (end == std::string::npos) end = header.size();
        std::string_view part(header.data() + pos, end - pos);
        while (!part.empty() && part.front() == ' ') part.remove_prefix(1);
        if (part.size() > name.size() && part.substr(0, name.size()) == name &&
            part[name.size()] == '=')
            return std::string(part.substr(name.size() + 1));
        pos = end + 1;
    }
    return {};
}

// The engine of this worker thread, attached on first use; each worker keeps its own connection.
thread_local std::unique_ptr<TReportEngine> tEngine;
thread_local std::string tEnginePath;

TReportEngine& Engine(const web::TWebSite& site) {
    if (!tEngine || tEnginePath != site.DbPath) {
        // A station on the same machine stores its lines ahead of any page.
        if (!tEngine) platform::LowerThreadPriority();
        tEngine.reset();
        tEngine = std::make_unique<TReportEngine>(site.DbPath, site.Login);
        tEnginePath = site.DbPath;
    }
    return *tEngine;
}

bool ParseDate(const std::string& text, TDateTime& out) {
    int y = 0, m = 0, d = 0;
    char tail = 0;
    if (text.size() != 10 || std::sscanf(text.c_str(), "%4d-%2d-%2d%c", &y, &m, &d, &tail) != 3)
        return false;
    return TryEncodeDate(y, m, d, out);
}

std::string IsoDate(TDateTime day) {
    return FormatDateTime("yyyy-mm-dd", day);
}

struct TPeriodChoice {
    const char* Key;
    const char* Caption;
};
constexpr TPeriodChoice kPeriods[] = {{"today", "Сегодня"},           {"yesterday", "Вчера"},
                                      {"week", "Эта неделя"},         {"month", "Этот месяц"},
                                      {"lastmonth", "Прошлый месяц"}, {"dates", "Даты"}};

struct TSummaryChoice {
    TSummaryKind Kind;
    const char* Key;
    const char* Caption;
};
constexpr TSummaryChoice kSummaries[] = {{TSummaryKind::Extension, "extension", "По внутренним"},
                                         {TSummaryKind::Day, "day", "По дням"},
                                         {TSummaryKind::Hour, "hour", "По часам"},
                                         {TSummaryKind::Line, "line", "По линиям"},
                                         {TSummaryKind::Number, "number", "Номера"},
                                         {TSummaryKind::Station, "station", "По станциям"}};

}  // namespace

// One signed-in request: who asks, and the selection its parameters make.
struct TWebApp::TContext {
    const THttpRequest* Request = nullptr;
    std::optional<TWebUser> Signed;  // as web.ini says now
    const TWebUser* User = nullptr;
    TFields Query;
    TReportFilter Filter;
    std::string PeriodKey;
    TDateTime FirstDay = 0, LastDay = 0;
    std::string FilterQuery;  // the selection's parameters for links, URL-encoded

    bool Admin() const { return User->Role == TRole::Admin; }
};

TWebApp::TWebApp(TWebConfig config, TWebSite site)
    : config_(std::move(config)),
      site_(std::move(site)),
      sessions_(std::chrono::minutes(config_.SessionMinutes)) {}

TWebApp::~TWebApp() = default;

THttpResponse TWebApp::Handle(const THttpRequest& request, const TPeer& peer) {
    try {
        return Route(request, peer);
    } catch (const TBadRequest& bad) {
        return THttpResponse::Text(bad.Status, bad.Text);
    } catch (const std::exception& e) {
        // The database went away or refused: this worker attaches afresh on its next request.
        tEngine.reset();
        return THttpResponse::Text(503,
                                   "База данных недоступна: " + platform::AnsiToUtf8(e.what()));
    }
}

namespace {

THttpResponse Redirect(const std::string& to) {
    THttpResponse r;
    r.Status = 303;
    r.Headers.emplace_back("Location", to);
    r.Body = "<a href=\"" + Escape(to) + "\">" + Escape(to) + "</a>";
    return r;
}

// The selection from the query, checked; an owner's limited to their extensions.
void ParseSelection(const TFields& q, const TWebUser& user, TReportFilter& f,
                    std::string& periodKey, TDateTime& firstDay, TDateTime& lastDay,
                    std::string& link) {
    periodKey = Field(q, "period");
    if (periodKey.empty()) periodKey = Field(q, "from").empty() ? "today" : "dates";
    const TDateTime now = Now();
    if (periodKey == "dates") {
        const std::string from = Field(q, "from"), to = Field(q, "to");
        if (!ParseDate(from, firstDay))
            throw TBadRequest{400, "Неверная дата начала: нужна ГГГГ-ММ-ДД"};
        if (to.empty())
            lastDay = firstDay;
        else if (!ParseDate(to, lastDay))
            throw TBadRequest{400, "Неверная дата конца: нужна ГГГГ-ММ-ДД"};
        if (lastDay < firstDay) throw TBadRequest{400, "Дата конца раньше даты начала"};
        f.Period = TReportPeriod::Days(firstDay, lastDay);
    } else {
        static const std::map<std::string, TPeriodPreset> presets = {
            {"today", TPeriodPreset::Today},
            {"yesterday", TPeriodPreset::Yesterday},
            {"week", TPeriodPreset::ThisWeek},
            {"month", TPeriodPreset::ThisMonth},
            {"lastmonth", TPeriodPreset::LastMonth}};
        const auto it = presets.find(periodKey);
        if (it == presets.end()) throw TBadRequest{400, "Неизвестный период: " + periodKey};
        f.Period = PresetPeriod(it->second, now);
        firstDay = static_cast<double>(DayNumber(f.Period.From));
        lastDay = static_cast<double>(DayNumber(f.Period.To - 1.0 / 86400 / 2));
        // Dates changed in the form while a preset stayed chosen: the dates were meant.
        TDateTime from = 0, to = 0;
        if (ParseDate(Field(q, "from"), from) && ParseDate(Field(q, "to"), to) && from <= to &&
            (from != firstDay || to != lastDay)) {
            periodKey = "dates";
            firstDay = from;
            lastDay = to;
            f.Period = TReportPeriod::Days(firstDay, lastDay);
        }
    }
    link = "period=" + UrlEncode(periodKey);
    if (periodKey == "dates") link += "&from=" + IsoDate(firstDay) + "&to=" + IsoDate(lastDay);

    const std::string ext = Field(q, "ext");
    if (!ParseExtensions(ext, f.Extensions))
        throw TBadRequest{400, "Неверный список внутренних номеров: " + ext};
    if (user.Role == TRole::Owner) {
        for (int32_t n : f.Extensions)
            if (std::find(user.Extensions.begin(), user.Extensions.end(), n) ==
                user.Extensions.end())
                throw TBadRequest{403,
                                  "Нет доступа к звонкам внутреннего номера " + std::to_string(n)};
        if (f.Extensions.empty()) f.Extensions = user.Extensions;
        // An owner without extensions sees no call, never every call.
        if (f.Extensions.empty()) f.Extensions = {-1};
    }
    if (!ext.empty()) link += "&ext=" + UrlEncode(ext);

    const std::string number = Field(q, "number");
    if (number.size() > kMaxNumberPart || !std::all_of(number.begin(), number.end(), [](char c) {
            return (c >= '0' && c <= '9') || c == '*' || c == '#';
        }))
        throw TBadRequest{400, "Номер: только цифры, * и #, не больше 40"};
    f.NumberPart = number;
    if (!number.empty()) link += "&number=" + UrlEncode(number);

    const std::string dir = Field(q, "dir");
    if (dir.empty() || dir == "any")
        f.Direction = TDirection::Any;
    else if (dir == "in")
        f.Direction = TDirection::Incoming;
    else if (dir == "out")
        f.Direction = TDirection::Outgoing;
    else
        throw TBadRequest{400, "Направление: any, in или out"};
    if (!dir.empty() && dir != "any") link += "&dir=" + dir;

    const std::string min = Field(q, "min");
    if (!min.empty()) {
        const auto v = TryStrToInt64(min);
        if (!v || *v < 0 || *v > 86400)
            throw TBadRequest{400, "Наименьшая длительность: секунды от 0 до 86400"};
        f.MinDuration = static_cast<int32_t>(*v);
        link += "&min=" + min;
    }
    const std::string line = Field(q, "line");
    if (!line.empty()) {
        const auto v = TryStrToInt64(line);
        if (!v || *v < 0 || *v > 1000000) throw TBadRequest{400, "Линия: неотрицательное число"};
        f.Line = static_cast<int32_t>(*v);
        link += "&line=" + line;
    }
    const std::string station = Field(q, "station");
    if (station.size() > 40) throw TBadRequest{400, "Станция: не длиннее 40 знаков"};
    f.Station = platform::Utf8ToAnsi(station);
    if (!station.empty()) link += "&station=" + UrlEncode(station);
}

std::string Selected(bool on) {
    return on ? " selected" : "";
}

std::string FiltersForm(const char* action, const TFields& q, const std::string& periodKey,
                        TDateTime firstDay, TDateTime lastDay, const std::string& extra) {
    std::string out = std::string("<form class=\"filters\" method=\"get\" action=\"") + action +
                      "\">" + extra + "<label>Период<select name=\"period\">";
    for (const TPeriodChoice& p : kPeriods)
        out += std::string("<option value=\"") + p.Key + "\"" + Selected(periodKey == p.Key) + ">" +
               p.Caption + "</option>";
    out += "</select></label><label>С<input type=\"date\" name=\"from\" value=\"" +
           IsoDate(firstDay) + "\"></label><label>По<input type=\"date\" name=\"to\" value=\"" +
           IsoDate(lastDay) +
           "\"></label><label>Внутренние<input type=\"text\" name=\"ext\" inputmode=\"numeric\" "
           "placeholder=\"101,102\" value=\"" +
           Escape(Field(q, "ext")) +
           "\"></label><label>Номер содержит<input type=\"text\" name=\"number\" inputmode=\"tel\" "
           "value=\"" +
           Escape(Field(q, "number")) +
           "\"></label><label>Направление<select name=\"dir\">"
           "<option value=\"any\">Все</option><option value=\"in\"" +
           Selected(Field(q, "dir") == "in") + ">Входящие</option><option value=\"out\"" +
           Selected(Field(q, "dir") == "out") +
           ">Исходящие</option></select></label><label>Не короче, с<input type=\"number\" "
           "name=\"min\" min=\"0\" value=\"" +
           Escape(Field(q, "min")) +
           "\"></label><label>Линия<input type=\"number\" name=\"line\" min=\"0\" value=\"" +
           Escape(Field(q, "line")) + "\"></label><button class=\"go\">Показать</button></form>";
    return out;
}

// The call list without the columns this database does not store (caller, station).
TReportTable ShownColumns(TReportTable table, const TRingsColumns& has) {
    static const std::string caller = platform::Utf8ToAnsi("Звонивший"),
                             station = platform::Utf8ToAnsi("Станция");
    std::vector<bool> keep;
    for (const TReportColumn& c : table.Columns)
        keep.push_back(!(c.Title == caller && !has.Caller) &&
                       !(c.Title == station && !has.Station));
    auto filter = [&](auto& cells) {
        size_t k = 0;
        for (size_t i = 0; i < cells.size() && i < keep.size(); ++i)
            if (keep[i]) {
                if (k != i) cells[k] = std::move(cells[i]);
                ++k;
            }
        cells.resize(k);
    };
    filter(table.Columns);
    for (auto& row : table.Rows) filter(row);
    return table;
}

std::string PeriodText(TDateTime firstDay, TDateTime lastDay) {
    return firstDay == lastDay ? DateToStr(firstDay)
                               : DateToStr(firstDay) + " — " + DateToStr(lastDay);
}

std::string TotalsHtml(const TSummaryRow& t) {
    return "<div class=\"totals\"><span>Звонков: <b>" + std::to_string(t.Calls()) +
           "</b></span><span>входящих " + std::to_string(t.CallsIn) + ", исходящих " +
           std::to_string(t.CallsOut) + "</span><span>Время разговоров: <b>" +
           Escape(platform::AnsiToUtf8(Trim(DurationText(t.Seconds())))) + "</b></span></div>";
}

}  // namespace

THttpResponse TWebApp::Route(const THttpRequest& request, const TPeer& peer) {
    const std::string& path = request.Path;
    const bool get = request.Method == "GET" || request.Method == "HEAD";
    static const std::set<std::string> pages = {"/",        "/signin",   "/signout", "/calls",
                                                "/summary", "/download", "/status",  "/metrics"};
    if (!pages.count(path)) return THttpResponse::Text(404, "Нет такой страницы: " + path);
    const bool post = request.Method == "POST";
    const bool postPage = path == "/signin" || path == "/signout";
    if (!get && !(post && postPage)) {
        THttpResponse r =
            THttpResponse::Text(405, "Метод " + request.Method + " здесь не принимается");
        r.Headers.emplace_back("Allow", postPage ? "GET, HEAD, POST" : "GET, HEAD");
        return r;
    }
    if (path == "/metrics") return Metrics(request, peer);
    if (path == "/signin") return post ? SignIn(request, peer) : SignInPage("", 200, "");
    if (path == "/signout") return SignOut(request);

    TContext c;
    c.Request = &request;
    const std::string token = CookieValue(request.Header("cookie"), kCookie);
    const auto name = token.empty() ? std::nullopt : sessions_.User(token);
    if (name) c.Signed = FindUser(*name);
    // A user taken out of web.ini is signed out at once.
    if (!c.Signed) return Redirect("/signin");
    c.User = &*c.Signed;
    if (path == "/") return Redirect("/calls");
    if (!ParseForm(request.Query, c.Query)) throw TBadRequest{400, "Неверные параметры запроса"};
    if (path == "/status") {
        if (!c.Admin()) throw TBadRequest{403, "Состояние станции видит только администратор"};
        return Status(c);
    }
    ParseSelection(c.Query, *c.User, c.Filter, c.PeriodKey, c.FirstDay, c.LastDay, c.FilterQuery);
    if (path == "/calls") return Calls(c);
    if (path == "/summary") return Summary(c);
    return Download(c);
}

THttpResponse TWebApp::SignInPage(const std::string& message, int status, const std::string& name) {
    THttpResponse r;
    r.Status = status;
    std::string body = "<form class=\"signin\" method=\"post\" action=\"/signin\"><h1>Вход</h1>";
    if (!message.empty()) body += "<div class=\"msg\">" + Escape(message) + "</div>";
    body +=
        "<label>Имя<br><input type=\"text\" name=\"name\" autocomplete=\"username\" "
        "autocapitalize=\"none\" required value=\"" +
        Escape(name) +
        "\"></label><label>Пароль<br><input type=\"password\" name=\"password\" "
        "autocomplete=\"current-password\" required></label><button class=\"go\">Войти</button>"
        "</form>";
    r.Body = Page({"Вход", "", false, ""}, body);
    return r;
}

THttpResponse TWebApp::SignIn(const THttpRequest& request, const TPeer& peer) {
    TFields form;
    if (!ParseForm(request.Body, form)) throw TBadRequest{400, "Неверная форма входа"};
    const std::string name = Field(form, "name"), password = Field(form, "password");
    const std::string byName = "user:" + name,
                      byAddress = "addr:" + peer.Address.toString().toStdString();
    const auto wait = std::max(brake_.Wait(byName), brake_.Wait(byAddress));
    if (wait.count() > 0) {
        THttpResponse r = SignInPage("Слишком много неудачных попыток. Повторите через " +
                                         std::to_string(wait.count()) + " с.",
                                     429, name);
        r.Headers.emplace_back("Retry-After", std::to_string(wait.count()));
        return r;
    }
    const std::optional<TWebUser> found = FindUser(name);
    const TWebUser* user = found ? &*found : nullptr;
    // An unknown name costs as much as a wrong password, so that names cannot be told by timing.
    static const std::string dummy = HashPassword("-");
    const bool ok = VerifyPassword(password, user ? user->PasswordHash : dummy) && user;
    if (!ok) {
        brake_.Failed(byName);
        brake_.Failed(byAddress);
        return SignInPage("Неверное имя или пароль", 401, name);
    }
    brake_.Succeeded(byName);
    brake_.Succeeded(byAddress);
    THttpResponse r = Redirect("/calls");
    r.Headers.emplace_back("Set-Cookie", std::string(kCookie) + "=" + sessions_.Open(name) +
                                             "; Path=/; HttpOnly; SameSite=Strict; Max-Age=" +
                                             std::to_string(config_.SessionMinutes * 60) +
                                             (peer.Secure ? "; Secure" : ""));
    return r;
}

THttpResponse TWebApp::SignOut(const THttpRequest& request) {
    const std::string token = CookieValue(request.Header("cookie"), kCookie);
    if (!token.empty()) sessions_.Close(token);
    THttpResponse r = Redirect("/signin");
    r.Headers.emplace_back(
        "Set-Cookie", std::string(kCookie) + "=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0");
    return r;
}

namespace {

// The selection as a key of the caches.
std::string FilterKey(const TReportFilter& f) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "%.8f/%.8f/%d/%d/%d/", f.Period.From, f.Period.To,
                  static_cast<int>(f.Direction), f.MinDuration, f.Line ? *f.Line : -1);
    std::string key = buf;
    for (int32_t e : f.Extensions) key += std::to_string(e) + ",";
    return key + "/" + f.NumberPart + "/" + f.Station;
}

// A period over before today changes only by a call stored late; today's changes by the minute.
std::chrono::seconds KeepFor(const TReportFilter& f) {
    return f.Period.To <= Date() ? std::chrono::seconds(600) : std::chrono::seconds(20);
}

}  // namespace

TSummary TWebApp::CachedSummary(TReportEngine& engine, TSummaryKind kind,
                                const TReportFilter& filter) {
    return summaries_.Get(std::to_string(static_cast<int>(kind)) + "/" + FilterKey(filter),
                          KeepFor(filter), [&] { return engine.Summary(kind, filter); });
}

TSummaryRow TWebApp::CachedTotals(TReportEngine& engine, const TReportFilter& filter) {
    return totals_.Get(FilterKey(filter), KeepFor(filter), [&] { return engine.Totals(filter); });
}

std::optional<TWebUser> TWebApp::FindUser(const std::string& name) {
    std::lock_guard lock(usersMutex_);
    // Users added or changed with --add-user (or by hand) count from the next request on.
    std::error_code ec;
    const std::filesystem::path ini = std::filesystem::path(site_.Dir) / kWebIni;
    const auto written = std::filesystem::last_write_time(ini, ec);
    const auto size = ec ? 0 : std::filesystem::file_size(ini, ec);
    if (!ec && (written != usersWritten_ || size != usersSize_)) {
        usersWritten_ = written;
        usersSize_ = size;
        try {
            config_.Users = ReadWebConfig(site_.Dir).Users;
        } catch (const std::exception& e) {
            // Half-written or broken: the users as they were stay until it reads again.
            std::cerr << "tarvick-web: users not read again: " << e.what() << "\n";
        }
    }
    const TWebUser* user = config_.FindUser(name);
    return user ? std::optional<TWebUser>(*user) : std::nullopt;
}

THttpResponse TWebApp::Calls(const TContext& c) {
    std::optional<TCallCursor> after;
    const std::string afterToken = Field(c.Query, "after");
    if (!afterToken.empty()) {
        after = TCallCursor::FromToken(afterToken);
        if (!after) throw TBadRequest{400, "Неверная позиция в списке"};
    }
    // The way back: the starting points of the pages before this one, oldest first ("-" for
    // the first page), carried in the links; the list pages forward only.
    std::vector<std::string> back;
    const std::string backField = Field(c.Query, "back");
    for (size_t pos = 0; !backField.empty() && pos <= backField.size();) {
        const size_t end = std::min(backField.find('.', pos), backField.size());
        back.push_back(backField.substr(pos, end - pos));
        if (back.back() != "-" && !TCallCursor::FromToken(back.back()))
            throw TBadRequest{400, "Неверная позиция в списке"};
        pos = end + 1;
    }
    if (back.size() > kBackPages) back.erase(back.begin(), back.end() - kBackPages);
    auto join = [](const std::vector<std::string>& tokens) {
        std::string s;
        for (const std::string& t : tokens) s += (s.empty() ? "" : ".") + t;
        return s;
    };
    TReportEngine& engine = Engine(site_);
    const TCallPage page = engine.Calls(c.Filter, after, kPageSize);
    std::string body = "<h1>Звонки за " + PeriodText(c.FirstDay, c.LastDay) + "</h1>" +
                       FiltersForm("/calls", c.Query, c.PeriodKey, c.FirstDay, c.LastDay, "");
    if (!after) body += TotalsHtml(CachedTotals(engine, c.Filter));
    body +=
        "<div class=\"downloads\">Скачать: <a href=\"/download?report=calls&amp;format=csv&amp;" +
        Escape(c.FilterQuery) + "\">CSV</a><a href=\"/download?report=calls&amp;format=xlsx&amp;" +
        Escape(c.FilterQuery) + "\">XLSX</a></div>";
    if (page.Rows.empty())
        body += "<p>Звонков нет.</p>";
    else
        body += TableHtml(ShownColumns(CallTable(page.Rows), engine.Columns()));
    body += "<div class=\"pager\">";
    if (after) body += "<a href=\"/calls?" + Escape(c.FilterQuery) + "\">В начало</a>";
    if (after && !back.empty()) {
        std::vector<std::string> before(back.begin(), back.end() - 1);
        std::string link = "/calls?" + c.FilterQuery;
        if (back.back() != "-") link += "&after=" + UrlEncode(back.back());
        if (!before.empty()) link += "&back=" + UrlEncode(join(before));
        body += "<a href=\"" + Escape(link) + "\">← Назад</a>";
    }
    if (page.Next) {
        std::vector<std::string> next = back;
        next.push_back(after ? afterToken : "-");
        if (next.size() > kBackPages) next.erase(next.begin());
        body += "<a href=\"/calls?" + Escape(c.FilterQuery) +
                "&amp;after=" + Escape(UrlEncode(page.Next->ToToken())) +
                "&amp;back=" + Escape(UrlEncode(join(next))) + "\">Дальше →</a>";
    }
    body += "</div>";
    THttpResponse r;
    r.Body = Page({"Звонки", c.User->Name, c.Admin(), "calls"}, body);
    return r;
}

THttpResponse TWebApp::Summary(const TContext& c) {
    const std::string by = Field(c.Query, "by").empty() ? "extension" : Field(c.Query, "by");
    const auto kind = SummaryKindFromName(by);
    if (!kind) throw TBadRequest{400, "Неизвестная сводка: " + by};
    TReportEngine& engine = Engine(site_);
    const TSummary summary = CachedSummary(engine, *kind, c.Filter);
    std::string body = "<h1>" + Escape(platform::AnsiToUtf8(SummaryKindTitle(*kind))) + " за " +
                       PeriodText(c.FirstDay, c.LastDay) + "</h1><div class=\"tabs\">";
    for (const TSummaryChoice& s : kSummaries) {
        if (s.Kind == TSummaryKind::Station && !engine.Columns().Station) continue;
        body += std::string("<a href=\"/summary?by=") + s.Key + "&amp;" + Escape(c.FilterQuery) +
                "\"" + (s.Kind == *kind ? " class=\"on\"" : "") + ">" + s.Caption + "</a>";
    }
    body +=
        "</div>" + FiltersForm("/summary", c.Query, c.PeriodKey, c.FirstDay, c.LastDay,
                               "<input type=\"hidden\" name=\"by\" value=\"" + Escape(by) + "\">");
    body += TotalsHtml(summary.Total);
    std::vector<TBar> bars;
    for (const TSummaryRow& row : summary.Rows) {
        if (bars.size() >= 40 && *kind != TSummaryKind::Day) break;
        bars.push_back({platform::AnsiToUtf8(row.Key), static_cast<double>(row.Calls())});
    }
    const bool upright = *kind == TSummaryKind::Day || *kind == TSummaryKind::Hour;
    body += BarChartSvg("Звонков", bars, upright);
    body += "<div class=\"downloads\">Скачать: <a href=\"/download?report=" + by +
            "&amp;format=csv&amp;" + Escape(c.FilterQuery) +
            "\">CSV</a><a href=\"/download?report=" + by + "&amp;format=xlsx&amp;" +
            Escape(c.FilterQuery) + "\">XLSX</a></div>";
    body += summary.Rows.empty() ? "<p>Звонков нет.</p>" : TableHtml(SummaryTable(summary));
    THttpResponse r;
    r.Body = Page({"Сводки", c.User->Name, c.Admin(), "summary"}, body);
    return r;
}

THttpResponse TWebApp::Download(const TContext& c) {
    const std::string report = Field(c.Query, "report"), format = Field(c.Query, "format");
    std::optional<TSummaryKind> kind;
    if (report != "calls") {
        kind = SummaryKindFromName(report);
        if (!kind) throw TBadRequest{400, "Неизвестный отчёт: " + report};
    }
    if (format != "csv" && format != "xlsx") throw TBadRequest{400, "Формат: csv или xlsx"};

    // The file is made in a temporary file that has no name once it is open, so a call list of
    // any length costs no memory and leaves nothing behind.
    char tmpl[] = "/tmp/tarvick-web-XXXXXX";
    const int fd = ::mkstemp(tmpl);
    if (fd < 0) throw EWebError("Cannot make a temporary file");
    std::shared_ptr<std::FILE> file(::fdopen(fd, "w+b"), [](std::FILE* f) {
        if (f) std::fclose(f);
    });
    if (!file) {
        ::close(fd);
        ::unlink(tmpl);
        throw EWebError("Cannot open a temporary file");
    }
    struct TUnlink {
        const char* Path;
        ~TUnlink() { ::unlink(Path); }
    } unlinkAtEnd{tmpl};

    TReportEngine& engine = Engine(site_);
    auto write = [&](TTableWriter& writer) {
        if (kind)
            WriteTable(SummaryTable(CachedSummary(engine, *kind, c.Filter)), writer);
        else
            ExportCalls(engine, c.Filter, writer);
    };
    if (format == "csv") {
        std::ofstream out(tmpl, std::ios::binary | std::ios::trunc);
        auto writer = MakeCsvWriter(out, TCsvOptions::Utf8Bom());
        write(*writer);
        out.flush();
        if (!out) throw EWebError("Cannot write the download");
    } else {
        auto writer = MakeXlsxWriter(tmpl);
        write(*writer);
    }
    THttpResponse r;
    r.BodyFile = std::move(file);
    r.ContentType = format == "csv"
                        ? "text/csv; charset=utf-8"
                        : "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet";
    const std::string name = (kind ? report : std::string("calls")) + "-" + IsoDate(c.FirstDay) +
                             (c.LastDay != c.FirstDay ? "-" + IsoDate(c.LastDay) : "") + "." +
                             format;
    r.Headers.emplace_back("Content-Disposition", "attachment; filename=\"" + name + "\"");
    return r;
}

bool TWebApp::ReadMarks(std::vector<TMark>& marks, std::string& problem) {
    std::lock_guard lock(dbMutex_);
    try {
        if (!statusDb_) statusDb_ = std::make_unique<TCallDatabase>();
        if (!statusDb_->Connected()) statusDb_->Connect(site_.DbPath, site_.Login);
        TFbTransaction& tr = statusDb_->DbTransaction;
        if (!tr.InTransaction()) tr.StartTransaction();
        {
            TFbStatement q(statusDb_->DbConnection, tr);
            q.SetText(
                "SELECT Station, JournalFile, JournalPos, Updated FROM JournalMarks ORDER BY "
                "Station");
            for (q.ExecQuery(); !q.Eof(); q.Next()) {
                TMark m;
                m.Station = platform::AnsiToUtf8(q.Fields(0).AsString());
                m.JournalFile = q.Fields(1).AsString();
                m.Position = q.Fields(2).AsInt64();
                if (!q.Fields(3).IsNull()) {
                    m.UpdatedDays = q.Fields(3).AsDateTime();
                    m.Updated = q.Fields(3).AsString();
                }
                marks.push_back(std::move(m));
            }
        }
        tr.Commit();
        return true;
    } catch (const std::exception& e) {
        problem = platform::AnsiToUtf8(e.what());
        statusDb_.reset();
        return false;
    }
}

namespace {

std::string TimeText(const QDateTime& t) {
    return t.isValid() ? t.toString("dd.MM.yyyy hh:mm:ss").toStdString() : "—";
}

std::string YesNo(bool ok, const char* yes, const char* no) {
    return ok ? std::string("<span class=\"ok\">") + yes + "</span>"
              : std::string("<span class=\"bad\">") + no + "</span>";
}

}  // namespace

THttpResponse TWebApp::Status(const TContext& c) {
    const QDateTime now = QDateTime::currentDateTime();
    std::vector<std::string> dirs = {site_.Dir};
    dirs.insert(dirs.end(), site_.StationDirs.begin(), site_.StationDirs.end());
    std::string body = "<h1>Станция</h1>";
    for (const std::string& dir : dirs) {
        const TStationStatus s = ReadStationStatus(dir, now);
        body +=
            "<h2>" + Escape(s.Station.empty() ? dir : s.Station + " (" + dir + ")") + "</h2><dl>";
        if (!s.Present) {
            body += "<dt>Состояние</dt><dd>" + YesNo(false, "", "нет сведений") + " (" +
                    Escape(s.Problem) + ")</dd></dl>";
            continue;
        }
        body += "<dt>Запись</dt><dd>" +
                (s.Running ? YesNo(s.Capturing, "идёт", "остановлена")
                           : YesNo(false, "", "станция не работает")) +
                "</dd><dt>Порт</dt><dd>" + Escape(s.Port) + " " +
                YesNo(s.PortUp, "открыт", "закрыт") + "</dd><dt>База данных</dt><dd>" +
                Escape(s.Database) + " " + YesNo(s.DatabaseUp, "доступна", "недоступна") +
                (s.DatabaseError.empty() ? "" : " (" + Escape(s.DatabaseError) + ")") +
                "</dd><dt>Строк ждут записи</dt><dd>" + std::to_string(s.Backlog) +
                "</dd><dt>Последняя строка принята</dt><dd>" + TimeText(s.LastReceived) +
                "</dd><dt>Последняя строка записана</dt><dd>" + TimeText(s.LastStored) +
                "</dd><dt>Писем ждут отправки</dt><dd>" + std::to_string(s.Outbox) +
                "</dd><dt>Отвергнуто строк сегодня</dt><dd>" + std::to_string(s.RejectedToday) +
                "</dd><dt>Сведения от</dt><dd>" + TimeText(s.Updated) + "</dd>";
        for (const TStationAlert& a : s.Alerts)
            body += "<dt class=\"bad\">Тревога</dt><dd>" + Escape(a.Text) + " (с " +
                    TimeText(a.Since) + ")</dd>";
        body += "</dl>";
    }
    std::vector<TMark> marks;
    std::string problem;
    body += "<h2>База данных</h2>";
    if (!ReadMarks(marks, problem)) {
        body += "<p class=\"bad\">Недоступна: " + Escape(problem) + "</p>";
    } else if (!marks.empty()) {
        body +=
            "<div class=\"scroll\"><table><thead><tr><th>Станция</th><th>Последняя запись</th>"
            "<th>Журнал</th><th class=\"n\">Позиция</th></tr></thead><tbody>";
        for (const TMark& m : marks)
            body += "<tr><td>" + Escape(m.Station.empty() ? "—" : m.Station) + "</td><td>" +
                    Escape(m.Updated.empty() ? "—" : m.Updated) + "</td><td>" +
                    Escape(m.JournalFile) + "</td><td class=\"n\">" + std::to_string(m.Position) +
                    "</td></tr>";
        body += "</tbody></table></div>";
    } else {
        body += "<p class=\"ok\">Доступна; записей о станциях нет.</p>";
    }
    THttpResponse r;
    r.Body = Page({"Станция", c.User->Name, true, "status"}, body);
    return r;
}

THttpResponse TWebApp::Metrics(const THttpRequest& request, const TPeer& peer) {
    if (!peer.Loopback) {
        const std::string auth = request.Header("authorization");
        const std::string prefix = "Bearer ";
        const bool ok = !config_.MetricsToken.empty() &&
                        auth.compare(0, prefix.size(), prefix) == 0 &&
                        SameSecret(auth.substr(prefix.size()), config_.MetricsToken);
        if (!ok) {
            THttpResponse r = THttpResponse::Text(401, "Нужен токен: Authorization: Bearer ...");
            r.Headers.emplace_back("WWW-Authenticate", "Bearer");
            return r;
        }
    }
    const QDateTime now = QDateTime::currentDateTime();
    std::vector<TStationStatus> stations = {ReadStationStatus(site_.Dir, now)};
    for (const std::string& dir : site_.StationDirs)
        stations.push_back(ReadStationStatus(dir, now));
    std::vector<TMark> marks;
    std::string problem;
    const bool dbUp = ReadMarks(marks, problem);
    std::vector<TMetricsMark> metricsMarks;
    for (const TMark& m : marks) metricsMarks.push_back({m.Station, m.UpdatedDays});
    THttpResponse r;
    r.ContentType = "text/plain; version=0.0.4; charset=utf-8";
    r.Body = MetricsText(stations, dbUp, metricsMarks, now);
    return r;
}

}  // namespace web
