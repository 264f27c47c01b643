#include "generate/hls_play.h"

#include "generate/play_pipeline.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <thread>

namespace skelv {

namespace {

constexpr int kSegmentSeconds = 1;
constexpr int kPlaylistSegments = 6;
constexpr int kSegmentsKept = 20; // on disk, for readers a little behind the playlist

struct HlsAddress {
    std::string host;
    int port = 0;
    std::string playlist; ///< NAME.m3u8
};

bool plain_text(const std::string& text, const char* others)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [&](unsigned char c) {
        return std::isalnum(c) || std::strchr(others, c) != nullptr;
    });
}

// http://HOST:PORT/NAME.m3u8, HOST a name, an IPv4 address, an IPv6 one in brackets, or
// nothing (every address).
bool parse_hls_target(const std::string& target, HlsAddress* address)
{
    const std::string scheme = "http://", suffix = ".m3u8";
    const size_t slash = target.find('/', scheme.size()), colon = target.rfind(':', slash);
    if (target.rfind(scheme, 0) != 0 || slash == std::string::npos || colon == std::string::npos ||
        colon < scheme.size())
        return false;
    std::string host = target.substr(scheme.size(), colon - scheme.size());
    const std::string port = target.substr(colon + 1, slash - colon - 1);
    address->playlist = target.substr(slash + 1);
    const bool bracketed = host.size() > 2 && host.front() == '[' && host.back() == ']';
    if (bracketed)
        host = host.substr(1, host.size() - 2);
    const bool host_ok = host.empty() || plain_text(host, bracketed ? ":." : ".-");
    const std::string stem = address->playlist.size() > suffix.size()
                                 ? address->playlist.substr(0, address->playlist.size() - suffix.size())
                                 : "";
    const bool port_ok = !port.empty() && port.size() <= 5 && std::all_of(port.begin(), port.end(), ::isdigit);
    if (!host_ok || !port_ok ||
        !plain_text(stem, "_-") || address->playlist.compare(stem.size(), std::string::npos, suffix) != 0)
        return false;
    address->host = host;
    address->port = std::stoi(port);
    return address->port > 0 && address->port < 65536;
}

} // namespace

bool HlsPlay::is_target(const std::string& target)
{
    HlsAddress address;
    return parse_hls_target(target, &address);
}

bool HlsPlay::open(
    const std::string& target, const ClipParams& params, int quality, std::string* description, std::string* error)
{
    HlsAddress address;
    parse_hls_target(target, &address);
    const std::filesystem::path temp = std::filesystem::temp_directory_path() / "skelv-hls-XXXXXX";
    std::string pattern = temp.string();
    if (mkdtemp(pattern.data()) == nullptr) {
        *error = "cannot make a folder for the HLS segments in " + temp.parent_path().string();
        return false;
    }
    folder_ = pattern;
    if (!server_.start(address.host, address.port, folder_, error))
        return false;
    const std::string stem = address.playlist.substr(0, address.playlist.size() - 5);
    *description = encoded_description(params, quality,
        "hlssink2 name=hls location=\"" + folder_ + "/" + stem + "-%05d.ts\" playlist-location=\"" + folder_ + "/" +
            address.playlist + "\" target-duration=" + std::to_string(kSegmentSeconds) +
            " playlist-length=" + std::to_string(kPlaylistSegments) + " max-files=" + std::to_string(kSegmentsKept),
        "hls.audio");
    return true;
}

void HlsPlay::linger(const volatile std::sig_atomic_t* stop) const
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(kSegmentSeconds * kPlaylistSegments);
    while (*stop == 0 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

HlsPlay::~HlsPlay()
{
    server_.stop();
    if (!folder_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
}

} // namespace skelv
