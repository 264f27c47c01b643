#include "report.h"

#include "support/media.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>

namespace {

// What `print` writes to a stream.
std::string printed(const std::function<void(FILE*)>& print)
{
    char* buffer = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&buffer, &size);
    print(out);
    fclose(out);
    std::string text(buffer, size);
    free(buffer);
    return text;
}

TEST(JsonEscape, EscapesOnlyWhatJsonRequires)
{
    EXPECT_EQ(json_escape("/media/clip 01.mp4"), "/media/clip 01.mp4");
    EXPECT_EQ(json_escape("caf\xc3\xa9.mkv"), "caf\xc3\xa9.mkv") << "UTF-8 passes through";
    EXPECT_EQ(json_escape("a\"b\\c"), "a\\\"b\\\\c");
    EXPECT_EQ(json_escape("line\nnext\ttab\r"), "line\\nnext\\ttab\\r");
    EXPECT_EQ(json_escape(std::string("\x01\x1f", 2)), "\\u0001\\u001f");
}

VideoStructure structure_with(std::vector<MarkerClass> classes)
{
    VideoStructure structure{2, 3, 8, 2, classes, static_cast<int32_t>(classes.size())};
    return structure;
}

TEST(MarkersList, PrintsEachMarkerWithItsType)
{
    AnalysisRun run;
    run.markers = {{10, 20, 41, 51, 0, 0x0000abcd}, {100, 5, 100, 30, 1, 0xdeadbeef}, {0, 0, 16, 16, 0, 1}, {1, 1, 17, 17, 0, 2}};
    const VideoStructure structure = structure_with({{MARKER_TYPE_SYNCMARK, 2}, {MARKER_TYPE_FRAMEID, 1}, {MARKER_TYPE_RGB6, 1}, {7, 5}});
    EXPECT_EQ(printed([&](FILE* out) { report_print_markers(out, &run, structure); }),
              "    \"markers\": [\n"
              "      {\"index\":   0, \"pos\": [  10,  20], \"size\": [ 32, 32], \"crc\": \"0000abcd\", \"type\": \"SYNCMARK\", \"interval\": 2},\n"
              "      {\"index\":   1, \"pos\": [ 100,   5], \"size\": [  1, 26], \"crc\": \"deadbeef\", \"type\": \"FRAMEID\", \"interval\": 1},\n"
              "      {\"index\":   2, \"pos\": [   0,   0], \"size\": [ 17, 17], \"crc\": \"00000001\", \"type\": \"RGB6\"},\n"
              "      {\"index\":   3, \"pos\": [   1,   1], \"size\": [ 17, 17], \"crc\": \"00000002\", \"type\": \"UNKNOWN\"}\n"
              "    ],\n");
    EXPECT_EQ(run.lipsync_marker, 2);
}

TEST(MarkersList, LastRgb6MarkerIsTheLipsyncReference)
{
    AnalysisRun run;
    run.markers = {{0, 0, 20, 20, 1, 1}, {30, 0, 50, 20, 0, 2}, {60, 0, 80, 20, 1, 3}};
    printed([&](FILE* out) {
        report_print_markers(out, &run, structure_with({{MARKER_TYPE_RGB6, 1}, {MARKER_TYPE_SYNCMARK, 0}, {MARKER_TYPE_RGB6, 1}}));
    });
    EXPECT_EQ(run.lipsync_marker, 2);
    printed([&](FILE* out) { report_print_markers(out, &run, structure_with({{1, 0}, {2, 0}, {0, 0}})); });
    EXPECT_EQ(run.lipsync_marker, -1);
}

TEST(MarkersList, EmptyListAndMarkersWithoutClass)
{
    AnalysisRun run;
    EXPECT_EQ(printed([&](FILE* out) { report_print_markers(out, &run, structure_with({})); }),
              "    \"markers\": [\n    ],\n");
    run.markers = {{0, 0, 20, 20, 0, 9}};
    const std::string text = printed([&](FILE* out) { report_print_markers(out, &run, structure_with({})); });
    EXPECT_NE(text.find("\"type\": \"UNKNOWN\"}\n"), std::string::npos) << text;
}

TEST(VideoStructureLines, PrintTheFourSpans)
{
    EXPECT_EQ(printed([](FILE* out) { report_print_video_structure(out, structure_with({})); }),
              "    \"video_structure\": {\n"
              "      \"header_frames\":        2,\n"
              "      \"locator_frames\":       3,\n"
              "      \"content_frames\":       8,\n"
              "      \"trailer_frames\":       2\n"
              "    },\n");
}

TEST(WarningsList, CommasBetweenEntriesAndEscaping)
{
    EXPECT_EQ(printed([](FILE* out) { report_print_warnings(out, {}); }), "    \"warnings\": [\n    ]\n");
    EXPECT_EQ(printed([](FILE* out) { report_print_warnings(out, {"one", "two \"quoted\""}); }),
              "    \"warnings\": [\n      \"one\",\n      \"two \\\"quoted\\\"\"\n    ]\n");
}

// A run with the lip-sync marker at position 1 and frames at 25 fps.
AnalysisRun lipsync_run(const std::vector<std::string>& codes, std::vector<AudioMarker> beeps, int32_t rate = 48000)
{
    AnalysisRun run;
    run.lipsync_marker = 1;
    run.audio_rate = rate;
    run.audio_markers = std::move(beeps);
    for (size_t i = 0; i < codes.size(); i++) {
        run.frame_codes.push_back(codes[i]);
        run.frame_times.push_back(i * 40000000ull);
    }
    return run;
}

std::string lipsync_lines(const AnalysisRun& run)
{
    return printed([&](FILE* out) { report_print_lipsync(out, lipsync_summarize(run)); });
}

TEST(Lipsync, BeepFortyMillisecondsAfterTheFlash)
{
    // Frame 24 at 0.96 s; the beep starts at sample 48000, one second in.
    std::vector<std::string> codes(30, "ww");
    codes[24] = "wk";
    EXPECT_EQ(lipsync_lines(lipsync_run(codes, {{48000, 52800}})),
              "    \"lipsync\": {\n"
              "      \"audio_markers\":           1,\n"
              "      \"video_markers\":           1,\n"
              "      \"audio_delay_min_ms\":   40.0,\n"
              "      \"audio_delay_max_ms\":   40.0\n"
              "    },\n");
}

TEST(Lipsync, PairsInOrderAndCountsUnpairedFlashes)
{
    std::vector<std::string> codes(30, "ww");
    codes[5] = codes[15] = codes[25] = "wk";
    // Frame 5 at 0.2 s with a beep at 0.19 s, frame 15 at 0.6 s with one at 0.65 s.
    const LipsyncSummary summary = lipsync_summarize(lipsync_run(codes, {{9120, 9600}, {31200, 31680}}));
    EXPECT_EQ(summary.video_markers, 3);
    EXPECT_EQ(summary.audio_markers, 2);
    EXPECT_FLOAT_EQ(summary.min_delay, -0.01f);
    EXPECT_FLOAT_EQ(summary.max_delay, 0.05f);
}

TEST(Lipsync, NoFlashOrNoReferenceMeansNoDelayLines)
{
    const std::vector<std::string> codes(10, "ww");
    const std::string expected = "    \"lipsync\": {\n"
                                 "      \"audio_markers\":           2,\n"
                                 "      \"video_markers\":           0\n"
                                 "    },\n";
    EXPECT_EQ(lipsync_lines(lipsync_run(codes, {{100, 200}, {300, 400}})), expected);

    AnalysisRun without_reference = lipsync_run({"kk", "kk"}, {{100, 200}, {300, 400}});
    without_reference.lipsync_marker = -1;
    EXPECT_EQ(lipsync_lines(without_reference), expected);
}

TEST(Lipsync, AudioTimesCountFromTheFirstAudioSample)
{
    std::vector<std::string> codes(30, "ww");
    codes[24] = "wk";
    AnalysisRun run = lipsync_run(codes, {{48000 - 2400, 52800}});
    run.audio_start_time = 50000000; // audio presented from 50 ms
    const LipsyncSummary summary = lipsync_summarize(run);
    EXPECT_FLOAT_EQ(summary.min_delay, 0.04f);
}

class FramesFile : public ::testing::Test {
protected:
    std::string write(const AnalysisRun& run)
    {
        const std::string path = dir_.file("frames.txt");
        std::string failure;
        EXPECT_TRUE(frames_file_write(path.c_str(), run, &failure)) << failure;
        return read_file(path);
    }
    TempDir dir_;
};

TEST_F(FramesFile, InterleavesBeepsWithFramesInTimeOrder)
{
    AnalysisRun run = lipsync_run({"wk", "ww", "wk"}, {{0, 5760}, {2400, 3360}, {4800, 5280}, {9600, 10080}});
    EXPECT_EQ(write(run), "AUDIO:        0 120000\n" // exactly at frame 0: before it
                          "VIDEO:        0 wk\n"
                          "VIDEO:    40000 ww\n"
                          "AUDIO:    50000 20000\n" // between frames 1 and 2
                          "VIDEO:    80000 wk\n"
                          "AUDIO:   100000 10000\n" // after the last frame
                          "AUDIO:   200000 10000\n");
}

TEST_F(FramesFile, TimesPastThirtyFiveMinutesStayPositive)
{
    AnalysisRun run;
    run.audio_rate = 48000;
    run.frame_codes = {"w"};
    run.frame_times = {2200000000000ull}; // 2200 s
    run.audio_markers = {{48000 * 2300, 48000 * 2300 + 4800}};
    EXPECT_EQ(write(run), "VIDEO: 2200000000 w\n"
                          "AUDIO: 2300000000 100000\n");
}

TEST_F(FramesFile, FailureIsReportedAndLeavesNoFile)
{
    AnalysisRun run = lipsync_run({"wk"}, {});
    std::string failure;
    EXPECT_FALSE(frames_file_write(dir_.file("missing/frames.txt").c_str(), run, &failure));
    EXPECT_EQ(failure.rfind("Could not create ", 0), 0u) << failure;

    const std::string link = dir_.file("frames.txt");
    std::filesystem::create_symlink("/dev/full", link);
    EXPECT_FALSE(frames_file_write(link.c_str(), run, &failure));
    EXPECT_NE(failure.find("No space left on device"), std::string::npos) << failure;
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
}

} // namespace
