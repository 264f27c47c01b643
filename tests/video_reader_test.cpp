#include "picture/video_reader.h"

#include "support/design_shades.h"
#include "support/yuv_clip.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>
#include <tuple>

using namespace skelv;

namespace {

// Pushes the frames as decodes would, at 25 fps from 7 s, again when the reader asks.
int read_all(VideoReader* reader, const std::vector<I420Frame>& frames)
{
    for (int decode = 1; decode <= 2; ++decode) {
        bool restart = false;
        for (size_t n = 0; n < frames.size() && !restart; ++n)
            restart = reader->push(frames[n].view(), int64_t(n) * 40'000'000 + 7'000'000'000) == PushResult::Restart;
        if (!restart && reader->finish() == PushResult::Continue)
            return decode;
    }
    return 3;
}

// Every frame read, from the look-ahead's cell means or from the frame itself; a second decode
// when the markers show only after the header has left the 2 s look-ahead. Readings reach the
// callback in capture order; a frame of another size reads as unknown.
TEST(VideoReader, EveryFrameInOneOrTwoDecodes)
{
    for (const int header : {5, 100}) {
        const ClipDesign design = make_design(header, 120);
        std::vector<I420Frame> frames = paint_clip(design);
        const int odd = header + 35;
        frames[size_t(odd)] = I420Frame(160, 120);
        std::vector<std::pair<int32_t, bool>> streamed, got, want; // source frame, flash
        VideoReaderOptions options;
        options.lookahead_seconds = 2;
        options.on_frame = [&](const FrameReading& frame) { streamed.emplace_back(frame.source, frame.flash); };
        VideoReader reader(options);
        const int decodes = header < 50 ? 1 : 2;
        EXPECT_EQ(read_all(&reader, frames), decodes) << header;
        const VideoReading& reading = reader.result();
        ASSERT_TRUE(reading.ok) << reading.error;
        EXPECT_EQ(std::tuple(reading.decodes, reading.sync_from, reading.capture_fps, reading.source_fps,
                      reading.frames_other_size, reading.frames.at(size_t(odd)).kind),
            std::tuple(decodes, SyncEvidence::Locator, 25.0, 25.0, 1, FrameKind::Unknown))
            << header;
        for (int n = 0; n < int(frames.size()); ++n)
            want.emplace_back(n == odd ? -1 : content_offset(design, n), n != odd && clip_design_is_flash(design, n));
        for (const FrameReading& frame : reading.frames)
            got.emplace_back(frame.source, frame.flash);
        EXPECT_EQ(got, want) << header;
        EXPECT_EQ(streamed, got) << header;
    }
}

bool covers(const PixelRect& outer, const PixelRect& inner)
{
    return outer.left <= inner.left && outer.top <= inner.top && outer.left + outer.width >= inner.left + inner.width &&
        outer.top + outer.height >= inner.top + inner.height;
}

// A picture that changes besides the markers confuses neither the roles nor the count: the
// markers are the design's, every frame reads as the design frame it shows, and the picture is
// one area left unread.
TEST(VideoReader, ChangingPictureBesideTheMarkersLeftUnread)
{
    const ClipDesign design = make_design(5, 120);
    const PixelRect changing{40, 100, 96, 64}, square{40, 100, 32, 32};
    std::mt19937 random(13);
    const struct {
        const char* name;
        PixelRect area;
        std::function<void(I420Frame*, int)> paint;
    } cases[] = {
        {"noise in pixels", changing, [&](I420Frame* f, int) { paint_noise(f, changing, 1, &random); }},
        {"noise in squares of 8", changing, [&](I420Frame* f, int) { paint_noise(f, changing, 8, &random); }},
        {"moving bars", changing, [&](I420Frame* f, int n) { paint_moving_bars(f, changing, n); }},
        // Alone and the size of a marker, but no square wave on the colours' count.
        {"a square of random grey", square, [&](I420Frame* f, int) { paint_noise(f, square, 32, &random); }},
        {"a square of random colours", square,
            [&](I420Frame* f, int) { paint_box(f, square, design_levels("rygcbm"[random() % 6])); }},
    };
    for (const auto& c : cases) {
        std::vector<I420Frame> frames = paint_clip(design);
        for (size_t n = 0; n < frames.size(); ++n)
            c.paint(&frames[n], int(n));
        VideoReader reader;
        read_all(&reader, frames);
        const VideoReading& reading = reader.result();
        ASSERT_TRUE(reading.ok) << c.name << ": " << reading.error;
        std::vector<std::tuple<int32_t, int32_t, int32_t, int32_t, MarkerRole>> got_markers, want_markers;
        for (const FoundMarker& m : reading.markers)
            got_markers.emplace_back(m.left, m.top, m.width, m.half_period, m.role);
        for (const MarkerBox& box : design.markers)
            want_markers.emplace_back(box.left, box.top, box.size, box.half_period, role_of(box.kind));
        EXPECT_EQ(got_markers, want_markers) << c.name;
        ASSERT_EQ(reading.ignored_areas.size(), 1u) << c.name;
        const PixelRect& area = reading.ignored_areas[0];
        EXPECT_TRUE(covers(area, c.area)) << c.name;
        EXPECT_TRUE(covers({c.area.left - 8, c.area.top - 8, c.area.width + 16, c.area.height + 16}, area))
            << c.name << ": no more than a few pixels around it";
        std::vector<std::pair<int32_t, bool>> got, want; // source frame, flash
        for (int n = 0; n < int(frames.size()); ++n)
            want.emplace_back(content_offset(design, n), clip_design_is_flash(design, n));
        for (const FrameReading& frame : reading.frames)
            got.emplace_back(frame.source, frame.flash);
        EXPECT_EQ(got, want) << c.name;
    }
}

// The capture rate from frame times as containers round them (Matroska to the millisecond),
// with a gap of a second where the capture stalled.
TEST(VideoReader, CaptureRateFromRoundedTimes)
{
    const ClipDesign design = make_design(5, 100);
    const std::vector<I420Frame> frames = paint_clip(design);
    for (const double fps : {60.0, 30000.0 / 1001, 24.0}) {
        VideoReader reader;
        for (int n = 0; n < int(frames.size() * fps / 25); ++n) {
            const int64_t ms = std::llround(n * 1000 / fps) + (n >= 100 ? 1000 : 0);
            reader.push(frames[size_t(n * 25 / fps)].view(), ms * 1'000'000);
        }
        reader.finish();
        ASSERT_TRUE(reader.result().ok) << fps << ": " << reader.result().error;
        EXPECT_DOUBLE_EQ(reader.result().capture_fps, fps);
    }
}

// Design frames `a` and `b` mixed pixel by pixel, `weight` of `b`, as a blending converter does.
I420Frame mix(const ClipDesign& design, int a, int b, double weight)
{
    I420Frame out = paint_frame(design, a);
    const I420Frame other = paint_frame(design, b);
    for (size_t i = 0; i < out.bytes.size(); ++i)
        out.bytes[i] = uint8_t(std::lround((1 - weight) * out.bytes[i] + weight * other.bytes[i]));
    return out;
}

// A blend reads as the frame it mostly shows (the earlier when even) with its weight, and as
// a flash when the flash has at least half of it; a mix of frames two apart, or a blend with one
// marker off, stays unreadable. Content starts at design frame 10, flashes every 25 from 22.
TEST(VideoReader, BlendsOfConsecutiveFramesOnly)
{
    const ClipDesign design = make_design(5, 120);
    std::vector<I420Frame> frames = paint_clip(design);
    const struct {
        int slot, other;
        double weight;
        int source;
        bool flash;
    } cases[] = {
        {40, 41, 0.3, 30, false},
        {60, 61, 0.7, 51, false},
        {21, 22, 0.5, 11, true}, // the flash half of an even blend: its first frame
        {22, 23, 0.4, 12, true},
        {25, 26, 0.5, 15, false}, // every blinking marker half-way: the colours and the time tell
        {46, 47, 0.3, 36, false},
        {70, 72, 0.5, -1, false},
        {80, 81, 0.4, -1, false}, // with bit 3 at its other level
    };
    for (const auto& c : cases)
        frames[size_t(c.slot)] = mix(design, c.slot, c.other, c.weight);
    const MarkerBox& bit3 = design.markers[4];
    I420Frame flipped = paint_frame(design, 88);
    for (int y = bit3.top; y < bit3.top + bit3.size; ++y)
        std::copy_n(flipped.row(0, y) + bit3.left, bit3.size, frames[80].row(0, y) + bit3.left);
    VideoReader reader;
    read_all(&reader, frames);
    const VideoReading& reading = reader.result();
    ASSERT_TRUE(reading.ok) << reading.error;
    for (const auto& c : cases) {
        const FrameReading& got = reading.frames[size_t(c.slot)];
        const FrameKind kind = c.source >= 0 ? FrameKind::Content : FrameKind::Unreadable;
        EXPECT_EQ(std::tuple(got.kind, got.source, got.flash), std::tuple(kind, c.source, c.flash)) << c.slot;
        if (c.source >= 0) {
            EXPECT_NEAR(got.weight, std::max(c.weight, 1 - c.weight), 0.01) << c.slot;
        }
    }
    const ContinuityReport& c = reading.continuity;
    EXPECT_EQ(std::vector<int64_t>({c.shown, c.dropped, c.unresolved, c.repeated}), std::vector<int64_t>({117, 1, 2, 1}));
    std::vector<std::pair<int64_t, int64_t>> flashes; // source frame, captured frame
    for (const ShownFlash& flash : c.flashes)
        flashes.emplace_back(flash.source_frame, (flash.time_ns - reading.frames[0].time_ns) / 40'000'000);
    EXPECT_EQ(flashes, (std::vector<std::pair<int64_t, int64_t>>{{12, 21}, {37, 47}, {62, 72}, {87, 97}, {112, 122}}));
}

// Pictures that are no test clip give the reason and no marker: a still one, and the clip with
// its colours shuffled, where everything changes as in a clip but the colours do not count.
TEST(VideoReader, NoTestClipNoMarkers)
{
    const ClipDesign design = make_design(5, 100);
    std::vector<I420Frame> shuffled = paint_clip(design);
    std::mt19937 random(5);
    const MarkerBox& box = design.markers.back();
    for (size_t n = 10; n + 5 < shuffled.size(); ++n) {
        I420Frame other = paint_frame(design, 10 + int(random() % 6));
        for (int plane = 0; plane < 3; ++plane) {
            const int shift = plane ? 1 : 0;
            for (int y = box.top >> shift; y < (box.top + box.size) >> shift; ++y)
                std::copy_n(other.row(plane, y) + (box.left >> shift), box.size >> shift,
                    shuffled[n].row(plane, y) + (box.left >> shift));
        }
    }
    const struct {
        std::vector<I420Frame> frames;
        const char* error;
    } cases[] = {
        {std::vector<I420Frame>(50, paint_frame(design, 30)),
            "not a test clip: no area of the picture blinks or changes colour"},
        {shuffled, "not a test clip: the blinking markers and the colours do not agree on frame numbers"},
        {{}, "the recording has no video frames"},
    };
    for (const auto& c : cases) {
        VideoReader reader;
        read_all(&reader, c.frames);
        EXPECT_FALSE(reader.result().ok);
        EXPECT_EQ(reader.result().error, c.error);
        EXPECT_TRUE(reader.result().markers.empty());
    }
}

} // namespace
