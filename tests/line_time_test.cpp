// The rolling shutter's line time fitted to edges made here from a camera and a screen of known
// timing: the screen changes source frame at t0 + s / 25 s on a drifting clock, the camera's
// row y of frame n is exposed at start + n / fps + y * line time, and every change that falls
// while the camera's rows pass the marker band is an edge at the row it fell on.
#include "picture/line_time.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

using namespace skelv;

namespace {

constexpr double kSourceFps = 25;
constexpr double kBandTop = 16, kBandRows = 32; // the markers' rows in the camera's picture
constexpr int32_t kHeight = 240;

struct Scene {
    double camera_fps = 59;
    double line_ns = 66'000;
    double start_ns = 3'100'000;    ///< the camera's first frame, on the recording's clock
    double t0_ns = 21'000'000;      ///< the screen's content frame 0
    double drift = 80e-6;           ///< the screen's clock runs this much fast
    double seconds = 20;
    int loops = 1;                  ///< the clip played again after a pause of `loop_pause_ns`
    double loop_pause_ns = 417'000'000;
    double row_noise = 0.3;         ///< rows: how well a frame's mix tells the edge
    double time_step_ns = 0;        ///< frame times rounded to this (a container's precision)
    double time_jitter_ns = 0;      ///< frame times off by this much (standard deviation)
    int misreads = 0;               ///< edges at rows unrelated to their time
    bool rows_upward = false;       ///< the edge moves up the picture in later frames
};

// A frame's time as the recording holds it, before any jitter.
int64_t stamp_ns(const Scene& scene, double time_ns)
{
    return std::llround(scene.time_step_ns > 0 ? std::round(time_ns / scene.time_step_ns) * scene.time_step_ns : time_ns);
}

std::vector<ShutterEdge> edges_of(const Scene& scene)
{
    std::mt19937 random(7);
    std::normal_distribution<double> row_noise(0, scene.row_noise), jitter(0, scene.time_jitter_ns);
    std::uniform_real_distribution<double> anywhere(kBandTop, kBandTop + kBandRows);
    std::vector<ShutterEdge> edges;
    const double period_ns = 1e9 / scene.camera_fps, loop_frames = scene.seconds * kSourceFps;
    for (int loop = 0; loop < scene.loops; ++loop) {
        const double loop_start_ns = scene.t0_ns + loop * (loop_frames * 1e9 / kSourceFps + scene.loop_pause_ns);
        for (int s = 1; s < int(loop_frames); ++s) {
            const double change_ns = loop_start_ns + s * 1e9 / kSourceFps * (1 + scene.drift);
            const double latest = std::floor((change_ns - scene.start_ns) / period_ns);
            for (double n : {latest - 1, latest}) {
                const double time_ns = scene.start_ns + n * period_ns;
                double row = (change_ns - time_ns) / scene.line_ns;
                if (scene.rows_upward)
                    row = 2 * kBandTop + kBandRows - row;
                if (row <= kBandTop || row >= kBandTop + kBandRows)
                    continue;
                const int64_t stamp = stamp_ns(scene, time_ns) + std::llround(jitter(random));
                edges.push_back({stamp, loop, s, row + row_noise(random)});
            }
        }
    }
    for (int m = 0; m < scene.misreads; ++m)
        edges[size_t(m * 3 + 1) % edges.size()].row = anywhere(random);
    return edges;
}

// Every frame the camera took while the clip played.
ShutterFrames frames_of(const Scene& scene)
{
    ShutterFrames frames{kSourceFps, scene.camera_fps, kHeight, {}};
    const double end_ns = scene.t0_ns + scene.loops * (scene.seconds * 1e9 + scene.loop_pause_ns);
    for (int n = 0; scene.start_ns + n * 1e9 / scene.camera_fps < end_ns; ++n)
        frames.frame_times.push_back(stamp_ns(scene, scene.start_ns + n * 1e9 / scene.camera_fps));
    return frames;
}

LineTimeEstimate estimated(const Scene& scene)
{
    return estimate_line_time(edges_of(scene), frames_of(scene));
}

TEST(LineTime, TheFitFindsTheCamerasLineTime)
{
    const struct {
        const char* name;
        Scene scene;
        double tolerance_share; ///< of the line time
    } cases[] = {
        {"59 fps", {}, 0.01},
        {"61 fps, 30 us a row", {.camera_fps = 61, .line_ns = 30'000}, 0.01},
        {"240 fps, 12 us a row", {.camera_fps = 240, .line_ns = 12'000, .seconds = 8}, 0.02},
        {"the clip played three times, a pause between", {.seconds = 8, .loops = 3}, 0.01},
        {"no drift", {.drift = 0}, 0.01},
        {"the screen's clock slow", {.drift = -150e-6}, 0.01},
        {"frame times in 90 kHz ticks", {.time_step_ns = 1e9 / 90'000}, 0.01},
        {"a few misread frames", {.misreads = 3}, 0.02},
        // Matroska's: each edge's frame timed from its neighbours'.
        {"frame times to the millisecond", {.time_step_ns = 1'000'000}, 0.03},
        {"a minute of frame times to the millisecond", {.seconds = 60, .time_step_ns = 1'000'000}, 0.02},
    };
    for (const auto& c : cases) {
        const LineTimeEstimate e = estimated(c.scene);
        ASSERT_TRUE(e.measured) << c.name << ": " << e.why;
        EXPECT_NEAR(e.line_time_ns, c.scene.line_ns, c.tolerance_share * c.scene.line_ns) << c.name;
        // The standard error is honest: the truth lies within a few of it.
        EXPECT_LE(std::fabs(e.line_time_ns - c.scene.line_ns), 4 * e.uncertainty_ns + 50) << c.name;
        EXPECT_LE(e.edges_fitted, e.edges) << c.name;
        EXPECT_GE(e.edges_fitted + size_t(c.scene.misreads), e.edges) << c.name;
        EXPECT_GT(e.row_spread, 3) << c.name;
    }
}

TEST(LineTime, NoLineTimeIsMadeUp)
{
    const struct {
        const char* name;
        Scene scene;
        const char* why; ///< in the reason
    } cases[] = {
        {"a second of recording", {.seconds = 1}, "only "},
        // 50 fps to the screen's 25: every change falls on the same row.
        {"a camera locked to the clip's rate", {.camera_fps = 50, .line_ns = 30'000, .start_ns = 20'500'000, .drift = 0},
         "the frames caught the screen changing at nearly one row"},
        {"the edge moving up", {.rows_upward = true}, "the change does not move down the picture"},
        {"frame times 2 ms astray", {.time_jitter_ns = 2e6}, "the frames scatter too far"},
        // 66 us over 240 rows is 15.8 ms: at 71 fps a frame lasts 14.1 ms.
        {"a readout longer than a frame", {.camera_fps = 71},
         " \u00b5s a row would read the frame's rows for longer than a frame lasts"},
    };
    for (const auto& c : cases) {
        const std::vector<ShutterEdge> edges = edges_of(c.scene);
        const LineTimeEstimate e = estimate_line_time(edges, frames_of(c.scene));
        EXPECT_FALSE(e.measured) << c.name << ": " << e.line_time_ns;
        EXPECT_NE(e.why.find(c.why), std::string::npos) << c.name << ": " << e.why;
        EXPECT_EQ(e.edges, edges.size()) << c.name;
    }
    EXPECT_EQ(estimate_line_time({}, {kSourceFps, 59, kHeight, {}}).why,
              "only 0 frames caught the screen changing inside the markers, 8 are needed");
}

// A column of 14 rows of the markers' band, as a frame caught mid-change shows it.
TEST(LineTime, TheEdgesRowIsWhereEachFrameHasHalf)
{
    // The earlier frame's share in each row, row y spanning [y, y + 1): one half at `edge`, and
    // a ramp from 1 to 0 over `ramp_rows` when the exposure lasts that many rows' readout.
    const auto column = [](double edge, double ramp_rows) {
        std::vector<float> shares;
        for (int y = 0; y < 14; ++y) {
            // The share averaged over the row: 1 above the ramp, 0 below, linear within.
            double sum = 0;
            for (int step = 0; step < 100; ++step) {
                const double at = y + (step + 0.5) / 100;
                sum += ramp_rows > 0 ? std::clamp(0.5 - (at - edge) / ramp_rows, 0.0, 1.0) : at < edge;
            }
            shares.push_back(float(sum / 100));
        }
        return shares;
    };
    const struct {
        const char* name;
        double edge, ramp_rows;
    } cases[] = {
        {"a sharp edge within a row", 5.3, 0},
        {"a sharp edge on a row's border", 9, 0},
        {"an exposure of 3 rows' readout", 6.6, 3},
        {"an exposure of 40 rows' readout", 7.8, 40},
        {"a long exposure near the top", 2.2, 40},
        {"a long exposure near the bottom", 11.4, 25},
    };
    for (const auto& c : cases) {
        const std::optional<double> row = half_share_row(column(c.edge, c.ramp_rows));
        ASSERT_TRUE(row) << c.name;
        // The shares come a row at a time: a ramp's crossing is known to a few hundredths of a row.
        EXPECT_NEAR(*row, c.edge, 0.05) << c.name;
    }
    // Its half outside the column: above, below, or no change at all.
    for (const double edge : {-0.5, 14.5, 40.0})
        EXPECT_FALSE(half_share_row(column(edge, 20))) << edge;
    EXPECT_FALSE(half_share_row({}));
}

} // namespace
