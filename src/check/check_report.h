// skelv-check's outputs of one result: JSON, CSV and the human summary.
#pragma once

#include "check/check_result.h"

#include <nlohmann/json_fwd.hpp>

#include <string>
#include <vector>

namespace skelv {

// A time in nanoseconds as reported everywhere: milliseconds rounded to the microsecond, so
// that every output of one run shows the same numbers.
double report_ms(double ns);

nlohmann::json check_result_json(const CheckResult& result);

// One row per event, per flash without a beep and per beep without a flash, in time order.
std::string check_result_csv(const CheckResult& result);

// The timeline CSV: one row per captured frame, its time, how long it is shown, what it shows.
inline constexpr const char* kTimelineCsvHeader =
    "time_ms,duration_ms,kind,source_frame,loop,flash,repeated,dropped_before\n";
std::string timeline_csv_row(const CheckFrame& frame);

// The lip-sync line, the frames line, then one line per problem found; each ends in a newline.
std::string check_summary_text(const CheckResult& result);

// The problems alone, each one line without a newline.
std::vector<std::string> check_problems(const CheckResult& result);

// skelv-check's exit code for the result's verdict: within tolerance, out of it, or not analysed.
int exit_code_of(const CheckResult& result);

// "audio lags video by 21.6 ms", "audio leads video by 3.0 ms", "audio in sync with video".
std::string describe_delay(double delay_ns);

} // namespace skelv
