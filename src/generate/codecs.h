// The containers and codecs skelv-generate can write, and the GStreamer elements behind them.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace skelv {

using ElementProperties = std::vector<std::pair<std::string, std::string>>;

struct Codec {
    const char* name;    ///< as given on the command line
    bool video;          ///< false: an audio codec
    const char* encoder; ///< element factory; nullptr for raw PCM
    const char* parser;  ///< element factory after the encoder; nullptr when none is needed
    const char* raw;     ///< caps the encoder is fed; nullptr for audio, which the encoder negotiates
    bool lossless;
    ElementProperties (*properties)(int quality); ///< encoder settings for quality 1..100
};

struct Container {
    const char* extension; ///< without the dot
    const char* muxer;     ///< element factory
    const char* video;     ///< default video codec; nullptr: the container holds no video
    const char* audio;     ///< default audio codec
    int64_t demuxed_start; ///< ns that the demuxer adds to every timestamp written
    bool keeps_gaps;       ///< a dropped frame shows as a gap in the demuxed timestamps
    bool keeps_late_start; ///< a stream starting after 0 is demuxed as such
    int max_pcm_rate = 0;  ///< highest PCM sample rate the file records right; 0: no limit
};

// What one run writes: a muxer and at most one codec per stream (nullptr: no such stream).
struct Encoding {
    const Container* container = nullptr;
    const Codec* video = nullptr;
    const Codec* audio = nullptr;
};

// The container named by the extension of `path`, or nullptr.
const Container* container_for_path(const std::string& path);
// The codec called `name` of the given kind, or nullptr.
const Codec* find_codec(const std::string& name, bool video);

// Known extensions or codec names, comma-separated, for help and error texts.
std::string container_names();
// Every extension with its default codecs, one a line.
std::string container_defaults();
std::string codec_names(bool video);

} // namespace skelv
