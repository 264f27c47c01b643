// The per-frame timeline of a recording as it is read: each captured frame once, with how
// long it was shown and what it shows, handed on as soon as the next frame settles its
// length; and a sketch of it for the report's plot that keeps the same size however long the
// recording runs.
#pragma once

#include "check/check_result.h"
#include "picture/source_numbering.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <utility>
#include <vector>

namespace skelv {

class TimelineBuilder {
public:
    // `on_frame`, when given, gets every frame in capture order.
    explicit TimelineBuilder(std::function<void(const CheckFrame&)> on_frame = {});

    // The readings of the captured frames, in capture order.
    void add(const FrameReading& reading);
    // Settles the last frame: it lasts as long as the one before it.
    void finish();

    const TimelineSketch& sketch() const { return sketch_; }
    int64_t unreadable() const { return unreadable_; }

    // A source frame count that leaps by thousands between two content frames: no drop a
    // device makes, but a broken timestamp or another recording spliced in.
    static constexpr int64_t kCountLeap = 1000;
    struct CountLeap {
        int64_t time_ns;  ///< of the frame after the leap
        int64_t frames;   ///< source frames leapt over
    };
    const std::vector<CountLeap>& count_leaps() const { return count_leaps_; }

private:
    void settle(int64_t next_time_ns);
    CheckFrame frame_of(const FrameReading& reading);

    std::function<void(const CheckFrame&)> on_frame_;
    std::optional<CheckFrame> pending_;   ///< the latest frame, waiting for the next one's time
    int64_t last_duration_ns_ = 0;
    std::set<std::pair<int32_t, int64_t>> recent_; ///< (loop, source) shown lately, for repeats
    int32_t highest_loop_ = -1;
    int64_t highest_ = -1; ///< highest source shown in the current loop
    int64_t unreadable_ = 0;
    std::vector<CountLeap> count_leaps_;
    TimelineSketch sketch_;
};

} // namespace skelv
