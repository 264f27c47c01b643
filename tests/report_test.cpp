#include "analyzer/report.h"

#include "support/media.h"

#include <gtest/gtest.h>

#include <algorithm>
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

const std::string kReplacement = "\xEF\xBF\xBD"; // U+FFFD in UTF-8

TEST(JsonEscape, EscapesWhatJsonRequiresAndReplacesInvalidUtf8)
{
    // Invalid input: one U+FFFD for each maximal subpart of an ill-formed sequence, as the
    // Unicode standard recommends.
    const std::pair<std::string, std::string> cases[] = {
        {"/media/clip 01.mp4", "/media/clip 01.mp4"},
        {"caf\xc3\xa9 \xE2\x9C\x93 \xF0\x9F\x8E\xAC.mkv", "caf\xc3\xa9 \xE2\x9C\x93 \xF0\x9F\x8E\xAC.mkv"},
        {"a\"b\\c", "a\\\"b\\\\c"},
        {"line\nnext\ttab\r", "line\\nnext\\ttab\\r"},
        {std::string("\x01\x1f", 2), "\\u0001\\u001f"},
        {"lat\xe9in1.mkv", "lat" + kReplacement + "in1.mkv"},         // Latin-1 byte
        {"\x80\xBF", kReplacement + kReplacement},                     // lone continuation bytes
        {"end\xE2\x9C", "end" + kReplacement},                         // sequence cut short
        {"\xC0\xAF", kReplacement + kReplacement},                     // overlong form
        {"\xED\xA0\x80", kReplacement + kReplacement + kReplacement}, // surrogate
        {"\xF4\x90\x80\x80", kReplacement + kReplacement + kReplacement + kReplacement}, // past U+10FFFF
    };
    for (const auto& [text, escaped] : cases)
        EXPECT_EQ(json_escape(text), escaped) << text;
}

TEST(MarkersList, PrintsEachMarkerWithItsTypeAndPicksTheLastRgb6)
{
    AnalysisRun run;
    run.markers = {{10, 20, 41, 51, 0, 0x0000abcd}, {100, 5, 100, 30, 1, 0xdeadbeef}, {0, 0, 16, 16, 0, 1},
                   {1, 1, 17, 17, 0, 2}, {2, 2, 18, 18, 0, 3}, {3, 3, 19, 19, 0, 4}};
    const VideoStructure structure{
        2, 3, 8, 2,
        {{MARKER_TYPE_SYNCMARK, 2}, {MARKER_TYPE_FRAMEID, 1}, {MARKER_TYPE_RGB6, 1}, {MARKER_TYPE_RGB6, 1}, {7, 5}}, 5};
    EXPECT_EQ(printed([&](FILE* out) { report_print_markers(out, &run, structure); }),
              "    \"markers\": [\n"
              "      {\"index\":   0, \"pos\": [  10,  20], \"size\": [ 32, 32], \"crc\": \"0000abcd\", \"type\": \"SYNCMARK\", \"interval\": 2},\n"
              "      {\"index\":   1, \"pos\": [ 100,   5], \"size\": [  1, 26], \"crc\": \"deadbeef\", \"type\": \"FRAMEID\", \"interval\": 1},\n"
              "      {\"index\":   2, \"pos\": [   0,   0], \"size\": [ 17, 17], \"crc\": \"00000001\", \"type\": \"RGB6\"},\n"
              "      {\"index\":   3, \"pos\": [   1,   1], \"size\": [ 17, 17], \"crc\": \"00000002\", \"type\": \"RGB6\"},\n"
              "      {\"index\":   4, \"pos\": [   2,   2], \"size\": [ 17, 17], \"crc\": \"00000003\", \"type\": \"UNKNOWN\"},\n"
              "      {\"index\":   5, \"pos\": [   3,   3], \"size\": [ 17, 17], \"crc\": \"00000004\", \"type\": \"UNKNOWN\"}\n"
              "    ],\n");
    EXPECT_EQ(run.lipsync_marker, 3);

    run.markers.clear();
    EXPECT_EQ(printed([&](FILE* out) { report_print_markers(out, &run, structure); }), "    \"markers\": [\n    ],\n");
    EXPECT_EQ(run.lipsync_marker, -1);
}

TEST(VideoStructureLines, PrintTheFourSpans)
{
    EXPECT_EQ(printed([](FILE* out) { report_print_video_structure(out, VideoStructure{2, 3, 8, 2, {}, 0}); }),
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

std::string lipsync_lines(const AnalysisRun& run)
{
    return printed([&](FILE* out) { report_print_lipsync(out, lipsync_summarize(run)); });
}

TEST(Lipsync, BeepFortyMillisecondsAfterTheFlash)
{
    // Frame 24 at 0.96 s; the beep starts one second after the start of the audio clock.
    for (const auto& [audio_start, beep] : {std::pair<uint64_t, int32_t>{0, 48000}, {50000000, 48000 - 2400}}) {
        AnalysisRun run = lipsync_run(30, {24}, {{beep, beep + 4800}});
        run.audio_start_time = audio_start;
        EXPECT_EQ(lipsync_lines(run), "    \"lipsync\": {\n"
                                      "      \"audio_markers\":           1,\n"
                                      "      \"video_markers\":           1,\n"
                                      "      \"audio_delay_min_ms\":   40.0,\n"
                                      "      \"audio_delay_max_ms\":   40.0\n"
                                      "    },\n")
            << "audio from " << audio_start << " ns";
    }
}

TEST(Lipsync, PairsInOrderAndCountsUnpairedFlashes)
{
    // Frame 5 at 0.2 s with a beep at 0.19 s, frame 15 at 0.6 s with one at 0.65 s; frame 25 unpaired.
    const LipsyncSummary summary = lipsync_summarize(lipsync_run(30, {5, 15, 25}, {{9120, 9600}, {31200, 31680}}));
    EXPECT_EQ(summary.video_markers, 3);
    EXPECT_EQ(summary.audio_markers, 2);
    EXPECT_FLOAT_EQ(summary.min_delay, -0.01f);
    EXPECT_FLOAT_EQ(summary.max_delay, 0.05f);
}

TEST(Lipsync, NoDelayLinesWithoutPairs)
{
    const auto expected = [](const std::string& audio, const std::string& video) {
        return "    \"lipsync\": {\n"
               "      \"audio_markers\":           " + audio + ",\n"
               "      \"video_markers\":           " + video + "\n"
               "    },\n";
    };
    EXPECT_EQ(lipsync_lines(lipsync_run(10, {}, {{100, 200}, {300, 400}})), expected("2", "0"));
    EXPECT_EQ(lipsync_lines(lipsync_run(2, {0, 1}, {})), expected("0", "2"));
    AnalysisRun without_reference = lipsync_run(2, {0, 1}, {{100, 200}, {300, 400}});
    without_reference.lipsync_marker = -1;
    EXPECT_EQ(lipsync_lines(without_reference), expected("2", "0"));
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
    EXPECT_EQ(frames_file_of(lipsync_run(3, {0, 2}, {{0, 5760}, {2400, 3360}, {4800, 5280}, {9600, 10080}})),
              "AUDIO:        0 120000\n" // exactly at frame 0: before it
              "VIDEO:        0 wk\n"
              "VIDEO:    40000 wr\n"
              "AUDIO:    50000 20000\n"
              "VIDEO:    80000 wk\n"
              "AUDIO:   100000 10000\n" // after the last frame
              "AUDIO:   200000 10000\n");
    AnalysisRun late = lipsync_run(1, {}, {{48000 * 2300, 48000 * 2300 + 4800}});
    late.frame_times = {2200000000000ull}; // past 2^31 microseconds
    EXPECT_EQ(frames_file_of(late), "VIDEO: 2200000000 wr\n"
                                    "AUDIO: 2300000000 100000\n");
}

TEST(FramesFile, FailureIsReportedAndLeavesNoFile)
{
    const TempDir dir;
    const AnalysisRun run = lipsync_run(1, {0}, {});
    std::string failure;
    EXPECT_FALSE(frames_file_write(dir.file("missing/frames.txt").c_str(), run, &failure));
    EXPECT_EQ(failure.rfind("Could not create ", 0), 0u) << failure;

    const std::string link = dir.file("frames.txt");
    std::filesystem::create_symlink("/dev/full", link);
    EXPECT_FALSE(frames_file_write(link.c_str(), run, &failure));
    EXPECT_NE(failure.find("No space left on device"), std::string::npos) << failure;
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
}

} // namespace
