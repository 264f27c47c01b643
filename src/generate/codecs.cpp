#include "generate/codecs.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

namespace skelv {

namespace {

// Maps quality 1..100 (best) onto an encoder scale where `best` is the best setting.
int scale_quality(int quality, int worst, int best)
{
    return worst + (best - worst) * quality / 100;
}

std::string text(int value)
{
    return std::to_string(value);
}

ElementProperties none(int)
{
    return {};
}

// Constant quantizer, no B-frames (the default), keyframe every 2 s at 25 fps.
ElementProperties h264(int quality)
{
    return {{"speed-preset", "ultrafast"}, {"pass", "quant"}, {"quantizer", text(scale_quality(quality, 50, 0))},
        {"key-int-max", "50"}};
}

// Realtime mode with a bitrate high enough that the quantizer cap decides the quality.
ElementProperties vpx(int quality)
{
    return {{"deadline", "1"}, {"cpu-used", "8"}, {"target-bitrate", "8000000"}, {"min-quantizer", "0"},
        {"max-quantizer", text(scale_quality(quality, 63, 0))}, {"keyframe-max-dist", "50"}};
}

ElementProperties mjpeg(int quality)
{
    return {{"quality", text(quality)}};
}

// Generic MPEG-2 (the element's default is MPEG-1) at a fixed quantiser; the bitrate (kbit/s)
// is only a cap, within what the lowest MPEG-2 level allows.
ElementProperties mpeg2(int quality)
{
    return {{"format", "3"}, {"constraints", "false"}, {"quantisation", text(scale_quality(quality, 31, 1))},
        {"bitrate", "4000"}};
}

ElementProperties theora(int quality)
{
    return {{"quality", text(scale_quality(quality, 0, 63))}};
}

ElementProperties aac(int)
{
    return {{"bitrate", "128000"}};
}

ElementProperties mp2(int)
{
    return {{"bitrate", "192"}};
}

ElementProperties mp3(int)
{
    return {{"target", "bitrate"}, {"bitrate", "192"}};
}

ElementProperties opus(int)
{
    return {{"bitrate", "96000"}};
}

// 4:2:0, as most recordings are: the markers must survive chroma subsampling. JPEG codes
// full-range samples, so it is fed full range (colorimetry range 1, BT.601 matrix).
constexpr const char* kYuv420 = "video/x-raw,format=I420";
constexpr const char* kYuv420FullRange = "video/x-raw,format=I420,colorimetry=1:4:0:0";

const Codec kCodecs[] = {
    {"h264", true, "x264enc", "h264parse", kYuv420, false, h264},
    {"vp8", true, "vp8enc", nullptr, kYuv420, false, vpx},
    {"vp9", true, "vp9enc", nullptr, kYuv420, false, vpx},
    {"mjpeg", true, "jpegenc", nullptr, kYuv420FullRange, false, mjpeg},
    {"mpeg2", true, "mpeg2enc", "mpegvideoparse", kYuv420, false, mpeg2},
    {"theora", true, "theoraenc", nullptr, kYuv420, false, theora},
    {"pcm", false, nullptr, nullptr, nullptr, true, none},
    {"flac", false, "flacenc", nullptr, nullptr, true, none},
    {"aac", false, "avenc_aac", "aacparse", nullptr, false, aac},
    {"mp2", false, "twolamemp2enc", "mpegaudioparse", nullptr, false, mp2},
    {"mp3", false, "lamemp3enc", "mpegaudioparse", nullptr, false, mp3},
    {"vorbis", false, "vorbisenc", nullptr, nullptr, false, none},
    {"opus", false, "opusenc", nullptr, nullptr, false, opus},
};

// mpegtsmux writes the first PCR 1/8 s before the first timestamp, and tsdemux counts time
// from the first PCR: both streams of a .ts file start 125 ms late.
constexpr int64_t kTsStart = 125000000;

// AVI and Ogg count frames rather than keep timestamps; MP4 and MOV keep a gap but then
// report the average frame rate; MP4, MOV and AVI move a late start back to 0. MOV's sound
// description holds the rate in 16 bits: qtmux writes 96 kHz PCM as 30464 Hz.
const Container kContainers[] = {
    {"mp4", "mp4mux", "h264", "aac", 0, false, false},
    {"mov", "qtmux", "h264", "pcm", 0, false, false, 65535},
    {"mkv", "matroskamux", "h264", "flac", 0, true, true},
    {"webm", "webmmux", "vp8", "vorbis", 0, true, true},
    {"avi", "avimux", "mjpeg", "pcm", 0, false, false},
    {"ts", "mpegtsmux", "mpeg2", "mp2", kTsStart, true, false},
    {"ogg", "oggmux", "theora", "vorbis", 0, false, false},
    {"ogv", "oggmux", "theora", "vorbis", 0, false, false},
    {"wav", "wavenc", nullptr, "pcm", 0, false, false},
};

} // namespace

const Container* container_for_path(const std::string& path)
{
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || path.find('/', dot) != std::string::npos)
        return nullptr;
    const std::string extension = path.substr(dot + 1);
    const auto* found = std::find_if(
        std::begin(kContainers), std::end(kContainers), [&](const Container& c) { return extension == c.extension; });
    return found == std::end(kContainers) ? nullptr : found;
}

const Codec* find_codec(const std::string& name, bool video)
{
    const auto* found = std::find_if(
        std::begin(kCodecs), std::end(kCodecs), [&](const Codec& c) { return c.video == video && name == c.name; });
    return found == std::end(kCodecs) ? nullptr : found;
}

std::string container_names()
{
    std::string names;
    for (const Container& c : kContainers)
        names += (names.empty() ? "" : ", ") + std::string(c.extension);
    return names;
}

std::string container_defaults()
{
    std::string lines;
    for (const Container& c : kContainers) {
        char line[80];
        snprintf(
            line, sizeof line, "  .%-5s %s%s%s\n", c.extension, c.video ? c.video : "", c.video ? " + " : "", c.audio);
        lines += line;
    }
    return lines;
}

std::string codec_names(bool video)
{
    std::string names;
    for (const Codec& c : kCodecs)
        if (c.video == video)
            names += (names.empty() ? "" : ", ") + std::string(c.name);
    return names;
}

} // namespace skelv
