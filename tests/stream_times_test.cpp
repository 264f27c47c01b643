#include "stream_times.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

constexpr uint64_t kUnset = StreamTimes::kUnset;
constexpr uint64_t kMs = 1000000;

struct Buffer {
    uint64_t timestamp, duration;
};

// The offsets (ns) of every buffer found off its expected time.
std::vector<int64_t> gaps(StreamTimes& times, const std::vector<Buffer>& buffers)
{
    std::vector<int64_t> found;
    for (const Buffer& b : buffers) {
        int64_t offset = 0;
        if (times.advance(b.timestamp, b.duration, &offset))
            found.push_back(offset);
    }
    return found;
}

TEST(StreamTimes, ContiguousBuffersRaiseNothing)
{
    StreamTimes times;
    EXPECT_EQ(gaps(times, {{0, 40 * kMs}, {40 * kMs, 40 * kMs}, {80 * kMs, 40 * kMs}}), std::vector<int64_t>{});
    EXPECT_EQ(times.start, 0u);
    EXPECT_EQ(times.end, 120 * kMs);
    EXPECT_FALSE(times.starts_late());
}

TEST(StreamTimes, OneMillisecondEitherWayIsTolerated)
{
    StreamTimes times;
    EXPECT_EQ(gaps(times, {{0, 40 * kMs}, {41 * kMs, 40 * kMs}, {80 * kMs, 40 * kMs}, {120 * kMs + kMs + 1, 0}}),
              std::vector<int64_t>{int64_t(kMs) + 1});
    StreamTimes overlapping;
    EXPECT_EQ(gaps(overlapping, {{0, 40 * kMs}, {35 * kMs, 40 * kMs}}), std::vector<int64_t>{-5 * int64_t(kMs)});
}

TEST(StreamTimes, StartsLateOnlyBeyondOneMillisecond)
{
    StreamTimes exactly;
    gaps(exactly, {{kMs, 40 * kMs}});
    EXPECT_FALSE(exactly.starts_late());
    StreamTimes late;
    gaps(late, {{2 * kMs, 40 * kMs}});
    EXPECT_TRUE(late.starts_late());
    StreamTimes empty;
    EXPECT_FALSE(empty.starts_late());
    EXPECT_EQ(empty.end, 0u);
}

TEST(StreamTimes, UntimedFirstBufferLeavesTheStartToTheNext)
{
    StreamTimes times;
    EXPECT_EQ(gaps(times, {{kUnset, 40 * kMs}, {500 * kMs, 40 * kMs}}), std::vector<int64_t>{});
    EXPECT_EQ(times.start, 500 * kMs);
    EXPECT_TRUE(times.starts_late());
}

TEST(StreamTimes, UnknownDurationEndsAtTheTimestampAndSkipsTheNextTest)
{
    StreamTimes still;
    gaps(still, {{0, kUnset}});
    EXPECT_EQ(still.end, 0u) << "a still image has length 0, not a wrapped sum";

    StreamTimes times;
    EXPECT_EQ(gaps(times, {{0, kUnset}, {40 * kMs, kUnset}, {80 * kMs, 40 * kMs}, {200 * kMs, 40 * kMs}}),
              std::vector<int64_t>{80 * int64_t(kMs)})
        << "only the jump after a buffer of known end is a gap";
    EXPECT_EQ(times.end, 240 * kMs);
}

TEST(StreamTimes, UntimedBufferNeitherTestsNorMovesTheEnd)
{
    StreamTimes times;
    EXPECT_EQ(gaps(times, {{0, 40 * kMs}, {kUnset, 40 * kMs}, {120 * kMs, 40 * kMs}, {160 * kMs, 40 * kMs}}),
              std::vector<int64_t>{});
    EXPECT_EQ(times.end, 200 * kMs);
}

} // namespace
