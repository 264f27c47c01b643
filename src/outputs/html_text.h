// Text and numbers for HTML and SVG output.
#pragma once

#include <string>
#include <string_view>

namespace skelv {

// `text` safe inside an element or a quoted attribute: each byte that is not part of valid
// UTF-8, and each control character but tab and newline, becomes U+FFFD; & < > " ' become
// character references.
std::string html_escape(std::string_view text);

// `value` with `decimals` digits after the point, always with a dot whatever the locale;
// "-0.000" is written "0.000".
std::string fixed(double value, int decimals);

// The shortest text that reads back as `value`: "40", "12.5", "0.95".
std::string shortest(double value);

} // namespace skelv
