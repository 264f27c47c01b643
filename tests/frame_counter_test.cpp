#include "robust/frame_counter.h"

#include "support/design_shades.h"
#include "core/clip_constants.h"
#include "support/yuv_clip.h"

#include <gtest/gtest.h>

#include <string>

namespace {

ClipParams params_with(int sync_half_period, int bits, int content = 400)
{
    ClipParams params;
    params.content = content;
    params.sync_half_period = sync_half_period;
    params.frameid_bits = bits;
    return params;
}

// The offsets of the first period that a frame's markers cannot tell from `offset`: the same
// blinking markers and, unless the frame is a flash, the same colour of the cycle.
std::vector<int32_t> look_alikes(const ClipDesign& design, int offset, int32_t period)
{
    const int first = design.params.header + design.params.locator;
    const std::string code = clip_design_code(design, first + offset);
    const bool flash = clip_design_is_flash(design, first + offset);
    std::vector<int32_t> alike;
    for (int32_t other = 0; other < period; ++other) {
        const std::string other_code = clip_design_code(design, first + other);
        const bool same_colour = clip::kColorCycle[other % 6] == clip::kColorCycle[offset % 6];
        if (code.substr(0, code.size() - 1) == other_code.substr(0, other_code.size() - 1) && (flash || same_colour))
            alike.push_back(other);
    }
    return alike;
}

// Every content frame gives back the offsets it may show, its own among them: one for a
// colour frame of a clip with enough bits, more for a flash frame, which hides its colour.
TEST(FrameCounter, ContentFramesGiveTheirOffset)
{
    const struct {
        const char* name;
        ClipParams params;
        int32_t period;
        bool unique; ///< colour frames tell every offset of the period apart
    } cases[] = {
        {"default", params_with(4, 4), 48, true},
        {"sync period 3", params_with(3, 4), 48, true},
        {"sync period 16", params_with(16, 4), 96, true},
        {"six bits", params_with(4, 6), 192, true},
        {"one bit", params_with(4, 1, 200), 24, false},
    };
    for (const auto& c : cases) {
        const ClipDesign design = make_design(c.params);
        const FrameCounter counter(plan_of(design));
        EXPECT_EQ(counter.period(), c.period) << c.name;
        std::vector<int32_t> residues;
        for (int frame = 0; frame < c.params.design_frames(); ++frame) {
            const int offset = content_offset(design, frame);
            if (offset < 0)
                continue;
            const std::vector<int8_t> shades = design_shades(design, frame);
            const bool flash = clip_design_is_flash(design, frame);
            EXPECT_EQ(counter.pattern(shades), flash ? FramePattern::Flash : FramePattern::Content) << c.name;
            counter.residues(shades, &residues);
            EXPECT_EQ(residues, look_alikes(design, offset, c.period)) << c.name << " offset " << offset;
            if (c.unique && !flash) {
                EXPECT_EQ(residues.size(), 1u) << c.name << " offset " << offset;
            }
        }
    }
}

TEST(FrameCounter, PatternsOfTheSpans)
{
    const ClipDesign design = make_design(params_with(4, 4, 100));
    const FrameCounter counter(plan_of(design));
    const ClipParams& p = design.params;
    EXPECT_EQ(counter.pattern(design_shades(design, 0)), FramePattern::White);
    EXPECT_EQ(counter.pattern(design_shades(design, p.header)), FramePattern::Locator);
    EXPECT_EQ(counter.pattern(design_shades(design, p.header + p.locator + 1)), FramePattern::Content);
    EXPECT_EQ(counter.pattern(design_shades(design, p.design_frames() - 1)), FramePattern::White);

    std::vector<int8_t> shades = design_shades(design, p.header);
    shades[0] = kShadeBlack; // sync black in a locator: no span shows that
    EXPECT_EQ(counter.pattern(shades), FramePattern::Other);
    shades = design_shades(design, p.header + p.locator + 1);
    shades[3] = kShadeUnclear;
    EXPECT_EQ(counter.pattern(shades), FramePattern::Unclear);
    shades[3] = kShadeBlack;
    shades.back() = kShadeUnclear;
    EXPECT_EQ(counter.pattern(shades), FramePattern::Unclear);
}

// Markers that cannot show together leave no offset.
TEST(FrameCounter, ContradictionsLeaveNoOffset)
{
    const ClipDesign design = make_design(params_with(4, 4, 100));
    const FrameCounter counter(plan_of(design));
    std::vector<int32_t> residues;
    const int frame = design.params.header + design.params.locator + 5;
    std::vector<int8_t> shades = design_shades(design, frame);
    shades[1] = shades[1] == kShadeBlack ? kShadeWhite : kShadeBlack; // bit 0 against the colour's parity
    counter.residues(shades, &residues);
    EXPECT_TRUE(residues.empty());
    shades = design_shades(design, frame);
    shades[0] = shades[0] == kShadeBlack ? kShadeWhite : kShadeBlack; // sync mark against bit 2
    counter.residues(shades, &residues);
    EXPECT_TRUE(residues.empty());
}

} // namespace
