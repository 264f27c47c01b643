// Broken and hostile inputs end with a clear exit code and cause, never a signal, hang or half report.
#include "support/media.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

std::string written(const TempDir& dir, const std::string& name, const std::string& bytes)
{
    write_file(dir.file(name), bytes);
    return dir.file(name);
}

// Encodes lavfi `sources` (one or more "-i" inputs) with `codec_args` into `dir`.
std::string made(const TempDir& dir, const std::string& name, const std::vector<std::string>& sources,
    const std::vector<std::string>& codec_args = {})
{
    std::vector<std::string> args;
    for (const std::string& source : sources)
        args.insert(args.end(), {"-f", "lavfi", "-i", source});
    args.insert(args.end(), codec_args.begin(), codec_args.end());
    args.push_back(dir.file(name));
    EXPECT_TRUE(ffmpeg(args));
    return dir.file(name);
}

// Clips of 64x48 at 10 fps, made once per test program.
const std::string& frames_clip(int frames)
{
    static const TempDir dir;
    static std::map<int, std::string> paths;
    if (!paths.count(frames))
        paths[frames] = made(dir, std::to_string(frames) + ".mkv",
            {"testsrc=size=64x48:rate=10:duration=" + std::to_string(frames / 10.0)}, {"-c:v", "ffv1"});
    return paths[frames];
}

// A transport stream of 64x48 for 1 s, then `second` (a frame size) for 1 s, times running on.
std::string joined(const TempDir& dir, const std::string& name, const std::string& second)
{
    std::string bytes;
    for (const std::string size : {"64x48", second.c_str()})
        bytes += read_file(made(dir, "part", {"testsrc=size=" + size + ":duration=1"},
            {"-c:v", "libx264", "-output_ts_offset", bytes.empty() ? "0" : "1", "-f", "mpegts"}));
    return written(dir, name, bytes);
}

// What the analyser is run on: a path, and a program that runs it in a changed setting.
struct Input {
    std::string path;
    std::vector<std::string> prefix = {};
    std::string shown = {}; ///< the report's "file" when it is not `path` itself
};

// Five seconds without a sign of life: enough for a sanitized build to load its plugins.
const std::vector<std::string> kShortStall = {"env", "SKELV_STALL_SECONDS=5"};
const std::string kStalled =
    "Decoding stalled: no buffer, message or end of stream from the pipeline for 5 s (the limit is set by "
    "SKELV_STALL_SECONDS)";

// Runs the analyser with only `plugins` in a plugin directory of its own, with its own registry.
std::vector<std::string> only_plugins(const TempDir& dir, const std::vector<std::string>& plugins)
{
    fs::create_directory(dir.file("plugins"));
    for (const std::string& plugin : plugins)
        fs::create_symlink(GST_PLUGINS_DIR "/libgst" + plugin + ".so", dir.file("plugins/libgst" + plugin + ".so"));
    return {"env", "GST_REGISTRY=" + dir.file("registry.bin"), "GST_PLUGIN_SYSTEM_PATH=" + dir.file("plugins"),
        "GST_PLUGIN_PATH="};
}

// MPEG-4 video that no installed plugin decodes, and PCM sound that needs no decoder.
Input without_video_decoder(const TempDir& dir)
{
    const std::string path = made(dir, "nodecoder.mkv",
        {"testsrc=size=64x48:rate=10:duration=1", "sine=sample_rate=8000:duration=1"}, {"-c:v", "mpeg4", "-c:a",
        "pcm_s16le"});
    return {path, only_plugins(dir, {"coreelements", "playback", "app", "audioconvert", "videoconvertscale",
                      "typefindfunctions", "matroska"})};
}

// The first half of an MP4 whose index (moov), written last by ffmpeg, is cut off.
Input half_mp4(const TempDir& dir)
{
    const std::string bytes = read_file(made(dir, "whole.mp4",
        {"testsrc=size=160x120:rate=25:duration=2", "sine=frequency=440:sample_rate=48000:duration=2"},
        {"-c:v", "libx264", "-pix_fmt", "yuv420p", "-c:a", "aac"}));
    return {written(dir, "half.mp4", bytes.substr(0, bytes.size() / 2))};
}

// Raw 64x64 frames in an AVI whose headers claim `width` x `height`.
Input avi_claiming(const TempDir& dir, uint32_t width, uint32_t height)
{
    std::string bytes = read_file(made(dir, "small.avi", {"testsrc=size=64x64:rate=10:duration=0.2"},
        {"-c:v", "rawvideo", "-pix_fmt", "bgr24"}));
    const uint32_t size[2] = {width, height};
    for (const auto& [tag, offset] : {std::pair<std::string, size_t>{"strf", 12}, {"avih", 40}}) {
        const size_t at = bytes.find(tag);
        if (at == std::string::npos || at + offset + 8 > bytes.size())
            ADD_FAILURE() << "ffmpeg wrote an AVI without " << tag;
        else
            memcpy(&bytes[at + offset], size, sizeof size);
    }
    return {written(dir, "large.avi", bytes)};
}

struct Case {
    const char* name;
    Input (*make)(const TempDir& dir);
    int exit_code;
    std::string err;  ///< exit 2: first line of standard error; "{path}" stands for the input
    size_t rows = 0;  ///< exit 2: report rows printed before the failure
    json fields = {}; ///< exit 0: report fields and their values; others are not checked
    std::string warning = {}; ///< exit 0: if given, the start of the one warning (raised once for both decodes)
};

void PrintTo(const Case& c, std::ostream* os)
{
    *os << c.name;
}

const Case kCases[] = {
    // The first pass fails before any report row.
    {"mp4_cut_before_its_index", half_mp4, 2,
        "Error from qtdemux0: This file contains no playable streams."},
    // A hostile header: the frames themselves are small.
    {"frame_too_large", [](const TempDir& d) { return avi_claiming(d, 8200, 8200); }, 2,
        "Frames of 8200x8200 pixels are too large: at most 67108864 pixels per frame are analysed"},
    {"missing_element",
        [](const TempDir& d) {
            return Input{d.file("any.mp4"), only_plugins(d, {"coreelements", "playback", "app", "audioconvert"})};
        },
        2,
        "Error from skelv_analyzer: cannot create element \"videoconvert0\": the GStreamer element \"videoconvert\" is "
        "missing (is its plugin installed?)"},
    // A file that cannot be read a second time is refused at once.
    {"fifo", [](const TempDir& d) { mkfifo(d.file("fifo.mkv").c_str(), 0600); return Input{d.file("fifo.mkv")}; }, 2,
        "\"{path}\" is a FIFO, not a regular file: the analyser reads the file twice"},
    // The GIF demuxer spins without output once the one frame is out.
    {"gif",
        [](const TempDir& d) {
            return Input{made(d, "1.gif", {"testsrc2=s=64x64:r=10"}, {"-frames:v", "1"}), kShortStall};
        },
        2, kStalled, 11},
    // A frame larger than the first ends the first pass after the opening rows.
    {"resolution_change", [](const TempDir& d) { return Input{joined(d, "changing.ts", "96x64")}; }, 2,
        "Frame 26 is 96x64 with a row stride of 384 bytes, but the stream started at 64x48 with a row stride of 256 "
        "bytes", 11},
    // Runs that complete.
    {"frame_1x1",
        [](const TempDir& d) { return Input{made(d, "1.mkv", {"testsrc=size=1x1:duration=0.4"}, {"-c:v", "ffv1"})}; },
        0, "", 0, {{"resolution", {1, 1}}, {"total_frames", 10}, {"markers_found", 0}, {"markers", json::array()}}},
    // Damage that GStreamer only warns about never reads clean.
    {"avi_header_larger_than_its_frames", [](const TempDir& d) { return avi_claiming(d, 640, 480); }, 0, "", 0,
        {{"resolution", {640, 480}}}, "Warning from videoconvert0: "},
    {"no_video_decoder", without_video_decoder, 0, "", 0,
        {{"video_decoder", "(null)"}, {"resolution", {0, 0}}, {"audio_rate", 8000}},
        "No decoder for video/mpeg, mpegversion=(int)4, "},
    {"non_utf8_path",
        [](const TempDir& d) {
            return Input{written(d, "lat\xe9in1.mkv", read_file(frames_clip(10))), {}, d.file("lat\xEF\xBF\xBDin1.mkv")};
        },
        0, "", 0, {{"total_frames", 10}}},
};

class BadInput : public ::testing::TestWithParam<Case> {};

TEST_P(BadInput, EndsWithAClearExitCode)
{
    const Case& c = GetParam();
    TempDir dir;
    const Input input = c.make(dir);
    const ProcessResult result = analyze({input.path}, dir.path(), input.prefix);
    if (c.exit_code != 0) {
        EXPECT_EQ(result.exit_code, c.exit_code);
        std::string err = c.err;
        if (const size_t at = err.find("{path}"); at != std::string::npos)
            err.replace(at, 6, input.path);
        EXPECT_EQ(result.err.substr(0, result.err.find('\n')), err) << result.err;
        EXPECT_EQ(split_lines(result.out).size(), c.rows) << result.out;
        EXPECT_TRUE(c.rows != 0 || !fs::exists(dir.file("frames.txt"))) << "frames.txt before any row";
        return;
    }
    const json report = report_of(result);
    EXPECT_EQ(report.value("file", ""), input.shown.empty() ? input.path : input.shown)
        << "the path survives JSON quoting";
    for (const auto& [field, value] : c.fields.items())
        EXPECT_EQ(report.value(field, json()), value) << field;
    const json warnings = report.value("warnings", json::array());
    EXPECT_TRUE(c.warning.empty() || (warnings.size() == 1 && warnings[0].get<std::string>().starts_with(c.warning)))
        << warnings.dump();
}

INSTANTIATE_TEST_SUITE_P(Analyzer, BadInput, ::testing::ValuesIn(kCases),
    [](const auto& info) { return std::string(info.param.name); });

// Renames `replacement` over a clip of 20 frames once the first decode has opened it.
ProcessResult analyze_while_replacing(const TempDir& dir, const std::string& replacement,
    const std::vector<std::string>& prefix = {})
{
    const std::string clip = written(dir, "clip.mkv", read_file(frames_clip(20)));
    const int watch = inotify_init1(IN_CLOEXEC);
    int done[2];
    EXPECT_EQ(pipe(done), 0);
    EXPECT_GE(inotify_add_watch(watch, clip.c_str(), IN_ACCESS), 0);
    std::thread replacer([&] {
        pollfd events[2] = {{watch, POLLIN, 0}, {done[0], POLLIN, 0}};
        if (poll(events, 2, -1) > 0 && (events[0].revents & POLLIN) != 0) {
            EXPECT_EQ(rename(replacement.c_str(), clip.c_str()), 0) << strerror(errno);
        }
    });
    const ProcessResult result = analyze({clip}, dir.path(), prefix);
    EXPECT_EQ(write(done[1], "", 1), 1);
    replacer.join();
    for (const int fd : {watch, done[0], done[1]})
        close(fd);
    return result;
}

// A replacement is said; one that stalls the second decode ends the run after the first's rows.
TEST(ChangedFile, BetweenTheTwoDecodesIsSaidAndAStallInTheSecondFailsWithExitCode3)
{
    const TempDir dir;
    const json report = report_of(analyze_while_replacing(dir, written(dir, "new.mkv", read_file(frames_clip(30)))));
    EXPECT_EQ(report.value("total_frames", 0), 20);
    EXPECT_EQ(report.value("warnings", json::array()),
        json::array({"The file changed between the two decodes: 20 video frames in the first, 30 in the second"}));
    const ProcessResult stalled =
        analyze_while_replacing(dir, made(dir, "new.gif", {"testsrc2=s=64x64:r=10"}, {"-frames:v", "1"}), kShortStall);
    EXPECT_EQ(stalled.exit_code, 3);
    EXPECT_EQ(stalled.err.substr(0, stalled.err.find('\n')), kStalled);
    EXPECT_EQ(split_lines(stalled.out).size(), 15u) << "the first decode's rows";
}

// A report that cannot reach standard output whole fails with its own exit code.
TEST(UnwritableReport, ClosedStandardOutputFailsWithExitCode4)
{
    TempDir dir;
    const std::string clip = written(dir, "clip.mkv", read_file(frames_clip(10)));
    const ProcessResult result =
        run_process({"sh", "-c", "exec \"$0\" \"$1\" >&-", SKELV_ANALYZER, clip}, kRunTimeout, dir.path());
    EXPECT_EQ(result.exit_code, 4);
    EXPECT_EQ(result.err, "Could not write the report to standard output: it is closed\n");
}

} // namespace
