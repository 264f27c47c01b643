#include "robust/video_reader.h"

#include "support/design_shades.h"
#include "support/yuv_clip.h"

#include <gtest/gtest.h>

#include <random>

namespace {

constexpr double kFps = 25;

ClipDesign design_with(int header, int content)
{
    ClipParams params;
    params.header = header;
    params.content = content;
    return make_design(params);
}

int64_t time_of(int n)
{
    return int64_t(n) * 40'000'000 + 7'000'000'000; // timestamps need not start at 0
}

// Pushes the frames as one decode would, again when the reader asks; returns the decodes made.
int read_all(VideoReader* reader, const std::vector<I420Frame>& frames)
{
    for (int decode = 1; decode <= 2; ++decode) {
        bool restart = false;
        for (size_t n = 0; n < frames.size() && !restart; ++n)
            restart = reader->push(frames[n].view(), time_of(int(n))) == PushResult::Restart;
        if (!restart && reader->finish() == PushResult::Continue)
            return decode;
    }
    ADD_FAILURE() << "a third decode asked for";
    return 3;
}

void expect_design_reading(const VideoReading& reading, const ClipDesign& design, const char* name)
{
    ASSERT_TRUE(reading.ok) << name << ": " << reading.error;
    ASSERT_EQ(reading.markers.size(), design.markers.size()) << name;
    EXPECT_EQ(reading.markers[0].role, MarkerRole::Sync) << name;
    EXPECT_EQ(reading.markers.back().role, MarkerRole::LipSync) << name;
    EXPECT_EQ(reading.sync_from, SyncEvidence::Locator) << name;
    EXPECT_DOUBLE_EQ(reading.source_fps, kFps) << name;
    EXPECT_DOUBLE_EQ(reading.capture_fps, kFps) << name;
    EXPECT_TRUE(reading.content_start_seen) << name;
    ASSERT_EQ(reading.frames.size(), size_t(design.params.design_frames())) << name;
    for (int n = 0; n < design.params.design_frames(); ++n) {
        const FrameReading& frame = reading.frames[size_t(n)];
        EXPECT_EQ(frame.time_ns, time_of(n)) << name;
        EXPECT_EQ(frame.source, content_offset(design, n)) << name << " frame " << n;
        EXPECT_EQ(frame.flash, clip_design_is_flash(design, n)) << name << " frame " << n;
        EXPECT_GT(frame.margin, 0.9f) << name << " frame " << n;
    }
    EXPECT_EQ(reading.continuity.shown, design.params.content) << name;
    EXPECT_EQ(reading.continuity.dropped, 0) << name;
    EXPECT_EQ(reading.continuity.loops, 1) << name;
}

// Read from the look-ahead, then frame by frame; the look-ahead's cell means and the frames'
// own pixels give the same reading.
TEST(VideoReader, ReadsEveryFrameOfAClip)
{
    const ClipDesign design = design_with(5, 150);
    const std::vector<I420Frame> frames = paint_clip(design);
    for (double lookahead : {100.0, 3.0}) {
        VideoReaderOptions options;
        options.lookahead_seconds = lookahead;
        VideoReader reader(options);
        EXPECT_EQ(read_all(&reader, frames), 1);
        expect_design_reading(reader.result(), design, lookahead > 10 ? "all in the look-ahead" : "3 s look-ahead");
        EXPECT_EQ(reader.result().decodes, 1);
    }
}

// Markers found only once the header has left the look-ahead: a second decode reads it all.
TEST(VideoReader, ASecondDecodeWhenTheMarkersShowLate)
{
    const ClipDesign design = design_with(100, 120);
    VideoReaderOptions options;
    options.lookahead_seconds = 2;
    VideoReader reader(options);
    EXPECT_EQ(read_all(&reader, paint_clip(design)), 2);
    expect_design_reading(reader.result(), design, "long header");
    EXPECT_EQ(reader.result().decodes, 2);
    EXPECT_EQ(reader.result().frames_read, design.params.design_frames());
}

// The readings go to the callback in capture order; nothing is kept.
TEST(VideoReader, StreamsReadingsWithoutKeepingThem)
{
    const ClipDesign design = design_with(5, 100);
    std::vector<int32_t> sources;
    VideoReaderOptions options;
    options.lookahead_seconds = 1;
    options.keep_frames = false;
    options.on_frame = [&](const FrameReading& frame) { sources.push_back(frame.source); };
    VideoReader reader(options);
    read_all(&reader, paint_clip(design));
    EXPECT_TRUE(reader.result().frames.empty());
    ASSERT_EQ(sources.size(), size_t(design.params.design_frames()));
    for (size_t n = 0; n < sources.size(); ++n)
        EXPECT_EQ(sources[n], content_offset(design, int(n))) << n;
}

TEST(VideoReader, FramesOfAnotherSizeAreUnknown)
{
    const ClipDesign design = design_with(5, 100);
    std::vector<I420Frame> frames = paint_clip(design);
    frames[60] = I420Frame(160, 120);
    VideoReader reader;
    read_all(&reader, frames);
    const VideoReading& reading = reader.result();
    ASSERT_TRUE(reading.ok) << reading.error;
    EXPECT_EQ(reading.frames_other_size, 1);
    EXPECT_EQ(reading.frames[60].kind, FrameKind::Unknown);
    EXPECT_EQ(reading.frames[61].source, content_offset(design, 61));
}

// Pictures that are no test clip give a reason and no markers.
TEST(VideoReader, NoTestClipNoMarkers)
{
    const ClipDesign design = design_with(5, 100);
    std::vector<I420Frame> still(50, paint_frame(design, 30));
    // The clip with its lip-sync colours shuffled: everything changes as in a clip, but the
    // colours do not follow the counter.
    std::vector<I420Frame> shuffled = paint_clip(design);
    std::mt19937 random(5);
    const MarkerBox& lipsync = design.markers.back();
    for (size_t n = 10; n < shuffled.size() - 5; ++n) {
        I420Frame other = paint_frame(design, 10 + int(random() % 6));
        for (int y = lipsync.top; y < lipsync.top + lipsync.size; ++y) {
            std::copy_n(other.bytes.begin() + (y * other.y_stride + lipsync.left), lipsync.size,
                shuffled[n].bytes.begin() + (y * other.y_stride + lipsync.left));
        }
        for (int y = lipsync.top / 2; y < (lipsync.top + lipsync.size) / 2; ++y)
            for (int x = lipsync.left / 2; x < (lipsync.left + lipsync.size) / 2; ++x) {
                shuffled[n].u_row(y)[x] = other.u_row(y)[x];
                shuffled[n].v_row(y)[x] = other.v_row(y)[x];
            }
    }
    const struct {
        const char* name;
        const std::vector<I420Frame>* frames;
        const char* error;
    } cases[] = {
        {"a still picture", &still, "not a test clip: no area of the picture blinks or changes colour"},
        {"colours out of step", &shuffled, "not a test clip: the blinking markers and the colours do not agree on frame numbers"},
    };
    for (const auto& c : cases) {
        VideoReader reader;
        read_all(&reader, *c.frames);
        EXPECT_FALSE(reader.result().ok) << c.name;
        EXPECT_EQ(reader.result().error, c.error) << c.name;
        EXPECT_TRUE(reader.result().markers.empty()) << c.name;
    }
    VideoReader empty;
    EXPECT_EQ(empty.finish(), PushResult::Continue);
    EXPECT_EQ(empty.result().error, "the recording has no video frames");
}

} // namespace
