#include "sound/beep_channel.h"

#include <algorithm>
#include <cmath>

namespace skelv {

namespace robust {

namespace {

// Opening: each tone holds at least this part of the detection window's energy, both together
// at least the second part. Speech, music and noise stay far below.
constexpr double kOpenShare = 0.15;
constexpr double kOpenPairShare = 0.5;
// Holding, once open; the level may not fall below this part of the tones' level either.
constexpr double kHoldShare = 0.02;
constexpr double kHoldPairShare = 0.1;
constexpr double kHoldLevel = 0.25;
// Quieter tone pairs (peak amplitude, dBFS) are not looked at.
constexpr double kFloorDbfs = -75;
// A level this many times the tones' level is a new sound starting over them.
constexpr double kNewSoundRise = 2;

constexpr double kOnsetSpanMs = 40;   // tones measured after the rough onset to fit it
constexpr double kLongestRiseMs = 90; // the onset is fitted by then, with what there is
constexpr double kEdgeGapMs = 1;      // measurements keep this far from a rough edge
constexpr double kGuardMs = 1.5;      // and, while tracking, from where the end could lie
constexpr double kRecentMs = 20;      // the end's level is the typical one over this long before it
// Loud sound over a beep's start can hold the opening back; the level still rises on time.
constexpr double kLookBackMs = 30;
constexpr double kDipMs = 2; // dips in the level shorter than this do not end the tones' rise
constexpr int kEndSegments = 3; // measurements of the tones just before the end

// What a beep must show. The generator's beeps last 20 ms or more; a sample clock may run
// up to 0.5 % off, which the high tone shows best (sound near 547 Hz sways the low tone's
// reading); codecs and band limits tilt the tones' balance by a few dB at most.
constexpr double kMinDurationMs = 15;
constexpr double kMaxLowFrequencyError = 0.015;
constexpr double kMaxHighFrequencyError = 0.01;
// Over the first 40 ms only, the low tone's reading is looser still.
constexpr double kMaxEarlyLowFrequencyError = 0.03;
constexpr double kMinConfidenceDb = 3;  // the tones hold at least twice the energy of all else
constexpr double kMaxConfidenceDb = 60; // reported for a clean beep
constexpr double kMaxBalanceDb = 6;
constexpr double kMaxBefore = 0.3;     // part of the tones (either polarity) sounding before the onset
constexpr double kMinExplained = 0.25; // part of the fitted onset's energy that the samples hold
// A chain keeps its polarity: once a channel's beeps lean this many more to one polarity,
// onsets keep to it unless the other fits far better. The lean counts up to the memory.
constexpr int kPolarityLean = 3;
constexpr int kPolarityMemory = 6;
// In a room a beep's echoes (reflections 20 to 150 ms late, and the sums of several) overlap
// it and each other; where some end or start, the rest sound like tones starting anew. The
// clip's beeps start after silence: till the tones of the last beep fall this far below its
// level, what starts within an echo's reach of its onset is its echo.
constexpr double kQuietAfterBeep = 0.1;
constexpr double kEchoReachMs = 200;

double amplitude_floor()
{
    return std::pow(10.0, kFloorDbfs / 20);
}

int64_t floor_div(int64_t a, int64_t b)
{
    return a >= 0 ? a / b : -((-a + b - 1) / b);
}

int64_t ceil_div(int64_t a, int64_t b)
{
    return -floor_div(-a, b);
}

double balance_db(const std::array<double, 2>& amplitude)
{
    return 20 * std::log10(std::max(amplitude[0], 1e-30) / std::max(amplitude[1], 1e-30));
}

std::array<double, 2> relative_errors(const std::array<double, 2>& offsets, const BeepGeometry& geometry)
{
    return {offsets[0] / geometry.omega(0), offsets[1] / geometry.omega(1)};
}

bool frequencies_fit(const std::array<double, 2>& error, double max_low_error)
{
    return std::abs(error[0]) <= max_low_error && std::abs(error[1]) <= kMaxHighFrequencyError;
}

} // namespace

void BeepStats::add(const Segment& segment, const BeepGeometry& geometry)
{
    for (int tone = 0; tone < 2; ++tone) {
        const size_t t = size_t(tone);
        if (count > 0)
            turn[t] += segment.tone[t] * std::conj(previous.tone[t]);
        amplitude[t] += tone_amplitude(segment, tone, geometry);
        tone_energy += robust::tone_energy(segment, tone, geometry);
    }
    energy += segment.energy;
    previous = segment;
    ++count;
}

std::array<double, 2> BeepStats::offsets(const BeepGeometry& geometry, const std::array<double, 2>& fallback) const
{
    if (count < 2)
        return fallback;
    return {std::arg(turn[0]) / double(geometry.hop()), std::arg(turn[1]) / double(geometry.hop())};
}

BeepChannel::BeepChannel(const BeepGeometry& geometry, int channel)
    : geometry_(geometry), channel_(channel), history_(geometry)
{
}

void BeepChannel::feed(const float* samples, size_t frames, size_t stride)
{
    size_t done = 0;
    while (done < frames) {
        done += history_.add(samples + done * stride, frames - done, stride);
        if (history_.block_full())
            on_block(history_.close_block());
    }
}

// A found onset lies at most the look-back, half a window and the search reach before the
// opening block.
int64_t BeepChannel::horizon() const
{
    const int64_t margin = geometry_.samples(kLookBackMs + 4) + geometry_.window();
    return (state_ == State::Idle ? history_.samples() : (trigger_ + 1) * geometry_.block) - margin;
}

std::vector<DetectedBeep> BeepChannel::take_found()
{
    std::vector<DetectedBeep> found;
    found.swap(found_);
    return found;
}

// The window's sums follow the blocks: the new block in, the one a window back out.
BeepChannel::Window BeepChannel::slide_window(int64_t block)
{
    const ToneBlock& entering = history_.block(block);
    const ToneBlock& leaving = history_.block(block - geometry_.window_blocks);
    for (size_t t = 0; t < 2; ++t)
        window_tone_[t] += entering.tone[t] - leaving.tone[t];
    window_energy_ += entering.energy - leaving.energy;
    const double length = double(geometry_.window());
    const double energy = std::max(window_energy_, 0.0);
    Window window;
    window.level = 2.0 * (std::sqrt(std::norm(window_tone_[0])) + std::sqrt(std::norm(window_tone_[1]))) / length;
    for (size_t t = 0; t < 2; ++t)
        window.share[t] = energy > 0 ? 2.0 * std::norm(window_tone_[t]) / length / energy : 0.0;
    return window;
}

bool BeepChannel::opens(const Window& w) const
{
    return w.share[0] >= kOpenShare && w.share[1] >= kOpenShare && w.share[0] + w.share[1] >= kOpenPairShare &&
           w.level >= amplitude_floor();
}

bool BeepChannel::holds(const Window& w) const
{
    return w.share[0] >= kHoldShare && w.share[1] >= kHoldShare && w.share[0] + w.share[1] >= kHoldPairShare &&
           w.level >= kHoldLevel * level_;
}

void BeepChannel::on_block(int64_t block)
{
    const Window window = slide_window(block);
    history_.set_level(block, window.level);
    if (quiet_from_ == INT64_MAX && window.level < quiet_level_)
        quiet_from_ = (block + 1) * geometry_.block - geometry_.window();
    switch (state_) {
    case State::Idle:
        if (opens(window))
            open(block, window);
        break;
    case State::Rising: rise(block, window); break;
    case State::Tracking: track(block, window); break;
    }
}

void BeepChannel::open(int64_t block, const Window& window)
{
    state_ = State::Rising;
    trigger_ = block;
    level_ = window.level;
    rise(block, window);
}

// Sound that turned out no beep is closed like one: the channel may open again on the next
// block, so that a beep starting over that sound is found.
void BeepChannel::close(int64_t block)
{
    state_ = State::Idle;
    quiet_since_ = block + 1;
}

// While the tones rise the level to hold is the highest so far. Once they have sounded for a
// while, their typical level places the rise, and the onset is fitted when the tones after it
// are all in.
void BeepChannel::rise(int64_t block, const Window& window)
{
    level_ = std::max(level_, window.level);
    if (!holds(window)) { // a short beep: over before the onset was fitted
        level_ = typical_level(trigger_, std::max(trigger_, block - geometry_.window_blocks));
        rough_onset_ = rough_onset();
        const int64_t end = rough_end(block);
        if (fit_onset_before(end - geometry_.samples(kEdgeGapMs)))
            report(end);
        close(block);
        return;
    }
    const int64_t settled = (block + 1) * geometry_.block - geometry_.window() - geometry_.samples(kGuardMs);
    const int64_t span = geometry_.samples(kOnsetSpanMs);
    if (settled < (trigger_ + 1) * geometry_.block + span)
        return;
    const double rising_level = level_;
    level_ = typical_level(trigger_, block);
    rough_onset_ = rough_onset();
    const int64_t sure = std::max(rough_onset_, (trigger_ + 1) * geometry_.block); // tones sound from here
    if (sure + span > settled && block - trigger_ <= geometry_.blocks(kLongestRiseMs)) {
        level_ = rising_level;
        return;
    }
    if (fit_onset_before(std::min(sure + span, settled)))
        state_ = State::Tracking;
    else
        close(block);
}

// Segments join the beep's sums once the end can no longer lie within them. A much louder
// sound ends what is tracked and opens anew.
void BeepChannel::track(int64_t block, const Window& window)
{
    const bool new_sound = window.level > kNewSoundRise * level_ && opens(window);
    if (!holds(window) || new_sound) {
        report(rough_end(block));
        close(block);
        if (new_sound)
            open(block, window);
        return;
    }
    const int64_t settled = (block + 1) * geometry_.block - geometry_.window() - geometry_.samples(kGuardMs);
    while ((next_segment_ + geometry_.segment_blocks) * geometry_.block <= settled) {
        stats_.add(measure_segment(history_, geometry_, next_segment_), geometry_);
        next_segment_ += geometry_.hop_blocks();
    }
}

// The upper quartile of the levels: sound over the tones sways their level both ways, and a
// quieter lead-in (sound that opened the candidate early) may take up to half of the blocks.
double BeepChannel::typical_level(int64_t first_block, int64_t last_block) const
{
    std::vector<double> levels;
    for (int64_t b = first_block; b <= last_block; ++b)
        levels.push_back(history_.block(b).level);
    const auto quartile = levels.begin() + long(levels.size() * 3 / 4);
    std::nth_element(levels.begin(), quartile, levels.end());
    return *quartile;
}

int64_t BeepChannel::earliest_block() const
{
    return std::max(trigger_ - geometry_.blocks(kLookBackMs), quiet_since_);
}

// Where the level, rising to the tones' level, passes half of it: back from the opening when
// it opened on the tones (over dips that sound over them causes, as far as the look-back but
// not before the last sound ended), forward when it opened on a quieter lead-in. The window's
// level climbs from the onset for one window length, so the onset lies half a window before.
int64_t BeepChannel::rough_onset() const
{
    const double half = 0.5 * level_;
    const auto above = [&](int64_t b) { return history_.block(b).level >= half; };
    int64_t b = trigger_;
    if (above(b)) {
        const int64_t earliest = earliest_block();
        const int64_t bridge = geometry_.blocks(kDipMs);
        for (int64_t step = 1; step <= bridge && b - step >= earliest;)
            if (above(b - step)) {
                b -= step;
                step = 1;
            } else {
                ++step;
            }
    } else {
        while (!above(b) && b < history_.blocks() - 1)
            ++b;
    }
    return (b + 1) * geometry_.block - geometry_.window() / 2 - geometry_.block / 2;
}

// Likewise down from the end, against the typical level just before it.
int64_t BeepChannel::rough_end(int64_t last_block) const
{
    const int64_t first = floor_div(rough_onset_, geometry_.block);
    const int64_t settled = std::max(last_block - geometry_.window_blocks, first);
    const double recent = typical_level(std::max(settled - geometry_.blocks(kRecentMs), first), settled);
    int64_t b = last_block;
    while (b > first && history_.block(b).level < 0.5 * recent)
        --b;
    return (b + 1) * geometry_.block - geometry_.window() / 2 + geometry_.block / 2;
}

std::vector<Segment> BeepChannel::segments_from(int64_t first_sample, int64_t limit) const
{
    std::vector<Segment> segments;
    for (int64_t b = ceil_div(first_sample, geometry_.block);
         (b + geometry_.segment_blocks) * geometry_.block <= limit; b += geometry_.hop_blocks())
        segments.push_back(measure_segment(history_, geometry_, b));
    return segments;
}

// Measures the tones up to `limit` from where they surely sound: just after the rough onset,
// and not before the opening. Loud sound near the tones' frequencies can misplace the rough
// onset, most of all before the opening; so the tones' rise in phase with this measurement
// places the rough onset again, and the measurement starts after it if that is later.
std::vector<Segment> BeepChannel::measure_from_onset(int64_t limit)
{
    const int64_t gap = geometry_.samples(kEdgeGapMs);
    const int64_t sure = std::max(rough_onset_, (trigger_ + 1) * geometry_.block) + gap;
    std::vector<Segment> segments = segments_from(sure, limit);
    if (segments.size() < 2)
        return segments;
    const ToneModel model = fit_tones(segments, frequency_offsets(segments, geometry_), sure, geometry_);
    const int64_t rise = rise_in_phase(history_, geometry_, model, earliest_block(),
        floor_div(sure, geometry_.block) + geometry_.window_blocks);
    if (rise >= 0)
        rough_onset_ = rise;
    if (rough_onset_ + gap > sure)
        segments = segments_from(rough_onset_ + gap, limit);
    return segments;
}

// Fits the onset and starts the beep's sums with the tones measured after it. False when the
// onset is not a beep's.
bool BeepChannel::fit_onset_before(int64_t limit)
{
    const std::vector<Segment> segments = measure_from_onset(limit);
    if (segments.size() < 2)
        return false;
    onset_model_ = fit_tones(segments, frequency_offsets(segments, geometry_), rough_onset_, geometry_);
    std::optional<bool> expect_inverted;
    if (std::abs(polarity_lean_) >= kPolarityLean)
        expect_inverted = polarity_lean_ > 0;
    onset_ = fit_onset(history_, geometry_, onset_model_, limit, expect_inverted);
    stats_ = BeepStats{};
    for (const Segment& segment : segments)
        stats_.add(segment, geometry_);
    next_segment_ = segments.back().first_block + geometry_.hop_blocks();
    return onset_.explained >= kMinExplained && std::abs(onset_.before) <= kMaxBefore &&
           std::abs(balance_db(onset_model_.amplitude)) <= kMaxBalanceDb &&
           frequencies_fit(relative_errors(onset_model_.offset, geometry_), kMaxEarlyLowFrequencyError);
}

// Fits the end with the tones as they sound just before it, then checks the whole beep.
void BeepChannel::report(int64_t rough_end)
{
    const std::array<double, 2> offsets = stats_.offsets(geometry_, onset_model_.offset);
    const int64_t gap = geometry_.samples(kEdgeGapMs);
    std::vector<Segment> last;
    int64_t first = floor_div(rough_end - gap, geometry_.block) - geometry_.segment_blocks;
    for (int k = 0; k < kEndSegments && double(first * geometry_.block) >= onset_.onset + double(gap); ++k) {
        last.insert(last.begin(), measure_segment(history_, geometry_, first));
        first -= geometry_.hop_blocks();
    }
    const ToneModel end_model = last.empty() ? onset_model_ : fit_tones(last, offsets, rough_end, geometry_);
    const int64_t end = fit_end(history_, geometry_, end_model, rough_end, onset_.onset);

    const std::array<double, 2> amplitude = {stats_.amplitude[0] / stats_.count, stats_.amplitude[1] / stats_.count};
    const std::array<double, 2> error = relative_errors(offsets, geometry_);
    const double rest = std::max(stats_.energy - stats_.tone_energy, stats_.energy * std::pow(10.0, -kMaxConfidenceDb / 10));

    DetectedBeep beep;
    beep.onset = onset_.onset;
    beep.end = double(end);
    beep.level_dbfs = 20 * std::log10(std::max(amplitude[0] + amplitude[1], 1e-30));
    beep.confidence = 10 * std::log10(std::max(stats_.tone_energy, 1e-300) / std::max(rest, 1e-300));
    beep.channel = channel_;
    beep.inverted = onset_.inverted;
    beep.frequency_error = error[1];

    const bool is_beep = geometry_.ms(beep.end - beep.onset) >= kMinDurationMs && beep.level_dbfs >= kFloorDbfs &&
                         std::abs(balance_db(amplitude)) <= kMaxBalanceDb && beep.confidence >= kMinConfidenceDb &&
                         frequencies_fit(error, kMaxLowFrequencyError) && !echo_of_last_beep(beep.onset);
    if (is_beep) {
        found_.push_back(beep);
        polarity_lean_ = std::clamp(polarity_lean_ + (beep.inverted ? 1 : -1), -kPolarityMemory, kPolarityMemory);
        last_onset_ = beep.onset;
        quiet_level_ = kQuietAfterBeep * (amplitude[0] + amplitude[1]);
        quiet_from_ = INT64_MAX;
    }
}

bool BeepChannel::echo_of_last_beep(double onset) const
{
    return onset < double(quiet_from_) && onset - last_onset_ <= double(geometry_.samples(kEchoReachMs));
}

} // namespace robust

} // namespace skelv
