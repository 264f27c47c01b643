// The trend of a batch along one tag (--group-by fw): the runs grouped by the tag's value,
// each group's median delay and drop rate in the order the runs finished, over the
// tolerance band, for the index page.
#pragma once

#include "batch/batch_summary.h"

#include <optional>
#include <string>
#include <vector>

namespace skelv {

struct TrendRun {
    std::string finished;              ///< UTC, ISO 8601: orders the runs
    std::optional<double> median_ms;   ///< none when nothing was paired
    std::optional<double> drop_percent;///< dropped of the source frames the run covered
    std::optional<double> band_lo_ms, band_hi_ms;
    bool pass = false;
};

struct TrendGroup {
    std::string value;        ///< the tag's value; empty for runs without the tag
    std::vector<size_t> runs; ///< into Trend::runs, in order
    std::optional<double> median_ms;     ///< median of the runs' medians
    std::optional<double> drop_percent;  ///< over all its runs' frames
    size_t passes = 0;
};

struct Trend {
    std::string key;
    std::vector<TrendRun> runs;     ///< in the order they finished
    std::vector<TrendGroup> groups; ///< in the order of their first run
};

Trend trend_of(const std::vector<BatchRow>& rows, const std::string& key);
// The index page's section: a table of the groups and two plots over the runs.
std::string trend_html(const Trend& trend);

} // namespace skelv
