#include "robust/source_numbering.h"

#include "support/design_shades.h"
#include "support/yuv_clip.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

constexpr double kFps = 25;

ClipDesign default_design()
{
    ClipParams params;
    params.content = 150;
    return make_design(params);
}

// A captured frame: the design frame it shows, -1 for an all-black screen; when.
struct Shown {
    int frame;
    double seconds;
    bool unclear = false; ///< bit 0 half-way between its levels
};

std::vector<FrameReading> number(const ClipDesign& design, const std::vector<Shown>& shown, bool* start_seen = nullptr)
{
    SourceNumbering numbering(plan_of(design, kFps), kFps);
    std::vector<FrameReading> readings;
    for (const Shown& s : shown) {
        std::vector<int8_t> shades =
            s.frame >= 0 ? design_shades(design, s.frame) : std::vector<int8_t>(design.markers.size(), kShadeBlack);
        if (s.unclear)
            shades[1] = kShadeUnclear;
        readings.push_back(numbering.next(int64_t(std::llround(s.seconds * 1e9)), shades, 1));
    }
    if (start_seen != nullptr)
        *start_seen = numbering.content_start_seen();
    return readings;
}

FrameKind kind_of(const ClipDesign& design, int frame)
{
    const ClipParams& p = design.params;
    if (frame < p.header)
        return FrameKind::Header;
    if (frame < p.header + p.locator)
        return FrameKind::Locator;
    return content_offset(design, frame) >= 0 ? FrameKind::Content : FrameKind::Trailer;
}

// Frames shown at a capture rate: the design frame at each captured frame's time.
std::vector<Shown> capture(const ClipDesign& design, double capture_fps, int first = 0)
{
    std::vector<Shown> shown;
    for (int n = 0;; ++n) {
        const int frame = first + int(n * kFps / capture_fps + 1e-9);
        if (frame >= design.params.design_frames())
            return shown;
        shown.push_back({frame, n / capture_fps});
    }
}

// Kinds, numbers and flashes of every frame as the design and the capture imply.
TEST(SourceNumbering, EveryFrameOfACapture)
{
    const ClipDesign design = default_design();
    const struct {
        const char* name;
        double capture_fps;
        int first_frame;
    } cases[] = {
        {"as made", 25, 0}, {"repeats", 30, 0}, {"drops", 24, 0}, {"twice each", 50, 0}, {"every other", 12.5, 0},
        {"from the locator", 25, 7}, {"from mid-content", 30, 40},
    };
    for (const auto& c : cases) {
        const std::vector<Shown> shown = capture(design, c.capture_fps, c.first_frame);
        bool start_seen = false;
        const std::vector<FrameReading> readings = number(design, shown, &start_seen);
        const bool from_start = c.first_frame < design.params.header + design.params.locator;
        EXPECT_EQ(start_seen, from_start) << c.name;
        const int base = from_start ? 0 : content_offset(design, c.first_frame);
        for (size_t n = 0; n < shown.size(); ++n) {
            const int frame = shown[n].frame;
            const FrameReading& r = readings[n];
            ASSERT_EQ(r.kind, kind_of(design, frame)) << c.name << " frame " << n;
            EXPECT_EQ(r.loop, 0) << c.name;
            EXPECT_EQ(r.flash, clip_design_is_flash(design, frame)) << c.name << " frame " << n;
            const int offset = content_offset(design, frame);
            EXPECT_EQ(r.source, offset >= 0 ? offset - base : -1) << c.name << " frame " << n;
        }
    }
}

// The clip played twice: the second locator starts loop 1, numbers restart at 0. The header
// between the passes cannot be told from the trailer before it.
TEST(SourceNumbering, LoopsStartAtTheLocator)
{
    const ClipDesign design = default_design();
    const int frames = design.params.design_frames();
    std::vector<Shown> shown;
    for (int n = 0; n < 2 * frames; ++n)
        shown.push_back({n % frames, n / kFps});
    const std::vector<FrameReading> readings = number(design, shown);
    for (int n = frames; n < 2 * frames; ++n) {
        const int frame = n - frames;
        const FrameReading& r = readings[size_t(n)];
        const bool header = frame < design.params.header;
        EXPECT_EQ(r.kind, header ? FrameKind::Trailer : kind_of(design, frame)) << n;
        EXPECT_EQ(r.loop, header ? 0 : 1) << n;
        const int offset = content_offset(design, frame);
        EXPECT_EQ(r.source, offset) << n;
    }
}

TEST(SourceNumbering, ContentRightAfterTheTrailerIsANewLoop)
{
    const ClipDesign design = default_design();
    const int content_start = design.params.header + design.params.locator;
    std::vector<Shown> shown;
    double t = 0;
    for (int frame = content_start; frame < design.params.design_frames(); ++frame, t += 1 / kFps)
        shown.push_back({frame, t});
    for (int frame = content_start + 30; frame < content_start + 40; ++frame, t += 1 / kFps)
        shown.push_back({frame, t});
    const std::vector<FrameReading> readings = number(design, shown);
    // Numbered from its first frame seen: nothing showed where the content starts.
    const FrameReading& restart = readings[readings.size() - 10];
    EXPECT_EQ(restart.kind, FrameKind::Content);
    EXPECT_EQ(restart.loop, 1);
    EXPECT_EQ(restart.source, 0);
    EXPECT_EQ(readings.back().source, 9);
}

TEST(SourceNumbering, UnclearFramesAreUnreadableAndLeaveTheCountAlone)
{
    const ClipDesign design = default_design();
    std::vector<Shown> shown = capture(design, 25);
    for (size_t n = 12; n < shown.size(); n += 3)
        shown[n].unclear = true;
    const std::vector<FrameReading> readings = number(design, shown);
    for (size_t n = 12; n < shown.size(); ++n) {
        if (shown[n].unclear) {
            EXPECT_EQ(readings[n].kind, FrameKind::Unreadable) << n;
            EXPECT_EQ(readings[n].source, -1) << n;
        } else if (content_offset(design, shown[n].frame) >= 0) {
            EXPECT_EQ(readings[n].source, content_offset(design, shown[n].frame)) << n;
        }
    }
}

// A black screen before and after the clip is no flash, though the counter could read it as one.
TEST(SourceNumbering, BlackScreensAreUnknown)
{
    const ClipDesign design = default_design();
    std::vector<Shown> shown;
    double t = 0;
    for (int n = 0; n < 10; ++n, t += 1 / kFps)
        shown.push_back({-1, t});
    for (int frame = 0; frame < design.params.design_frames(); ++frame, t += 1 / kFps)
        shown.push_back({frame, t});
    for (int n = 0; n < 10; ++n, t += 1 / kFps)
        shown.push_back({-1, t});
    const std::vector<FrameReading> readings = number(design, shown);
    for (size_t n : {size_t(0), size_t(9), readings.size() - 10, readings.size() - 1}) {
        EXPECT_EQ(readings[n].kind, FrameKind::Unknown) << n;
        EXPECT_FALSE(readings[n].flash) << n;
    }
    EXPECT_EQ(readings[10].kind, FrameKind::Header);
}

// One frame shown `count` times, then the two after it.
std::vector<Shown> frozen(int frame, int count)
{
    std::vector<Shown> shown;
    for (int n = 0; n < count; ++n)
        shown.push_back({frame, n / kFps});
    shown.push_back({frame + 1, count / kFps});
    shown.push_back({frame + 2, (count + 1) / kFps});
    return shown;
}

// Numbers past the counter's period (48 frames) come from the time between frames; a frozen
// picture resumes where it stopped.
TEST(SourceNumbering, GapsAndFreezesUnwrapByTime)
{
    const ClipDesign design = default_design();
    const int first = design.params.header + design.params.locator;
    const struct {
        const char* name;
        std::vector<Shown> shown;
        std::vector<int> sources;
    } cases[] = {
        {"a gap of 60 frames",
            {{first, 0}, {first + 1, 0.04}, {first + 2, 0.08}, {first + 62, 2.48}, {first + 63, 2.52}},
            {0, 1, 2, 62, 63}},
        {"a gap of 100 frames",
            {{first + 5, 0}, {first + 6, 0.04}, {first + 106, 4.04}, {first + 107, 4.08}},
            {0, 1, 101, 102}},
        {"frozen for two seconds", frozen(first + 20, 50), {0, 0, 0, 0, 0}},
        {"out of order", {{first + 3, 0}, {first + 5, 0.04}, {first + 4, 0.08}, {first + 6, 0.12}}, {0, 2, 1, 3}},
    };
    for (const auto& c : cases) {
        const std::vector<FrameReading> readings = number(design, c.shown);
        for (size_t n = 0; n < c.sources.size(); ++n)
            EXPECT_EQ(readings[n].source, c.sources[n]) << c.name << " frame " << n;
        if (c.shown.size() > c.sources.size()) { // the freeze: each frame after it
            EXPECT_EQ(readings[readings.size() - 2].source, 1) << c.name;
            EXPECT_EQ(readings.back().source, 2) << c.name;
        }
    }
}

TEST(SourceNumbering, AFlashFarFromWhereTheCountLeadsIsUnknown)
{
    const ClipDesign design = default_design();
    const int first = design.params.header + design.params.locator;
    const int flash = first + design.params.flash_period / 2; // content offset 12
    ASSERT_TRUE(clip_design_is_flash(design, flash));
    // The flash comes 0.4 s early: ten frames from where the frames before lead.
    const std::vector<FrameReading> readings = number(design, {{first, 0}, {first + 1, 0.04}, {flash, 0.08}});
    EXPECT_EQ(readings[2].kind, FrameKind::Unknown);
    // In place it is read.
    const std::vector<FrameReading> in_place = number(design, {{first, 0}, {first + 1, 0.04}, {flash, 0.48}});
    EXPECT_EQ(in_place[2].kind, FrameKind::Content);
    EXPECT_TRUE(in_place[2].flash);
    EXPECT_EQ(in_place[2].source, 12);
    // A recording that starts on a flash cannot place it.
    EXPECT_EQ(number(design, {{flash, 0}})[0].kind, FrameKind::Unknown);
}

} // namespace
