#include "core/layout.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>
#include <tuple>
#include <vector>

namespace {

struct Rgb { uint8_t r, g, b; };
constexpr Rgb kBlack{0, 0, 0}, kWhite{255, 255, 255}, kRed{255, 0, 0}, kGrey{100, 100, 100};
const std::vector<Rgb> kBlink{kBlack, kWhite}, kAntiBlink{kWhite, kBlack};

// RGBx frame of pixels colour(x, y); mid-grey row padding reads as non-saturated if not skipped.
struct Frame {
    int32_t stride;
    std::vector<uint8_t> bytes;
    template <typename Colour>
    Frame(int32_t w, int32_t h, int32_t padding, Colour colour) : stride(4 * w + padding), bytes(size_t(stride) * h, 128)
    {
        for (int32_t y = 0; y < h; ++y)
            for (int32_t x = 0; x < w; ++x) {
                const Rgb c = colour(x, y);
                uint8_t* p = &bytes[size_t(y) * stride + 4 * size_t(x)];
                p[0] = c.r, p[1] = c.g, p[2] = c.b, p[3] = uint8_t(x + y);
            }
    }
};

// A rectangle showing colours[f % size] in frame f, on black.
struct Patch { int32_t x, y, w, h; std::vector<Rgb> colours; };

LayoutPtr accumulate(int32_t w, int32_t h, const std::vector<Patch>& patches, size_t count = 2)
{
    LayoutPtr layout(layout_new(w, h));
    for (size_t f = 0; f < count; ++f) {
        const Frame frame(w, h, 12, [&](int32_t x, int32_t y) {
            Rgb c = kBlack;
            for (const Patch& p : patches)
                if (x >= p.x && x < p.x + p.w && y >= p.y && y < p.y + p.h)
                    c = p.colours[f % p.colours.size()];
            return c;
        });
        layout_process(layout.get(), frame.bytes.data(), frame.stride);
    }
    return layout;
}

using Box = std::array<int32_t, 4>; // left, top, right, bottom

std::vector<Box> boxes(int32_t w, int32_t h, const std::vector<Patch>& patches, size_t count = 2)
{
    std::vector<Box> boxes;
    for (const MarkerRect& m : layout_get_markers(accumulate(w, h, patches, count).get()))
        boxes.push_back({m.left, m.top, m.right, m.bottom});
    return boxes;
}

// A row of 19 pixels (two vector steps and a tail); the kernels agree (below), so one stands for both.
TEST(LayoutPixel, RejectionAndMonochromeRules)
{
    // Name, colours frame by frame, candidate, monochrome.
    const std::tuple<const char*, std::vector<Rgb>, uint8_t, uint8_t> cases[] = {
        {"201 sets a class bit", {{201, 0, 0}}, 1, 0}, {"200 lies far from black", {{200, 0, 0}}, 0, 1},
        {"non-saturated", {{10, 10, 249}}, 0, 0}, {"a channel at 250 is saturated", {{10, 10, 250}}, 1, 0},
        {"5 is saturated", {kWhite, {5, 128, 128}}, 1, 1}, {"6 is not", {kWhite, {6, 128, 128}}, 0, 1},
        {"first frame 32 from black", {{0, 0, 32}}, 1, 1}, {"first frame 33 from black", {{0, 0, 33}}, 0, 1},
        // Drift from the class run's first colour.
        {"drift 32", {kWhite, {255, 255, 239}, {255, 255, 223}}, 1, 1},
        {"drift 33", {kWhite, {255, 255, 239}, {255, 255, 222}}, 0, 1},
        {"drift sums the channels", {kBlack, {16, 16, 0}, {16, 17, 0}}, 0, 1},
        {"a new class restarts the run", {kRed, {0, 255, 255}, kWhite, kBlack}, 1, 0},
    };
    for (const auto& [name, colours, candidate, monochrome] : cases) {
        const LayoutPtr layout = accumulate(19, 1, {{0, 0, 19, 1, colours}}, colours.size());
        EXPECT_EQ(std::tie(layout->candidate, layout->monochrome),
            std::tuple(std::vector<uint8_t>(19, candidate), std::vector<uint8_t>(19, monochrome))) << name;
    }
}

TEST(LayoutMarkers, AreasBecomeBoxesInSeedOrder)
{
    const std::tuple<const char*, int32_t, int32_t, std::vector<Patch>, std::vector<Box>> scenes[] = {
        {"17 x 17 kept", 40, 40, {{2, 3, 17, 17, kBlink}}, {{2, 3, 18, 19}}},
        {"16 wide dropped", 120, 120, {{2, 2, 16, 100, kBlink}}, {}},
        {"touching areas of different sequences stay apart", 60, 30,
            {{0, 0, 20, 20, kBlink}, {20, 0, 20, 20, kAntiBlink}}, {{0, 0, 19, 19}, {20, 0, 39, 19}}},
        {"separate areas of one sequence stay apart; higher top row first, then further left", 100, 60,
            {{27, 10, 20, 20, kBlink}, {5, 10, 20, 20, kBlink}, {50, 5, 20, 20, kBlink}},
            {{50, 5, 69, 24}, {5, 10, 24, 29}, {27, 10, 46, 29}}},
        {"constant colour, a channel that never changed, or rejection make background", 150, 30,
            {{5, 5, 20, 20, {kRed}}, {30, 5, 20, 20, {{0, 255, 255}, kBlack}}, {60, 5, 20, 20, {{255, 0, 255}, kBlack}},
                {90, 5, 20, 20, {{255, 255, 0}, kBlack}}, {120, 5, 20, 20, {kBlack, {16, 16, 1}}}}, {}},
        {"an area starts only where the lower neighbour matches", 60, 40,
            {{10, 10, 40, 1, kBlink}, {30, 10, 20, 20, kBlink}}, {{30, 10, 49, 29}}},
        // The pixel after the last column, the first of the next row, is no right neighbour.
        {"no area starts in the last column", 40, 45,
            {{39, 5, 1, 36, kBlink}, {20, 6, 19, 35, kBlink}, {0, 6, 1, 1, kBlink}}, {{20, 6, 38, 40}}},
        // Arms seed labels 1 and 3 around label 2; the base joins 3 into 1, in 1's place.
        {"U shape", 100, 80, {{10, 10, 20, 50, kBlink}, {50, 10, 30, 30, kBlink}, {10, 40, 60, 20, kBlink},
            {31, 10, 17, 17, kAntiBlink}}, {{10, 10, 79, 59}, {31, 10, 47, 26}}},
        // A bridge joins 3 into 2, then the base joins 2 into 1: the chain ends in label 1.
        {"chain of joins", 100, 80, {{10, 10, 20, 60, kBlink}, {40, 10, 20, 60, kBlink}, {70, 10, 20, 30, kBlink},
            {40, 30, 50, 10, kBlink}, {10, 60, 50, 10, kBlink}}, {{10, 10, 89, 69}}},
        // Label 2 forks; the base joins the left leg to label 1. Down the right leg, a pixel
        // under a lone unlabelled pixel of the same crc clears that join.
        {"unlabelled upper neighbour clears a join", 130, 110, {{10, 10, 20, 50, kBlink}, {50, 10, 50, 20, kBlink},
            {50, 30, 20, 30, kBlink}, {80, 30, 20, 70, kBlink}, {10, 40, 60, 20, kBlink}, {100, 80, 20, 20, kBlink},
            {102, 79, 1, 1, kBlink}}, {{10, 10, 69, 59}, {50, 10, 119, 99}}},
    };
    for (const auto& [name, width, height, patches, expected] : scenes)
        EXPECT_EQ(boxes(width, height, patches), expected) << name;
}

TEST(LayoutMarkers, AreasAfterThe255thSeedAreNotFound)
{
    std::vector<Patch> cells;
    for (int32_t k = 0; k < 256; ++k)
        cells.push_back({18 * (k % 16), 18 * (k / 16), 17, 17, kBlink});
    const std::vector<Box> found = boxes(18 * 16, 18 * 16, cells);
    ASSERT_EQ(found.size(), 255u);
    EXPECT_EQ(found.back(), (Box{18 * 14, 18 * 15, 18 * 14 + 16, 18 * 15 + 16}));
}

TEST(LayoutMarkers, WithoutFramesTheWholeFrameIsOneArea)
{
    EXPECT_EQ(boxes(17, 17, {}, 0), (std::vector<Box>{{0, 0, 16, 16}}));
    EXPECT_EQ(boxes(1, 50, {}, 0), std::vector<Box>{});
    const LayoutPtr layout(layout_new(17, 17));
    std::fill(layout->crc.begin(), layout->crc.end(), 0u);
    EXPECT_EQ(layout_get_markers(layout.get()).at(0).crc, 1u) << "0 is kept for the background";
}

TEST(FrameCode, LetterOfTheCentrePixelOfEachMarker)
{
    // The centre of (10, 5)-(27, 21) rounds down to (18, 13); one-pixel markers on the top row.
    const Rgb colours[] = {{201, 200, 0}, {201, 201, 0}, {0, 0, 255}, {200, 200, 200}, {255, 255, 255}};
    const Frame frame(30, 25, 12, [&](int32_t x, int32_t y) {
        return x == 18 && y == 13 ? kWhite : y == 0 && x < 5 ? colours[x] : kBlack;
    });
    std::vector<MarkerRect> markers{{10, 5, 27, 21, 0, 1}};
    for (int32_t x = 0; x < 5; ++x)
        markers.push_back({x, 0, x, 0, 0, 1});
    EXPECT_EQ(frame_code_sample(markers, frame.bytes.data(), frame.stride), "wrybkw");
    EXPECT_EQ(frame_code_sample({}, frame.bytes.data(), frame.stride), "");
}

// Pixels hold, nudge or jump among threshold values: drop-outs in every lane, at many frames and widths.
TEST(LayoutKernel, Avx2AgreesWithThePortableKernelBitForBit)
{
    if (!accumulate_avx2_available())
        GTEST_SKIP() << "this CPU has no AVX2";
    static constexpr uint8_t kValues[] = {0, 1, 5, 6, 16, 32, 33, 128, 199, 200, 201, 223, 249, 250, 251, 255};
    std::mt19937 random(20240611);
    const auto value = [&] { return kValues[random() % std::size(kValues)]; };
    const auto planes = [](const Layout& s) {
        return std::tie(s.candidate, s.monochrome, s.channel_min, s.channel_max, s.crc, s.ref_color);
    };
    for (int k = 0; k < 40; ++k) {
        const int32_t w = 1 + int32_t(random() % 100), h = 1 + int32_t(random() % 9), padding = int32_t(random() % 20);
        std::vector<Rgb> now(size_t(w) * size_t(h), kBlack);
        const LayoutPtr scalar(layout_new(w, h)), vector(layout_new(w, h));
        for (int f = 0; f < 24; ++f) {
            const Frame frame(w, h, padding, [&](int32_t x, int32_t y) {
                Rgb& c = now[size_t(y) * size_t(w) + size_t(x)];
                uint8_t& channel = *std::array{&c.r, &c.g, &c.b}[random() % 3];
                const uint32_t roll = random() % 100;
                if (roll < 10)
                    c = {value(), value(), value()};
                else if (roll < 25)
                    channel = uint8_t(std::clamp(channel + int(random() % 35) - 17, 0, 255));
                else if (roll < 35)
                    c = c.r > 128 ? kBlack : kWhite;
                return c;
            });
            accumulate_frame_scalar(layout_planes(scalar.get()), w, h, frame.bytes.data(), frame.stride, false);
            accumulate_frame_avx2(layout_planes(vector.get()), w, h, frame.bytes.data(), frame.stride);
            ASSERT_TRUE(planes(*scalar) == planes(*vector)) << w << "x" << h << ", frame " << f;
        }
    }
}

} // namespace
