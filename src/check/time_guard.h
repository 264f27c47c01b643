// Timestamps a reading cannot be trusted with. A corrupted timestamp makes a stream's running
// time leap hours ahead, run backwards or stand still; read as it is, the frame counter would
// count thousands of dropped frames and every flash would lose its beep. Such stretches are
// timed by the stream's own rate instead, reported, and their events are kept out of the verdict.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace skelv {

// A stretch of one stream's (repaired) running time whose timestamps cannot be trusted.
struct UntrustedSpan {
    bool audio = false;             ///< of the sound's time, else of the picture's
    int64_t from_ns = 0, to_ns = 0; ///< to_ns is INT64_MAX when it lasts to the end
    std::string why;                ///< one line, as the warnings show it
};

// "12.345 s", as the warnings write times.
std::string seconds_text(int64_t ns);

// A leap of more than this, or a step back of more than kTimeStepBackNs, is no gap of a
// recording but a broken timestamp.
inline constexpr int64_t kTimeLeapNs = 30'000'000'000;
inline constexpr int64_t kTimeStepBackNs = 1'000'000'000;

class VideoTimeGuard {
public:
    // `period_ns`: the frame period to time frames by while their timestamps are broken.
    explicit VideoTimeGuard(int64_t period_ns) : period_ns_(period_ns) {}

    // The time to read the frame numbered `frame` (from 1) at: its own, or the last trusted
    // frame's continued at the frame period while the timestamps are broken.
    int64_t time_for(int64_t frame, int64_t time_ns);
    // The stream was away (an outage of a live source): its next step, however long, is real.
    void allow_gap() { gap_allowed_ = true; }
    // Every stretch so far; one still open lasts to the end.
    const std::vector<UntrustedSpan>& untrusted() const { return untrusted_; }

private:
    void open_span(int64_t frame, int64_t raw_ns, int64_t repaired_ns);
    void close_span(int64_t frame, int64_t time_ns);

    int64_t period_ns_;
    bool started_ = false;
    bool broken_ = false;
    bool gap_allowed_ = false;
    int64_t last_raw_ns_ = 0;     ///< the previous frame's own time
    int64_t last_ns_ = 0;         ///< the time the previous frame was read at
    int64_t leap_ns_ = 0;         ///< of the open stretch: its first own time less where it should have been
    int64_t broken_frame_ = 0;    ///< where the open stretch started
    std::vector<UntrustedSpan> untrusted_;
};

// The same for a sound stream, whose timestamps only ever start a new stretch of samples: a
// stamp that leaps or steps back that far is not taken.
class AudioTimeGuard {
public:
    // Whether the stamp of a buffer expected at `expected_ns` may retime the samples.
    bool accepts(int64_t expected_ns, int64_t stamp_ns);
    void allow_gap() { gap_allowed_ = true; }
    const std::vector<UntrustedSpan>& untrusted() const { return untrusted_; }

private:
    bool broken_ = false;
    bool gap_allowed_ = false;
    int64_t leap_ns_ = 0;
    std::vector<UntrustedSpan> untrusted_;
};

} // namespace skelv
