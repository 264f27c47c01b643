// The analyser over clips from skelv-generate in the codecs and containers that labs meet:
// the whole report and frames.txt, field by field, against the clip's sidecar.
#include "support/media.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

namespace {

using nlohmann::json;

constexpr int kRate = 48000; // Hz, the generator's default
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

double ms_of_samples(int samples)
{
    return samples * 1000.0 / kRate;
}

// By value: a field missing from either reads as null and fails its comparison.
void expect_report(json report, json expected, const AudioCodec& audio)
{
    for (const char* field : {"file", "resolution", "audio_rate", "total_frames", "markers_found", "warnings"})
        EXPECT_EQ(report[field], expected[field]) << field;
    if (expected["framerate"].is_string()) {
        EXPECT_EQ(report["framerate"], expected["framerate"]);
    } else {
        EXPECT_NEAR(report["framerate"].get<double>(), expected["framerate"].get<double>(), 0.005);
    }
    EXPECT_NEAR(report["video_length"].get<double>(), expected["video_length"].get<double>(), kLengthTolerance);
    const double audio_length = report["audio_length"].get<double>();
    const double written = expected["audio_length"].get<double>();
    EXPECT_GE(audio_length, written - kLengthTolerance);
    EXPECT_LE(audio_length, written + ms_of_samples(audio.priming + audio.frame) / 1000 + kLengthTolerance);
    EXPECT_NE(report["demuxer"], "(null)");
    // A missing stream has no decoder; PCM needs none.
    EXPECT_EQ(report["video_decoder"] == "(null)", expected["video_codec"].is_null());
    const bool no_audio_decoder = expected["audio_codec"].is_null() || audio.name == std::string("pcm");
    EXPECT_EQ(report["audio_decoder"] == "(null)", no_audio_decoder);
    // Positions, sizes and crc exactly: the markers sit on the codecs' block grid, so their
    // edges survive coding, and crc fingerprints every class of every frame.
    EXPECT_EQ(report["markers"], expected["markers"]);
    EXPECT_EQ(report["video_structure"], expected["video_structure"]);

    json& lipsync = report["lipsync"];
    EXPECT_EQ(lipsync["audio_markers"], expected["lipsync"]["audio_markers"]);
    EXPECT_EQ(lipsync["video_markers"], expected["lipsync"]["video_markers"]);
    ASSERT_EQ(lipsync.contains("audio_delay_min_ms"), expected["lipsync"].contains("audio_delay_min_ms"));
    if (!lipsync.contains("audio_delay_min_ms"))
        return;
    for (const char* field : {"audio_delay_min_ms", "audio_delay_max_ms"})
        EXPECT_NEAR(lipsync[field].get<double>(),
            expected["lipsync"][field].get<double>() + ms_of_samples(audio.priming), kDelayTolerance)
            << field << " with " << audio.name;
}

// frames.txt is in time order and counts from the demuxer's start; the sidecar from the
// clip's first frame.
void expect_timeline(const std::string& frames_txt, json expected, const AudioCodec& audio)
{
    json &frames = expected["frames"], &beeps = expected["beeps"];
    const long long shift = std::llround(ms_of_samples(audio.priming) * 1000);
    const size_t first_frame = frames_txt.find("VIDEO: ");
    const long long origin = first_frame == std::string::npos ? 0 : std::atoll(&frames_txt[first_frame + 7]);
    size_t frame = 0, beep = 0;
    long long last = -1;
    for (const std::string& line : split_lines(frames_txt)) {
        std::istringstream fields(line);
        std::string kind, code;
        long long time = 0, duration = 0;
        fields >> kind >> time;
        EXPECT_GE(time, last) << line;
        last = time;
        if (kind == "VIDEO:" && frame < frames.size() && (fields >> code)) {
            EXPECT_EQ(code, frames[frame]["code"]) << line;
            EXPECT_NEAR(time - origin, frames[frame++]["time_us"].get<long long>(), kTimelineTolerance) << line;
        } else if (kind == "AUDIO:" && beep < beeps.size() && (fields >> duration)) {
            EXPECT_NEAR(time - origin, beeps[beep]["start_us"].get<long long>() + shift, kTimelineTolerance) << line;
            if (audio.lossless) {
                EXPECT_NEAR(duration, beeps[beep]["duration_us"].get<long long>(), kTimelineTolerance) << line;
            }
            beep++;
        } else {
            ADD_FAILURE() << "unexpected line: " << line;
        }
    }
    EXPECT_EQ(frame, frames.size());
    EXPECT_EQ(beep, beeps.size());
}

class CodecMatrix : public ::testing::TestWithParam<Case> { };

TEST_P(CodecMatrix, ReportMatchesTheSidecar)
{
    const Case& c = GetParam();
    TempDir dir;
    std::vector<std::string> args = {"--size", "192x144", "--duration", "2.4"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    args.push_back(c.file);
    const ProcessResult made = generate(args, dir.path());
    ASSERT_EQ(made.exit_code, 0) << made.err;
    const json expected = json::parse(read_file(dir.file(std::string(c.file) + ".expected.json")));
    ASSERT_TRUE(expected["audio_codec"].is_null() || expected["audio_codec"] == c.audio.name)
        << expected["audio_codec"];
    EXPECT_EQ(expected["warnings"].size(), c.warnings);

    const json report = report_of(analyze({c.file}, dir.path()));
    expect_report(report, expected, c.audio);
    EXPECT_EQ(report.value("frame_data", ""), "frames.txt");
    expect_timeline(read_file(dir.file("frames.txt")), expected, c.audio);
}

INSTANTIATE_TEST_SUITE_P(Clips, CodecMatrix, ::testing::ValuesIn(kCases),
    [](const ::testing::TestParamInfo<Case>& info) { return info.param.name; });

} // namespace
