#include "robust/level_model.h"

#include <gtest/gtest.h>

namespace {

Yuv grey(float y)
{
    return {y, 128, 128};
}

// Blends of black and white read as the stronger level from 70 % on, else as unclear.
TEST(LevelModel, BlendsBetweenTwoLevelsAreUnclear)
{
    const std::vector<Yuv> levels{grey(16), grey(235)};
    const struct {
        double white;
        int level;
        float margin;
    } cases[] = {{0.0, 0, 1.0f}, {0.1, 0, 0.8f}, {0.29, 0, 0.42f}, {0.35, -1, 0.3f}, {0.5, -1, 0.0f}, {0.71, 1, 0.42f}};
    for (const auto& c : cases) {
        float margin = -1;
        EXPECT_EQ(classify_level(levels, grey(float(16 + c.white * 219)), &margin), c.level) << c.white;
        EXPECT_NEAR(margin, c.margin, 0.01) << c.white;
    }
    EXPECT_EQ(classify_level({grey(16)}, grey(16)), -1); // one level tells nothing apart
}

} // namespace
