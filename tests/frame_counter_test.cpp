#include "robust/frame_counter.h"

#include "core/clip_constants.h"
#include "support/design_shades.h"
#include "support/yuv_clip.h"

#include <gtest/gtest.h>

#include <string>

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

} // namespace
