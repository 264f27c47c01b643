#include "robust/level_model.h"

#include <gtest/gtest.h>

namespace {

Yuv grey(float y)
{
    return {y, 128, 128};
}

TEST(LevelModel, DensestCentreIgnoresScatteredSamples)
{
    // Five samples around 40, four blends spread between 40 and 200.
    const std::vector<Yuv> samples{grey(39), grey(40), grey(41), grey(40), grey(40), grey(80), grey(120), grey(160),
        grey(200)};
    int members = 0;
    const Yuv centre = densest_centre(samples, 3, &members);
    EXPECT_EQ(members, 5);
    EXPECT_FLOAT_EQ(centre.y, 40);
    EXPECT_FLOAT_EQ(centre.u, 128);
    densest_centre({}, 3, &members);
    EXPECT_EQ(members, 0);
}

// Blends of black (16) and white (235): the stronger level when its weight is at least 70 %.
TEST(LevelModel, BlendsBetweenTwoLevelsAreUnclear)
{
    const std::vector<Yuv> levels{grey(16), grey(235)};
    const struct {
        double white_weight;
        int level;
        float margin;
    } cases[] = {
        {0.0, 0, 1.0f}, {0.1, 0, 0.8f}, {0.29, 0, 0.42f}, {0.35, -1, 0.3f}, {0.5, -1, 0.0f}, {0.65, -1, 0.3f},
        {0.71, 1, 0.42f}, {1.0, 1, 1.0f},
    };
    for (const auto& c : cases) {
        float margin = -1;
        const float y = float(16 + c.white_weight * 219);
        EXPECT_EQ(classify_level(levels, grey(y), &margin), c.level) << c.white_weight;
        EXPECT_NEAR(margin, c.margin, 0.01) << c.white_weight;
    }
}

// Each centre's reach scales with the distance to its nearest neighbour, in all three channels.
TEST(LevelModel, ReachFollowsTheNearestOtherCentre)
{
    const std::vector<Yuv> levels{{16, 128, 128}, {235, 128, 128}, {81, 90, 240}, {81, 110, 220}};
    // Centres 2 and 3 lie 28.3 apart: 8 away from 2 is still 2, 10 away is unclear.
    EXPECT_EQ(classify_level(levels, {81, 90 + 5.6f, 240 - 5.6f}), 2);
    EXPECT_EQ(classify_level(levels, {81, 90 + 7.1f, 240 - 7.1f}), -1);
    // Black's nearest other centre is colour 3, 114 away: 32 off still reads black, 36 not.
    EXPECT_EQ(classify_level(levels, {16, 128 + 32, 128}), 0);
    EXPECT_EQ(classify_level(levels, {16, 128 + 36, 128}), -1);
    EXPECT_EQ(classify_level({grey(16)}, grey(16)), -1); // a single level tells nothing apart
}

TEST(LevelModel, QuantileByNearestRank)
{
    const std::vector<float> values{5, 1, 4, 2, 3};
    EXPECT_EQ(quantile(values, 0), 1);
    EXPECT_EQ(quantile(values, 0.5f), 3);
    EXPECT_EQ(quantile(values, 1), 5);
    EXPECT_EQ(quantile({}, 0.5f), 0);
}

} // namespace
