#include "batch/batch_entry.h"

#include "core/json_text.h"
#include "outputs/output_file.h"
#include "rules/exit_codes.h"
#include "rules/names.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace skelv {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr const char* kScratchPrefix = ".partial.";

std::string host_name()
{
    char name[256] = {};
    gethostname(name, sizeof name - 1);
    std::string host = name;
    for (char& c : host) // dots separate the fields of a scratch name
        if (c == '.' || c == '/')
            c = '_';
    return host.empty() ? "unknown" : host;
}

std::string read_text(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string utc_now()
{
    char text[32];
    const time_t now = time(nullptr);
    tm utc{};
    gmtime_r(&now, &utc);
    strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

// The last thing the analysis said, without its program name.
std::string last_message(const std::string& log)
{
    const size_t end = log.find_last_not_of("\r\n \t");
    if (end == std::string::npos)
        return "";
    const size_t newline = log.find_last_of('\n', end);
    const size_t start = newline == std::string::npos ? 0 : newline + 1;
    std::string line = log.substr(start, end + 1 - start);
    const std::string program = "skelv-check: ";
    if (line.compare(0, program.size(), program) == 0)
        line.erase(0, program.size());
    return line;
}

// The delays the result's profile accepts, lowest and highest in ms (nulls when unknown), for
// the trend's plot.
std::pair<json, json> accepted_band(const json& result)
{
    const json& profile = result.value("profile", json::object());
    const json lead = profile.value("lead_ms", json()), lag = profile.value("lag_ms", json());
    if (!lead.is_number() || !lag.is_number())
        return {nullptr, nullptr};
    const json expected = result.value("expect_delay_ms", json());
    const double centre = expected.is_number() ? expected.get<double>() : 0.0;
    return {centre - lead.get<double>(), centre + lag.get<double>()};
}

json figures_of(const json& result)
{
    const json& sync = result.value("sync", json::object());
    const json& video = result.value("video", json::object());
    const auto pick = [](const json& from, const char* key) { return from.contains(key) ? from[key] : json(nullptr); };
    const auto [band_lo, band_hi] = accepted_band(result);
    return {{"verdict", pick(result, "verdict")},
            {"profile", result.contains("profile") ? pick(result["profile"], "name") : json(nullptr)},
            {"events", pick(sync, "count")},
            {"median_ms", pick(sync, "median_ms")},
            {"min_ms", pick(sync, "min_ms")},
            {"max_ms", pick(sync, "max_ms")},
            {"drift_ms_per_min", pick(sync, "drift_ms_per_min")},
            {"dropped", pick(video, "dropped")},
            {"repeated", pick(video, "repeated")},
            {"shown", pick(video, "source_frames_shown")},
            {"band_lo_ms", band_lo},
            {"band_hi_ms", band_hi},
            {"tags", result.value("tags", json::object())}};
}

std::string how_it_ended(const ChildEnd& end)
{
    char text[128];
    if (end.timed_out)
        snprintf(text, sizeof text, "analysis timed out after %.0f s", end.seconds);
    else if (end.signal != 0)
        snprintf(text, sizeof text, "analysis crashed (signal %d, %s)", end.signal, strsignal(end.signal));
    else if (end.exit_code == exit_code::kOutput)
        return "analysis could not write its results";
    else
        snprintf(text, sizeof text, "analysis ended with exit code %d", end.exit_code);
    return text;
}

// The verdict of a result.json, if it has one.
std::optional<SyncVerdict> verdict_of(const json& result)
{
    if (!result.is_object() || !result.contains("verdict") || !result["verdict"].is_string())
        return std::nullopt;
    return verdict_named(result["verdict"].get<std::string>());
}

// The exit code an analysis ends with when it reaches `verdict`.
int exit_code_for(SyncVerdict verdict)
{
    switch (verdict) {
    case SyncVerdict::Pass: return exit_code::kPass;
    case SyncVerdict::Fail: return exit_code::kFail;
    default: return exit_code::kNotAnalysed;
    }
}

EntryOutcome outcome_of(SyncVerdict verdict)
{
    switch (verdict) {
    case SyncVerdict::Pass: return EntryOutcome::Pass;
    case SyncVerdict::Fail: return EntryOutcome::Fail;
    default: return EntryOutcome::Unmeasurable;
    }
}

EntryOutcome outcome_named(const std::string& name)
{
    const std::optional<SyncVerdict> verdict = verdict_named(name);
    return verdict ? outcome_of(*verdict) : EntryOutcome::Error;
}

std::vector<std::string> files_in(const std::string& folder)
{
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& file : fs::directory_iterator(folder, error))
        names.push_back(file.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Why an analysis left no usable result: how it ended and the last thing it said.
std::string failure_of(const ChildEnd& end, const std::string& file, const std::string& log, bool has_result)
{
    std::string message = last_message(log);
    if (message.compare(0, file.size() + 2, file + ": ") == 0) // the row names the file already
        message.erase(0, file.size() + 2);
    const bool exited = !end.timed_out && end.signal == 0;
    if (exited && end.exit_code == exit_code::kNotAnalysed && !message.empty())
        return message;
    if (exited && end.exit_code == exit_code::kPass && !has_result)
        return "analysis wrote no result";
    return how_it_ended(end) + (message.empty() ? "" : ": " + message);
}

bool pid_alive(long pid)
{
    return pid > 0 && (kill(pid_t(pid), 0) == 0 || errno == EPERM);
}

} // namespace

bool source_stamp(const std::string& path, SourceStamp* stamp)
{
    struct stat info {};
    if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return false;
    stamp->size = info.st_size;
    stamp->mtime_ns = int64_t(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    return true;
}

const char* entry_outcome_name(EntryOutcome outcome)
{
    switch (outcome) {
    case EntryOutcome::Pass: return name_of(SyncVerdict::Pass);
    case EntryOutcome::Fail: return name_of(SyncVerdict::Fail);
    case EntryOutcome::Unmeasurable: return name_of(SyncVerdict::Unmeasurable);
    default: return "error";
    }
}

json entry_status_json(const EntryStatus& s)
{
    const auto or_null = [](bool known, const json& value) { return known ? value : json(nullptr); };
    return {{"file", valid_utf8(s.file)},
            {"key", valid_utf8(s.key)},
            {"id", s.id},
            {"size", s.stamp.size},
            {"mtime_ns", s.stamp.mtime_ns},
            {"options", s.options},
            {"shard", or_null(!s.shard.empty(), s.shard)},
            {"host", valid_utf8(s.host)},
            {"outcome", entry_outcome_name(s.outcome)},
            {"final", s.final},
            {"exit_code", or_null(s.end.exit_code >= 0, s.end.exit_code)},
            {"signal", or_null(s.end.signal != 0, s.end.signal)},
            {"timed_out", s.end.timed_out},
            {"seconds", std::round(s.end.seconds * 1000) / 1000},
            {"error", or_null(!s.error.empty(), valid_utf8(s.error))},
            {"finished", s.finished},
            {"figures", s.figures},
            {"outputs", s.outputs}};
}

bool entry_status_from_json(const json& j, EntryStatus* s)
{
    if (!j.is_object())
        return false;
    try {
        s->file = j.at("file");
        s->key = j.at("key");
        s->id = j.at("id");
        s->stamp = {j.at("size"), j.at("mtime_ns")};
        s->options = j.at("options").get<std::vector<std::string>>();
        s->shard = j.at("shard").is_string() ? j["shard"].get<std::string>() : "";
        s->host = j.value("host", "");
        s->outcome = outcome_named(j.at("outcome"));
        s->final = j.at("final");
        s->end.exit_code = j.at("exit_code").is_number() ? j["exit_code"].get<int>() : -1;
        s->end.signal = j.at("signal").is_number() ? j["signal"].get<int>() : 0;
        s->end.timed_out = j.at("timed_out");
        s->end.seconds = j.at("seconds");
        s->error = j.at("error").is_string() ? j["error"].get<std::string>() : "";
        s->finished = j.at("finished");
        s->figures = j.at("figures");
        s->outputs = j.at("outputs").get<std::vector<std::string>>();
    } catch (const json::exception&) {
        return false;
    }
    return true;
}

bool read_entry_status(const std::string& folder, EntryStatus* status)
{
    const std::string text = read_text(folder + "/" + batch_files::kStatus);
    return !text.empty() && entry_status_from_json(json::parse(text, nullptr, false), status);
}

bool EntryStatus::has_output(const char* name) const
{
    return std::find(outputs.begin(), outputs.end(), name) != outputs.end();
}

std::string json_file_text(const json& j)
{
    return j.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

void judge_child(const std::string& folder, const ChildEnd& end, EntryStatus* s)
{
    s->end = end;
    s->finished = utc_now();
    s->host = host_name();
    s->outputs = files_in(folder);
    const json result = json::parse(read_text(folder + "/" + batch_files::kResult), nullptr, false);
    const std::optional<SyncVerdict> verdict = verdict_of(result);
    if (verdict)
        s->figures = figures_of(result);
    const bool exited = !end.timed_out && end.signal == 0;
    s->final = exited && (end.exit_code == exit_code::kPass || end.exit_code == exit_code::kNotAnalysed ||
                          end.exit_code == exit_code::kFail);
    if (verdict && exited && end.exit_code == exit_code_for(*verdict)) {
        s->outcome = outcome_of(*verdict);
        s->error = result.contains("reason") && result["reason"].is_string() ? result["reason"].get<std::string>() : "";
        return;
    }
    s->outcome = EntryOutcome::Error;
    s->error = failure_of(end, s->file, read_text(folder + "/" + batch_files::kLog), verdict.has_value());
}

bool entry_is_current(const EntryStatus& status, const BatchRecording& recording, const SourceStamp& stamp,
                      const std::vector<std::string>& options)
{
    return status.final && status.key == valid_utf8(recording.key) && status.stamp == stamp && status.options == options;
}

bool is_scratch_name(const std::string& name)
{
    return name.compare(0, strlen(kScratchPrefix), kScratchPrefix) == 0;
}

namespace {

// .partial.<pid>.<random>.<host>: unique, and telling which process on which host owns it.
std::string scratch_path(const std::string& dir)
{
    thread_local std::mt19937_64 random{std::random_device{}()};
    char name[64];
    snprintf(name, sizeof name, "%ld.%llx.", long(getpid()), (unsigned long long)random());
    return dir + "/" + kScratchPrefix + name + host_name();
}

} // namespace

bool make_scratch_folder(const std::string& dir, std::string* folder, std::string* error)
{
    *folder = scratch_path(dir);
    if (mkdir(folder->c_str(), 0777) == 0)
        return true;
    *error = "cannot create a folder in " + dir + ": " + strerror(errno);
    return false;
}

bool commit_entry(const std::string& scratch, const std::string& dir, const EntryStatus& status, std::string* error)
{
    if (!write_output(scratch + "/" + batch_files::kStatus, json_file_text(entry_status_json(status)), error)) {
        std::error_code ignored;
        fs::remove_all(scratch, ignored);
        return false;
    }
    const std::string target = dir + "/" + status.id;
    // Another run may put its own folder there at any moment: try a few times.
    for (int attempt = 0; attempt < 8; attempt++) {
        if (rename(scratch.c_str(), target.c_str()) == 0)
            return true;
        if (errno != ENOTEMPTY && errno != EEXIST)
            break;
        // An older result is there: swap it out in one step, or where the file system
        // cannot (some network file systems), move it aside first.
        if (renameat2(AT_FDCWD, scratch.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE) == 0) {
            std::error_code ignored;
            fs::remove_all(scratch, ignored);
            return true;
        }
        const std::string aside = scratch_path(dir);
        if (rename(target.c_str(), aside.c_str()) == 0) {
            std::error_code ignored;
            fs::remove_all(aside, ignored);
        }
    }
    *error = "cannot put the result of " + status.file + " in " + target + ": " + strerror(errno);
    std::error_code ignored;
    fs::remove_all(scratch, ignored);
    return false;
}

void remove_stale_scratch(const std::string& dir)
{
    const std::string host = host_name();
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(dir, error)) {
        const std::string name = entry.path().filename().string();
        if (!is_scratch_name(name))
            continue;
        const char* fields = name.c_str() + strlen(kScratchPrefix);
        char* end = nullptr;
        const long pid = strtol(fields, &end, 10);
        const size_t dot = name.find('.', size_t(end - name.c_str()) + 1);
        if (dot == std::string::npos || name.substr(dot + 1) != host || pid_alive(pid))
            continue;
        std::error_code ignored;
        fs::remove_all(entry.path(), ignored);
    }
}

} // namespace skelv
