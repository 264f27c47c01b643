// Levels as a recording shows them: centres found where the samples of a marker gather, and
// the reading of a value against those centres, so that a value between two centres (a
// blended frame) is reported as unclear rather than guessed.
#pragma once

#include "picture/yuv_frame.h"

#include <vector>

namespace skelv {

float yuv_distance(const Yuv& a, const Yuv& b);

// Where `samples` gather most densely: the mean of the samples within `radius` of the sample
// that has the most neighbours within `radius`. `members` (optional) gets that count,
// 0 for no samples.
Yuv densest_centre(const std::vector<Yuv>& samples, float radius, int* members = nullptr);

// Share of the distance to the nearest other centre within which a value still belongs to a
// centre: a 70/30 blend of two centres reads as the stronger one, a 60/40 one is unclear.
inline constexpr float kAcceptShare = 0.3f;

// Index of the centre that `value` belongs to, or -1 when it is farther than kAcceptShare of
// the distance from its nearest centre to that centre's nearest neighbour.
int classify_level(const std::vector<Yuv>& centres, const Yuv& value);

// The q-quantile (0 to 1) of `values`, by nearest rank; 0 when empty.
float quantile_of(std::vector<float> values, float q);

} // namespace skelv
