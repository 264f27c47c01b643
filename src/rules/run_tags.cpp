#include "rules/run_tags.h"

namespace skelv {

namespace {

constexpr size_t kMaxTagBytes = 200; // a label, not a document: keeps result files and pages tidy

bool key_character(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
           c == '.';
}

// Control characters would break the text summary's lines and the CSV-minded.
bool printable(std::string_view text)
{
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7f)
            return false;
    return true;
}

} // namespace

bool parse_tag(std::string_view text, std::string* key, std::string* value, std::string* error)
{
    const size_t equals = text.find('=');
    const std::string shown = "'" + std::string(text.substr(0, kMaxTagBytes)) + "'";
    if (equals == std::string_view::npos || equals == 0 || equals + 1 == text.size()) {
        *error = "a tag is KEY=VALUE, both not empty, not " + shown;
        return false;
    }
    const std::string_view k = text.substr(0, equals), v = text.substr(equals + 1);
    for (char c : k)
        if (!key_character(c)) {
            *error = "a tag's key has only letters, digits, '_', '-' and '.': " + shown;
            return false;
        }
    if (!printable(v) || k.size() > kMaxTagBytes || v.size() > kMaxTagBytes) {
        *error = "a tag's key and value are printable and at most 200 bytes each: " + shown;
        return false;
    }
    *key = std::string(k);
    *value = std::string(v);
    return true;
}

bool add_tag(std::string_view text, RunTags* tags, std::string* error)
{
    std::string key, value;
    if (!parse_tag(text, &key, &value, error))
        return false;
    if (!tags->emplace(key, value).second) {
        *error = "the tag " + key + " is given twice";
        return false;
    }
    return true;
}

} // namespace skelv
