// printf-style formatting into a string, for the lines and fields of reports.
#pragma once

#include <string>

namespace skelv {

// At most 511 characters: report lines and fields, never free text of any length.
std::string printf_text(const char* pattern, ...) __attribute__((format(printf, 1, 2)));

} // namespace skelv
