// The beep detector's front end for one channel: per block of samples, each tone's complex
// sum and the energy; and a fixed history of blocks and raw samples for the analyses that
// look back at a beep's edges.
#pragma once

#include "sound/beep_geometry.h"

#include <array>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace skelv {

namespace robust {

using Complex = std::complex<double>;

struct ToneBlock {
    std::array<Complex, 2> tone; ///< Σ x[n]·e^(−iωn) over the block per tone, n counted from the first sample
    double energy = 0;           ///< Σ x[n]²
    double level = 0;            ///< peak amplitude of the tone pair over the detection window ending here
};

// ωn modulo 2π for tone `tone` at sample `n` (may be negative), exact for any n: the tones are
// whole hertz, so the phase repeats every `rate` samples.
double tone_phase(const BeepGeometry& geometry, int tone, int64_t n);

class ToneHistory {
public:
    explicit ToneHistory(const BeepGeometry& geometry);

    // Takes samples `stride` floats apart until the open block is full or `count` run out;
    // returns how many it took. Samples that are not finite count as 0.
    size_t add(const float* samples, size_t count, size_t stride);
    bool block_full() const { return fill_ == geometry_.block; }
    // Stores the full block and returns its index (blocks are counted from 0).
    int64_t close_block();

    int64_t blocks() const { return closed_; }                     ///< blocks closed so far
    int64_t samples() const { return closed_ * geometry_.block; } ///< samples in closed blocks
    // A closed block still in the history; blocks before the first, or already forgotten, are silent.
    const ToneBlock& block(int64_t index) const;
    void set_level(int64_t index, double level);
    // A sample of a closed block still in the history; others are 0.
    float sample(int64_t n) const;

private:
    BeepGeometry geometry_;
    std::array<std::vector<float>, 2> cosine_; ///< cos(ωk) for k in one block
    std::array<std::vector<float>, 2> sine_;   ///< sin(ωk)
    std::vector<ToneBlock> blocks_;            ///< ring of `ring_blocks`
    std::vector<float> raw_;                   ///< ring of the same blocks' samples
    int64_t closed_ = 0;
    int fill_ = 0;                             ///< samples in the open block
    std::array<float, 2> sum_cos_{}, sum_sin_{}; ///< open block's sums, per tone
    float sum_energy_ = 0;
    std::array<Complex, 2> block_phasor_;          ///< e^(−iωn) at the open block's first sample
    std::array<Complex, 2> block_step_;            ///< e^(−iω·block)
    ToneBlock silent_;
};

} // namespace robust

} // namespace skelv
