#include "outputs/html_text.h"

#include "core/json_text.h"

#include <charconv>

namespace skelv {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD"; // U+FFFD

bool is_control(unsigned char c)
{
    return (c < 0x20 && c != '\t' && c != '\n') || c == 0x7F;
}

} // namespace

std::string html_escape(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (const char byte : valid_utf8(text)) {
        const unsigned char c = static_cast<unsigned char>(byte);
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default:
            if (is_control(c))
                out += kReplacement;
            else
                out += char(c);
        }
    }
    return out;
}

std::string fixed(double value, int decimals)
{
    char text[64];
    const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
    std::string out(text, result.ptr);
    if (out.find_first_not_of("-0.") == std::string::npos && out[0] == '-')
        out.erase(0, 1);
    return out;
}

std::string shortest(double value)
{
    char text[64];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

} // namespace skelv
