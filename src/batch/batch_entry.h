// One recording's folder under a batch's output directory: the files of its analysis and
// `status.json`, the batch's record of how it went. A folder appears whole, by a rename, or
// not at all; a folder with a `status.json` is complete.
#pragma once

#include "batch/batch_inputs.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace skelv {

// What the folder of one recording holds.
namespace batch_files {
inline constexpr const char* kStatus = "status.json";
inline constexpr const char* kResult = "result.json";
inline constexpr const char* kEvents = "events.csv";
inline constexpr const char* kReport = "report.html";
inline constexpr const char* kTimeline = "timeline.csv"; ///< one row per captured frame
inline constexpr const char* kSummary = "summary.txt"; ///< the human summary the analysis printed
inline constexpr const char* kLog = "log.txt";         ///< what it said on standard error
} // namespace batch_files

// Size and modification time of a source file: unchanged means already analysed.
struct SourceStamp {
    int64_t size = -1;
    int64_t mtime_ns = -1;
    bool operator==(const SourceStamp&) const = default;
};

// False when the file cannot be inspected (then it cannot be analysed either).
bool source_stamp(const std::string& path, SourceStamp* stamp);

// The outcome of one analysis, as a summary row shows it.
enum class EntryOutcome { Pass, Fail, Unmeasurable, Error };
const char* entry_outcome_name(EntryOutcome outcome);

// How one child analysis ended.
struct ChildEnd {
    int exit_code = -1; ///< -1 unless it exited
    int signal = 0;     ///< the signal that ended it, 0 if none
    bool timed_out = false;
    double seconds = 0; ///< wall-clock time taken
};

// The row and the resume facts of one recording, as its status.json holds them.
struct EntryStatus {
    std::string file, key, id;
    SourceStamp stamp;
    std::vector<std::string> options; ///< the analysis options it was made with
    std::string shard;                ///< "K/N" of the run that made it; empty without --shard
    std::string host;
    EntryOutcome outcome = EntryOutcome::Error;
    bool final = true; ///< false after a crash or a time-out: a later run tries again
    ChildEnd end;
    std::string error;    ///< why it could not be analysed; empty when it was
    std::string finished; ///< UTC, ISO 8601
    nlohmann::json figures = nlohmann::json::object(); ///< verdict-level numbers from result.json
    std::vector<std::string> outputs; ///< the files the analysis left in the folder, by name

    bool has_output(const char* name) const;
};

// The status as status.json holds it: file, key, error and host as valid UTF-8 (U+FFFD for
// each ill-formed part), whatever bytes the file's name has.
nlohmann::json entry_status_json(const EntryStatus& status);
bool entry_status_from_json(const nlohmann::json& j, EntryStatus* status);
// False when `folder` holds no complete entry.
bool read_entry_status(const std::string& folder, EntryStatus* status);

// Pretty JSON for a file. Never throws: any byte that is not UTF-8 becomes U+FFFD.
std::string json_file_text(const nlohmann::json& j);

// Turns how the child ended and what it left in `folder` into a status: the outcome and the
// figures of result.json, the reason of an unmeasurable recording from result.json too;
// where the child left no result (a crash, a time-out, an unreadable file), the error is
// how it ended and its last message on standard error. `status->file` is set.
void judge_child(const std::string& folder, const ChildEnd& end, EntryStatus* status);

// True when `status` (as read back from status.json) is a final result of `recording` made
// from the same file with the same options.
bool entry_is_current(const EntryStatus& status, const BatchRecording& recording, const SourceStamp& stamp,
                      const std::vector<std::string>& options);

// A fresh scratch folder in `dir` for one analysis, named so that a later run on this host
// knows when its owner is gone.
bool make_scratch_folder(const std::string& dir, std::string* folder, std::string* error);

// Writes status.json into `scratch` and puts the folder in place of `dir`/`id`, replacing
// an older one in one step where the file system allows it. On failure `scratch` is gone.
bool commit_entry(const std::string& scratch, const std::string& dir, const EntryStatus& status, std::string* error);

// Removes the scratch folders in `dir` left by runs on this host that are gone.
void remove_stale_scratch(const std::string& dir);

bool is_scratch_name(const std::string& name);

} // namespace skelv
