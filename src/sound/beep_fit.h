// Measurements of one beep on a channel's history: each tone's amplitude, phase and frequency
// error over segments of blocks, the onset from the tones' phases, and the end.
#pragma once

#include "sound/tone_history.h"

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace skelv {

namespace robust {

// Hann-weighted sums over one segment of blocks. The weights keep each tone's sum clear of the
// other tone and of both tones' mirror images, which single blocks still hold.
struct Segment {
    std::array<Complex, 2> tone; ///< per tone, Σ w·(block's tone sum)
    double energy = 0;           ///< Σ w·(block's energy)
    double centre = 0;           ///< sample at the segment's centre
    int64_t first_block = 0;
};

Segment measure_segment(const ToneHistory& history, const BeepGeometry& geometry, int64_t first_block);

// A tone's peak amplitude (full scale 1), and its energy as `Segment::energy` counts it.
double tone_amplitude(const Segment& segment, int tone, const BeepGeometry& geometry);
double tone_energy(const Segment& segment, int tone, const BeepGeometry& geometry);

// The tone pair as measured: x(n) = Σ A·cos(ωn + phase + offset·(n − reference)).
struct ToneModel {
    std::array<double, 2> amplitude{}; ///< peak, full scale 1
    std::array<double, 2> phase{};     ///< radians, at `reference`
    std::array<double, 2> offset{};    ///< frequency error, radians per sample
    std::array<double, 2> spread{};    ///< uncertainty of `phase` from the segments' scatter, radians
    int64_t reference = 0;             ///< sample

    double value(const BeepGeometry& geometry, int64_t n) const;
};

// Each tone's frequency error, from how far it turns between consecutive segments; segments
// must follow each other one hop apart. Zero with fewer than two.
std::array<double, 2> frequency_offsets(const std::vector<Segment>& segments, const BeepGeometry& geometry);
// Amplitudes and phases at `reference` over `segments`, for the given frequency errors.
ToneModel fit_tones(const std::vector<Segment>& segments, const std::array<double, 2>& offsets,
    int64_t reference, const BeepGeometry& geometry);

// Where the tones, in phase with `model`, rise to half of it over a detection window, looking
// back from block `sure_block`, where they sound, as far as `first_block`: a rough onset
// (sample) that sound near the tones' frequencies but out of phase with them hardly moves.
// −1 if the tones are not there at `sure_block`.
int64_t rise_in_phase(const ToneHistory& history, const BeepGeometry& geometry, const ToneModel& model,
    int64_t first_block, int64_t sure_block);

struct OnsetFit {
    double onset = 0;      ///< sample, fractional: both tones start here at phase 0 (π if inverted)
    bool inverted = false; ///< the tones start at phase π
    double explained = 0;  ///< part of the fitted beep's energy around the onset that the samples hold
    double before = 0;     ///< part of the tones already sounding in the 4 ms before the onset
};

// The onset within 3 ms of `model.reference` (a rough onset), with the tones as `model`
// measured them after it. Samples from `limit` on are left out. `expect_inverted`, when set,
// is the polarity the channel's earlier beeps had.
OnsetFit fit_onset(const ToneHistory& history, const BeepGeometry& geometry, const ToneModel& model, int64_t limit,
    std::optional<bool> expect_inverted);

// The first sample after the tones, within 3 ms of `rough_end` and not before `onset`, for the
// tones as `model` measured them just before the end.
int64_t fit_end(const ToneHistory& history, const BeepGeometry& geometry, const ToneModel& model,
    int64_t rough_end, double onset);

} // namespace robust

} // namespace skelv
