// Tags a run carries into its result (device, firmware, week), so that results can be told
// apart and compared later: `--tag KEY=VALUE` on the command line, "tags" in result.json.
#pragma once

#include <map>
#include <string>
#include <string_view>

namespace skelv {

using RunTags = std::map<std::string, std::string>;

// One KEY=VALUE: a key of letters, digits, '_', '-' and '.', a value of printable characters
// (UTF-8 allowed) up to 200 bytes. False with a message naming `text` when it is not one.
bool parse_tag(std::string_view text, std::string* key, std::string* value, std::string* error);

// Adds one KEY=VALUE to `tags`; a key given twice is refused.
bool add_tag(std::string_view text, RunTags* tags, std::string* error);

} // namespace skelv
