#include "core/stream_times.h"

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

namespace {

constexpr uint64_t kUnset = StreamTimes::kUnset;
constexpr uint64_t kMs = 1000000;
constexpr int64_t kSignedMs = int64_t(kMs);

struct Buffer { uint64_t timestamp, duration; };

TEST(StreamTimes, GapsStartEndAndLateStart)
{
    // Name, buffers, offsets reported (ns), start, end, starts late.
    const std::tuple<const char*, std::vector<Buffer>, std::vector<int64_t>, uint64_t, uint64_t, bool> cases[] = {
        {"no buffers", {}, {}, kUnset, 0, false},
        {"contiguous", {{0, 40 * kMs}, {40 * kMs, 40 * kMs}, {80 * kMs, 40 * kMs}}, {}, 0, 120 * kMs, false},
        {"1 ms either way tolerated", {{0, 40 * kMs}, {41 * kMs, 40 * kMs}, {80 * kMs, 40 * kMs}, {121 * kMs + 1, 0}},
            {kSignedMs + 1}, 0, 121 * kMs + 1, false},
        {"overlap", {{0, 40 * kMs}, {35 * kMs, 40 * kMs}}, {-5 * kSignedMs}, 0, 75 * kMs, false},
        {"start at 1 ms", {{kMs, 40 * kMs}}, {}, kMs, 41 * kMs, false},
        {"start at 2 ms", {{2 * kMs, 40 * kMs}}, {}, 2 * kMs, 42 * kMs, true},
        {"untimed first buffer", {{kUnset, 40 * kMs}, {500 * kMs, 40 * kMs}}, {}, 500 * kMs, 540 * kMs, true},
        {"still image ends at its timestamp", {{0, kUnset}}, {}, 0, 0, false},
        {"unknown duration skips the next test", {{0, kUnset}, {40 * kMs, kUnset}, {80 * kMs, 40 * kMs},
            {200 * kMs, 40 * kMs}}, {80 * kSignedMs}, 0, 240 * kMs, false},
        {"untimed buffer neither tests nor moves the end",
         {{0, 40 * kMs}, {kUnset, 40 * kMs}, {120 * kMs, 40 * kMs}, {160 * kMs, 40 * kMs}}, {}, 0, 200 * kMs, false},
    };
    for (const auto& [name, buffers, gaps, start, end, late] : cases) {
        StreamTimes times;
        std::vector<int64_t> found;
        for (const Buffer& b : buffers) {
            int64_t offset = 0;
            if (times.advance(b.timestamp, b.duration, &offset))
                found.push_back(offset);
        }
        EXPECT_EQ(std::tuple(found, times.start, times.end, times.starts_late()), std::tie(gaps, start, end, late))
            << name;
    }
}

} // namespace
