#include "generate/served_target.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace skelv {

bool plain_text(const std::string& text, const char* others)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [&](unsigned char c) {
        return std::isalnum(c) || std::strchr(others, c) != nullptr;
    });
}

bool parse_served_address(const std::string& target, const std::string& scheme, ServedAddress* address)
{
    const size_t slash = target.find('/', scheme.size()), colon = target.rfind(':', slash);
    if (target.rfind(scheme, 0) != 0 || slash == std::string::npos || colon == std::string::npos ||
        colon < scheme.size())
        return false;
    std::string host = target.substr(scheme.size(), colon - scheme.size());
    const std::string port = target.substr(colon + 1, slash - colon - 1);
    const bool bracketed = host.size() > 2 && host.front() == '[' && host.back() == ']';
    if (bracketed)
        host = host.substr(1, host.size() - 2);
    const bool host_ok = host.empty() || plain_text(host, bracketed ? ":." : ".-");
    const bool port_ok = !port.empty() && port.size() <= 5 && std::all_of(port.begin(), port.end(), ::isdigit);
    if (!host_ok || !port_ok)
        return false;
    address->host = host;
    address->port = std::stoi(port);
    address->path = target.substr(slash + 1);
    return address->port > 0 && address->port < 65536;
}

} // namespace skelv
