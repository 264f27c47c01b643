#include "robust/video_reader.h"

#include "support/design_shades.h"
#include "support/yuv_clip.h"

#include <gtest/gtest.h>

#include <random>

namespace {

ClipDesign design_with(int header, int content)
{
    ClipParams params;
    params.header = header;
    params.content = content;
    return make_design(params);
}

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
// when the markers show only after the header has left the look-ahead. Readings reach the
// callback in capture order as well.
TEST(VideoReader, EveryFrameInOneOrTwoDecodes)
{
    const struct {
        int header;
        double lookahead_seconds;
        int decodes;
    } cases[] = {{5, 100, 1}, {5, 2, 1}, {100, 2, 2}};
    for (const auto& c : cases) {
        const ClipDesign design = design_with(c.header, 120);
        std::vector<int32_t> streamed;
        VideoReaderOptions options;
        options.lookahead_seconds = c.lookahead_seconds;
        options.on_frame = [&](const FrameReading& frame) { streamed.push_back(frame.source); };
        VideoReader reader(options);
        EXPECT_EQ(read_all(&reader, paint_clip(design)), c.decodes) << c.header;
        const VideoReading& reading = reader.result();
        ASSERT_TRUE(reading.ok) << reading.error;
        EXPECT_EQ(reading.decodes, c.decodes);
        EXPECT_EQ(reading.sync_from, SyncEvidence::Locator);
        EXPECT_DOUBLE_EQ(reading.capture_fps, 25);
        EXPECT_DOUBLE_EQ(reading.source_fps, 25);
        ASSERT_EQ(reading.frames.size(), size_t(design.params.design_frames()));
        for (size_t n = 0; n < reading.frames.size(); ++n) {
            EXPECT_EQ(reading.frames[n].source, content_offset(design, int(n))) << c.header << " frame " << n;
            EXPECT_EQ(reading.frames[n].flash, clip_design_is_flash(design, int(n))) << c.header << " frame " << n;
            EXPECT_EQ(streamed[n], reading.frames[n].source);
        }
        EXPECT_EQ(reading.continuity.shown, 120);
    }
}

TEST(VideoReader, FramesOfAnotherSizeAreUnknown)
{
    const ClipDesign design = design_with(5, 100);
    std::vector<I420Frame> frames = paint_clip(design);
    frames[60] = I420Frame(160, 120);
    VideoReader reader;
    read_all(&reader, frames);
    ASSERT_TRUE(reader.result().ok) << reader.result().error;
    EXPECT_EQ(reader.result().frames_other_size, 1);
    EXPECT_EQ(reader.result().frames[60].kind, FrameKind::Unknown);
    EXPECT_EQ(reader.result().frames[61].source, content_offset(design, 61));
}

// Pictures that are no test clip give the reason and no marker: a still one, and the clip with
// its colours shuffled, where everything changes as in a clip but the colours do not count.
TEST(VideoReader, NoTestClipNoMarkers)
{
    const ClipDesign design = design_with(5, 100);
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
