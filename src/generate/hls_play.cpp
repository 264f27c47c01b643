#include "generate/hls_play.h"

#include "generate/play_pipeline.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <regex>
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

bool parse_hls_target(const std::string& target, HlsAddress* address)
{
    static const std::regex form(R"(http://(\[[0-9A-Fa-f:.]+\]|[A-Za-z0-9.-]*):([0-9]{1,5})/([A-Za-z0-9_-]+\.m3u8))");
    std::smatch match;
    if (!std::regex_match(target, match, form))
        return false;
    address->host = match[1].str();
    if (!address->host.empty() && address->host.front() == '[')
        address->host = address->host.substr(1, address->host.size() - 2);
    address->port = std::stoi(match[2].str());
    address->playlist = match[3].str();
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
