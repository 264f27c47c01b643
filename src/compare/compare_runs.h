// `skelv-check compare`: the results of two sets of runs (firmware 2.2 and 2.3, device A and
// B, last week and this) read from their result.json files and set side by side.
#pragma once

#include "compare/delay_shift.h"
#include "rules/run_tags.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace skelv {

// What a comparison takes from one result.json.
struct RunResult {
    std::string path;
    RunTags tags;
    std::string verdict;
    std::vector<int64_t> delays_ns;          ///< of every paired event, as sync.events lists them
    std::optional<double> drift_ms_per_min; ///< none when the result could not tell
    int64_t frames = 0, dropped = 0, repeated = 0;
};

// False with a message when `result` is not a result skelv-check writes.
bool run_result_of_json(const nlohmann::json& result, const std::string& path, RunResult* run, std::string* error);

// The results one side names: result files, batch or merge folders (the entries their
// summary.json lists), several joined with commas. False with a message on the first that
// cannot be read; `missing` tells a path that does not exist from one that is broken.
bool read_side(const std::string& side, std::vector<RunResult>* runs, bool* missing, std::string* error);

// The runs carrying every tag of `where`.
std::vector<RunResult> runs_where(const std::vector<RunResult>& runs, const RunTags& where);

// One value of one tag among a side's runs.
struct TagRow {
    std::string key, value;
    size_t runs = 0, events = 0;
    std::optional<int64_t> median_ns; ///< of their delays
};

struct SideFigures {
    size_t runs = 0;
    std::vector<int64_t> delays_ns;
    std::optional<int64_t> median_ns;
    std::optional<double> mean_drift_ms_per_min; ///< over the runs that tell one
    int64_t frames = 0, dropped = 0, repeated = 0;
    std::map<std::string, size_t> verdicts;
    std::vector<TagRow> tag_rows; ///< by key, then value
    double drop_rate() const { return frames > 0 ? double(dropped) / double(frames) : 0; }
    double repeat_rate() const { return frames > 0 ? double(repeated) / double(frames) : 0; }
};

SideFigures side_figures(const std::vector<RunResult>& runs);

struct Comparison {
    SideFigures a, b;
    std::optional<DelayShift> shift; ///< none when a side has no event
    int64_t equivalence_ns = 0;      ///< the margin within which a shift is no change
    // No change: the interval holds 0 and lies within +-equivalence.
    bool changed() const;
};

Comparison compare_sides(const std::vector<RunResult>& a, const std::vector<RunResult>& b, int64_t equivalence_ns);

std::string comparison_text(const Comparison& c);
nlohmann::json comparison_json(const Comparison& c);

} // namespace skelv
