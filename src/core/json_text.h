// Text for JSON output.
#pragma once

#include <string>
#include <string_view>

// `text` as the inside of a JSON string: quote, backslash and control characters escaped,
// and every byte sequence that is not valid UTF-8 replaced by U+FFFD, so that any path or
// message prints as valid JSON. Valid UTF-8 passes unchanged.
std::string json_escape(std::string_view text);

// `text` with every byte sequence that is not valid UTF-8 replaced by U+FFFD, one for each
// maximal ill-formed subpart; valid UTF-8 passes unchanged.
std::string valid_utf8(std::string_view text);
