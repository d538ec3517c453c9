#pragma once
// The web program's pages: who may see what, the call list, the summaries, the downloads, the
// station's status and /metrics. Handle runs on the server's worker threads, several at once.
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "reports/ReportEngine.h"
#include "web/HttpServer.h"
#include "web/ResultCache.h"
#include "web/Sessions.h"
#include "web/WebConfig.h"

class TCallDatabase;

namespace web {

struct TWebSite {
    std::string Dir;     // the station directory (web.ini, status.json)
    std::string DbPath;  // the call database its settings name
    // Further station directories storing into the same database, for status and metrics.
    std::vector<std::string> StationDirs;
    TDbLogin Login;  // db.ini of Dir
};

class TWebApp {
public:
    TWebApp(TWebConfig config, TWebSite site);
    ~TWebApp();
    TWebApp(const TWebApp&) = delete;
    TWebApp& operator=(const TWebApp&) = delete;

    THttpResponse Handle(const THttpRequest& request, const TPeer& peer);

    const TWebConfig& Config() const { return config_; }
    TSessions& Sessions() { return sessions_; }

private:
    struct TContext;
    THttpResponse Route(const THttpRequest& request, const TPeer& peer);
    THttpResponse SignInPage(const std::string& message, int status, const std::string& name);
    THttpResponse SignIn(const THttpRequest& request, const TPeer& peer);
    THttpResponse SignOut(const THttpRequest& request);
    THttpResponse Calls(const TContext& c);
    THttpResponse Summary(const TContext& c);
    THttpResponse Download(const TContext& c);
    THttpResponse Status(const TContext& c);
    THttpResponse Metrics(const THttpRequest& request, const TPeer& peer);
    std::optional<TWebUser> FindUser(const std::string& name);

    // What the shared status connection says about the database: marks per station, and
    // whether it can be reached.
    struct TMark {
        std::string Station, JournalFile;
        int64_t Position = 0;
        std::string Updated;  // dd.mm.yyyy hh:nn:ss, empty when never
        double UpdatedDays = 0;
    };
    bool ReadMarks(std::vector<TMark>& marks, std::string& problem);

    TWebConfig config_;
    TWebSite site_;
    std::mutex usersMutex_;  // config_.Users, read again when web.ini changes
    std::filesystem::file_time_type usersWritten_{};
    uintmax_t usersSize_ = 0;
    TSessions sessions_;
    TSignInBrake brake_;
    // Summaries and totals of a selection, shared by the workers.
    TSummary CachedSummary(TReportEngine& engine, TSummaryKind kind, const TReportFilter& filter);
    TSummaryRow CachedTotals(TReportEngine& engine, const TReportFilter& filter);
    TResultCache<TSummary> summaries_;
    TResultCache<TSummaryRow> totals_;

    std::mutex dbMutex_;
    std::unique_ptr<TCallDatabase> statusDb_;
};

}  // namespace web
