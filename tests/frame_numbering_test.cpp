// Numbering captured frames: the counter's offsets, source numbers unwrapped by time, continuity.
#include "core/clip_constants.h"
#include "picture/continuity.h"
#include "picture/frame_counter.h"
#include "picture/source_numbering.h"

#include "support/design_shades.h"
#include "support/yuv_clip.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <numeric>
#include <string>
#include <tuple>

using namespace skelv;

namespace {

// Each content frame gives the offsets of the first period whose design codes look like its own:
// one for a colour frame of a clip with enough bits, several for a flash, which hides its colour.
TEST(FrameCounter, OffsetsThatLookTheSame)
{
    const struct {
        const char* name;
        int sync_half_period, bits, content;
        int32_t period;
    } cases[] = {{"default", 4, 4, 200, 48}, {"sync period 3", 3, 4, 200, 48}, {"six bits", 4, 6, 400, 192},
        {"one bit", 4, 1, 200, 24}};
    for (const auto& c : cases) {
        const ClipDesign design = make_design(5, c.content, c.sync_half_period, c.bits);
        const ClipParams& params = design.params;
        const FrameCounter counter(plan_of(design));
        EXPECT_EQ(counter.period(), c.period) << c.name;
        const int first = params.header + params.locator;
        std::vector<int32_t> residues;
        for (int offset = 0; offset < c.content; ++offset) {
            const std::string code = clip_design_code(design, first + offset);
            const bool flash = clip_design_is_flash(design, first + offset);
            std::vector<int32_t> alike;
            for (int32_t other = 0; other < c.period; ++other) {
                const std::string other_code = clip_design_code(design, first + other);
                if (code.substr(0, code.size() - 1) == other_code.substr(0, code.size() - 1) &&
                    (flash || clip::kColorCycle[other % 6] == clip::kColorCycle[offset % 6]))
                    alike.push_back(other);
            }
            const std::vector<int8_t> shades = design_shades(design, first + offset);
            EXPECT_EQ(counter.pattern(shades), flash ? FramePattern::Flash : FramePattern::Content) << c.name;
            counter.residues(shades, &residues);
            ASSERT_EQ(residues, alike) << c.name << " offset " << offset;
        }
    }
}

constexpr double kFps = 25;

const ClipDesign& design()
{
    static const ClipDesign made = make_design(5, 150);
    return made;
}

const int kContent = design().params.header + design().params.locator; ///< first content frame

// A captured frame: the design frame it shows (-1: a black screen) and when.
struct Shown {
    int frame;
    double seconds;
};

std::vector<FrameReading> number(const std::vector<Shown>& shown)
{
    SourceNumbering numbering(plan_of(design(), kFps), kFps);
    std::vector<FrameReading> readings;
    for (const Shown& s : shown)
        readings.push_back(numbering.next(std::llround(s.seconds * 1e9),
            s.frame >= 0 ? design_shades(design(), s.frame) : std::vector<int8_t>(6, kShadeBlack)));
    return readings;
}

// A black screen around the clip is no flash, though the counter could read it as one; a flash
// is placed only next to content already numbered, and only where that leads.
TEST(SourceNumbering, FlashesOnlyWhereTheCountLeads)
{
    const int frames = design().params.design_frames();
    std::vector<Shown> shown = {{-1, 0}, {-1, 0.04}};
    for (int n = 0; n < frames; ++n)
        shown.push_back({n, 0.08 + n / kFps});
    shown.push_back({-1, 0.08 + frames / kFps});
    const std::vector<FrameReading> readings = number(shown);
    EXPECT_EQ(std::tuple(readings[0].kind, readings[2].kind, readings.back().kind),
        std::tuple(FrameKind::Unknown, FrameKind::Header, FrameKind::Unknown));

    const int flash = kContent + design().params.flash_period / 2; // content offset 12
    ASSERT_TRUE(clip_design_is_flash(design(), flash));
    EXPECT_EQ(number({{kContent, 0}, {kContent + 1, 0.04}, {flash, 0.08}})[2].kind, FrameKind::Unknown); // 0.4 s early
    const FrameReading in_place = number({{kContent, 0}, {kContent + 1, 0.04}, {flash, 0.48}})[2];
    EXPECT_TRUE(in_place.kind == FrameKind::Content && in_place.flash && in_place.source == 12);
    EXPECT_EQ(number({{flash, 0}})[0].kind, FrameKind::Unknown); // nothing numbered before it
}

// Numbers past the counter's period (48 frames) come from the time between frames; a frozen
// picture resumes where it stopped.
TEST(SourceNumbering, GapsAndFreezesUnwrapByTime)
{
    std::vector<Shown> frozen;
    for (int n = 0; n < 50; ++n)
        frozen.push_back({kContent + 20, n / kFps});
    frozen.push_back({kContent + 21, 2});
    const struct {
        const char* name;
        std::vector<Shown> shown;
        std::vector<int> sources;
    } cases[] = {
        {"60 frames missing", {{kContent, 0}, {kContent + 1, 0.04}, {kContent + 62, 2.48}}, {0, 1, 62}},
        {"100 frames missing", {{kContent + 5, 0}, {kContent + 6, 0.04}, {kContent + 106, 4.04}}, {0, 1, 101}},
        {"out of order", {{kContent + 3, 0}, {kContent + 5, 0.04}, {kContent + 4, 0.08}}, {0, 2, 1}},
        {"frozen for two seconds", frozen, std::vector<int>(50, 0)},
    };
    for (const auto& c : cases) {
        std::vector<int> sources;
        for (const FrameReading& r : number(c.shown))
            sources.push_back(r.source);
        if (c.shown.size() > c.sources.size()) {
            EXPECT_EQ(sources.back(), 1) << c.name;
        }
        sources.resize(c.sources.size());
        EXPECT_EQ(sources, c.sources) << c.name;
    }
}

constexpr int kLost = -2;

// Source frame numbers of the captured frames (-1: unreadable, kLost: frames the reader never got).
ContinuityReport track(const std::vector<int>& sources)
{
    ContinuityTracker tracker;
    FrameReading frame;
    for (size_t n = 0; n < sources.size(); ++n) {
        if (sources[n] == kLost) {
            tracker.unseen();
            continue;
        }
        frame.time_ns = int64_t(n) * 40'000'000;
        frame.kind = sources[n] >= 0 ? FrameKind::Content : FrameKind::Unreadable;
        frame.source = sources[n];
        tracker.add(frame);
    }
    return tracker.finish();
}

TEST(Continuity, CountsFromTheNumbers)
{
    std::vector<int> late(100);
    std::iota(late.begin(), late.end(), 0);
    late.push_back(5);
    const struct {
        const char* name;
        std::vector<int> sources;
        int64_t shown, dropped, unresolved, repeated, out_of_order;
        std::map<int32_t, int64_t> display_counts;
    } cases[] = {
        {"a gap behind a blend", {0, 1, -1, 3, 4}, 4, 0, 1, 0, 0, {{1, 4}}},
        {"a gap where the reader lost frames", {0, 1, kLost, 4, 5, 7}, 5, 1, 2, 0, 0, {{1, 5}}},
        {"swapped", {0, 1, 3, 2, 4}, 5, 0, 0, 0, 1, {{1, 5}}},
        {"shown again later", {0, 1, 2, 1, 3}, 4, 0, 0, 1, 1, {{1, 3}, {2, 1}}},
        {"far ahead", {0, 1, 1000, 1001}, 4, 998, 0, 0, 0, {{1, 4}}},
        {"too late to count", late, 100, 0, 0, 0, 1, {{1, 100}}}, // settled before it came
    };
    for (const auto& c : cases) {
        const ContinuityReport report = track(c.sources);
        EXPECT_EQ(std::vector<int64_t>({report.shown, report.dropped, report.unresolved, report.repeated, report.out_of_order}),
            std::vector<int64_t>({c.shown, c.dropped, c.unresolved, c.repeated, c.out_of_order}))
            << c.name;
        EXPECT_EQ(report.display_counts, c.display_counts) << c.name;
    }
}

} // namespace
