// skelv-check as users run it on clips with faults on purpose and through chain effects: every
// event's delay against the clip's design.
#include "support/media.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

namespace {

using nlohmann::json;

// The clips' design: 25 fps, 48 kHz, 5 header and 5 locator frames, a flash at content offsets
// 12, 37, 62, ..., each beep at its flash's time plus the audio delay, rounded to a sample.
constexpr int kFps = 25, kRate = 48000, kLead = 10, kFlashPeriod = 25, kSeconds = 8;

struct DesignEvent {
    int64_t flash_frame; ///< content offset
    double video_ms;     ///< when the frame is shown
    double audio_ms;     ///< the beep's first sample
};

// `repeat`: a design frame shown twice, delaying every later frame. Blended to another `fps`, each
// flash shows in the first frame whose source position n * 25 / fps is within half a frame of it.
std::vector<DesignEvent> design_events(double audio_delay_ms, int repeat = -1, int fps = kFps)
{
    std::vector<DesignEvent> events;
    const int content = kSeconds * kFps - 3 * 5;
    for (int offset = kFlashPeriod / 2; offset < content; offset += kFlashPeriod) {
        const int frame = kLead + offset;
        const int slot = frame + (repeat >= 0 && frame > repeat ? 1 : 0);
        const double beep_sample = std::llround((double(frame) / kFps + audio_delay_ms / 1000) * kRate);
        const double video_ms = std::ceil((slot - 0.5) * fps / kFps - 1e-9) * 1000 / fps;
        events.push_back({offset, video_ms, beep_sample * 1000 / kRate});
    }
    return events;
}

void expect_events(const json& result, const std::vector<DesignEvent>& design, double tolerance_ms,
                   int64_t missing_flash = -1)
{
    const json& events = result["sync"]["events"];
    size_t e = 0;
    for (const DesignEvent& d : design) {
        if (d.flash_frame == missing_flash)
            continue;
        ASSERT_LT(e, events.size());
        const json& event = events[e++];
        EXPECT_EQ(event["flash_frame"], d.flash_frame);
        EXPECT_NEAR(event["video_ms"].get<double>(), d.video_ms, 0.5) << d.flash_frame;
        EXPECT_NEAR(event["delay_ms"].get<double>(), d.audio_ms - d.video_ms, tolerance_ms) << d.flash_frame;
    }
    EXPECT_EQ(e, events.size());
}

class CheckRuns : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        dir_ = new TempDir;
        const auto make = [](std::vector<std::string> args) {
            args.insert(args.begin(), {"--size", "192x144", "--duration", std::to_string(kSeconds)});
            const ProcessResult made = generate(args, dir_->path());
            ASSERT_EQ(made.exit_code, 0) << made.err;
        };
        make({"--audio-delay", "40", "lags.mkv"});
        make({"--audio-delay", "-50", "leads.mkv"});
        make({"--drop", "40", "--repeat", "100", "faults.mkv"});
        make({"--no-audio", "silent.mkv"});
    }
    static void TearDownTestSuite() { delete dir_; }

    // Runs skelv-check on `clip` with `args`: the JSON result and the run.
    static std::pair<json, ProcessResult> checked(const std::string& clip, std::vector<std::string> args = {})
    {
        args.insert(args.end(), {"--json", dir_->file(clip + ".json"), dir_->file(clip)});
        const ProcessResult run = check(args, dir_->path());
        return {json_file(dir_->file(clip + ".json")), run};
    }

    static TempDir* dir_;
};
TempDir* CheckRuns::dir_ = nullptr;

TEST_F(CheckRuns, CleanClipReadsItsDesignedDelay)
{
    const auto [result, run] = checked("lags.mkv");
    EXPECT_EQ(run.exit_code, 0) << run.err;
    expect_events(result, design_events(40), 0.1);
    const json& video = result["video"];
    EXPECT_EQ(json::array({result["verdict"], video["frames"], video["dropped"], video["content_start_seen"],
                  result["sync"]["no_drift"]}),
        json::array({"pass", kSeconds * kFps, 0, true, true}));
    // The summary's first line is worded in check_report_test.cpp.
    EXPECT_EQ(split_lines(run.out).at(1), "Frames: 200 captured, 185 content frames shown, 0 dropped, 0 repeated");
}

TEST_F(CheckRuns, ProfilesLimitsAndTheDesignedOffsetDecide)
{
    const struct {
        std::string clip;
        std::vector<std::string> args;
        int exit_code;
        const char* verdict;
    } cases[] = {
        {"lags.mkv", {"--lead-ms", "10", "--lag-ms", "30"}, 4, "fail"},
        {"lags.mkv", {"--expect-delay", "40", "--profile", "atsc-is191"}, 0, "pass"},
        {"lags.mkv", {"--expect-delay", "100"}, 4, "fail"}, // 60 ms early once the offset is taken off
        {"leads.mkv", {"--profile", "bt1359-accept"}, 0, "pass"},
    };
    for (const auto& c : cases) {
        const auto [result, run] = checked(c.clip, c.args);
        EXPECT_EQ(run.exit_code, c.exit_code) << c.clip << " " << c.args.at(1) << "\n" << run.err;
        EXPECT_EQ(result["verdict"], c.verdict) << c.clip << " " << c.args.at(1);
    }
    const auto [leads, run] = checked("leads.mkv");
    EXPECT_EQ(run.exit_code, 4);
    EXPECT_EQ(leads["verdict"], "fail");
    expect_events(leads, design_events(-50), 0.1);
    EXPECT_NE(run.out.find("audio leads video by 50.0 ms, beyond EBU R37's limits"), std::string::npos) << run.out;
}

TEST_F(CheckRuns, DroppedAndRepeatedFramesAndTheirDelays)
{
    const json result = checked("faults.mkv").first;
    EXPECT_EQ(json::array({result["video"]["dropped"], result["video"]["repeated"]}), json::array({1, 1}));
    // The repeat delays the picture, not the sound: later flashes read 40 ms less delay.
    expect_events(result, design_events(0, 100), 0.1);
}

// One beep muted (whole frames of sound that start in the window) and the sound's clock 0.1 %
// fast (-60 ms a minute): the flash is listed without a beep, every other pair stays.
TEST_F(CheckRuns, MissingBeepAndClockDrift)
{
    ASSERT_TRUE(ffmpeg({"-i", dir_->file("lags.mkv"), "-c:v", "copy", "-af",
        "volume=volume=0:enable='between(t,2.5,3.5)',asetrate=48048,aresample=48000", "-c:a", "flac",
        dir_->file("muted.mkv")}));
    const auto [result, run] = checked("muted.mkv");
    std::vector<DesignEvent> design = design_events(40);
    for (DesignEvent& d : design)
        d.audio_ms /= 1.001;
    expect_events(result, design, 0.5, 62);
    EXPECT_EQ(result["sync"]["missing_beeps"], json::array({{{"flash_frame", 62}, {"loop", 0}, {"video_ms", 2880.0}}}));
    EXPECT_NE(run.out.find("\nNo beep for the flash at source frame 62 (2.880 s)\n"), std::string::npos) << run.out;
    EXPECT_NEAR(result["sync"]["drift_ms_per_min"].get<double>(), -60 / 1.001, 1.0);
    EXPECT_EQ(result["sync"]["no_drift"], false);
    EXPECT_EQ(result["verdict"], "pass"); // 32 to 40 ms late: within the default limits
}

// 25 -> 30 fps by blending (no flash shows unblended; source frames 5k + 2 take two frames: 37
// of the 185), the picture squeezed into TV range, the sound through AAC in MP4.
TEST_F(CheckRuns, ThroughAChainOfEffects)
{
    ASSERT_TRUE(ffmpeg({"-i", dir_->file("lags.mkv"), "-vf", "framerate=fps=30,scale=in_range=pc:out_range=tv", "-c:v",
        "libx264", "-pix_fmt", "yuv420p", "-c:a", "aac", "-b:a", "128k", dir_->file("chain.mp4")}));
    const auto [result, run] = checked("chain.mp4");
    EXPECT_EQ(run.exit_code, 0) << run.err;
    expect_events(result, design_events(40, -1, 30), 0.5);
    EXPECT_EQ(result["video"]["display_counts"]["2"], 37);
    EXPECT_GE(result["video"]["display_counts"]["1"], 147); // the last one may blend with the trailer
    EXPECT_EQ(result["video"]["dropped"], 0);
}

TEST_F(CheckRuns, WhatCannotBeJudgedEndsWithExitTwo)
{
    const auto [silent, run] = checked("silent.mkv");
    EXPECT_EQ(run.exit_code, 2);
    EXPECT_EQ(silent["verdict"], "unmeasurable");
    EXPECT_NE(run.err.find("the recording has no sound"), std::string::npos) << run.err;

    // GStreamer's message, not its debug string.
    std::string noise(4096, '\0');
    uint32_t state = 1;
    for (char& byte : noise)
        byte = char((state = state * 1664525u + 1013904223u) >> 24);
    write_file(dir_->file("noise.mkv"), noise);
    const ProcessResult unreadable = check({"--json", "noise.json", "noise.mkv"}, dir_->path());
    EXPECT_EQ(unreadable.exit_code, 2);
    EXPECT_EQ(unreadable.err, "skelv-check: noise.mkv: Could not determine type of stream.\n");
    EXPECT_EQ(read_file(dir_->file("noise.json")), "") << "no result for a file that could not be read";
    ASSERT_TRUE(ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25", "-t", "3", dir_->file("other.mkv")}));
    const ProcessResult other = check({"other.mkv"}, dir_->path());
    EXPECT_EQ(other.exit_code, 2);
    EXPECT_EQ(other.err.rfind("skelv-check: other.mkv: not a test clip: ", 0), 0u) << other.err;

    // GStreamer's GIF demuxer spins without output: the loader's watchdog ends the run.
    ASSERT_TRUE(ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=64x64:r=10", "-frames:v", "1", dir_->file("one.gif")}));
    const ProcessResult stalled = check({"one.gif"}, dir_->path(), {"env", "SKELV_STALL_SECONDS=2"});
    EXPECT_EQ(stalled.exit_code, 2);
    EXPECT_EQ(stalled.err.rfind("skelv-check: one.gif: ", 0), 0u) << stalled.err;
}

// One video timestamp of a transport stream corrupted, as a damaged capture has it: the frames
// after it are timed by the frame rate, nothing counts as dropped, and the events from there on
// are listed but not judged.
TEST_F(CheckRuns, ABrokenTimestampIsReportedNotJudged)
{
    ASSERT_EQ(generate({"--size", "192x144", "--duration", std::to_string(kSeconds), "broken.ts"}, dir_->path()).exit_code, 0);
    std::string bytes = read_file(dir_->file("broken.ts"));
    std::vector<size_t> pes; // offsets of video PES headers
    for (size_t at = 0; at + 188 <= bytes.size(); at += 188) {
        const auto b = [&](size_t i) { return uint8_t(bytes[at + i]); };
        const size_t payload = 4 + ((b(3) & 0x20) != 0 ? 1 + b(4) : 0);
        if ((b(1) & 0x40) != 0 && payload + 4 < 188 && bytes.compare(at + payload, 3, std::string("\0\0\1", 3)) == 0 &&
            (b(payload + 3) & 0xF0) == 0xE0)
            pes.push_back(at + payload);
    }
    ASSERT_GT(pes.size(), 100u);
    bytes[pes[pes.size() / 2] + 10] ^= 0x40; // a high bit of the PTS: a leap of hours
    write_file(dir_->file("broken.ts"), bytes);
    const auto [result, run] = checked("broken.ts");
    EXPECT_EQ(result["video"]["dropped"], 0);
    EXPECT_EQ(result["video"]["frames"], kSeconds * kFps);
    const json& warnings = result["warnings"];
    EXPECT_TRUE(std::any_of(warnings.begin(), warnings.end(), [](const json& w) {
        return w.get<std::string>().rfind("Video timestamps jump by", 0) == 0;
    })) << warnings.dump();
    const size_t events = result["sync"]["events"].size(), judged = result["sync"]["judged"];
    EXPECT_GT(result["sync"]["untrusted_events"].get<size_t>(), 0u);
    EXPECT_EQ(judged + result["sync"]["untrusted_events"].get<size_t>(), events);
    EXPECT_EQ(result["sync"]["missing_beeps"].size(), 0u) << "every flash still finds its beep";
    EXPECT_EQ(run.exit_code, judged > 0 ? 0 : 2);
}

// The beeps in the second of two audio streams, noise in the first: both read, the second taken.
TEST_F(CheckRuns, TheAudioStreamWithTheBeepsIsTaken)
{
    ASSERT_TRUE(ffmpeg({"-i", dir_->file("lags.mkv"), "-f", "lavfi", "-i", "anoisesrc=d=8:a=0.1:r=48000", "-map", "0:v",
                        "-map", "1:a", "-map", "0:a", "-c:v", "copy", "-c:a", "flac", dir_->file("two.mkv")}));
    const auto [result, run] = checked("two.mkv");
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(result["audio"]["stream"], 2);
    const json& list = result["streams"]["list"];
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(std::pair(list[1]["beeps"], list[2]["beeps"]), std::pair(json(0), json(design_events(40).size())));
    expect_events(result, design_events(40), 0.1);
    EXPECT_NE(check({"two.mkv"}, dir_->path()).out.find("Beeps taken from audio stream 2 (7 beeps), audio stream 1 has 0"),
              std::string::npos);
    const auto [picked, picked_run] = checked("two.mkv", {"--audio-stream", "1"});
    EXPECT_EQ(std::pair(picked["audio"]["stream"], picked["verdict"]), std::pair(json(1), json("unmeasurable")));
}

TEST_F(CheckRuns, CommandLine)
{
    const struct {
        std::vector<std::string> args;
        int exit_code;
        const char* message;
    } cases[] = {
        {{"--profile", "fast", "lags.mkv"}, 1, "unknown profile fast: use one of ebu-r37, atsc-is191, bt1359-detect, "
                                               "bt1359-accept, wave"},
        {{"--expect-delay", "nan", "lags.mkv"}, 1, "--expect-delay takes a number of ms"},
        {{"--line-time-us", "1000.5", "lags.mkv"}, 1, "--line-time-us takes microseconds from 0 to 1000, or auto"},
        {{"--line-time-us", "18us", "lags.mkv"}, 1, "--line-time-us takes microseconds from 0 to 1000, or auto"},
        // Measured only once the whole recording is read.
        {{"--line-time-us", "auto", "--part", "1/2", "lags.mkv"}, 1, "--line-time-us auto measures on the whole"},
        {{"--line-time-us", "auto", "--follow", "lags.mkv"}, 1, "give the line time to a live run"},
    };
    for (const auto& c : cases) {
        const ProcessResult run = check(c.args, dir_->path());
        EXPECT_EQ(run.exit_code, c.exit_code) << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    }
    const ProcessResult to_stdout = check({"--json", "-", "lags.mkv"}, dir_->path()); // the JSON alone
    EXPECT_EQ(json::parse(to_stdout.out, nullptr, false)["verdict"], "pass") << to_stdout.out;
}

} // namespace
