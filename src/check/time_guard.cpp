#include "check/time_guard.h"

#include "rules/time_units.h"

#include <cstdio>
#include <cstdlib>
#include <limits>
#include <utility>

namespace skelv {

namespace {

constexpr int64_t kOpenEnd = std::numeric_limits<int64_t>::max();
// Broken timestamps are over when the stream's own time agrees again with where it should be.
constexpr int64_t kAgreementNs = 1'000'000'000;

bool broken_step(int64_t step_ns)
{
    return step_ns > kTimeLeapNs || step_ns < -kTimeStepBackNs;
}

std::string signed_seconds(int64_t ns)
{
    char text[48];
    snprintf(text, sizeof text, "%+.3f s", seconds_of(ns));
    return text;
}

} // namespace

std::string seconds_text(int64_t ns)
{
    char text[48];
    snprintf(text, sizeof text, "%.3f s", seconds_of(ns));
    return text;
}

int64_t VideoTimeGuard::time_for(int64_t frame, int64_t time_ns)
{
    if (!started_) {
        started_ = true;
        last_raw_ns_ = last_ns_ = time_ns;
        return time_ns;
    }
    const int64_t expected = last_ns_ + period_ns_;
    const bool gap = std::exchange(gap_allowed_, false);
    if (!broken_ && broken_step(time_ns - last_raw_ns_) && !gap)
        open_span(frame, time_ns, expected);
    else if (broken_ && std::llabs(time_ns - expected) < kAgreementNs)
        close_span(frame, time_ns);
    last_raw_ns_ = time_ns;
    last_ns_ = broken_ ? expected : time_ns;
    return last_ns_;
}

void VideoTimeGuard::open_span(int64_t frame, int64_t raw_ns, int64_t repaired_ns)
{
    broken_ = true;
    broken_frame_ = frame;
    leap_ns_ = raw_ns - repaired_ns;
    untrusted_.push_back({false, repaired_ns, kOpenEnd,
                          "Video timestamps jump by " + signed_seconds(leap_ns_) + " at frame " + std::to_string(frame) +
                              " (" + seconds_text(repaired_ns) +
                              ") and do not come back: the frames from there on are timed by the frame rate and their "
                              "events are not judged"});
}

void VideoTimeGuard::close_span(int64_t frame, int64_t time_ns)
{
    broken_ = false;
    UntrustedSpan& span = untrusted_.back();
    span.to_ns = time_ns;
    span.why = "Video timestamps jump by " + signed_seconds(leap_ns_) + " at frame " + std::to_string(broken_frame_) +
               " (" + seconds_text(span.from_ns) + ") and come back at frame " + std::to_string(frame) + " (" +
               seconds_text(time_ns) + "): the frames between are timed by the frame rate and their events are not judged";
}

bool AudioTimeGuard::accepts(int64_t expected_ns, int64_t stamp_ns)
{
    const int64_t step = stamp_ns - expected_ns;
    if (std::exchange(gap_allowed_, false) && !broken_)
        return true;
    if (!broken_ && broken_step(step)) {
        broken_ = true;
        leap_ns_ = step;
        untrusted_.push_back({true, expected_ns, kOpenEnd,
                              "Audio timestamps jump by " + signed_seconds(step) + " at " + seconds_text(expected_ns) +
                                  " and do not come back: the sound from there on is timed by its samples and its "
                                  "beeps are not judged"});
        return false;
    }
    if (broken_ && std::llabs(step) < kAgreementNs) {
        broken_ = false;
        UntrustedSpan& span = untrusted_.back();
        span.to_ns = expected_ns;
        span.why = "Audio timestamps jump by " + signed_seconds(leap_ns_) + " at " + seconds_text(span.from_ns) +
                   " and come back at " + seconds_text(expected_ns) +
                   ": the sound between is timed by its samples and its beeps are not judged";
    }
    return !broken_;
}

} // namespace skelv
