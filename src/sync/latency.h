// End-to-end latency: each picture and each beep as it arrived, paired with the moment the
// sender sent it, both read on one clock. Frames are paired by the content frame they show,
// beeps by the content frame of their flash; times are nanoseconds on that shared clock.
#pragma once

#include "sync/sync_statistics.h"

#include <cstdint>
#include <map>
#include <vector>

namespace skelv {

// What arrived: the content frame it stands for and when, on the shared clock.
struct Arrival {
    int64_t number;   ///< content frame shown; for a beep, the content frame of its flash
    int64_t clock_ns;
};

// Content frame -> when it was sent, on the shared clock.
using SentTimes = std::map<int64_t, int64_t>;

struct LatencyFigures {
    // Over the pairs as lip-sync events: delay_ns is the latency, video_ns the sending (the
    // drift is per minute of sending), audio_ns the arrival.
    DelayStatistics statistics;
    size_t unmatched = 0; ///< arrivals whose number the sender never listed
};

// Each arrival paired with the sending of its number; the first arrival of a number counts,
// later ones (a frame repeated) are no arrival of it.
LatencyFigures latency_figures(const SentTimes& sent, const std::vector<Arrival>& arrivals);

} // namespace skelv
