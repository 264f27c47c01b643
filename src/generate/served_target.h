// The address of a target that the generator serves itself, SCHEME://HOST:PORT/PATH: HOST a
// name, an IPv4 address, an IPv6 one in brackets, or nothing (every address).
#pragma once

#include <string>

namespace skelv {

struct ServedAddress {
    std::string host; ///< without brackets; empty: every address
    int port = 0;     ///< 1 to 65535
    std::string path; ///< after the slash that ends the port
};

// False when `target` is not of that form; the path is not checked.
bool parse_served_address(const std::string& target, const std::string& scheme, ServedAddress* address);

// Whether `text` is not empty and holds letters, digits and `others` only: safe in a launch
// description, a file name and a URI.
bool plain_text(const std::string& text, const char* others);

} // namespace skelv
