// Sizes of the beep analysis at one sample rate: every duration is turned into whole blocks
// once, so that all rates from 8 to 192 kHz run the same steps.
#pragma once

#include "core/clip_constants.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>

namespace skelv {

namespace robust {

// The beep's two tones, low first; arrays indexed by tone follow this order.
inline constexpr std::array<int, 2> kToneHz = {clip::kBeepLowHz, clip::kBeepHighHz};

struct BeepGeometry {
    int rate = 0;           ///< Hz
    int block = 0;          ///< samples per block of tone sums, about 0.25 ms
    int window_blocks = 0;  ///< detection window, about 5 ms
    int segment_blocks = 0; ///< one phase measurement, about 8 ms; even
    int ring_blocks = 0;    ///< history kept, about 160 ms

    int hop_blocks() const { return segment_blocks / 2; }
    int64_t window() const { return int64_t(window_blocks) * block; } ///< samples
    int64_t segment() const { return int64_t(segment_blocks) * block; } ///< samples
    int64_t hop() const { return int64_t(hop_blocks()) * block; }       ///< samples
    int64_t samples(double ms) const { return std::llround(ms * rate / 1000.0); }
    // Whole blocks covering `ms`, at least one.
    int64_t blocks(double ms) const { return std::max<int64_t>(1, (samples(ms) + block - 1) / block); }
    double ms(double samples) const { return samples * 1000.0 / rate; }
    // Angular frequency of tone `tone`, radians per sample.
    double omega(int tone) const { return 2.0 * M_PI * kToneHz[size_t(tone)] / rate; }
};

// Blocks of about 0.25 ms keep the front end cheap (three sums per sample) while the blocks'
// rate, near 4 kHz, still holds both tones' images apart.
inline BeepGeometry beep_geometry(int rate)
{
    BeepGeometry g;
    g.rate = rate;
    g.block = std::max(1, int(std::lround(rate / 4000.0)));
    const double block_ms = 1000.0 * g.block / rate;
    g.window_blocks = int(std::lround(5.0 / block_ms));
    g.segment_blocks = 2 * int(std::lround(4.0 / block_ms));
    g.ring_blocks = int(std::ceil(160.0 / block_ms));
    return g;
}

} // namespace robust

} // namespace skelv
