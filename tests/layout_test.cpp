#include "layout.h"

#include "log.h"

#include <gst/gst.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <random>
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

// Collects the category's lines at DEBUG level while it lives, instead of printing them.
class DebugLines {
public:
    DebugLines()
    {
        gst_init(nullptr, nullptr);
        skelv_log_init();
        gst_debug_remove_log_function(gst_debug_log_default);
        gst_debug_add_log_function(collect_skelv_line, &lines, nullptr);
        gst_debug_category_set_threshold(skelv_analyzer_debug, GST_LEVEL_DEBUG);
    }
    ~DebugLines()
    {
        gst_debug_category_set_threshold(skelv_analyzer_debug, GST_LEVEL_NONE);
        gst_debug_remove_log_function(collect_skelv_line);
        gst_debug_add_log_function(gst_debug_log_default, nullptr, nullptr);
    }
    DebugLines(const DebugLines&) = delete;
    DebugLines& operator=(const DebugLines&) = delete;

    std::vector<std::string> lines;
};

TEST(LayoutPixelRules, GreyPixelLogsBothRejectionsColumnFirst)
{
    std::vector<std::string> lines;
    {
        DebugLines debug;
        accumulate(2, 2, {{1, 0, 1, 1, {{100, 100, 100}}}}, 1);
        lines = debug.lines;
    }
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

// ---- optimised kernels against a plain model ----

// The accumulator and the marker extraction written out pixel by pixel from their rules,
// with zlib's crc32 and a full label image: what the kernels must reproduce bit for bit.
struct PlainLayout {
    int32_t width, height;
    std::vector<uint8_t> candidate, monochrome, channel_min, channel_max;
    std::vector<uint32_t> crc, ref_color;
    std::vector<std::string> log; ///< the DEBUG lines due, in order
    size_t folded_labels = 0;     ///< labels merged into a smaller one by markers()

    PlainLayout(int32_t w, int32_t h)
        : width(w), height(h), candidate(size_t(w) * h, 1), monochrome(size_t(w) * h, 1),
          channel_min(4 * size_t(w) * h, 255), channel_max(4 * size_t(w) * h, 0), crc(size_t(w) * h, 0x01010101),
          ref_color(size_t(w) * h, 0)
    {
    }

    template <typename... Args> void note(const char* format, Args... args)
    {
        char line[128];
        std::snprintf(line, sizeof line, format, args...);
        log.emplace_back(line);
    }

    void process(const uint8_t* data, int32_t stride)
    {
        for (int32_t y = 0; y < height; ++y)
            for (int32_t x = 0; x < width; ++x) {
                const size_t i = size_t(y) * width + x;
                if (!candidate[i])
                    continue;
                const uint8_t* p = data + ptrdiff_t(y) * stride + 4 * x;
                int lo = 255, hi = 0;
                for (size_t c = 0; c < 3; ++c) {
                    channel_min[4 * i + c] = std::min(channel_min[4 * i + c], p[c]);
                    channel_max[4 * i + c] = std::max(channel_max[4 * i + c], p[c]);
                    lo = std::min<int>(lo, p[c]);
                    hi = std::max<int>(hi, p[c]);
                }
                const uint8_t cls = uint8_t((p[0] > 200) | (p[1] > 200) << 1 | (p[2] > 200) << 2);
                if (hi < 250 && lo > 5) {
                    note("Marking %d,%d as non-saturated: color #%02x%02x%02x\n", x, y, p[0], p[1], p[2]);
                    candidate[i] = 0;
                }
                crc[i] = uint32_t(crc32(crc[i], &cls, 1));
                if (cls != 0 && cls != 7)
                    monochrome[i] = 0;
                const uint32_t word = uint32_t(cls) << 24 | uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
                const uint32_t ref = ref_color[i];
                if (ref >> 24 != cls) {
                    ref_color[i] = word;
                } else if (std::abs(p[0] - int(ref >> 16 & 0xff)) + std::abs(p[1] - int(ref >> 8 & 0xff)) +
                               std::abs(p[2] - int(ref & 0xff)) >
                           32) {
                    note("Marking %d,%d as slowly changing: old %08x, new %08x\n", x, y, ref, word);
                    candidate[i] = 0;
                }
            }
    }

    std::vector<MarkerRect> markers()
    {
        const size_t n = crc.size();
        for (size_t i = 0; i < n; ++i) {
            if (crc[i] == 0)
                crc[i] = 1;
            const uint8_t* lo = &channel_min[4 * i];
            const uint8_t* hi = &channel_max[4 * i];
            if (!candidate[i] || lo[0] == hi[0] || lo[1] == hi[1] || lo[2] == hi[2])
                crc[i] = 0;
        }
        std::vector<uint8_t> label(n, 0);
        std::array<uint8_t, 256> merge{};
        std::vector<MarkerRect> areas;
        const auto at = [&](int32_t x, int32_t y) -> uint32_t {
            return x < 0 || y < 0 || x >= width || y >= height ? 0 : crc[size_t(y) * width + x];
        };
        for (int32_t y = 0; y < height; ++y)
            for (int32_t x = 0; x < width; ++x) {
                const size_t i = size_t(y) * width + x;
                const uint32_t a = crc[i];
                if (a == 0)
                    continue;
                uint8_t g = 0;
                if (a == at(x - 1, y) && a == at(x, y - 1)) {
                    const uint8_t l = label[i - 1], u = label[i - width];
                    if (l != u)
                        merge[std::max(l, u)] = std::min(l, u);
                    g = std::min(l, u);
                } else if (a == at(x - 1, y)) {
                    g = label[i - 1];
                } else if (a == at(x, y - 1)) {
                    g = label[i - width];
                }
                if (g != 0) {
                    MarkerRect& box = areas[g - 1];
                    box.left = std::min(box.left, x), box.top = std::min(box.top, y);
                    box.right = std::max(box.right, x), box.bottom = std::max(box.bottom, y);
                    label[i] = g;
                } else if (areas.size() < 255 && a == at(x + 1, y) && a == at(x, y + 1)) {
                    areas.push_back({x, y, x, y, uint8_t(monochrome[i] ? 0 : 1), a});
                    label[i] = uint8_t(areas.size());
                }
            }
        for (size_t l = areas.size(); l >= 1; --l) {
            if (merge[l] == 0)
                continue;
            ++folded_labels;
            MarkerRect& into = areas[merge[l] - 1];
            const MarkerRect& from = areas[l - 1];
            into.left = std::min(into.left, from.left), into.top = std::min(into.top, from.top);
            into.right = std::max(into.right, from.right), into.bottom = std::max(into.bottom, from.bottom);
            areas.erase(areas.begin() + ptrdiff_t(l - 1));
        }
        std::erase_if(areas, [](const MarkerRect& m) { return m.right - m.left <= 15 || m.bottom - m.top <= 15; });
        return areas;
    }
};

// Names the first entry where a plane of the layout differs from the model's.
template <typename T>
::testing::AssertionResult same_plane(const char* name, const std::vector<T>& got, const std::vector<T>& want)
{
    if (got.size() != want.size())
        return ::testing::AssertionFailure() << name << ": " << got.size() << " entries, expected " << want.size();
    for (size_t i = 0; i < got.size(); ++i)
        if (got[i] != want[i])
            return ::testing::AssertionFailure()
                   << name << "[" << i << "] is " << uint64_t(got[i]) << ", expected " << uint64_t(want[i]);
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult same_state(const Layout& got, const PlainLayout& want)
{
    for (auto result : {same_plane("candidate", got.candidate, want.candidate),
                        same_plane("monochrome", got.monochrome, want.monochrome),
                        same_plane("channel_min", got.channel_min, want.channel_min),
                        same_plane("channel_max", got.channel_max, want.channel_max),
                        same_plane("crc", got.crc, want.crc), same_plane("ref_color", got.ref_color, want.ref_color)})
        if (!result)
            return result;
    return ::testing::AssertionSuccess();
}

using MarkerFields = std::tuple<int32_t, int32_t, int32_t, int32_t, uint8_t, uint32_t>;

std::vector<MarkerFields> fields_of(const std::vector<MarkerRect>& markers)
{
    std::vector<MarkerFields> fields;
    for (const MarkerRect& m : markers)
        fields.emplace_back(m.left, m.top, m.right, m.bottom, m.colored, m.crc);
    return fields;
}

TEST(LayoutCrc, TableStepEqualsZlibForEveryByteAndManyStates)
{
    std::mt19937 random(7);
    std::vector<uint32_t> states{0, 1, 0x01010101, 0x80000000, 0xffffffff, 0xa504de1a};
    for (int k = 0; k < 2000; ++k)
        states.push_back(uint32_t(random()));
    for (uint32_t state : states)
        for (uint32_t b = 0; b < 256; ++b) {
            const uint8_t byte = uint8_t(b);
            ASSERT_EQ(crc32_byte(state, byte), uint32_t(crc32(state, &byte, 1)))
                << std::hex << "state " << state << ", byte " << b;
        }
}

// A clip: frames of one size and stride, with the padding past each row mid-grey.
struct Clip {
    std::string name;
    int32_t width, height, stride;
    std::vector<std::vector<uint8_t>> frames;

    Clip(std::string n, int32_t w, int32_t h, int32_t padding) : name(std::move(n)), width(w), height(h),
                                                                 stride(4 * w + padding) {}
    // A new frame with every pixel from colour(x, y).
    template <typename F> void add(F colour)
    {
        std::vector<uint8_t>& f = frames.emplace_back(size_t(stride) * height, 128);
        for (int32_t y = 0; y < height; ++y)
            for (int32_t x = 0; x < width; ++x) {
                const Rgb c = colour(x, y);
                uint8_t* p = &f[size_t(y) * stride + 4 * size_t(x)];
                p[0] = c.r, p[1] = c.g, p[2] = c.b, p[3] = uint8_t(x * 7 + y);
            }
    }
};

// Per-pixel sequences around every threshold, one per pixel, shifted from row to row so
// that each sequence meets every lane of a vector step.
Clip threshold_clip(int32_t w, int32_t h)
{
    const std::vector<std::vector<Rgb>> scripts = {
        {{201, 0, 0}},
        {{200, 0, 0}},
        {{10, 10, 249}},
        {{10, 10, 250}},
        {{6, 6, 6}},
        {{5, 249, 249}},
        {{250, 5, 250}},
        {kWhite, {5, 128, 128}},
        {kWhite, {6, 128, 128}},
        {{0, 0, 32}},
        {{0, 0, 33}},
        {kWhite, {255, 255, 239}, {255, 255, 223}},
        {kWhite, {255, 255, 239}, {255, 255, 222}},
        {kBlack, {16, 16, 0}, {16, 0, 16}},
        {kBlack, {16, 16, 0}, {16, 17, 0}},
        {kBlack, kWhite},
        {kRed},
        {{100, 100, 100}, kWhite},
        {kRed, {0, 255, 255}, {201, 201, 201}, {200, 200, 200}},
        {{255, 0, 0}, {223, 0, 10}, {255, 0, 0}, {222, 0, 11}},
    };
    Clip clip("thresholds " + std::to_string(w) + "x" + std::to_string(h), w, h, 4);
    for (size_t f = 0; f < 8; ++f)
        clip.add([&](int32_t x, int32_t y) {
            const std::vector<Rgb>& script = scripts[size_t(x + 3 * y) % scripts.size()];
            return script[std::min(f, script.size() - 1)];
        });
    return clip;
}

// Channels from values at and around the thresholds, each pixel holding its colour for a
// while, nudging it, or jumping: pixels drop out at all sorts of frames.
Clip palette_clip(std::mt19937& random, int32_t w, int32_t h, int32_t padding, int frames)
{
    static constexpr uint8_t kValues[] = {0,   1,   5,   6,   16,  27,  32,  33,  100, 128,
                                          199, 200, 201, 223, 224, 249, 250, 251, 254, 255};
    const auto value = [&] { return kValues[random() % std::size(kValues)]; };
    std::vector<Rgb> now(size_t(w) * h);
    for (Rgb& c : now)
        c = random() % 2 ? kBlack : kWhite;
    Clip clip("palette " + std::to_string(w) + "x" + std::to_string(h) + "+" + std::to_string(padding), w, h, padding);
    for (int f = 0; f < frames; ++f) {
        for (Rgb& c : now) {
            const uint32_t roll = random() % 100;
            if (roll < 10) {
                c = {value(), value(), value()};
            } else if (roll < 25) {
                const uint32_t which = random() % 3;
                uint8_t& channel = which == 0 ? c.r : which == 1 ? c.g : c.b;
                channel = uint8_t(std::clamp(int(channel) + int(random() % 35) - 17, 0, 255));
            } else if (roll < 35) {
                c = c.r > 128 ? kBlack : kWhite;
            }
        }
        clip.add([&](int32_t x, int32_t y) { return now[size_t(y) * w + x]; });
    }
    return clip;
}

// Every byte random: nearly everything drops out in the first frames.
Clip random_clip(std::mt19937& random, int32_t w, int32_t h, int32_t padding)
{
    Clip clip("random " + std::to_string(w) + "x" + std::to_string(h), w, h, padding);
    for (int f = 0; f < 3; ++f)
        clip.add([&](int32_t, int32_t) { return Rgb{uint8_t(random()), uint8_t(random()), uint8_t(random())}; });
    return clip;
}

// Nothing ever drops out: whole frames alternating black and white, or black with noise
// of at most 32 in sum.
Clip blink_clip(int32_t w, int32_t h)
{
    Clip clip("blink " + std::to_string(w) + "x" + std::to_string(h), w, h, 16);
    for (int f = 0; f < 6; ++f)
        clip.add([&](int32_t, int32_t) { return f % 2 ? kWhite : kBlack; });
    return clip;
}

Clip black_noise_clip(std::mt19937& random, int32_t w, int32_t h)
{
    Clip clip("black noise " + std::to_string(w) + "x" + std::to_string(h), w, h, 8);
    for (int f = 0; f < 6; ++f)
        clip.add([&](int32_t, int32_t) {
            const uint8_t r = uint8_t(random() % 33);
            const uint8_t g = uint8_t(random() % (33 - r));
            return Rgb{r, g, uint8_t(random() % (33 - r - g))};
        });
    return clip;
}

// Patches of random size and sequence on a background that stays (black) or drops out
// (grey): areas that touch, merge, stay apart, or are too small.
Clip patch_clip(std::mt19937& random, int32_t w, int32_t h, int patches)
{
    const std::vector<std::vector<Rgb>> sequences = {kBlink, kAntiBlink, kRedCyan, {kRed, kBlack}, {kWhite, kWhite}};
    const Rgb background = random() % 2 ? kBlack : Rgb{128, 128, 128};
    struct Placed {
        int32_t x, y, w, h;
        const std::vector<Rgb>* sequence;
    };
    std::vector<Placed> placed;
    for (int k = 0; k < patches; ++k) {
        const int32_t pw = 1 + int32_t(random() % 60), ph = 1 + int32_t(random() % 60);
        placed.push_back({int32_t(random() % uint32_t(w)), int32_t(random() % uint32_t(h)), pw, ph,
                          &sequences[random() % sequences.size()]});
    }
    Clip clip("patches " + std::to_string(w) + "x" + std::to_string(h), w, h, 12);
    for (size_t f = 0; f < 4; ++f)
        clip.add([&](int32_t x, int32_t y) {
            Rgb c = background;
            for (const Placed& p : placed)
                if (x >= p.x && x < p.x + p.w && y >= p.y && y < p.y + p.h)
                    c = (*p.sequence)[f % p.sequence->size()];
            return c;
        });
    return clip;
}

// Areas against the right edge whose row-major successor, the first pixel of the next
// row, carries the same sequence: an area must not start in the last column.
Clip right_edge_clip()
{
    const int32_t w = 40, h = 45;
    Clip clip("right edge", w, h, 4);
    for (size_t f = 0; f < 4; ++f)
        clip.add([&](int32_t x, int32_t y) {
            const bool column = x == w - 1 && y >= 5 && y <= 40;
            const bool block = x >= w - 20 && x < w - 1 && y >= 6 && y <= 40;
            const bool wrap = x == 0 && (y == 6 || y == 41);
            return column || block || wrap ? kBlink[f % 2] : Rgb{128, 128, 128};
        });
    return clip;
}

std::vector<Clip> equivalence_clips()
{
    std::mt19937 random(20240611);
    std::vector<Clip> clips;
    for (int32_t w : {1, 7, 8, 9, 31, 32, 33, 40, 63, 64, 65, 77})
        clips.push_back(threshold_clip(w, 5));
    for (int k = 0; k < 40; ++k) {
        const int32_t w = 1 + int32_t(random() % 100), h = 1 + int32_t(random() % 9);
        clips.push_back(palette_clip(random, w, h, 4 * int32_t(random() % 5) + int32_t(random() % 4), 24));
    }
    for (int k = 0; k < 10; ++k)
        clips.push_back(random_clip(random, 1 + int32_t(random() % 90), 1 + int32_t(random() % 6), int32_t(random() % 9)));
    clips.push_back(blink_clip(45, 7));
    clips.push_back(right_edge_clip());
    clips.push_back(black_noise_clip(random, 71, 5));
    for (int k = 0; k < 12; ++k)
        clips.push_back(patch_clip(random, 60 + int32_t(random() % 140), 40 + int32_t(random() % 100), 2 + k * 3));
    return clips;
}

enum class Kernel { portable, avx2, layout_process };

const char* kernel_name(Kernel kernel)
{
    switch (kernel) {
    case Kernel::portable:
        return "portable";
    case Kernel::avx2:
        return "avx2";
    case Kernel::layout_process:
        break;
    }
    return "layout_process";
}

void PrintTo(Kernel kernel, std::ostream* out)
{
    *out << kernel_name(kernel);
}

void run_kernel(Kernel kernel, Layout* layout, const uint8_t* data, int32_t stride)
{
    switch (kernel) {
    case Kernel::portable:
        accumulate_frame_scalar(layout_planes(layout), layout->width, layout->height, data, stride, false);
        break;
    case Kernel::avx2:
        accumulate_frame_avx2(layout_planes(layout), layout->width, layout->height, data, stride);
        break;
    case Kernel::layout_process:
        layout_process(layout, data, stride);
        break;
    }
}

class LayoutKernel : public ::testing::TestWithParam<Kernel> {
protected:
    void SetUp() override
    {
        if (GetParam() == Kernel::avx2 && !accumulate_avx2_available())
            GTEST_SKIP() << "this CPU has no AVX2: only the portable kernel is checked";
    }
};

TEST_P(LayoutKernel, EveryPlaneMatchesThePlainModelAfterEveryFrame)
{
    for (const Clip& clip : equivalence_clips()) {
        LayoutPtr layout(layout_new(clip.width, clip.height));
        PlainLayout model(clip.width, clip.height);
        for (size_t f = 0; f < clip.frames.size(); ++f) {
            run_kernel(GetParam(), layout.get(), clip.frames[f].data(), clip.stride);
            model.process(clip.frames[f].data(), clip.stride);
            ASSERT_TRUE(same_state(*layout, model)) << clip.name << ", frame " << f;
        }
        EXPECT_EQ(fields_of(layout_get_markers(layout.get())), fields_of(model.markers())) << clip.name;
        EXPECT_TRUE(same_plane("crc after extraction", layout->crc, model.crc)) << clip.name;
    }
}

// Guards the generated clips against going slack: they must find markers, merge areas
// and drop pixels at many different frames, or the comparison above proves little.
TEST(LayoutKernelClips, CoverMarkersMergesAndLateRejections)
{
    size_t markers = 0, folded = 0, rejected_late = 0;
    for (const Clip& clip : equivalence_clips()) {
        PlainLayout model(clip.width, clip.height);
        size_t before = 0;
        for (size_t f = 0; f < clip.frames.size(); ++f) {
            model.process(clip.frames[f].data(), clip.stride);
            const size_t now = size_t(std::count(model.candidate.begin(), model.candidate.end(), 0));
            if (f >= 2)
                rejected_late += now - before;
            before = now;
        }
        markers += model.markers().size();
        folded += model.folded_labels;
    }
    EXPECT_GE(markers, 20u);
    EXPECT_GE(folded, 20u);
    EXPECT_GE(rejected_late, 1000u);
}

INSTANTIATE_TEST_SUITE_P(, LayoutKernel, ::testing::Values(Kernel::portable, Kernel::avx2, Kernel::layout_process),
                         [](const ::testing::TestParamInfo<Kernel>& info) { return kernel_name(info.param); });

// With DEBUG on, layout_process writes every rejection line in raster order, each frame.
TEST(LayoutKernelLog, DebugLinesMatchThePlainModelInOrder)
{
    std::mt19937 random(99);
    const Clip clip = palette_clip(random, 37, 6, 8, 12);
    LayoutPtr layout(layout_new(clip.width, clip.height));
    PlainLayout model(clip.width, clip.height);
    std::vector<std::string> lines;
    {
        DebugLines debug;
        for (const std::vector<uint8_t>& frame : clip.frames) {
            layout_process(layout.get(), frame.data(), clip.stride);
            model.process(frame.data(), clip.stride);
        }
        lines = debug.lines;
    }
    ASSERT_GE(model.log.size(), 50u);
    EXPECT_EQ(lines, model.log);
    EXPECT_TRUE(same_state(*layout, model));
}

} // namespace
