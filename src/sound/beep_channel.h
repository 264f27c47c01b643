// One channel's beep search: a detection window over the tone sums opens a candidate where the
// two tones carry most of the energy; the onset is fitted once the tones have sounded for a
// while, the end once they stop, and the whole is checked against the beep's design before it
// is reported.
#pragma once

#include "sound/beep_detector.h"
#include "sound/beep_fit.h"
#include "sound/tone_history.h"

#include <cstdint>
#include <vector>

namespace skelv {

namespace robust {

// What a beep's segments add up to, from its onset to shortly before its end.
struct BeepStats {
    std::array<Complex, 2> turn{};     ///< per tone, Σ segment sum × conj(previous segment sum)
    std::array<double, 2> amplitude{}; ///< per tone, Σ of the segments' amplitudes
    double tone_energy = 0;            ///< both tones, as segments count energy
    double energy = 0;                 ///< everything
    int count = 0;                     ///< segments
    Segment previous;

    void add(const Segment& segment, const BeepGeometry& geometry);
    // Each tone's frequency error (radians per sample); `fallback` with fewer than two segments.
    std::array<double, 2> offsets(const BeepGeometry& geometry, const std::array<double, 2>& fallback) const;
};

class BeepChannel {
public:
    BeepChannel(const BeepGeometry& geometry, int channel);

    void feed(const float* samples, size_t frames, size_t stride);
    // No beep this channel reports from now on starts before this sample.
    int64_t horizon() const;
    // Beeps found since the last call, in the order they ended.
    std::vector<DetectedBeep> take_found();

private:
    enum class State {
        Idle,     ///< no tones
        Rising,   ///< tones started; waiting for enough of them to fit the onset
        Tracking, ///< onset fitted; waiting for the end
    };
    struct Window {
        double level = 0;                 ///< peak amplitude of the tone pair
        std::array<double, 2> share = {}; ///< each tone's part of the window's energy
    };

    Window slide_window(int64_t block);
    bool opens(const Window& window) const;
    bool holds(const Window& window) const;
    void on_block(int64_t block);
    void open(int64_t block, const Window& window);
    void close(int64_t block);
    void rise(int64_t block, const Window& window);
    void track(int64_t block, const Window& window);

    double typical_level(int64_t first_block, int64_t last_block) const;
    int64_t earliest_block() const;
    int64_t rough_onset() const;
    int64_t rough_end(int64_t last_block) const;
    std::vector<Segment> segments_from(int64_t first_sample, int64_t limit) const;
    std::vector<Segment> measure_from_onset(int64_t limit);
    bool fit_onset_before(int64_t limit);
    void report(int64_t rough_end);
    bool echo_of_last_beep(double onset) const;

    BeepGeometry geometry_;
    int channel_;
    ToneHistory history_;
    std::array<Complex, 2> window_tone_{}; ///< per tone, Σ of the block sums in the detection window
    double window_energy_ = 0;             ///< Σ of the block energies in the detection window
    State state_ = State::Idle;
    int64_t quiet_since_ = 0;  ///< first block after the last candidate closed
    int64_t trigger_ = 0;      ///< block where the candidate opened
    int64_t rough_onset_ = 0;  ///< sample, within a few ms of the onset
    double level_ = 0;         ///< the tones' level: the highest while rising, then the typical one
    int64_t next_segment_ = 0; ///< first block of the next segment to count while tracking
    ToneModel onset_model_;    ///< the tones as measured after the onset
    OnsetFit onset_;
    BeepStats stats_;
    int polarity_lean_ = 0; ///< inverted beeps minus upright ones, within ±memory
    // A room's echoes of the last beep, until its tones fall quiet.
    double last_onset_ = -1e300;        ///< sample: the last beep's onset
    double quiet_level_ = 0;            ///< peak amplitude of the tone pair below which they are quiet
    int64_t quiet_from_ = INT64_MAX;    ///< sample from which they were quiet; INT64_MAX: not yet
    std::vector<DetectedBeep> found_;
};

} // namespace robust

} // namespace skelv
