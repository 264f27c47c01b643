// The analyser over clips from skelv-generate in the codecs and containers that labs meet:
// the whole report and frames.txt, field by field, against the clip's sidecar.
#include "support/media.h"
#include "support/process.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

namespace {

using nlohmann::json;

constexpr double kRunTimeout = 60; // seconds to generate or analyse one clip
constexpr int kRate = 48000;       // Hz, the generator's default

// Printed lengths have three decimals (0.5 ms) and Matroska stores times in whole
// milliseconds (another 0.5 ms at 30000/1001 fps).
constexpr double kLengthTolerance = 0.0015; // s
// Delays print with one decimal; Matroska's millisecond grid moves a frame time by up to
// 0.5 ms; the detector's edge on a lossy-coded beep moved by at most 0.25 ms in trials.
constexpr double kDelayTolerance = 1.0;  // ms
constexpr int kTimelineTolerance = 1000; // us, Matroska's grid plus truncation to whole us

// How an audio codec moves the decoded sound against the samples written.
struct AudioCodec {
    const char* name;
    int priming; ///< samples by which every beep comes late
    int frame;   ///< samples: the end is padded up to a whole codec frame
    bool lossless;
};

const AudioCodec kPcm = {"pcm", 0, 0, true};
const AudioCodec kFlac = {"flac", 0, 0, true};
// The AAC encoder starts with one frame (1024 samples) of priming that mp4mux does not mark
// for trimming, so the decoder plays it: beeps come 21.3 ms late.
const AudioCodec kAac = {"aac", 1024, 1024, false};
// The Layer II analysis and synthesis filter banks delay the sound by 481 samples (10.0 ms).
const AudioCodec kMp2 = {"mp2", 481, 1152, false};
// Vorbis granule positions and the Opus pre-skip let the decoders drop their priming.
const AudioCodec kVorbis = {"vorbis", 0, 2048, false};
const AudioCodec kOpus = {"opus", 0, 960, false};

struct Case {
    const char* name;
    const char* file;
    std::vector<std::string> args;
    AudioCodec audio;
    size_t warnings; ///< a gap for a dropped frame; two start warnings for a late start or a .ts
};

void PrintTo(const Case& c, std::ostream* os)
{
    *os << c.name;
}

const Case kCases[] = {
    {"Mp4H264Aac", "clip.mp4", {"--audio-delay", "40"}, kAac, 0},
    {"MovH264Pcm", "clip.mov", {"--audio-delay", "-80"}, kPcm, 0},
    {"WebmVp8Vorbis", "clip.webm", {"--audio-delay", "40"}, kVorbis, 0},
    {"MkvVp9Opus", "clip.mkv", {"--video-codec", "vp9", "--audio-codec", "opus", "--audio-delay", "-80"}, kOpus, 0},
    {"AviMjpegPcm", "clip.avi", {"--fps", "30000/1001"}, kPcm, 0},
    {"TsMpeg2Mp2", "clip.ts", {"--audio-delay", "40"}, kMp2, 2},
    {"OggTheoraVorbis", "clip.ogg", {"--fps", "50"}, kVorbis, 0},
    {"MkvNtscRate", "clip.mkv", {"--fps", "30000/1001", "--audio-delay", "40"}, kFlac, 0},
    {"Mkv50Fps", "clip.mkv", {"--fps", "50", "--audio-delay", "-80"}, kFlac, 0},
    {"VideoOnly", "clip.mkv", {"--no-audio"}, kFlac, 0},
    {"AudioOnly", "clip.wav", {"--audio-delay", "-80"}, kPcm, 0},
    {"DroppedContentFrame", "clip.mkv", {"--drop", "30"}, kFlac, 1},
    {"RepeatedContentFrame", "clip.mkv", {"--repeat", "30"}, kFlac, 0},
    {"LateStart", "clip.mkv", {"--start-ms", "500"}, kFlac, 2},
};

ProcessResult run(std::vector<std::string> argv, const std::string& cwd)
{
    ProcessResult result = run_process(argv, kRunTimeout, cwd);
    EXPECT_FALSE(result.timed_out) << argv[0];
    return result;
}

double ms_of_samples(int samples)
{
    return samples * 1000.0 / kRate;
}

void expect_near_number(const json& actual, const json& expected, double tolerance, const char* field)
{
    ASSERT_TRUE(actual.is_number()) << field << ": " << actual;
    EXPECT_NEAR(actual.get<double>(), expected.get<double>(), tolerance) << field;
}

void expect_streams(const json& report, const json& expected, const AudioCodec& audio)
{
    for (const char* field : {"file", "resolution", "audio_rate", "total_frames", "markers_found", "warnings"})
        EXPECT_EQ(report[field], expected[field]) << field;
    if (expected["framerate"].is_string()) {
        EXPECT_EQ(report["framerate"], expected["framerate"]);
    } else {
        expect_near_number(report["framerate"], expected["framerate"], 0.005, "framerate");
    }
    expect_near_number(report["video_length"], expected["video_length"], kLengthTolerance, "video_length");
    const double audio_length = report["audio_length"].get<double>();
    const double written = expected["audio_length"].get<double>();
    EXPECT_GE(audio_length, written - kLengthTolerance);
    EXPECT_LE(audio_length, written + ms_of_samples(audio.priming + audio.frame) / 1000 + kLengthTolerance);
    EXPECT_NE(report["demuxer"], "(null)");
    if (expected["video_codec"].is_string()) {
        EXPECT_NE(report["video_decoder"], "(null)");
    }
    if (expected["audio_codec"].is_string() && expected["audio_codec"] != "pcm") {
        EXPECT_NE(report["audio_decoder"], "(null)");
    }
}

// Positions, sizes and crc exactly: the markers sit on the codecs' block grid, so their
// edges survive coding, and crc fingerprints every class of every frame.
void expect_markers(const json& report, const json& expected)
{
    EXPECT_EQ(report["markers"], expected["markers"]);
    EXPECT_EQ(report["video_structure"], expected["video_structure"]);
}

void expect_lipsync(const json& report, const json& expected, const AudioCodec& audio)
{
    const json& actual = report["lipsync"];
    const json& wanted = expected["lipsync"];
    EXPECT_EQ(actual["audio_markers"], wanted["audio_markers"]);
    EXPECT_EQ(actual["video_markers"], wanted["video_markers"]);
    ASSERT_EQ(actual.contains("audio_delay_min_ms"), wanted.contains("audio_delay_min_ms"));
    if (!wanted.contains("audio_delay_min_ms"))
        return;
    for (const char* field : {"audio_delay_min_ms", "audio_delay_max_ms"})
        EXPECT_NEAR(
            actual[field].get<double>(), wanted[field].get<double>() + ms_of_samples(audio.priming), kDelayTolerance)
            << field << " with " << audio.name;
}

struct Timeline {
    std::vector<long long> video_times; ///< us
    std::vector<std::string> codes;
    std::vector<long long> beep_starts, beep_durations; ///< us
};

Timeline read_timeline(const std::string& path)
{
    Timeline timeline;
    for (const std::string& line : split_lines(read_file(path))) {
        std::istringstream fields(line);
        std::string kind;
        long long time = 0;
        fields >> kind >> time;
        if (kind == "VIDEO:") {
            timeline.video_times.push_back(time);
            timeline.codes.emplace_back();
            fields >> timeline.codes.back();
        } else {
            EXPECT_EQ(kind, "AUDIO:") << line;
            timeline.beep_starts.push_back(time);
            fields >> timeline.beep_durations.emplace_back();
        }
    }
    return timeline;
}

// frames.txt counts from the demuxer's start; the sidecar from the clip's first frame.
void expect_timeline(const Timeline& timeline, const json& expected, const AudioCodec& audio)
{
    const json& frames = expected["frames"];
    const long long origin = timeline.video_times.empty() ? 0 : timeline.video_times.front();
    std::vector<std::string> codes;
    for (const json& frame : frames)
        codes.push_back(frame["code"]);
    EXPECT_EQ(timeline.codes, codes);
    for (size_t j = 0; j < std::min(frames.size(), timeline.video_times.size()); j++)
        EXPECT_NEAR(timeline.video_times[j] - origin, frames[j]["time_us"].get<long long>(), kTimelineTolerance) << j;

    const json& beeps = expected["beeps"];
    ASSERT_EQ(timeline.beep_starts.size(), beeps.size());
    const long long shift = std::llround(ms_of_samples(audio.priming) * 1000);
    for (size_t i = 0; i < beeps.size(); i++) {
        EXPECT_NEAR(
            timeline.beep_starts[i] - origin, beeps[i]["start_us"].get<long long>() + shift, kTimelineTolerance);
        if (audio.lossless) {
            EXPECT_NEAR(timeline.beep_durations[i], beeps[i]["duration_us"].get<long long>(), kTimelineTolerance);
        }
    }
}

class CodecMatrix : public ::testing::TestWithParam<Case> { };

TEST_P(CodecMatrix, ReportMatchesTheSidecar)
{
    const Case& c = GetParam();
    TempDir dir;
    std::vector<std::string> generate = {SKELV_GENERATE, "--size", "192x144", "--duration", "2.4"};
    generate.insert(generate.end(), c.args.begin(), c.args.end());
    generate.push_back(c.file);
    const ProcessResult made = run(generate, dir.path());
    ASSERT_EQ(made.exit_code, 0) << made.err;
    const json expected = json::parse(read_file(dir.file(std::string(c.file) + ".expected.json")));
    ASSERT_TRUE(expected["audio_codec"].is_null() || expected["audio_codec"] == c.audio.name)
        << expected["audio_codec"];

    const ProcessResult analysed = run({SKELV_ANALYZER, c.file}, dir.path());
    ASSERT_EQ(analysed.exit_code, 0) << analysed.err;
    const json report = json::parse(analysed.out);
    EXPECT_EQ(expected["warnings"].size(), c.warnings);
    expect_streams(report, expected, c.audio);
    expect_markers(report, expected);
    expect_lipsync(report, expected, c.audio);
    EXPECT_EQ(report["frame_data"], "frames.txt");
    expect_timeline(read_timeline(dir.file("frames.txt")), expected, c.audio);
}

INSTANTIATE_TEST_SUITE_P(Clips, CodecMatrix, ::testing::ValuesIn(kCases),
    [](const ::testing::TestParamInfo<Case>& info) { return info.param.name; });

} // namespace
