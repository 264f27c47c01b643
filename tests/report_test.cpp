#include "analyzer/conclusion.h"
#include "analyzer/report.h"
#include "core/json_text.h"

#include "support/media.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {

namespace fs = std::filesystem;

// Invalid UTF-8: one U+FFFD per maximal subpart of an ill-formed sequence, as Unicode recommends.
TEST(JsonEscape, EscapesWhatJsonRequiresAndReplacesInvalidUtf8)
{
    const std::string r = "\xEF\xBF\xBD"; // U+FFFD
    const std::pair<std::string, std::string> cases[] = {
        {"/media/clip 01.mp4", "/media/clip 01.mp4"},
        {"caf\xc3\xa9 \xE2\x9C\x93 \xF0\x9F\x8E\xAC.mkv", "caf\xc3\xa9 \xE2\x9C\x93 \xF0\x9F\x8E\xAC.mkv"},
        {"a\"b\\c\nnext\ttab\r\x01\x1f", "a\\\"b\\\\c\\nnext\\ttab\\r\\u0001\\u001f"},
        {"lat\xe9in1.mkv", "lat" + r + "in1.mkv"}, {"\x80\xBF", r + r}, // Latin-1, lone continuation bytes
        {"end\xE2\x9C", "end" + r}, {"\xC0\xAF", r + r},                  // cut short, overlong
        {"\xED\xA0\x80", r + r + r}, {"\xF4\x90\x80\x80", r + r + r + r}, // surrogate, past U+10FFFF
    };
    for (const auto& [text, escaped] : cases)
        EXPECT_EQ(json_escape(text), escaped) << text;
}

AnalysisRun full_run()
{
    AnalysisRun run;
    run.file = "clip.mkv";
    run.elements = {"matroskademux", "avdec_h264", "flacdec", "matroskamux", "x264enc", "flacenc"};
    run.video_width = 320, run.video_height = 240, run.framerate = 25, run.audio_rate = 48000, run.total_frames = 125;
    run.video_end = run.audio_end = 5000000000;
    run.markers = {{16, 16, 47, 47, 0, 0xaec906e2}, {64, 16, 64, 47, 0, 0x4f2abad9}, {112, 16, 143, 47, 1, 0x00c0ffee}};
    // The last marker has no class: no frame of the second pass showed it.
    run.structure = {5, 5, 110, 5, {{MARKER_TYPE_SYNCMARK, 4}, {MARKER_TYPE_RGB6, 1}}, 2};
    run.lipsync = {4, 5, -0.0125f, 0.0403f};
    run.frame_data = "frames.txt";
    run.warnings = {"Gap in video times (frame 7, offset = 0.040 s)", "Warning from qtdemux0: \"cut\""};
    return run;
}

std::string whole_report(const AnalysisRun& run)
{
    char* buffer = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&buffer, &size);
    report_write_opening(out, run);
    report_write_totals(out, run);
    report_write_results(out, run);
    fclose(out);
    const std::string text(buffer, size);
    free(buffer);
    return text;
}

TEST(Report, EveryRowOfACompleteRun)
{
    EXPECT_EQ(whole_report(full_run()),
              "{\n"
              "    \"file\":           \"clip.mkv\",\n"
              "    \"demuxer\":        \"matroskademux\",\n"
              "    \"video_decoder\":  \"avdec_h264\",\n"
              "    \"audio_decoder\":  \"flacdec\",\n"
              "    \"muxer\":          \"matroskamux\",\n"
              "    \"video_encoder\":  \"x264enc\",\n"
              "    \"audio_encoder\":  \"flacenc\",\n"
              "    \"resolution\":     [320,240],\n"
              "    \"framerate\":       25.00,\n"
              "    \"audio_rate\":      48000,\n"
              "    \"total_frames\":      125,\n"
              "    \"video_length\":    5.000,\n"
              "    \"audio_length\":    5.000,\n"
              "    \"markers_found\":       3,\n"
              "    \"markers\": [\n"
              "      {\"index\":   0, \"pos\": [  16,  16], \"size\": [ 32, 32], \"crc\": \"aec906e2\", \"type\": \"SYNCMARK\", \"interval\": 4},\n"
              "      {\"index\":   1, \"pos\": [  64,  16], \"size\": [  1, 32], \"crc\": \"4f2abad9\", \"type\": \"RGB6\"},\n"
              "      {\"index\":   2, \"pos\": [ 112,  16], \"size\": [ 32, 32], \"crc\": \"00c0ffee\", \"type\": \"UNKNOWN\"}\n"
              "    ],\n"
              "    \"video_structure\": {\n"
              "      \"header_frames\":        5,\n"
              "      \"locator_frames\":       5,\n"
              "      \"content_frames\":     110,\n"
              "      \"trailer_frames\":       5\n"
              "    },\n"
              "    \"lipsync\": {\n"
              "      \"audio_markers\":           4,\n"
              "      \"video_markers\":           5,\n"
              "      \"audio_delay_min_ms\":  -12.5,\n"
              "      \"audio_delay_max_ms\":   40.3\n"
              "    },\n"
              "    \"frame_data\": \"frames.txt\",\n"
              "    \"warnings\": [\n"
              "      \"Gap in video times (frame 7, offset = 0.040 s)\",\n"
              "      \"Warning from qtdemux0: \\\"cut\\\"\"\n"
              "    ]\n"
              "}\n");
}

// Nothing found, nothing named: no element, a variable frame rate, no delays, no timeline, no warnings.
TEST(Report, RowsOfAnEmptyRun)
{
    AnalysisRun run;
    run.file = "";
    run.lipsync = {2, 0, 0, 0};
    const std::string report = whole_report(run);
    for (const char* rows : {"    \"file\":           \"\",\n    \"demuxer\":        \"(null)\",\n",
             "    \"framerate\":    \"variable\",\n",
             "    \"markers\": [\n    ],\n",
             "      \"video_markers\":           0\n    },\n    \"warnings\": [\n    ]\n}\n"})
        EXPECT_NE(report.find(rows), std::string::npos) << rows << "\nin\n" << report;
}

// A run at 25 fps whose lip-sync marker, at position 1, is black in the `flashes` frames and red elsewhere.
AnalysisRun lipsync_run(size_t frames, const std::vector<size_t>& flashes, std::vector<AudioMarker> beeps)
{
    AnalysisRun run;
    run.lipsync_marker = 1;
    run.audio_rate = 48000;
    run.audio_markers = std::move(beeps);
    for (size_t i = 0; i < frames; i++) {
        run.frame_codes.push_back(std::count(flashes.begin(), flashes.end(), i) ? "wk" : "wr");
        run.frame_times.push_back(i * 40000000ull);
    }
    return run;
}

TEST(Lipsync, PairsInOrderAndCountsUnpairedFlashes)
{
    // Frame 5 at 0.2 s with a beep at 0.19 s, frame 15 at 0.6 s with one at 0.65 s; frame 25 unpaired.
    const LipsyncSummary summary = lipsync_summarize(lipsync_run(30, {5, 15, 25}, {{9120, 9600}, {31200, 31680}}));
    EXPECT_EQ(std::pair(summary.video_markers, summary.audio_markers), std::pair(3, 2));
    EXPECT_FLOAT_EQ(summary.min_delay, -0.01f);
    EXPECT_FLOAT_EQ(summary.max_delay, 0.05f);

    AnalysisRun without_reference = lipsync_run(2, {0, 1}, {{100, 200}, {300, 400}});
    without_reference.lipsync_marker = -1;
    EXPECT_EQ(lipsync_summarize(without_reference).video_markers, 0);
}

// The frame data file written for `run`.
std::string frames_file_of(const AnalysisRun& run)
{
    const TempDir dir;
    const std::string path = dir.file("frames.txt");
    std::string failure;
    EXPECT_TRUE(frames_file_write(path.c_str(), run, &failure)) << failure;
    return read_file(path);
}

TEST(FramesFile, BeepsInterleavedWithFramesInTimeOrder)
{
    // A beep exactly at frame 0 comes before it; the last two come after the last frame.
    EXPECT_EQ(frames_file_of(lipsync_run(3, {0, 2}, {{0, 5760}, {2400, 3360}, {4800, 5280}, {9600, 10080}})),
        "AUDIO:        0 120000\nVIDEO:        0 wk\nVIDEO:    40000 wr\nAUDIO:    50000 20000\n"
        "VIDEO:    80000 wk\nAUDIO:   100000 10000\nAUDIO:   200000 10000\n");
    AnalysisRun late = lipsync_run(1, {}, {{48000 * 2300, 48000 * 2300 + 4800}});
    late.frame_times = {2200000000000ull}; // past 2^31 microseconds
    EXPECT_EQ(frames_file_of(late), "VIDEO: 2200000000 wr\nAUDIO: 2300000000 100000\n");
}

// A pipe would hold the run until a reader came; a file size limit stands in for a full disk.
TEST(FramesFile, OnlyARegularFileAndNothingHalfWritten)
{
    const TempDir dir;
    const std::string fifo = dir.file("fifo.txt"), full = dir.file("frames.txt");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    signal(SIGXFSZ, SIG_IGN);
    const std::pair<std::string, std::string> cases[] = {
        {fifo, "Could not create " + fifo + ": not a regular file"}, {full, "Could not write " + full + ": File too large"}};
    for (const auto& [path, expected] : cases) {
        rlimit small = saved;
        small.rlim_cur = 100;
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
        std::string failure;
        EXPECT_FALSE(frames_file_write(path.c_str(), lipsync_run(50, {}, {}), &failure));
        setrlimit(RLIMIT_FSIZE, &saved);
        EXPECT_EQ(failure, expected);
        EXPECT_EQ(fs::exists(fs::symlink_status(path)), path == fifo) << "only the FIFO was there";
    }
}

} // namespace
