// Files that appear whole or not at all: a reader never takes a half-written result for done.
#pragma once

#include <string>

namespace skelv {

// Writes `contents` to a temporary file beside `path`, flushes it to disk and renames it over
// `path`. False with a reason in `*error` (nothing left behind) when any step fails.
bool write_file_atomically(const std::string& path, const std::string& contents, std::string* error);

} // namespace skelv
