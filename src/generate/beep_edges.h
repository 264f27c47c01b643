// Where the exact beep detector puts the edges of one of the clip's beeps, worked out from
// its rules in double precision instead of by running it: the level after each sample is
// the geometric mean of the two tones' Fourier sums over the last 500 samples, divided by
// 500; a beep opens above 2100 and closes below 1900; then its start moves back by
// 500 * 2100 / P samples and its end lies (500 * 1900 - 500 * P) / P samples after the
// closing one, P being the peak level truncated (integer divisions truncate). The
// detector's single-precision phases and sums may put an edge a few samples away: at most
// 3, and none for nine beeps in ten, over 3420 beeps of 5 to 300 ms at 8 to 192 kHz.
#pragma once

#include <cstdint>
#include <vector>

namespace skelv {

struct BeepEdges {
    int64_t start; ///< samples from the beep's first sample to the start reported; negative: before
    int64_t end;   ///< samples from the beep's first sample to the end reported
};

// `beep`: the beep's samples, with at least 500 silent ones before and after it. False when
// its level never rises above the opening level.
bool beep_edges_find(const std::vector<int16_t>& beep, int32_t rate, BeepEdges* edges);

} // namespace skelv
