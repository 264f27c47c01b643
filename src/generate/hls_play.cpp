#include "generate/hls_play.h"

#include "generate/play_pipeline.h"
#include "generate/served_target.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

namespace skelv {

namespace {

constexpr int kSegmentSeconds = 1;
constexpr int kPlaylistSegments = 6;
constexpr int kSegmentsKept = 20; // on disk, for readers a little behind the playlist

// http://[HOST]:PORT/NAME.m3u8, NAME plain; gives the playlist's file name.
bool parse_hls_target(const std::string& target, ServedAddress* address)
{
    const std::string suffix = ".m3u8";
    if (!parse_served_address(target, "http://", address) || address->path.size() <= suffix.size())
        return false;
    const std::string stem = address->path.substr(0, address->path.size() - suffix.size());
    return plain_text(stem, "_-") && address->path.compare(stem.size(), std::string::npos, suffix) == 0;
}

} // namespace

bool HlsPlay::is_target(const std::string& target)
{
    ServedAddress address;
    return parse_hls_target(target, &address);
}

bool HlsPlay::open(
    const std::string& target, const ClipParams& params, int quality, std::string* description, std::string* error)
{
    ServedAddress address;
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
    const std::string stem = address.path.substr(0, address.path.size() - 5);
    *description = encoded_description(params, quality,
        "hlssink2 name=hls location=\"" + folder_ + "/" + stem + "-%05d.ts\" playlist-location=\"" + folder_ + "/" +
            address.path + "\" target-duration=" + std::to_string(kSegmentSeconds) +
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
