// Text for JSON output.
#pragma once

#include <string>
#include <string_view>

// `text` as the inside of a JSON string: quote, backslash and control characters escaped.
std::string json_escape(std::string_view text);
