// A camera filming a screen: the room's echoes, noise, hum and the camera's automatic gain on
// the sound, the microphone's distance from the screen, and a capture chain calibrated out.
// Every expected delay comes from the clips' design and the delays ffmpeg adds.
#include "support/media.h"
#include "sync/sync_statistics.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

namespace {

using nlohmann::json;

// The clips' design: 25 fps, 48 kHz, 10 lead-in frames, 6 s: flashes at content offsets 12,
// 37, ..., 112, each beep at its flash's time plus the audio delay, rounded to a sample.
constexpr int kFps = 25, kRate = 48000, kLead = 10, kFlashes = 5;
constexpr double kToleranceMs = 1;

// The designed delay of every event: the beep's first sample less its flash's frame time.
std::vector<double> design_delays_ms(double audio_delay_ms)
{
    std::vector<double> delays;
    for (int k = 0; k < kFlashes; ++k) {
        const int frame = kLead + 12 + 25 * k;
        const double beep_sample = std::llround((double(frame) / kFps + audio_delay_ms / 1000) * kRate);
        delays.push_back(beep_sample * 1000 / kRate - frame * 1000.0 / kFps);
    }
    return delays;
}

// Samples of sound a delay of `ms` makes, as ffmpeg's adelay takes them.
std::string samples_of_ms(double ms)
{
    return std::to_string(std::llround(ms * kRate / 1000)) + "S";
}

// One beep per beep, each read `shift_ms` from its design (the chain's own delay).
void expect_design(const json& result, double audio_delay_ms, double shift_ms = 0)
{
    const json& sync = result["sync"];
    EXPECT_EQ(result["audio"]["beeps"], kFlashes);
    EXPECT_EQ(sync["unmatched_beeps"].size(), 0u) << sync["unmatched_beeps"];
    EXPECT_EQ(sync["missing_beeps"].size(), 0u);
    const std::vector<double> design = design_delays_ms(audio_delay_ms);
    ASSERT_EQ(sync["events"].size(), design.size());
    for (size_t i = 0; i < design.size(); ++i)
        EXPECT_NEAR(sync["events"][i]["delay_ms"].get<double>(), design[i] + shift_ms, kToleranceMs) << i;
}

class Room : public ::testing::Test {
protected:
    static void SetUpTestSuite() { dir_ = new TempDir; }
    static void TearDownTestSuite() { delete dir_; }

    static std::string clip(double audio_delay_ms)
    {
        const std::string name = "clip" + std::to_string(std::lround(audio_delay_ms * 10)) + ".mkv";
        const ProcessResult made = generate(
            {"--size", "192x144", "--duration", "6", "--audio-delay", std::to_string(audio_delay_ms), name}, dir_->path());
        EXPECT_EQ(made.exit_code, 0) << made.err;
        return dir_->file(name);
    }

    // The clip's sound through `filter`, which reads [0:a] (the clip), [1:a] (pink noise) and
    // [2:a] (hum) and writes [a]; the picture as it was.
    static std::string through(const std::string& clip, const std::string& filter, const std::string& name)
    {
        const std::string out = dir_->file(name);
        EXPECT_TRUE(ffmpeg({"-i", clip, "-f", "lavfi", "-i", "anoisesrc=c=pink:a=0.03:d=6:r=48000:seed=5", "-f", "lavfi",
                            "-i", "aevalsrc=0.08*sin(2*PI*50*t)+0.04*sin(2*PI*100*t)+0.03*sin(2*PI*150*t)+0.02*sin(2*PI*"
                                  "250*t)+0.03*sin(2*PI*60*t)+0.02*sin(2*PI*180*t):d=6:s=48000",
                            "-filter_complex", filter, "-map", "0:v", "-map", "[a]", "-c:v", "copy", "-c:a", "flac", out}));
        return out;
    }

    static std::pair<json, ProcessResult> checked(std::vector<std::string> args)
    {
        const std::string json_path = dir_->file("result.json");
        args.insert(args.begin(), {"--json", json_path});
        const ProcessResult run = check(args, dir_->path());
        return {json::parse(read_file(json_path), nullptr, false), run};
    }

    static TempDir* dir_;
};

TempDir* Room::dir_ = nullptr;

struct RoomChain {
    const char* name;
    const char* filter;
};

// Echoes 20 to 150 ms late overlap each beep and each other: where some end, the rest sound on
// in another phase, and a late one is a whole weaker copy of the beep.
const RoomChain kRoomChains[] = {
    {"Echoes", "[0:a]aecho=0.8:0.6:23|41|67|110|150:0.5|0.35|0.3|0.25|0.2[a]"},
    {"StrongLateEcho", "[0:a]aecho=0.8:0.6:23|41|90:0.5|0.35|0.6[a]"},
    {"PinkNoise", "[0:a][1:a]amix=inputs=2:normalize=0[a]"},
    {"HumOf50And60HzWithHarmonics", "[0:a][2:a]amix=inputs=2:normalize=0[a]"},
    {"EchoesAndAutomaticGain", "[0:a]aecho=0.8:0.6:23|41|67|110|150:0.5|0.35|0.3|0.25|0.2,dynaudnorm=f=150:g=15[a]"},
    {"EchoesAndCompressor",
     "[0:a]aecho=0.8:0.6:23|41|67|110|150:0.5|0.35|0.3|0.25|0.2,acompressor=threshold=0.05:ratio=8:attack=1:"
     "release=50:makeup=4[a]"},
    {"AllTogether",
     "[0:a]aecho=0.8:0.6:23|41|67|110|150:0.5|0.35|0.3|0.25|0.2,highpass=f=120,lowpass=f=7000[r];[r][1:a][2:a]"
     "amix=inputs=3:normalize=0,dynaudnorm=f=150:g=15[a]"},
};

void PrintTo(const RoomChain& chain, std::ostream* out)
{
    *out << chain.name;
}

class RoomChains : public Room, public ::testing::WithParamInterface<RoomChain> {};

TEST_P(RoomChains, EveryBeepOnceWithItsDirectOnset)
{
    const double audio_delay_ms = 17.3;
    const auto [result, run] = checked({through(clip(audio_delay_ms), GetParam().filter, "room.mkv")});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    expect_design(result, audio_delay_ms);
}

INSTANTIATE_TEST_SUITE_P(Room, RoomChains, ::testing::ValuesIn(kRoomChains),
                         [](const ::testing::TestParamInfo<RoomChain>& info) { return std::string(info.param.name); });

// The sound crossed the room: delayed by ffmpeg by the distance over the speed of sound in dry
// air, 343.2 m/s at 20 °C (the default) and 331.3 m/s at 0 °C.
TEST_F(Room, MicrophoneDistanceTakesTheSoundsTravelOff)
{
    struct Case {
        double metres, travel_ms;
        std::vector<std::string> options;
        const char* line;
    } cases[] = {
        {3, 8.741, {"--mic-distance", "3"}, "Microphone 3.00 m from the screen: every beep taken 8.741 ms earlier"},
        {10, 30.184, {"--mic-distance", "10", "--temperature", "0"}, "Microphone 10.00 m from the screen: every beep taken 30.184 ms earlier"},
    };
    const double audio_delay_ms = 12;
    const std::string source = clip(audio_delay_ms);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.metres);
        const std::string heard = through(source, "[0:a]adelay=delays=" + samples_of_ms(c.travel_ms) + ":all=1[a]", "far.mkv");
        std::vector<std::string> args = c.options;
        args.push_back(heard);
        const auto [result, run] = checked(args);
        EXPECT_EQ(run.exit_code, 0) << run.err;
        expect_design(result, audio_delay_ms);
        EXPECT_NEAR(result["audio"]["travel_ms"].get<double>(), c.travel_ms, 0.0005);
        EXPECT_EQ(result["audio"]["mic_distance_m"], c.metres);
        EXPECT_NE(run.out.find(c.line), std::string::npos) << run.out;
    }
}

// A reference through a chain that delays the sound by 23 ms, then a device through the same
// chain: the chain's 23 ms come off, the device's own 40 ms stay, within half a millisecond.
TEST_F(Room, ACalibratedChainIsTakenOffEveryDelay)
{
    const double chain_ms = 23, device_ms = 40;
    const std::string chain = "[0:a]adelay=delays=" + samples_of_ms(chain_ms) + ":all=1[a]";
    const std::string reference = through(clip(0), chain, "reference.mkv");
    const ProcessResult made = check({"calibrate", reference, "--out", "chain.json"}, dir_->path());
    ASSERT_EQ(made.exit_code, 0) << made.err;
    const json calibration = json::parse(read_file(dir_->file("chain.json")), nullptr, false);
    EXPECT_EQ(calibration["version"], 1);
    EXPECT_NEAR(calibration["offset_ms"].get<double>(), chain_ms, kToleranceMs);
    EXPECT_EQ(calibration["events"].size(), size_t(kFlashes));
    EXPECT_EQ(calibration["capture_fps"], kFps);

    const std::string recording = through(clip(device_ms), chain, "device.mkv");
    const auto [result, run] =
        checked({"--calibration", "chain.json", "--csv", dir_->file("events.csv"), recording});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    expect_design(result, device_ms);
    EXPECT_NEAR(result["sync"]["median_ms"].get<double>(), device_ms, 0.5);
    for (const json& event : result["sync"]["events"])
        EXPECT_NEAR(event["raw_delay_ms"].get<double>(), event["delay_ms"].get<double>() + chain_ms, kToleranceMs);
    EXPECT_NEAR(result["calibration"]["raw_median_ms"].get<double>(), device_ms + chain_ms, kToleranceMs);
    const json& interval = result["calibration"]["median_ci95_ms"];
    EXPECT_LE(interval[0].get<double>(), result["sync"]["median_ms"].get<double>());
    EXPECT_GE(interval[1].get<double>(), result["sync"]["median_ms"].get<double>());
    EXPECT_EQ(split_lines(read_file(dir_->file("events.csv")))[0],
              "kind,flash_frame,loop,video_ms,audio_ms,delay_ms,within,raw_delay_ms");
    EXPECT_NE(run.out.find("Calibration: the chain's own offset of +23.0 ms"), std::string::npos) << run.out;
    EXPECT_EQ(result["warnings"], json::array()) << "the capture rates agree";

    // The same calibration on a capture at another frame rate: another chain, perhaps.
    ASSERT_TRUE(ffmpeg({"-i", recording, "-vf", "fps=30", "-c:v", "libx264", "-c:a", "copy", dir_->file("at30.mkv")}));
    const json at30 = checked({"--calibration", "chain.json", dir_->file("at30.mkv")}).first;
    EXPECT_EQ(at30["warnings"], json::array({"The calibration was measured on a capture at 25.000 fps, this recording "
                                             "was captured at 30.000 fps: it may not be the same capture chain"}));

    // A batch hands the calibration to each recording, from a folder of its own.
    const ProcessResult batch = check({"-q", "--out", "batch", "--calibration", "chain.json", recording}, dir_->path());
    ASSERT_EQ(batch.exit_code, 0) << batch.err;
    const json summary = json::parse(read_file(dir_->file("batch/summary.json")), nullptr, false);
    EXPECT_NEAR(summary["rows"][0]["median_ms"].get<double>(), device_ms, kToleranceMs) << summary.dump();
}

TEST_F(Room, WhatCannotCalibrateIsRefused)
{
    const std::string good = dir_->file("good.json");
    write_file(good, R"({"format": "skelv-check calibration", "version": 1, "made": "2026-01-01T00:00:00Z",
        "reference": "r.mkv", "offset_ms": 23, "offset_ci95_ms": [22.9, 23.1], "events": [{}, {}, {}]})");
    const std::string text = read_file(good);
    write_file(dir_->file("cut.json"), text.substr(0, text.size() / 2));
    std::string other = text;
    other.replace(other.find("\"version\": 1"), 12, "\"version\": 2");
    write_file(dir_->file("version2.json"), other);
    write_file(dir_->file("result.json"), R"({"file": "x.mkv", "verdict": "pass"})");
    const struct {
        const char* file;
        const char* says;
    } cases[] = {
        {"missing.json", "cannot be read"},
        {"cut.json", "not JSON"},
        {"version2.json", "calibration format version 2"},
        {"result.json", "not a calibration file"},
    };
    const std::string recording = clip(0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const ProcessResult run = check({"--calibration", c.file, recording}, dir_->path());
        EXPECT_EQ(run.exit_code, 1);
        EXPECT_NE(run.err.find(std::string("--calibration ") + c.file + ": " + c.says), std::string::npos) << run.err;
    }
    // A reference of two flashes.
    const ProcessResult made = generate({"--size", "192x144", "--duration", "2.5", "short.mkv"}, dir_->path());
    ASSERT_EQ(made.exit_code, 0) << made.err;
    const ProcessResult run = check({"calibrate", "short.mkv", "--out", "short.json"}, dir_->path());
    EXPECT_EQ(run.exit_code, 2);
    EXPECT_NE(run.err.find("has 2 lip-sync events; a calibration needs at least 3"), std::string::npos) << run.err;
    EXPECT_FALSE(std::ifstream(dir_->file("short.json")).good());
}

// The interval of a median from binomial ranks, as tables of the sign test give it.
TEST(MedianInterval, RanksOfTheBinomial)
{
    const struct {
        int count;
        double low, high, coverage;
    } cases[] = {
        {1, 1, 1, 0},
        {5, 1, 5, 1 - 2.0 / 32},
        {10, 2, 9, 1 - 2 * 11.0 / 1024},
        {20, 6, 15, 1 - 2 * 21700.0 / 1048576},
    };
    for (const auto& c : cases) {
        std::vector<double> values;
        for (int v = c.count; v >= 1; --v) // in any order
            values.push_back(v);
        const skelv::MedianInterval interval = skelv::median_interval(values);
        EXPECT_EQ(std::pair(interval.low, interval.high), std::pair(c.low, c.high)) << c.count;
        EXPECT_NEAR(interval.coverage, c.coverage, 1e-9) << c.count;
    }
}

} // namespace
