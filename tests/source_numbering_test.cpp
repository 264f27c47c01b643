#include "robust/source_numbering.h"

#include "support/design_shades.h"
#include "support/yuv_clip.h"

#include <gtest/gtest.h>

#include <cmath>
#include <tuple>

namespace {

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
            s.frame >= 0 ? design_shades(design(), s.frame) : std::vector<int8_t>(6, kShadeBlack), 1));
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

} // namespace
