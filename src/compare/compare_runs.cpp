#include "compare/compare_runs.h"

#include "rules/time_units.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>

namespace skelv {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr const char* kResultName = "result.json";  // as a batch names it in each entry
constexpr const char* kSummaryName = "summary.json"; // a batch's or a merge's list of entries

bool read_json_file(const std::string& path, json* j, std::string* error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = path + ": cannot be read";
        return false;
    }
    *j = json::parse(in, nullptr, false);
    if (j->is_discarded()) {
        *error = path + ": not JSON";
        return false;
    }
    return true;
}

// The result files of a folder: those its summary.json lists (a merge's summary lists
// entries in other folders too), else every DIR/*/result.json.
std::vector<std::string> results_in_folder(const fs::path& folder)
{
    std::vector<std::string> paths;
    json summary;
    std::string ignored;
    if (read_json_file((folder / kSummaryName).string(), &summary, &ignored) && summary.contains("rows")) {
        for (const json& row : summary["rows"])
            if (row.contains("folder") && row["folder"].is_string())
                paths.push_back((folder / row["folder"].get<std::string>() / kResultName).string());
    } else {
        std::error_code error; // a folder that cannot be listed to the end gives what it gave
        for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
            paths.push_back((it->path() / kResultName).string());
    }
    std::erase_if(paths, [](const std::string& p) { // entries that could not be analysed have none
        std::error_code error;
        return !fs::is_regular_file(p, error);
    });
    std::sort(paths.begin(), paths.end());
    return paths;
}

std::vector<std::string> split_commas(const std::string& text)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t comma; (comma = text.find(',', start)) != std::string::npos; start = comma + 1)
        parts.push_back(text.substr(start, comma - start));
    parts.push_back(text.substr(start));
    return parts;
}

std::optional<int64_t> median_of(std::vector<int64_t> values)
{
    if (values.empty())
        return std::nullopt;
    std::sort(values.begin(), values.end());
    const size_t half = values.size() / 2;
    return values.size() % 2 ? values[half] : values[half - 1] + (values[half] - values[half - 1]) / 2;
}

int64_t count_of(const json& object, const char* key)
{
    return object.contains(key) && object[key].is_number_integer() ? object[key].get<int64_t>() : 0;
}

std::vector<TagRow> tag_rows_of(const std::vector<RunResult>& runs)
{
    std::map<std::pair<std::string, std::string>, std::vector<const RunResult*>> groups;
    for (const RunResult& run : runs)
        for (const auto& [key, value] : run.tags)
            groups[{key, value}].push_back(&run);
    std::vector<TagRow> rows;
    for (const auto& [tag, members] : groups) {
        TagRow row{tag.first, tag.second, members.size(), 0, std::nullopt};
        std::vector<int64_t> delays;
        for (const RunResult* run : members)
            delays.insert(delays.end(), run->delays_ns.begin(), run->delays_ns.end());
        row.events = delays.size();
        row.median_ns = median_of(std::move(delays));
        rows.push_back(row);
    }
    return rows;
}

} // namespace

bool run_result_of_json(const json& result, const std::string& path, RunResult* run, std::string* error)
{
    const json* sync = result.is_object() && result.contains("sync") ? &result["sync"] : nullptr;
    if (!sync || !sync->is_object() || !sync->contains("events") || !(*sync)["events"].is_array() ||
        !result.contains("verdict") || !result["verdict"].is_string()) {
        *error = path + ": not a result of skelv-check (no verdict or sync.events)";
        return false;
    }
    run->path = path;
    run->verdict = result["verdict"].get<std::string>();
    for (const json& event : (*sync)["events"])
        if (event.contains("delay_ms") && event["delay_ms"].is_number())
            run->delays_ns.push_back(ns_of_ms(event["delay_ms"].get<double>()));
    if (sync->contains("drift_ms_per_min") && (*sync)["drift_ms_per_min"].is_number())
        run->drift_ms_per_min = (*sync)["drift_ms_per_min"].get<double>();
    const json video = result.value("video", json::object());
    run->frames = count_of(video, "frames");
    run->dropped = count_of(video, "dropped");
    run->repeated = count_of(video, "repeated");
    if (result.contains("tags") && result["tags"].is_object())
        for (const auto& [key, value] : result["tags"].items())
            if (value.is_string())
                run->tags[key] = value.get<std::string>();
    return true;
}

bool read_side(const std::string& side, std::vector<RunResult>* runs, bool* missing, std::string* error)
{
    *missing = false;
    std::set<std::string> seen; // a result named twice counts once
    for (const std::string& part : split_commas(side)) {
        std::error_code ignored;
        if (part.empty() || !fs::exists(part, ignored)) {
            *missing = true;
            *error = "'" + part + "' does not exist: give result files or batch folders, joined with commas";
            return false;
        }
        const std::vector<std::string> paths =
            fs::is_directory(part, ignored) ? results_in_folder(part) : std::vector{part};
        for (const std::string& path : paths) {
            if (!seen.insert(fs::weakly_canonical(path, ignored).string()).second)
                continue;
            json result;
            RunResult run;
            if (!read_json_file(path, &result, error) || !run_result_of_json(result, path, &run, error))
                return false;
            runs->push_back(std::move(run));
        }
    }
    return true;
}

std::vector<RunResult> runs_where(const std::vector<RunResult>& runs, const RunTags& where)
{
    std::vector<RunResult> kept;
    for (const RunResult& run : runs)
        if (std::all_of(where.begin(), where.end(), [&](const auto& tag) {
                const auto found = run.tags.find(tag.first);
                return found != run.tags.end() && found->second == tag.second;
            }))
            kept.push_back(run);
    return kept;
}

SideFigures side_figures(const std::vector<RunResult>& runs)
{
    SideFigures side;
    side.runs = runs.size();
    double drift_sum = 0;
    size_t drifts = 0;
    for (const RunResult& run : runs) {
        side.delays_ns.insert(side.delays_ns.end(), run.delays_ns.begin(), run.delays_ns.end());
        if (run.drift_ms_per_min) {
            drift_sum += *run.drift_ms_per_min;
            drifts++;
        }
        side.frames += run.frames;
        side.dropped += run.dropped;
        side.repeated += run.repeated;
        side.verdicts[run.verdict]++;
    }
    if (drifts > 0)
        side.mean_drift_ms_per_min = drift_sum / double(drifts);
    side.median_ns = median_of(side.delays_ns);
    side.tag_rows = tag_rows_of(runs);
    return side;
}

bool Comparison::changed() const
{
    return !shift || !shift_is_no_change(*shift, equivalence_ns);
}

Comparison compare_sides(const std::vector<RunResult>& a, const std::vector<RunResult>& b, int64_t equivalence_ns)
{
    Comparison c;
    c.a = side_figures(a);
    c.b = side_figures(b);
    c.shift = delay_shift(c.a.delays_ns, c.b.delays_ns);
    c.equivalence_ns = equivalence_ns;
    return c;
}

} // namespace skelv
