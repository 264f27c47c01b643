// The analyser over skelv-generate clips in labs' codecs and containers: report and frames.txt vs the sidecar.
#include "support/media.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

namespace {

using nlohmann::json;

constexpr int kRate = 48000; // Hz, the generator's default
// Lengths print with three decimals; Matroska stores whole milliseconds (0.5 ms more at 30000/1001 fps).
constexpr double kLengthTolerance = 0.0015; // s
// One printed decimal, Matroska's 0.5 ms grid, and a lossy beep edge's 0.25 ms seen in trials.
constexpr double kDelayTolerance = 1.0;  // ms
constexpr int kTimelineTolerance = 1000; // us, Matroska's grid plus truncation to whole us

// An audio codec makes every beep `priming` samples late and pads the end to a whole `frame`.
struct AudioCodec {
    const char* name;
    int priming, frame;
    bool lossless;
};
const AudioCodec kPcm = {"pcm", 0, 0, true}, kFlac = {"flac", 0, 0, true};
// mp4mux does not mark the AAC encoder's frame of priming for trimming: beeps come 21.3 ms late.
const AudioCodec kAac = {"aac", 1024, 1024, false};
// The Layer II analysis and synthesis filter banks delay the sound by 481 samples (10.0 ms).
const AudioCodec kMp2 = {"mp2", 481, 1152, false};
// Vorbis granule positions and the Opus pre-skip let the decoders drop their priming.
const AudioCodec kVorbis = {"vorbis", 0, 2048, false}, kOpus = {"opus", 0, 960, false};

double ms_of_samples(int samples)
{
    return samples * 1000.0 / kRate;
}

// By value: a field missing from either reads as null and fails its comparison.
void expect_report(json report, json expected, const AudioCodec& audio)
{
    // Positions, sizes and crc exactly: the markers sit on the codecs' block grid, so their
    // edges survive coding, and crc fingerprints every class of every frame.
    json exact, expected_exact;
    for (const char* field : {"file", "resolution", "audio_rate", "total_frames", "markers_found", "warnings", "markers",
             "video_structure"})
        exact[field] = report[field], expected_exact[field] = expected[field];
    for (const char* field : {"audio_markers", "video_markers"})
        exact[field] = report["lipsync"][field], expected_exact[field] = expected["lipsync"][field];
    // A missing stream has no decoder; PCM needs none.
    exact["decoders"] = {report["video_decoder"] != "(null)", report["audio_decoder"] != "(null)"};
    expected_exact["decoders"] = {!expected["video_codec"].is_null(),
        !expected["audio_codec"].is_null() && audio.name != kPcm.name};
    EXPECT_EQ(exact, expected_exact);
    if (expected["framerate"].is_string()) {
        EXPECT_EQ(report["framerate"], expected["framerate"]);
    } else {
        EXPECT_NEAR(report["framerate"].get<double>(), expected["framerate"].get<double>(), 0.005);
    }
    EXPECT_NEAR(report["video_length"].get<double>(), expected["video_length"].get<double>(), kLengthTolerance);
    const double audio_length = report["audio_length"], written = expected["audio_length"];
    EXPECT_GE(audio_length, written - kLengthTolerance);
    EXPECT_LE(audio_length, written + ms_of_samples(audio.priming + audio.frame) / 1000 + kLengthTolerance);
    json &lipsync = report["lipsync"], &expected_lipsync = expected["lipsync"];
    ASSERT_EQ(lipsync.contains("audio_delay_min_ms"), expected_lipsync.contains("audio_delay_min_ms"));
    for (const char* field : {"audio_delay_min_ms", "audio_delay_max_ms"})
        if (lipsync.contains(field)) {
            EXPECT_NEAR(lipsync[field].get<double>(), expected_lipsync[field].get<double>() + ms_of_samples(audio.priming),
                kDelayTolerance) << field << " with " << audio.name;
        }
}

// frames.txt is in time order and counts from the demuxer's start; the sidecar from the clip's first frame.
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
            EXPECT_TRUE(!audio.lossless ||
                std::abs(duration - beeps[beep]["duration_us"].get<long long>()) <= kTimelineTolerance)
                << line;
            beep++;
        } else {
            ADD_FAILURE() << "unexpected line: " << line;
        }
    }
    EXPECT_EQ(frame, frames.size());
    EXPECT_EQ(beep, beeps.size());
}

// Makes `file` in `dir` with a small, short picture and `args`; returns its sidecar.
json generated(const TempDir& dir, const std::string& file, std::vector<std::string> args)
{
    args.insert(args.end(), {"--size", "192x144", "--duration", "2.4", file});
    const ProcessResult made = generate(args, dir.path());
    EXPECT_EQ(made.exit_code, 0) << made.err;
    return json::parse(read_file(dir.file(file + ".expected.json")), nullptr, false);
}

struct Case {
    const char* name;
    const char* file;
    std::vector<std::string> args;
    AudioCodec audio;
    size_t warnings; ///< a gap for a dropped frame; two start warnings for a late start or a .ts
    const char* elements = nullptr; ///< demuxer, decoders, muxer and encoders, where GStreamer's ranks leave one choice
};

void PrintTo(const Case& c, std::ostream* os)
{
    *os << c.name;
}

const Case kCases[] = {
    {"Mp4H264Aac", "clip.mp4", {"--audio-delay", "40"}, kAac, 0,
        "qtdemux avdec_h264 avdec_aac mp4mux x264enc voaacenc"},
    {"MovH264Pcm", "clip.mov", {"--audio-delay", "-80"}, kPcm, 0},
    {"WebmVp8Vorbis", "clip.webm", {"--audio-delay", "40"}, kVorbis, 0,
        "matroskademux vp8dec vorbisdec webmmux vp8enc vorbisenc"},
    {"MkvVp9Opus", "clip.mkv", {"--video-codec", "vp9", "--audio-codec", "opus", "--audio-delay", "-80"}, kOpus, 0,
        "matroskademux vp9dec opusdec matroskamux vp9enc opusenc"},
    {"AviMjpegPcm", "clip.avi", {"--fps", "30000/1001"}, kPcm, 0, "avidemux jpegdec (null) avimux jpegenc (null)"},
    {"TsMpeg2Mp2", "clip.ts", {"--audio-delay", "40"}, kMp2, 2},
    {"OggTheoraVorbis", "clip.ogg", {"--fps", "50"}, kVorbis, 0,
        "oggdemux theoradec vorbisdec oggmux theoraenc vorbisenc"},
    {"MkvNtscRate", "clip.mkv", {"--fps", "30000/1001", "--audio-delay", "40", "--sync-period", "2", "--frameid-bits",
        "3", "--audio-rate", "44100"}, kFlac, 0,
        "matroskademux avdec_h264 flacdec matroskamux x264enc flacenc"},
    {"VideoOnly", "clip.mkv", {"--no-audio"}, kFlac, 0},
    {"AudioOnly", "clip.wav", {"--audio-delay", "-80"}, kPcm, 0, "wavparse (null) (null) wavenc (null) (null)"},
    {"DroppedContentFrame", "clip.mkv", {"--drop", "30", "--fps", "50"}, kFlac, 1},
    {"RepeatedContentFrame", "clip.mkv", {"--repeat", "30"}, kFlac, 0},
    {"LateStartBlackFastFlashes", "clip.mkv", {"--start-ms", "500", "--audio-delay", "9.5", "--flash-period", "2",
        "--beep-ms", "20", "--header", "0", "--audio-rate", "96000", "--background", "black"}, kFlac, 2},
};

class CodecMatrix : public ::testing::TestWithParam<Case> { };

TEST_P(CodecMatrix, ReportMatchesTheSidecar)
{
    const Case& c = GetParam();
    TempDir dir;
    const json expected = generated(dir, c.file, c.args);
    ASSERT_TRUE(expected["audio_codec"].is_null() || expected["audio_codec"] == c.audio.name);
    EXPECT_EQ(expected["warnings"].size(), c.warnings);
    // A GStreamer option before the path is taken out.
    const ProcessResult run = analyze({"--gst-debug-level=0", c.file}, dir.path());
    EXPECT_EQ(run.out.find('\r'), std::string::npos) << "progress only on a terminal";
    const json report = report_of(run);
    expect_report(report, expected, c.audio);
    std::string names;
    for (const char* field : {"demuxer", "video_decoder", "audio_decoder", "muxer", "video_encoder", "audio_encoder"})
        names += (names.empty() ? "" : " ") + report.value(field, "?");
    EXPECT_TRUE(c.elements == nullptr || names == c.elements) << names;
    EXPECT_EQ(report.value("frame_data", ""), "frames.txt");
    expect_timeline(read_file(dir.file("frames.txt")), expected, c.audio);
}

INSTANTIATE_TEST_SUITE_P(Clips, CodecMatrix, ::testing::ValuesIn(kCases),
    [](const ::testing::TestParamInfo<Case>& info) { return info.param.name; });

// TS stamps from an arbitrary start; ffmpeg's MP4 delays video for B-frames, trims AAC priming by edit list.
TEST(AnalyzerRun, TransportStreamAndEditListMp4KeepTheDelay)
{
    const TempDir dir;
    const json sidecar = generated(dir, "clip.mkv", {"--audio-delay", "40"});
    for (const char* name : {"clip.ts", "clip.mp4"}) {
        ASSERT_TRUE(ffmpeg({"-i", dir.file("clip.mkv"), "-c:v", "libx264", "-pix_fmt", "yuv420p", "-c:a", "aac",
            dir.file(name)}));
        const json lipsync = report_of(analyze({name}, dir.path())).value("lipsync", json::object());
        EXPECT_EQ(std::pair(lipsync.value("audio_markers", -1), lipsync.value("video_markers", -1)),
            std::pair(sidecar["lipsync"].value("audio_markers", 0), sidecar["lipsync"].value("video_markers", 0))) << name;
        EXPECT_NEAR(lipsync.value("audio_delay_min_ms", NAN), sidecar["lipsync"].value("audio_delay_min_ms", 0.0),
            kDelayTolerance) << name;
    }
}

TEST(CommandLine, WrongArgumentCountPrintsUsage)
{
    TempDir dir;
    for (const std::vector<std::string>& args : {std::vector<std::string>{}, {"a.mp4", "b.mp4"}}) {
        const ProcessResult result = analyze(args, dir.path());
        EXPECT_EQ(std::tuple(result.exit_code, result.err, result.out),
            std::tuple(1, std::string("Usage: ") + SKELV_ANALYZER + " [gst options] <video file>\n", ""));
    }
}

} // namespace
