// The files of one result, written where they point: JSON, events CSV and the HTML page.
#pragma once

#include "check/check_result.h"

#include <string>

namespace skelv {

struct ResultFiles {
    std::string json, csv, html; ///< paths; empty when not asked for; "-" standard output
};

// Writes each file asked for; false with a message at the first that cannot be written.
// `reload_s` > 0 marks a snapshot of a run still going: the page reloads itself that often.
bool write_result_files(const ResultFiles& files, const CheckResult& result, int reload_s, std::string* error);

} // namespace skelv
