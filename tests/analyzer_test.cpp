// The analyser as users run it: command line, the report's rows, frames.txt and progress.
#include "support/media.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

using nlohmann::json;

TEST(CommandLine, WrongArgumentCountPrintsUsage)
{
    TempDir dir;
    for (const std::vector<std::string>& args : {std::vector<std::string>{}, {"a.mp4", "b.mp4"}}) {
        const ProcessResult result = analyze(args, dir.path());
        EXPECT_EQ(result.exit_code, 1);
        EXPECT_EQ(result.err, std::string("Usage: ") + SKELV_ANALYZER + " [gst options] <video file>\n");
        EXPECT_EQ(result.out, "");
    }
}

// H.264 and FLAC in Matroska: every element name in the report is fixed, and the lossless
// sound keeps the beeps exactly where the generator put them.
class AnalyzerRun : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        dir_ = new TempDir;
        const ProcessResult made =
            generate({"--size", "192x144", "--duration", "2.4", "--audio-delay", "40", "clip.mkv"}, dir_->path());
        ASSERT_EQ(made.exit_code, 0) << made.err;
        sidecar_ = json::parse(read_file(dir_->file("clip.mkv.expected.json")));
    }
    static void TearDownTestSuite() { delete dir_; }

    static TempDir* dir_;
    static json sidecar_;
};
TempDir* AnalyzerRun::dir_ = nullptr;
json AnalyzerRun::sidecar_;

TEST_F(AnalyzerRun, ReportRowsAndDelayMatchTheClip)
{
    const std::vector<std::string> rows = {
        "{",
        "    \"file\":           \"clip.mkv\",",
        "    \"demuxer\":        \"matroskademux\",",
        "    \"video_decoder\":  \"avdec_h264\",",
        "    \"audio_decoder\":  \"flacdec\",",
        "    \"muxer\":          \"matroskamux\",",
        "    \"video_encoder\":  \"x264enc\",",
        "    \"audio_encoder\":  \"flacenc\",",
        "    \"resolution\":     [192,144],",
        "    \"framerate\":       25.00,",
        "    \"audio_rate\":      48000,",
        "    \"total_frames\":       60,",
        "    \"video_length\":    2.400,",
        "    \"audio_length\":    2.400,",
        "    \"markers_found\":       6,",
    };
    // A GStreamer option before the path is taken out and the run is the same.
    using Args = std::vector<std::string>;
    for (const Args& args : {Args{"clip.mkv"}, Args{"--gst-debug-level=0", "clip.mkv"}}) {
        const ProcessResult result = analyze(args, dir_->path());
        std::vector<std::string> lines = split_lines(result.out);
        lines.resize(std::min(lines.size(), rows.size()));
        EXPECT_EQ(lines, rows);
        EXPECT_EQ(result.out.find('\r'), std::string::npos) << "progress only on a terminal";

        // The codec matrix holds frames.txt against the sidecar.
        const json report = report_of(result);
        for (const char* field : {"markers", "video_structure", "warnings"})
            EXPECT_EQ(report.value(field, json()), sidecar_[field]) << field;
        const json lipsync = report.value("lipsync", json::object());
        for (const char* field : {"audio_markers", "video_markers"})
            EXPECT_EQ(lipsync.value(field, json()), sidecar_["lipsync"][field]) << field;
        for (const char* field : {"audio_delay_min_ms", "audio_delay_max_ms"})
            EXPECT_NEAR(lipsync.value(field, NAN), sidecar_["lipsync"][field].get<double>(), 1.0) << field;
    }
}

TEST_F(AnalyzerRun, ProgressCountersOnATerminal)
{
    // `script` gives the analyser a pseudo-terminal as standard output.
    const ProcessResult result = run_process(
        {"script", "-qec", std::string(SKELV_ANALYZER) + " clip.mkv", "/dev/null"}, kRunTimeout, dir_->path());
    ASSERT_EQ(result.exit_code, 0) << result.err;
    EXPECT_NE(result.out.find("[    1]  \r[    2]  \r"), std::string::npos);
    EXPECT_NE(result.out.find("[   60]  \r"), std::string::npos);
    EXPECT_NE(result.out.find("[    7/   60]  \r[    8/   60]  \r"), std::string::npos);
    EXPECT_EQ(result.out.find("[   61"), std::string::npos);
}

TEST_F(AnalyzerRun, UnwritableFrameDataBecomesAWarning)
{
    TempDir cwd;
    std::filesystem::create_symlink("/dev/full", cwd.file("frames.txt"));
    const json report = report_of(analyze({dir_->file("clip.mkv")}, cwd.path()));
    EXPECT_FALSE(report.contains("frame_data"));
    EXPECT_EQ(report["warnings"], json::array({"Could not write frames.txt: No space left on device"}));
}

// Transport streams stamp both streams from an arbitrary start; ffmpeg's MP4 starts the
// video after its B-frame delay and trims the AAC priming with an edit list. Played as
// their clocks say, both keep the clip's own delay.
TEST_F(AnalyzerRun, TransportStreamAndEditListMp4KeepTheDelay)
{
    for (const char* name : {"clip.ts", "clip.mp4"}) {
        ASSERT_TRUE(ffmpeg({"-i", dir_->file("clip.mkv"), "-c:v", "libx264", "-pix_fmt", "yuv420p", "-c:a", "aac",
            dir_->file(name)}));
        const json lipsync = report_of(analyze({name}, dir_->path())).value("lipsync", json::object());
        EXPECT_EQ(lipsync.value("audio_markers", -1), sidecar_["lipsync"]["audio_markers"]) << name;
        EXPECT_EQ(lipsync.value("video_markers", -1), sidecar_["lipsync"]["video_markers"]) << name;
        const double delay = sidecar_["lipsync"]["audio_delay_min_ms"];
        EXPECT_NEAR(lipsync.value("audio_delay_min_ms", NAN), delay, 1.0) << name;
    }
}

} // namespace
