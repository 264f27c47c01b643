// The summary of a batch, always rebuilt from the recordings' folders: summary.csv,
// summary.json and index.html, one row per recording.
#pragma once

#include "batch/batch_entry.h"

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace skelv {

struct BatchRow {
    EntryStatus status;
    std::string folder; ///< where the entry lives, relative to the summary's directory
};

struct BatchCounts {
    size_t pass = 0, fail = 0, unmeasurable = 0, error = 0;
    size_t total() const { return pass + fail + unmeasurable + error; }
};

BatchCounts count_outcomes(const std::vector<EntryStatus>& statuses);
// The exit code the rows give (rules/exit_codes.h): a failure wins over recordings not
// analysed, as it is a finding about the device and the rows say the rest.
int batch_exit_code(const BatchCounts& counts);

// The complete entries of every folder in `dirs`, one per recording (the latest when one
// is in several), in order of their file names; folders relative to `out_dir`. A recording
// is its key and folder name together: two names that differ only in bytes that are not
// UTF-8 read the same in a status but are two recordings.
std::vector<BatchRow> scan_entries(const std::vector<std::string>& dirs, const std::string& out_dir);

std::string summary_csv(const std::vector<BatchRow>& rows);
nlohmann::json summary_json(const std::vector<BatchRow>& rows);
// A page that works offline; rows by verdict (errors and failures first), sortable by any
// column with a small inline script, readable without it; with `group_by`, the trend of the
// runs along that tag first.
std::string index_html(const std::vector<BatchRow>& rows, const std::string& group_by = "");

// Scans `dirs` and writes the three files into `out_dir` (write_output: each whole), under a
// lock so that the last of several concurrent rebuilds sees every entry committed before it.
// Every text in them is valid UTF-8.
bool rebuild_summary(const std::string& out_dir, const std::vector<std::string>& dirs, const std::string& group_by,
                     std::vector<BatchRow>* rows, std::string* error);

} // namespace skelv
