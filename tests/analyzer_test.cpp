// The analyser as users run it: command line, exit codes and the report's opening rows.
#include "support/media.h"
#include "support/process.h"
#include "support/synthetic_clip.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <filesystem>

namespace {

constexpr double kRunTimeout = 60; // seconds for one analysis of a test clip

ProcessResult analyze(const std::vector<std::string>& args, const std::string& cwd)
{
    std::vector<std::string> argv = {SKELV_ANALYZER};
    argv.insert(argv.end(), args.begin(), args.end());
    ProcessResult result = run_process(argv, kRunTimeout, cwd);
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.signal, 0);
    return result;
}

std::vector<std::string> first_lines(const std::string& text, size_t count)
{
    std::vector<std::string> lines = split_lines(text);
    lines.resize(std::min(lines.size(), count));
    return lines;
}

TEST(CommandLine, WrongArgumentCountPrintsUsage)
{
    TempDir dir;
    for (const std::vector<std::string>& args : {std::vector<std::string>{}, {"a.mp4", "b.mp4"}}) {
        ProcessResult result = analyze(args, dir.path());
        EXPECT_EQ(result.exit_code, 1);
        EXPECT_EQ(result.err, std::string("Usage: ") + SKELV_ANALYZER + " [gst options] <video file>\n");
        EXPECT_EQ(result.out, "");
    }
}

TEST(CommandLine, MissingFileFailsTheFirstPass)
{
    TempDir dir;
    ProcessResult result = analyze({dir.file("missing.mp4")}, dir.path());
    EXPECT_EQ(result.exit_code, 2);
    EXPECT_EQ(result.err.rfind("Error from filesrc0: ", 0), 0u) << result.err;
    EXPECT_EQ(result.out, "");
}

class AnalyzerRun : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        dir_ = new TempDir;
        clip_ = dir_->file("clip.mkv");
        ASSERT_TRUE(SyntheticClip{}.write(clip_, {"-c:v", "libx264", "-pix_fmt", "yuv420p", "-crf", "18", "-c:a",
                                                  "pcm_s16le"}));
    }
    static void TearDownTestSuite() { delete dir_; }

    static TempDir* dir_;
    static std::string clip_;
};
TempDir* AnalyzerRun::dir_ = nullptr;
std::string AnalyzerRun::clip_;

TEST_F(AnalyzerRun, PrintsTheOpeningRows)
{
    ProcessResult result = analyze({clip_}, dir_->path());
    ASSERT_EQ(result.exit_code, 0) << result.err;
    const std::vector<std::string> expected = {
        "{",
        "    \"file\":           \"" + clip_ + "\",",
        "    \"demuxer\":        \"matroskademux\",",
        "    \"video_decoder\":  \"avdec_h264\",",
        "    \"audio_decoder\":  \"(null)\",",
        "    \"muxer\":          \"matroskamux\",",
        "    \"video_encoder\":  \"x264enc\",",
        "    \"audio_encoder\":  \"(null)\",",
        "    \"resolution\":     [160,120],",
        "    \"framerate\":       25.00,",
        "    \"audio_rate\":      48000,",
        "    \"total_frames\":       43,",
        "    \"video_length\":    1.720,",
        "    \"audio_length\":    1.720,",
        "    \"markers_found\":       4,",
    };
    EXPECT_EQ(first_lines(result.out, expected.size()), expected);
}

TEST_F(AnalyzerRun, ReportsMarkersSpansAndLipsyncOfTheClip)
{
    const SyntheticClip clip;
    ProcessResult result = analyze({clip_}, dir_->path());
    ASSERT_EQ(result.exit_code, 0) << result.err;
    const nlohmann::json report = nlohmann::json::parse(result.out);

    const char* types[] = {"SYNCMARK", "FRAMEID", "FRAMEID", "RGB6"};
    const int intervals[] = {2, 1, 2, 0};
    ASSERT_EQ(report["markers"].size(), size_t(SyntheticClip::kMarkers));
    for (int i = 0; i < SyntheticClip::kMarkers; i++) {
        const nlohmann::json& marker = report["markers"][i];
        EXPECT_EQ(marker["index"], i);
        EXPECT_EQ(marker["pos"], nlohmann::json::array({16 + 36 * i, 16})) << i;
        EXPECT_EQ(marker["size"], nlohmann::json::array({32, 32})) << i;
        EXPECT_EQ(marker["type"], types[i]);
        if (intervals[i] != 0) {
            EXPECT_EQ(marker["interval"], intervals[i]);
        }
    }
    EXPECT_EQ(report["video_structure"], nlohmann::json({{"header_frames", clip.header},
                                                         {"locator_frames", clip.locator},
                                                         {"content_frames", clip.content},
                                                         {"trailer_frames", clip.trailer}}));
    const nlohmann::json& lipsync = report["lipsync"];
    EXPECT_EQ(lipsync["audio_markers"], clip.beep_starts().size());
    EXPECT_EQ(lipsync["video_markers"], clip.beep_starts().size());
    // PCM keeps every sample in place: the beeps start on their flashes.
    EXPECT_NEAR(lipsync["audio_delay_min_ms"].get<double>(), 0.0, 1.0);
    EXPECT_NEAR(lipsync["audio_delay_max_ms"].get<double>(), 0.0, 1.0);
    EXPECT_EQ(report["frame_data"], "frames.txt");
    EXPECT_EQ(report["warnings"], nlohmann::json::array());
}

TEST_F(AnalyzerRun, FramesFileListsEveryFrameAndBeepInTimeOrder)
{
    const SyntheticClip clip;
    ProcessResult result = analyze({clip_}, dir_->path());
    ASSERT_EQ(result.exit_code, 0) << result.err;
    int frame = 0;
    size_t beeps = 0;
    long long last_time = -1;
    for (const std::string& line : split_lines(read_file(dir_->file("frames.txt")))) {
        long long time = -1;
        char text[64] = "";
        if (sscanf(line.c_str(), "VIDEO: %lld %63s", &time, text) == 2) {
            EXPECT_EQ(time, clip.frame_time_ns(frame) / 1000) << line;
            EXPECT_EQ(text, clip.code(frame)) << line;
            frame++;
        } else {
            ASSERT_EQ(sscanf(line.c_str(), "AUDIO: %lld", &time), 1) << line;
            beeps++;
        }
        EXPECT_GE(time, last_time) << line;
        last_time = time;
    }
    EXPECT_EQ(frame, clip.total_frames());
    EXPECT_EQ(beeps, clip.beep_starts().size());
}

TEST_F(AnalyzerRun, GstreamerOptionsBeforeThePathAreTakenOut)
{
    ProcessResult result = analyze({"--gst-debug-level=0", clip_}, dir_->path());
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(first_lines(result.out, 2).back(), "    \"file\":           \"" + clip_ + "\",");
}

TEST_F(AnalyzerRun, NoProgressWhenOutputIsNotATerminal)
{
    ProcessResult result = analyze({clip_}, dir_->path());
    EXPECT_EQ(result.out.find('\r'), std::string::npos);
    EXPECT_EQ(result.out.find('['), result.out.find("[160,120]")) << "first bracket is the resolution";
}

TEST(BrokenStreams, ResolutionChangeEndsTheFirstPassNamingTheFrame)
{
    TempDir dir;
    ASSERT_TRUE(ffmpeg({"-f", "lavfi", "-i", "testsrc=size=64x48:rate=25:duration=1", "-c:v", "libx264",
                        dir.file("small.ts")}));
    ASSERT_TRUE(ffmpeg({"-f", "lavfi", "-i", "testsrc=size=96x64:rate=25:duration=1", "-c:v", "libx264",
                        "-output_ts_offset", "1", dir.file("large.ts")}));
    const std::string path = dir.file("changing.ts");
    write_file(path, read_file(dir.file("small.ts")) + read_file(dir.file("large.ts")));
    ProcessResult result = analyze({path}, dir.path());
    EXPECT_EQ(result.exit_code, 2);
    EXPECT_EQ(result.err, "Frame 26 is 96x64 with a row stride of 384 bytes, but the stream started at 64x48 with "
                          "a row stride of 256 bytes\n");
    EXPECT_EQ(split_lines(result.out).size(), 11u) << "the opening rows stay";
}

TEST(BrokenStreams, StillImageHasLengthZero)
{
    TempDir dir;
    const std::string path = dir.file("still.png");
    ASSERT_TRUE(ffmpeg({"-f", "lavfi", "-i", "testsrc=size=64x48", "-frames:v", "1", path}));
    ProcessResult result = analyze({path}, dir.path());
    ASSERT_EQ(result.exit_code, 0) << result.err;
    const nlohmann::json report = nlohmann::json::parse(result.out);
    EXPECT_EQ(report["video_decoder"], "pngdec");
    EXPECT_EQ(report["total_frames"], 1);
    EXPECT_EQ(report["video_length"], 0.0);
    EXPECT_EQ(report["warnings"], nlohmann::json::array());
}

TEST(BrokenSetup, MissingElementIsNamed)
{
    // A plugin directory without videoconvert, and a registry of its own.
    TempDir dir;
    const std::string plugins = GST_PLUGINS_DIR "/";
    for (const char* plugin : {"coreelements", "playback", "app", "audioconvert"})
        std::filesystem::create_symlink(plugins + "libgst" + plugin + ".so", dir.file(std::string("libgst") + plugin + ".so"));
    ProcessResult result = run_process({"env", "GST_REGISTRY=" + dir.file("registry.bin"),
                                        "GST_PLUGIN_SYSTEM_PATH=" + dir.path(), "GST_PLUGIN_PATH=", SKELV_ANALYZER,
                                        dir.file("any.mp4")},
                                       kRunTimeout, dir.path());
    EXPECT_EQ(result.exit_code, 2);
    EXPECT_EQ(result.err, "Error from skelv_analyzer: cannot create element \"videoconvert0\": the GStreamer element "
                          "\"videoconvert\" is missing (is its plugin installed?)\n");
    EXPECT_EQ(result.out, "");
}

TEST_F(AnalyzerRun, UnwritableFrameDataBecomesAWarning)
{
    TempDir cwd;
    std::filesystem::create_symlink("/dev/full", cwd.file("frames.txt"));
    ProcessResult result = analyze({clip_}, cwd.path());
    ASSERT_EQ(result.exit_code, 0) << result.err;
    const nlohmann::json report = nlohmann::json::parse(result.out);
    EXPECT_FALSE(report.contains("frame_data"));
    EXPECT_EQ(report["warnings"], nlohmann::json::array({"Could not write frames.txt: No space left on device"}));
}

TEST_F(AnalyzerRun, ProgressCountersOnATerminal)
{
    // `script` gives the analyser a pseudo-terminal as standard output.
    ProcessResult result = run_process({"script", "-qec", std::string(SKELV_ANALYZER) + " " + clip_, "/dev/null"},
                                       kRunTimeout, dir_->path());
    ASSERT_EQ(result.exit_code, 0) << result.err;
    EXPECT_NE(result.out.find("[    1]  \r[    2]  \r"), std::string::npos);
    EXPECT_NE(result.out.find("[   43]  \r"), std::string::npos);
    EXPECT_NE(result.out.find("[    7/   43]  \r[    8/   43]  \r"), std::string::npos);
    EXPECT_EQ(result.out.find("[   44"), std::string::npos);
}

std::string warnings_of(const std::string& report)
{
    const size_t start = report.find("    \"warnings\": [\n");
    return start == std::string::npos ? "" : report.substr(start);
}

TEST(TimestampWarnings, GapInVideoTimesNamesTheFrameAndOffset)
{
    TempDir dir;
    const std::string path = dir.file("gap.mkv");
    ASSERT_TRUE(ffmpeg({"-f", "lavfi", "-i", "testsrc=size=64x48:rate=25:duration=1", "-vf", "select='not(eq(n,10))'",
                        "-fps_mode", "passthrough", "-c:v", "mpeg4", path}));
    ProcessResult result = analyze({path}, dir.path());
    ASSERT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(warnings_of(result.out), "    \"warnings\": [\n"
                                       "      \"Gap in video times (frame 11, offset = 0.040 s)\"\n"
                                       "    ]\n"
                                       "}\n");
}

// The first video timestamp as ffprobe reads it, in seconds with three decimals.
std::string probed_video_start(const std::string& path)
{
    ProcessResult probe = run_process({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                                       "stream=start_time", "-of", "csv=p=0", path},
                                      kRunTimeout);
    char text[32];
    snprintf(text, sizeof text, "%.3f", std::stod(probe.out));
    return text;
}

TEST(TimestampWarnings, LateVideoStartIsReported)
{
    TempDir dir;
    const std::string path = dir.file("late.mkv");
    ASSERT_TRUE(ffmpeg({"-itsoffset", "0.5", "-f", "lavfi", "-i", "testsrc=size=64x48:rate=25:duration=1", "-f",
                        "lavfi", "-i", "anullsrc=r=48000:d=1.5", "-map", "0", "-map", "1", "-c:v", "mpeg4", "-c:a",
                        "pcm_s16le", path}));
    const std::string start = probed_video_start(path);
    ASSERT_GT(std::stod(start), 0.4); // ffmpeg rounds the offset to its own frame grid
    ProcessResult result = analyze({path}, dir.path());
    ASSERT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(warnings_of(result.out), "    \"warnings\": [\n"
                                       "      \"Video time does not start from 0 (offset = " + start + " s)\"\n"
                                       "    ]\n"
                                       "}\n");
}

double min_delay_of(const std::string& path, const std::string& cwd)
{
    ProcessResult result = analyze({path}, cwd);
    EXPECT_EQ(result.exit_code, 0) << result.err;
    const nlohmann::json report = nlohmann::json::parse(result.out);
    EXPECT_EQ(report["lipsync"]["video_markers"], report["lipsync"]["audio_markers"]);
    return report["lipsync"].value("audio_delay_min_ms", NAN);
}

// Transport streams stamp both streams from an arbitrary start, and ffmpeg's MP4 starts
// video after its B-frame delay and trims the AAC priming with an edit list. Presented
// together, sound and picture are in sync in both: the delay is the clip's own.
TEST(LipsyncClock, TransportStreamAndEditListMp4AgreeWithTheClip)
{
    TempDir dir;
    SyntheticClip clip;
    clip.audio_delay_ms = 40;
    const std::vector<std::string> codecs = {"-c:v", "libx264", "-pix_fmt", "yuv420p", "-c:a", "aac"};
    ASSERT_TRUE(clip.write(dir.file("clip.ts"), codecs));
    ASSERT_TRUE(clip.write(dir.file("clip.mp4"), codecs));
    EXPECT_NEAR(min_delay_of(dir.file("clip.ts"), dir.path()), 40.0, 1.0);
    EXPECT_NEAR(min_delay_of(dir.file("clip.mp4"), dir.path()), 40.0, 1.0);
}

} // namespace
