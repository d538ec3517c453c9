#pragma once
// /metrics in the Prometheus text format (version 0.0.4): the stations' counters and states from
// their status files, and the database as the web program sees it.
#include <QDateTime>
#include <string>
#include <vector>

#include "common/DateTime.h"
#include "web/StationStatus.h"

namespace web {

struct TMetricsMark {
    std::string Station;    // UTF-8
    TDateTime Updated = 0;  // 0: never
};

std::string MetricsText(const std::vector<TStationStatus>& stations, bool databaseUp,
                        const std::vector<TMetricsMark>& marks, const QDateTime& now);

// A label value with \, " and line breaks escaped.
std::string LabelValue(const std::string& text);

}  // namespace web
