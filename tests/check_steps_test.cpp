// skelv-check on a clip whose sound lost 100 ms in the middle: one step, not a drift.
#include "support/media.h"

#include <gtest/gtest.h>

namespace {

using nlohmann::json;

// The clip's design: a flash at (10 + 12 + 25 k) / 25 s, k = 0..38; the sound from 20.3 s to
// 20.4 s cut out, so the 19 beeps after it come 100 ms early.
constexpr double kCutFrom = 20.3, kCutTo = 20.4;
constexpr double kFirstAfterCutMs = 20880;
constexpr size_t kBeforeCut = 20, kAfterCut = 19;

TEST(CheckSteps, SoundCutInTheMiddleIsOneStep)
{
    TempDir dir;
    const ProcessResult made = generate({"--size", "320x240", "--duration", "40", "clip.mkv"}, dir.path());
    ASSERT_EQ(made.exit_code, 0) << made.err;
    ASSERT_TRUE(ffmpeg({"-i", dir.file("clip.mkv"), "-filter_complex",
        "[0:a]atrim=end=" + std::to_string(kCutFrom) + "[a1];[0:a]atrim=start=" + std::to_string(kCutTo) +
            ",asetpts=PTS-STARTPTS[a2];[a1][a2]concat=n=2:v=0:a=1[a]",
        "-map", "0:v", "-map", "[a]", "-c:v", "copy", "-c:a", "flac", dir.file("cut.mkv")}));
    const ProcessResult run =
        check({"--json", dir.file("cut.json"), "--html", dir.file("cut.html"), dir.file("cut.mkv")}, dir.path());
    EXPECT_EQ(run.exit_code, 4) << run.err; // 100 ms early is beyond EBU R37's 40 ms lead
    const json sync = json::parse(read_file(dir.file("cut.json")))["sync"];

    ASSERT_EQ(sync["steps"].size(), 1u) << sync["steps"];
    EXPECT_NEAR(sync["steps"][0]["size_ms"].get<double>(), -100, 2);
    EXPECT_NEAR(sync["steps"][0]["at_ms"].get<double>(), kFirstAfterCutMs, 0.5);
    const json& stretches = sync["stretches"];
    ASSERT_EQ(stretches.size(), 2u);
    EXPECT_EQ(std::pair(stretches[0]["count"], stretches[1]["count"]), std::pair(json(kBeforeCut), json(kAfterCut)));
    EXPECT_NEAR(stretches[1]["median_ms"].get<double>() - stretches[0]["median_ms"].get<double>(), -100, 2);
    for (const json& stretch : stretches)
        EXPECT_NEAR(stretch["drift_ms_per_min"].get<double>(), 0, 0.5) << stretch;
    EXPECT_EQ(sync["no_drift"], true);

    // The drift of the whole stays the least-squares slope across the step, far from none. By
    // design: 39 events a second apart, the last 19 at -100 ms: Sxy = -100 (1 + ... + 19) ms s,
    // Sxx = (39^3 - 39) / 12 s^2.
    EXPECT_NEAR(sync["drift_ms_per_min"].get<double>(), -100.0 * 190 / 4940 * 60, 2);

    const size_t line = run.out.find("\nSteps: ");
    ASSERT_NE(line, std::string::npos) << run.out;
    EXPECT_NEAR(std::stod(run.out.substr(line + 8)), -100, 2) << run.out;
    EXPECT_EQ(run.out.find(" ms at 20.880 s\n", line), run.out.find('\n', line + 1) - 15) << run.out;
    EXPECT_NE(read_file(dir.file("cut.html")).find("<path class=\"step\""), std::string::npos);
}

} // namespace
