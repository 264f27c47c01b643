#include "core/json_text.h"

#include <cstdio>

namespace {

constexpr const char* kReplacement = "\xEF\xBF\xBD"; // U+FFFD

// Bytes of the well-formed UTF-8 sequence at the start of `text` (which is not empty and does
// not start with ASCII); when it is ill-formed, minus the length of its maximal subpart, which
// one U+FFFD replaces. The ranges are the Unicode standard's table of well-formed sequences:
// no overlong forms, no surrogates, nothing above U+10FFFF.
int utf8_sequence(std::string_view text)
{
    const auto lead = static_cast<unsigned char>(text[0]);
    int length = 0;
    unsigned char low = 0x80, high = 0xBF; // range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : low;
        high = lead == 0xED ? 0x9F : high;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : low;
        high = lead == 0xF4 ? 0x8F : high;
    } else {
        return -1;
    }
    for (int i = 1; i < length; i++) {
        if (size_t(i) >= text.size() || static_cast<unsigned char>(text[i]) < low ||
            static_cast<unsigned char>(text[i]) > high)
            return -i;
        low = 0x80;
        high = 0xBF;
    }
    return length;
}

// Appends the (possibly ill-formed) multi-byte sequence at `text[*i]` as valid UTF-8 and
// moves past it.
void append_sequence(std::string_view text, size_t* i, std::string* out)
{
    const int length = utf8_sequence(text.substr(*i));
    if (length > 0)
        out->append(text.substr(*i, size_t(length)));
    else
        *out += kReplacement;
    *i += size_t(length > 0 ? length : -length);
}

} // namespace

std::string valid_utf8(std::string_view text)
{
    std::string valid;
    valid.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        if (static_cast<unsigned char>(text[i]) >= 0x80)
            append_sequence(text, &i, &valid);
        else
            valid += text[i++];
    }
    return valid;
}

std::string json_escape(std::string_view text)
{
    std::string escaped;
    escaped.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const char c = text[i];
        if (static_cast<unsigned char>(c) >= 0x80) {
            append_sequence(text, &i, &escaped);
            continue;
        }
        switch (c) {
        case '"': escaped += "\\\""; break;
        case '\\': escaped += "\\\\"; break;
        case '\b': escaped += "\\b"; break;
        case '\f': escaped += "\\f"; break;
        case '\n': escaped += "\\n"; break;
        case '\r': escaped += "\\r"; break;
        case '\t': escaped += "\\t"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char code[8];
                snprintf(code, sizeof code, "\\u%04x", static_cast<unsigned char>(c));
                escaped += code;
            } else {
                escaped += c;
            }
        }
        i++;
    }
    return escaped;
}
