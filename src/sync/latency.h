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

// The latencies of the pairs sent within one stretch of the run.
struct LatencyStretch {
    uint64_t count = 0; ///< 0: nothing sent then arrived
    int64_t min_ns = 0, max_ns = 0;
    double mean_ns = 0;
};

// Latency over the run, for its plot: the pairs by sending time in stretches of one length,
// at most kMaxStretches of them (twice as long each time more would be needed).
struct LatencyTrace {
    static constexpr size_t kMaxStretches = 600;
    int64_t start_ns = 0; ///< sending of the first pair
    int64_t step_ns = 0;  ///< length of a stretch
    std::vector<LatencyStretch> stretches;

    void add(int64_t sent_ns, int64_t latency_ns);

private:
    void join_stretches();
};

struct LatencyFigures {
    // Over the pairs as lip-sync events: delay_ns is the latency, video_ns the sending (the
    // drift is per minute of sending), audio_ns the arrival.
    DelayStatistics statistics;
    size_t unmatched = 0; ///< arrivals whose number the sender never listed
    LatencyTrace trace;
};

// Latencies taken one pair at a time in fixed memory, so that a run of any length keeps them
// all: count, mean, spread, extremes and drift exact; the median from a histogram of 1 µs bins
// (twice as wide each time the latencies spread over more than kMaxBins of them).
class LatencyTally {
public:
    void add(int64_t sent_ns, int64_t arrived_ns);
    // As delay_statistics gives them over the pairs taken as events (sending, arrival).
    DelayStatistics statistics() const;
    const LatencyTrace& trace() const { return trace_; }

    static constexpr size_t kMaxBins = 1 << 15;

private:
    double value_at_rank(uint64_t rank) const; ///< rank from 1, of the latencies in order
    void widen_bins();

    uint64_t count_ = 0;
    int64_t first_sent_ns_ = 0;
    double mean_t_ = 0, mean_ns_ = 0;   ///< sending in minutes since the first; latency
    double sxx_ = 0, sxy_ = 0, syy_ = 0; ///< sums of products of deviations from the means
    DelayExtreme min_{}, max_{};
    int64_t bin_ns_ = 1000;
    std::map<int64_t, uint64_t> bins_; ///< latency / bin_ns_, rounded -> how many
    LatencyTrace trace_;
};

// Each arrival paired with the sending of its number; the first arrival of a number counts,
// later ones (a frame repeated) are no arrival of it.
LatencyFigures latency_figures(const SentTimes& sent, const std::vector<Arrival>& arrivals);

} // namespace skelv
