#include "sound/beep_fit.h"

#include <cmath>
#include <limits>
#include <optional>

namespace skelv {

namespace robust {

namespace {

constexpr double kSearchMs = 3; // candidates either side of a rough edge
constexpr double kBeforeMs = 4; // quiet expected before an onset
constexpr double kLeastSpread = 1e-6; // radians: phases are never taken as more certain
// The other polarity wins only with less than this part of the expected polarity's cost.
constexpr double kOverrule = 0.5;

double wrapped(double angle)
{
    return std::remainder(angle, 2.0 * M_PI);
}

double window_weight(int index, int length)
{
    const double s = std::sin(M_PI * (index + 0.5) / length);
    return s * s;
}

// Σ of the window weights over a segment; the sin² weights sum to half the length.
double weight_sum(const BeepGeometry& geometry)
{
    return 0.5 * geometry.segment_blocks;
}

// A candidate onset: the beep as designed, both tones starting at phase 0 (π if inverted),
// at the measured amplitudes and frequencies.
struct Candidate {
    double onset = 0;
    bool inverted = false;
    double cost = std::numeric_limits<double>::infinity(); ///< Σ (difference − beep's difference)²
    double beep_energy = 0;                                ///< Σ beep's difference²
};

// Candidates are compared on sample differences: differencing whitens what usually sounds
// under a beep (speech, music, hum and pink noise are strongest at low frequencies), so the
// decision rests most on the high tone, which they disturb least.
class OnsetWindow {
public:
    OnsetWindow(const ToneHistory& history, const BeepGeometry& geometry, const ToneModel& model, int64_t limit)
        : geometry_(geometry), model_(model)
    {
        first_ = model.reference - geometry.samples(kSearchMs + 2);
        const int64_t end = std::max(std::min(model.reference + geometry.samples(kSearchMs + 4), limit), first_);
        float previous = history.sample(first_ - 1);
        for (int64_t n = first_; n < end; ++n) {
            const float x = history.sample(n);
            differences_.push_back(double(x) - previous);
            energy_ += differences_.back() * differences_.back();
            previous = x;
        }
    }

    double energy() const { return energy_; }

    // Sets the candidate's cost and its beep's energy over the window.
    void evaluate(Candidate& candidate) const
    {
        const int64_t first_tone_sample = int64_t(std::ceil(candidate.onset));
        const int64_t start = std::max(first_, first_tone_sample);
        std::array<Complex, 2> rotor, step;
        for (size_t t = 0; t < 2; ++t) {
            const double omega = geometry_.omega(int(t)) + model_.offset[t];
            rotor[t] = std::polar(1.0, omega * (double(start - 1) - candidate.onset));
            step[t] = std::polar(1.0, omega);
        }
        const double sign = candidate.inverted ? -1.0 : 1.0;
        const auto beep = [&] { return sign * (model_.amplitude[0] * rotor[0].imag() + model_.amplitude[1] * rotor[1].imag()); };
        double previous = start > first_tone_sample ? beep() : 0.0;
        candidate.cost = energy_;
        candidate.beep_energy = 0;
        for (int64_t n = start; n < first_ + int64_t(differences_.size()); ++n) {
            rotor[0] *= step[0];
            rotor[1] *= step[1];
            const double value = beep();
            const double difference = value - previous;
            candidate.cost += difference * difference - 2.0 * differences_[size_t(n - first_)] * difference;
            candidate.beep_energy += difference * difference;
            previous = value;
        }
    }

private:
    const BeepGeometry& geometry_;
    const ToneModel& model_;
    int64_t first_ = 0;                ///< sample of differences_[0]
    std::vector<double> differences_;  ///< x[n] − x[n − 1] over the window
    double energy_ = 0;                ///< Σ differences²
};

// How much of the tones, continued back from the onset, sounds in the 4 ms before it: 1 if
// they were there all along, near 0 for a beep. The in-phase part only, so that other sound
// near the tones' frequencies counts half.
double tones_before(const ToneHistory& history, const BeepGeometry& geometry, const ToneModel& model,
    double onset, bool inverted)
{
    const int64_t first_tone_sample = int64_t(std::ceil(onset));
    const int64_t length = geometry.samples(kBeforeMs);
    double share = 0, weights = 0;
    for (size_t t = 0; t < 2; ++t) {
        const double omega = geometry.omega(int(t)) + model.offset[t];
        Complex sum;
        for (int64_t n = first_tone_sample - length; n < first_tone_sample; ++n)
            sum += double(history.sample(n)) * std::polar(1.0, -omega * (double(n) - onset));
        // A tone s·A·sin(ω(n − onset)) sums to s·A·length/(2i).
        const Complex expected = (inverted ? -1.0 : 1.0) * model.amplitude[t] * double(length) / Complex(0, 2);
        const double weight = model.amplitude[t] * model.amplitude[t];
        if (std::norm(expected) > 0)
            share += weight * std::real(sum / expected);
        weights += weight;
    }
    return weights > 0 ? share / weights : 1.0;
}

// Where tone `tone` would have started, relative to the reference, for its phase there: one
// of a lattice of such places, a period of the tone apart.
double tone_start(const BeepGeometry& geometry, const ToneModel& model, int tone, bool inverted)
{
    const size_t t = size_t(tone);
    const double start_phase = -M_PI / 2 + (inverted ? M_PI : 0.0);
    const double turn = wrapped(start_phase - tone_phase(geometry, tone, model.reference) - model.phase[t]);
    return turn / (geometry.omega(tone) + model.offset[t]);
}

double tone_period(const BeepGeometry& geometry, const ToneModel& model, int tone)
{
    return 2.0 * M_PI / (geometry.omega(tone) + model.offset[size_t(tone)]);
}

// Samples from the nearest start of tone `tone`'s own lattice to `start` (relative to the
// model's reference).
double lattice_distance(const BeepGeometry& geometry, const ToneModel& model, int tone, bool inverted, double start)
{
    const double period = tone_period(geometry, model, tone);
    const double lattice = tone_start(geometry, model, tone, inverted);
    return start - (lattice + std::round((start - lattice) / period) * period);
}

// True for inverted, from the best candidate of either polarity.
bool choose_polarity(const std::array<Candidate, 2>& best, std::optional<bool> expect_inverted)
{
    if (!expect_inverted)
        return best[1].cost < best[0].cost;
    const bool expected = *expect_inverted;
    return best[size_t(!expected)].cost < kOverrule * best[size_t(expected)].cost ? !expected : expected;
}

} // namespace

Segment measure_segment(const ToneHistory& history, const BeepGeometry& geometry, int64_t first_block)
{
    Segment segment;
    for (int b = 0; b < geometry.segment_blocks; ++b) {
        const double weight = window_weight(b, geometry.segment_blocks);
        const ToneBlock& block = history.block(first_block + b);
        segment.tone[0] += weight * block.tone[0];
        segment.tone[1] += weight * block.tone[1];
        segment.energy += weight * block.energy;
    }
    segment.centre = double(first_block * geometry.block) + 0.5 * double(geometry.segment() - 1);
    segment.first_block = first_block;
    return segment;
}

double tone_amplitude(const Segment& segment, int tone, const BeepGeometry& geometry)
{
    return 2.0 * std::abs(segment.tone[size_t(tone)]) / (geometry.block * weight_sum(geometry));
}

double tone_energy(const Segment& segment, int tone, const BeepGeometry& geometry)
{
    return 2.0 * std::norm(segment.tone[size_t(tone)]) / (geometry.block * weight_sum(geometry));
}

double ToneModel::value(const BeepGeometry& geometry, int64_t n) const
{
    double sum = 0;
    for (int tone = 0; tone < 2; ++tone) {
        const size_t t = size_t(tone);
        sum += amplitude[t] * std::cos(tone_phase(geometry, tone, n) + phase[t] + offset[t] * double(n - reference));
    }
    return sum;
}

std::array<double, 2> frequency_offsets(const std::vector<Segment>& segments, const BeepGeometry& geometry)
{
    std::array<double, 2> offsets{};
    for (size_t t = 0; t < 2; ++t) {
        Complex turn;
        for (size_t k = 1; k < segments.size(); ++k)
            turn += segments[k].tone[t] * std::conj(segments[k - 1].tone[t]);
        offsets[t] = std::arg(turn) / double(geometry.hop());
    }
    return offsets;
}

ToneModel fit_tones(const std::vector<Segment>& segments, const std::array<double, 2>& offsets,
    int64_t reference, const BeepGeometry& geometry)
{
    ToneModel model;
    model.reference = reference;
    model.offset = offsets;
    const double count = double(std::max<size_t>(segments.size(), 1));
    for (size_t t = 0; t < 2; ++t) {
        std::vector<Complex> turned;
        Complex sum;
        for (const Segment& segment : segments) {
            turned.push_back(segment.tone[t] * std::polar(1.0, -offsets[t] * (segment.centre - double(reference))));
            sum += turned.back();
        }
        const Complex mean = sum / count;
        double scatter = 0;
        for (const Complex& value : turned)
            scatter += std::norm(value - mean);
        scatter /= std::max(count - 1, 1.0);
        model.amplitude[t] = 2.0 * std::abs(mean) / (geometry.block * weight_sum(geometry));
        model.phase[t] = std::arg(sum);
        model.spread[t] = std::max(std::sqrt(scatter / count) / std::max(std::abs(mean), 1e-300), kLeastSpread);
    }
    return model;
}

// Each block's tone sums, projected on the model's: about 1 where the tones sound as measured,
// and a window's mean crosses half a window after they start. The crossing is found back from
// `sure_block`, where the tones sound: sound before them may swing the mean up, but rarely
// for long.
int64_t rise_in_phase(const ToneHistory& history, const BeepGeometry& geometry, const ToneModel& model,
    int64_t first_block, int64_t sure_block)
{
    const int64_t window = geometry.window_blocks;
    std::vector<double> mean; // of the window ending at each block from first_block on
    double sum = 0;
    for (int64_t b = first_block - window + 1; b <= sure_block; ++b) {
        for (const int64_t block : {b, b - window}) {
            const double centre = double(block * geometry.block) + 0.5 * (geometry.block - 1);
            double projected = 0, expected_energy = 0;
            for (size_t t = 0; t < 2; ++t) {
                const double phase = model.phase[t] + model.offset[t] * (centre - double(model.reference));
                const Complex expected = std::polar(0.5 * geometry.block * model.amplitude[t], phase);
                projected += std::real(history.block(block).tone[t] * std::conj(expected));
                expected_energy += std::norm(expected);
            }
            const double in_phase = expected_energy > 0 ? projected / expected_energy : 0.0;
            sum += block == b ? in_phase : -in_phase;
        }
        if (b >= first_block)
            mean.push_back(sum / double(window));
    }
    if (mean.empty() || mean.back() < 0.5)
        return -1;
    size_t i = mean.size() - 1;
    while (i > 0 && mean[i - 1] >= 0.5)
        --i;
    const int64_t block = first_block + int64_t(i);
    return (block + 1) * geometry.block - geometry.window() / 2 - geometry.block / 2;
}

// The tones' phases place the onset on a lattice a high-tone period apart (for either
// polarity); the candidate whose designed beep fits the samples around the rough onset best
// wins, keeping to the expected polarity unless the other fits far better. Its low tone's
// start lies on the nearest point of its own lattice, and the onset is the mean of the two
// starts weighted by how precisely each phase places its own.
OnsetFit fit_onset(const ToneHistory& history, const BeepGeometry& geometry, const ToneModel& model, int64_t limit,
    std::optional<bool> expect_inverted)
{
    const OnsetWindow window(history, geometry, model, limit);
    const double reach = double(geometry.samples(kSearchMs));
    const double high_period = tone_period(geometry, model, 1);
    std::array<Candidate, 2> best; // per polarity: upright, inverted
    for (const bool inverted : {false, true}) {
        const double start = tone_start(geometry, model, 1, inverted);
        for (double k = std::ceil((-reach - start) / high_period); start + k * high_period <= reach; ++k) {
            Candidate candidate{double(model.reference) + start + k * high_period, inverted};
            window.evaluate(candidate);
            if (candidate.cost < best[size_t(inverted)].cost)
                best[size_t(inverted)] = candidate;
        }
    }
    const bool inverted = choose_polarity(best, expect_inverted);
    const Candidate& chosen = best[size_t(inverted)];

    OnsetFit fit;
    fit.inverted = inverted;
    fit.explained = chosen.beep_energy > 0 ? (window.energy() - chosen.cost) / chosen.beep_energy : 0.0;
    const double high_start = chosen.onset - double(model.reference);
    const double low_start = high_start - lattice_distance(geometry, model, 0, inverted, high_start);
    std::array<double, 2> weight;
    for (size_t t = 0; t < 2; ++t) {
        const double samples_uncertain = model.spread[t] / (geometry.omega(int(t)) + model.offset[t]);
        weight[t] = 1.0 / (samples_uncertain * samples_uncertain);
    }
    fit.onset = double(model.reference) + (weight[0] * low_start + weight[1] * high_start) / (weight[0] + weight[1]);
    fit.before = tones_before(history, geometry, model, fit.onset, fit.inverted);
    return fit;
}

// Least squares over the cut: the tones as measured up to the end, silence from it on. Plain
// samples, not differences as for the onset: there is no lattice to back the cut, and
// differences would weigh broadband noise up more than they weigh hum down.
int64_t fit_end(const ToneHistory& history, const BeepGeometry& geometry, const ToneModel& model,
    int64_t rough_end, double onset)
{
    const int64_t first = std::max(rough_end - geometry.samples(kSearchMs + 1), int64_t(std::ceil(onset)));
    const int64_t end = std::max(std::min(rough_end + geometry.samples(kSearchMs + 1), history.samples()), first);
    double cost = 0; // with the cut at `first`: everything silent
    for (int64_t n = first; n < end; ++n)
        cost += double(history.sample(n)) * history.sample(n);
    int64_t best = first;
    double best_cost = cost;
    for (int64_t cut = first; cut < end; ++cut) {
        const double x = history.sample(cut);
        const double left = x - model.value(geometry, cut);
        cost += left * left - x * x;
        if (cost < best_cost) {
            best_cost = cost;
            best = cut + 1;
        }
    }
    return best;
}

} // namespace robust

} // namespace skelv
