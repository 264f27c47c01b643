#include "layout.h"

#include "log.h"

#include <gst/gst.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <tuple>
#include <vector>

namespace {

struct Rgb {
    uint8_t r, g, b;
};
constexpr Rgb kBlack{0, 0, 0};
constexpr Rgb kWhite{255, 255, 255};
constexpr Rgb kRed{255, 0, 0};
const std::vector<Rgb> kBlink{kBlack, kWhite};
const std::vector<Rgb> kAntiBlink{kWhite, kBlack};
const std::vector<Rgb> kRedCyan{kRed, {0, 255, 255}};

// Black RGBx frame. Rows are padded with mid-grey, which any reader ignoring the stride
// would take for non-saturated pixels.
struct Frame {
    int32_t stride;
    std::vector<uint8_t> bytes;

    Frame(int32_t w, int32_t h) : stride(4 * w + 12), bytes(size_t(stride) * h, 128)
    {
        fill(0, 0, w, h, kBlack);
    }
    void fill(int32_t x0, int32_t y0, int32_t w, int32_t h, Rgb c)
    {
        for (int32_t y = y0; y < y0 + h; ++y)
            for (int32_t x = x0; x < x0 + w; ++x) {
                uint8_t* p = &bytes[size_t(y) * stride + 4 * size_t(x)];
                p[0] = c.r, p[1] = c.g, p[2] = c.b, p[3] = 0x55;
            }
    }
};

// A rectangle showing colours[f % size] in frame f, on black.
struct Patch {
    int32_t x, y, w, h;
    std::vector<Rgb> colours;
};

LayoutPtr accumulate(int32_t w, int32_t h, const std::vector<Patch>& patches, int frames)
{
    LayoutPtr layout(layout_new(w, h));
    for (int f = 0; f < frames; ++f) {
        Frame frame(w, h);
        for (const Patch& p : patches)
            frame.fill(p.x, p.y, p.w, p.h, p.colours[f % p.colours.size()]);
        layout_process(layout.get(), frame.bytes.data(), frame.stride);
    }
    return layout;
}

// One pixel seeing `colours` in turn.
LayoutPtr accumulate_pixel(const std::vector<Rgb>& colours)
{
    LayoutPtr layout(layout_new(1, 1));
    for (Rgb c : colours) {
        const uint8_t pixel[4] = {c.r, c.g, c.b, 0};
        layout_process(layout.get(), pixel, 4);
    }
    return layout;
}

using Box = std::array<int32_t, 4>; // left, top, right, bottom

std::vector<Box> boxes_of(const std::vector<MarkerRect>& markers)
{
    std::vector<Box> boxes;
    for (const MarkerRect& m : markers)
        boxes.push_back({m.left, m.top, m.right, m.bottom});
    return boxes;
}

// ---- per-pixel rules ----

struct PixelCase {
    const char* name;
    std::vector<Rgb> colours;
    uint8_t candidate, monochrome;
    uint32_t ref_color;
};

TEST(LayoutPixelRules, CandidateMonochromeAndReference)
{
    const PixelCase cases[] = {
        {"201 sets the class bit", {{201, 0, 0}}, 1, 0, 0x01c90000},
        {"200 does not: black 200 from the initial black", {{200, 0, 0}}, 0, 1, 0},
        {"blue 249 is non-saturated", {{10, 10, 249}}, 0, 0, 0x040a0af9},
        {"blue 250 is saturated", {{10, 10, 250}}, 1, 0, 0x040a0afa},
        {"a channel of 5 is saturated", {kWhite, {5, 128, 128}}, 1, 1, 0x00058080},
        {"no channel at 5 or less", {kWhite, {6, 128, 128}}, 0, 1, 0x00068080},
        {"first frame 32 from black", {{0, 0, 32}}, 1, 1, 0},
        {"first frame 33 from black", {{0, 0, 33}}, 0, 1, 0},
        {"drift 32 from the run's first colour", {kWhite, {255, 255, 239}, {255, 255, 223}}, 1, 1, 0x07ffffff},
        {"drift 33 from the run's first colour", {kWhite, {255, 255, 239}, {255, 255, 222}}, 0, 1, 0x07ffffff},
        {"black and white alternating", {kBlack, kWhite, kBlack, kWhite}, 1, 1, 0x07ffffff},
        {"ends on black", {kWhite, kBlack}, 1, 1, 0},
        {"constant red", {kRed, kRed, kRed}, 1, 0, 0x01ff0000},
        {"nothing changes after rejection", {{100, 100, 100}, kWhite}, 0, 1, 0},
    };
    for (const PixelCase& c : cases) {
        const LayoutPtr layout = accumulate_pixel(c.colours);
        EXPECT_EQ(layout->candidate[0], c.candidate) << c.name;
        EXPECT_EQ(layout->monochrome[0], c.monochrome) << c.name;
        EXPECT_EQ(layout->ref_color[0], c.ref_color) << c.name;
    }
}

TEST(LayoutPixelRules, CrcFoldsOneClassBytePerFrameWhileCandidate)
{
    const std::pair<std::vector<Rgb>, uint32_t> cases[] = {
        {{}, 0x01010101},
        {{kBlack}, 0xa504de1a},
        {{kWhite}, 0x3b604bb9},
        {{kBlack, kWhite}, 0xb1a1878a},
        {{{100, 100, 100}, kWhite}, 0xa504de1a},
    };
    for (const auto& [colours, crc] : cases)
        EXPECT_EQ(accumulate_pixel(colours)->crc[0], crc) << colours.size() << " frames";
}

TEST(LayoutPixelRules, ChannelRangesTouchOnlyRgbAndStopAtRejection)
{
    const LayoutPtr saturated = accumulate_pixel({{0, 255, 30}, {255, 0, 250}});
    EXPECT_EQ(saturated->channel_min, (std::vector<uint8_t>{0, 0, 30, 255}));
    EXPECT_EQ(saturated->channel_max, (std::vector<uint8_t>{255, 255, 250, 0}));

    const LayoutPtr rejected = accumulate_pixel({{100, 100, 100}, kWhite});
    EXPECT_EQ(rejected->channel_max, (std::vector<uint8_t>{100, 100, 100, 0}));
}

void collect_skelv_line(GstDebugCategory* category, GstDebugLevel, const gchar*, const gchar*, gint, GObject*,
                        GstDebugMessage* message, gpointer lines)
{
    if (category == skelv_analyzer_debug)
        static_cast<std::vector<std::string>*>(lines)->push_back(gst_debug_message_get(message));
}

TEST(LayoutPixelRules, GreyPixelLogsBothRejectionsColumnFirst)
{
    gst_init(nullptr, nullptr);
    skelv_log_init();
    std::vector<std::string> lines;
    gst_debug_remove_log_function(gst_debug_log_default);
    gst_debug_add_log_function(collect_skelv_line, &lines, nullptr);
    gst_debug_category_set_threshold(skelv_analyzer_debug, GST_LEVEL_DEBUG);

    accumulate(2, 2, {{1, 0, 1, 1, {{100, 100, 100}}}}, 1);

    gst_debug_category_set_threshold(skelv_analyzer_debug, GST_LEVEL_NONE);
    gst_debug_remove_log_function(collect_skelv_line);
    gst_debug_add_log_function(gst_debug_log_default, nullptr, nullptr);
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "Marking 1,0 as non-saturated: color #646464\n",
                         "Marking 1,0 as slowly changing: old 00000000, new 00646464\n",
                     }));
}

// ---- marker extraction ----

struct Scene {
    const char* name;
    int32_t width, height;
    std::vector<Patch> patches;
    std::vector<Box> expected;
};

TEST(LayoutMarkers, AreasBecomeBoxesInSeedOrder)
{
    const Scene scenes[] = {
        {"17 x 17 kept", 40, 40, {{2, 3, 17, 17, kBlink}}, {{2, 3, 18, 19}}},
        {"16 wide dropped", 120, 120, {{2, 2, 16, 100, kBlink}}, {}},
        {"16 high dropped", 120, 120, {{2, 2, 100, 16, kBlink}}, {}},
        {"one pixel wide frame", 1, 50, {{0, 0, 1, 50, kBlink}}, {}},
        {"one pixel high frame", 50, 1, {{0, 0, 50, 1, kBlink}}, {}},
        {"touching, different sequences",
         60, 30, {{0, 0, 20, 20, kBlink}, {20, 0, 20, 20, kAntiBlink}}, {{0, 0, 19, 19}, {20, 0, 39, 19}}},
        {"higher top row first, then further left",
         100, 60, {{27, 10, 20, 20, kBlink}, {5, 10, 20, 20, kBlink}, {50, 5, 20, 20, kBlink}},
         {{50, 5, 69, 24}, {5, 10, 24, 29}, {27, 10, 46, 29}}},
        {"constant red is background", 60, 30, {{5, 5, 20, 20, {kRed}}, {30, 5, 20, 20, kBlink}}, {{30, 5, 49, 24}}},
        {"a channel that never changed makes background",
         90, 30, {{5, 5, 20, 20, {{0, 255, 255}, kBlack}}, {35, 5, 20, 20, {{255, 0, 255}, kBlack}},
                  {65, 5, 20, 20, {{255, 255, 0}, kBlack}}}, {}},
        {"no area starts without a matching lower neighbour",
         60, 40, {{10, 10, 40, 1, kBlink}, {30, 10, 20, 20, kBlink}}, {{30, 10, 49, 29}}},
        {"no area starts without a matching right neighbour",
         60, 60, {{10, 10, 1, 40, kBlink}, {10, 30, 20, 20, kBlink}}, {{10, 30, 29, 49}}},
        {"a wider lower part joins from the left",
         60, 60, {{30, 10, 20, 20, kBlink}, {10, 30, 40, 20, kBlink}}, {{10, 10, 49, 49}}},
        // Arms seed labels 1 and 3 around label 2; the base joins 3 into 1, in 1's place.
        {"U shape",
         100, 80, {{10, 10, 20, 50, kBlink}, {50, 10, 30, 30, kBlink}, {10, 40, 60, 20, kBlink},
                   {31, 10, 17, 17, kAntiBlink}},
         {{10, 10, 79, 59}, {31, 10, 47, 26}}},
        // A bridge joins 3 into 2, then the base joins 2 into 1: the chain ends in label 1.
        {"chain of joins",
         100, 80, {{10, 10, 20, 60, kBlink}, {40, 10, 20, 60, kBlink}, {70, 10, 20, 30, kBlink},
                   {40, 30, 50, 10, kBlink}, {10, 60, 50, 10, kBlink}},
         {{10, 10, 89, 69}}},
        // Label 2 forks into two legs; the base joins the left leg to label 1. Down the right
        // leg, a pixel under a lone unlabelled pixel of the same crc clears that join.
        {"unlabelled upper neighbour clears a join",
         130, 110, {{10, 10, 20, 50, kBlink}, {50, 10, 50, 20, kBlink}, {50, 30, 20, 30, kBlink},
                    {80, 30, 20, 70, kBlink}, {10, 40, 60, 20, kBlink}, {100, 80, 20, 20, kBlink},
                    {102, 79, 1, 1, kBlink}},
         {{10, 10, 69, 59}, {50, 10, 119, 99}}},
    };
    for (const Scene& s : scenes) {
        const LayoutPtr layout = accumulate(s.width, s.height, s.patches, 2);
        EXPECT_EQ(boxes_of(layout_get_markers(layout.get())), s.expected) << s.name;
    }
}

TEST(LayoutMarkers, CarrySeedCrcAndColour)
{
    const LayoutPtr layout = accumulate(
        100, 30, {{0, 0, 20, 20, kBlink}, {30, 0, 20, 20, kBlink}, {60, 0, 20, 20, kRedCyan}}, 2);
    const std::vector<MarkerRect> markers = layout_get_markers(layout.get());
    ASSERT_EQ(markers.size(), 3u);
    EXPECT_EQ(markers[0].crc, 0xb1a1878au);
    EXPECT_EQ(markers[1].crc, 0xb1a1878au);
    EXPECT_NE(markers[2].crc, 0xb1a1878au);
    EXPECT_EQ(markers[0].colored, 0);
    EXPECT_EQ(markers[2].colored, 1);
}

TEST(LayoutMarkers, AreasAfterThe255thSeedAreNotFound)
{
    std::vector<Patch> cells;
    for (int32_t row = 0; row < 16; ++row)
        for (int32_t col = 0; col < 16; ++col)
            cells.push_back({18 * col, 18 * row, 17, 17, kBlink});
    const LayoutPtr layout = accumulate(18 * 16, 18 * 16, cells, 2);
    const std::vector<Box> boxes = boxes_of(layout_get_markers(layout.get()));
    ASSERT_EQ(boxes.size(), 255u);
    EXPECT_EQ(boxes.back(), (Box{18 * 14, 18 * 15, 18 * 14 + 16, 18 * 15 + 16}));
}

TEST(LayoutMarkers, WithoutFramesTheWholeFrameIsOneUncolouredArea)
{
    const std::tuple<int32_t, int32_t, std::vector<Box>> cases[] = {
        {17, 17, {{0, 0, 16, 16}}}, {17, 16, {}}, {16, 17, {}},
    };
    for (const auto& [w, h, expected] : cases) {
        const LayoutPtr layout(layout_new(w, h));
        const std::vector<MarkerRect> markers = layout_get_markers(layout.get());
        EXPECT_EQ(boxes_of(markers), expected) << w << "x" << h;
        for (const MarkerRect& m : markers)
            EXPECT_TRUE(m.colored == 0 && m.crc == 0x01010101u);
    }
}

TEST(LayoutMarkers, EmptyFrameSizesReadNothingAndGiveNothing)
{
    for (const auto& [w, h] : {std::pair{0, 20}, {20, 0}, {-1, 20}, {20, -1}}) {
        const LayoutPtr layout(layout_new(w, h));
        layout_process(layout.get(), nullptr, 0);
        EXPECT_TRUE(layout_get_markers(layout.get()).empty()) << w << "x" << h;
    }
}

TEST(LayoutMarkers, CrcOfZeroCountsAsOneAndRepeatedCallsAgree)
{
    const LayoutPtr layout(layout_new(20, 20));
    std::fill(layout->crc.begin(), layout->crc.end(), 0u);
    const std::vector<MarkerRect> first = layout_get_markers(layout.get());
    ASSERT_EQ(boxes_of(first), (std::vector<Box>{{0, 0, 19, 19}}));
    EXPECT_EQ(first[0].crc, 1u);
    const std::vector<MarkerRect> second = layout_get_markers(layout.get());
    EXPECT_EQ(boxes_of(second), boxes_of(first));
    EXPECT_EQ(second[0].crc, 1u);
}

// ---- frame codes ----

TEST(FrameCode, LetterOfTheCentrePixelClass)
{
    const std::pair<Rgb, char> cases[] = {
        {{201, 200, 0}, 'r'}, {{201, 201, 0}, 'y'},   {{200, 200, 200}, 'k'}, {{255, 255, 255}, 'w'},
        {{0, 255, 0}, 'g'},   {{0, 0, 255}, 'b'},     {{255, 0, 255}, 'm'},   {{0, 255, 255}, 'c'},
    };
    for (const auto& [colour, letter] : cases) {
        Frame frame(3, 3);
        frame.fill(0, 0, 3, 3, colour);
        EXPECT_EQ(frame_code_sample({{0, 0, 2, 2, 0, 1}}, frame.bytes.data(), frame.stride), std::string(1, letter));
    }
}

TEST(FrameCode, CentreRoundsDownAndFollowsListOrder)
{
    Frame frame(30, 25);
    frame.fill(18, 13, 1, 1, kWhite);
    frame.fill(0, 0, 4, 4, kRed);
    const std::vector<MarkerRect> markers{{10, 5, 27, 21, 0, 1}, {0, 0, 3, 3, 1, 2}, {18, 13, 19, 14, 0, 3}};
    EXPECT_EQ(frame_code_sample(markers, frame.bytes.data(), frame.stride), "wrw");
    EXPECT_EQ(frame_code_sample({}, frame.bytes.data(), frame.stride), "");
}

} // namespace
