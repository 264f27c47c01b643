#include "sounds.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numeric>
#include <random>

namespace {

using Random = std::mt19937;

double uniform(Random& random, double low, double high)
{
    return std::uniform_real_distribution<double>(low, high)(random);
}

// Two-pole resonator with unit gain at its centre frequency.
class Resonator {
public:
    Resonator(double hz, double bandwidth, int rate)
    {
        const double r = std::exp(-M_PI * bandwidth / rate);
        const double theta = 2 * M_PI * std::min(hz, 0.45 * rate) / rate;
        a1_ = 2 * r * std::cos(theta);
        a2_ = -r * r;
        gain_ = (1 - r) * std::sqrt(1 - 2 * r * std::cos(2 * theta) + r * r);
    }
    double operator()(double x)
    {
        const double y = gain_ * x + a1_ * y1_ + a2_ * y2_;
        y2_ = y1_;
        y1_ = y;
        return y;
    }

private:
    double a1_ = 0, a2_ = 0, gain_ = 0, y1_ = 0, y2_ = 0;
};

// Raised-cosine attack and release over `edge` samples of a `length`-sample event.
double envelope(size_t i, size_t length, size_t edge)
{
    const size_t from_end = length - i;
    const size_t nearest = std::min(i, from_end);
    if (nearest >= edge)
        return 1;
    return 0.5 - 0.5 * std::cos(M_PI * double(nearest) / double(edge));
}

size_t samples_of(double seconds, int rate)
{
    return size_t(std::lround(seconds * rate));
}

void add_syllable(Sound& out, size_t start, int rate, Random& random, double& glottal_phase)
{
    const size_t length = samples_of(uniform(random, 0.12, 0.35), rate);
    const double f0_start = uniform(random, 85, 260);
    const double f0_end = f0_start * uniform(random, 0.8, 1.25);
    Resonator formants[] = {{uniform(random, 300, 850), 70, rate}, {uniform(random, 850, 2400), 100, rate},
        {uniform(random, 2400, 3300), 160, rate}};
    const double weights[] = {1.0, uniform(random, 0.3, 0.8), uniform(random, 0.1, 0.4)};
    double tilt = 0;
    const size_t edge = samples_of(uniform(random, 0.015, 0.04), rate);
    for (size_t i = 0; i < length && start + i < out.size(); ++i) {
        const double f0 = f0_start + (f0_end - f0_start) * double(i) / double(length);
        glottal_phase += f0 / rate;
        double pulse = 0;
        if (glottal_phase >= 1) {
            glottal_phase -= 1;
            pulse = 1;
        }
        tilt = 0.92 * tilt + pulse;
        double voiced = 0;
        for (size_t f = 0; f < 3; ++f)
            voiced += weights[f] * formants[f](tilt);
        out[start + i] += float(voiced * envelope(i, length, edge));
    }
}

void add_fricative(Sound& out, size_t start, int rate, Random& random)
{
    const size_t length = samples_of(uniform(random, 0.04, 0.13), rate);
    Resonator hiss(uniform(random, 0.25, 0.42) * rate, 0.15 * rate, rate);
    std::normal_distribution<double> noise(0, 0.3);
    for (size_t i = 0; i < length && start + i < out.size(); ++i)
        out[start + i] += float(hiss(noise(random)) * envelope(i, length, length / 4));
}

// One period of a timbre: harmonics with geometrically falling amplitudes.
std::vector<float> timbre_table(int harmonics, double fall)
{
    std::vector<float> table(2048);
    for (size_t i = 0; i < table.size(); ++i) {
        double value = 0;
        for (int k = 1; k <= harmonics; ++k)
            value += std::pow(fall, k - 1) * std::sin(2 * M_PI * k * double(i) / double(table.size()));
        table[i] = float(value);
    }
    return table;
}

void add_note(Sound& out, size_t start, size_t length, int rate, double hz, const std::vector<float>& table,
    double amplitude, size_t attack, double phase)
{
    const int harmonics_below_nyquist = int(0.5 * rate / hz);
    if (harmonics_below_nyquist < 1)
        return;
    const double decay = std::exp(-1.0 / (0.4 * rate));
    double gain = amplitude;
    for (size_t i = 0; i < length && start + i < out.size(); ++i) {
        phase += hz / rate;
        phase -= std::floor(phase);
        const double shape = i < attack ? double(i) / double(attack) : 1.0;
        const double release = length - i < attack ? double(length - i) / double(attack) : 1.0;
        out[start + i] += float(gain * shape * release * table[size_t(phase * double(table.size())) % table.size()]);
        gain *= decay;
    }
}

void add_percussion(Sound& out, size_t start, int rate, Random& random)
{
    const size_t length = samples_of(uniform(random, 0.03, 0.2), rate);
    const bool thump = uniform(random, 0, 1) < 0.5;
    std::normal_distribution<double> noise(0, 0.3);
    double phase = 0;
    for (size_t i = 0; i < length && start + i < out.size(); ++i) {
        const double fade = std::exp(-6.0 * double(i) / double(length));
        if (thump) {
            phase += (50 + 100 * fade) / rate;
            out[start + i] += float(0.8 * fade * std::sin(2 * M_PI * phase));
        } else {
            out[start + i] += float(fade * noise(random));
        }
    }
}

double blackman(double x) // x in [−1, 1]
{
    return 0.42 + 0.5 * std::cos(M_PI * x) + 0.08 * std::cos(2 * M_PI * x);
}

// Ideal low pass at `cutoff` (a fraction of the sample rate) at `t` samples from its centre,
// windowed over ± `half` samples.
double low_pass_tap(double t, double cutoff, double half)
{
    if (std::abs(t) >= half)
        return 0;
    const double x = 2 * cutoff * t;
    const double sinc = x == 0 ? 1.0 : std::sin(M_PI * x) / (M_PI * x);
    return 2 * cutoff * sinc * blackman(t / half);
}

} // namespace

void add_beep(Sound& sound, int rate, const BeepSpec& beep)
{
    const double low = 2 * M_PI * 547 * beep.clock / rate;
    const double high = 2 * M_PI * 1823 * beep.clock / rate;
    const auto first = size_t(std::max(0.0, std::ceil(beep.onset)));
    for (size_t n = first; n < sound.size() && double(n) < beep.onset + beep.length; ++n) {
        const double t = double(n) - beep.onset;
        sound[n] += float(beep.sign * beep.amplitude * (std::sin(low * t) + std::sin(high * t)));
    }
}

// Output m lies at m·from/to input samples; its fraction repeats every to/gcd outputs, so the
// taps are made once per fraction.
Sound resample(const Sound& sound, int from, int to)
{
    const double cutoff = 0.45 * std::min(from, to) / from; // of the input rate
    const long half = long(std::ceil(24 / (2 * cutoff)));   // 24 zero crossings either side
    const long phases = to / std::gcd(from, to);
    std::vector<std::vector<double>> taps(static_cast<size_t>(phases));
    for (long p = 0; p < phases; ++p) {
        const double fraction = double((p * long(from)) % to) / to;
        for (long k = -half; k <= half; ++k)
            taps[size_t(p)].push_back(low_pass_tap(fraction - double(k), cutoff, double(half) + 1));
    }
    Sound out(size_t(double(sound.size()) * to / from));
    for (size_t m = 0; m < out.size(); ++m) {
        const long base = long((int64_t(m) * from) / to);
        const std::vector<double>& phase_taps = taps[m % size_t(phases)];
        double sum = 0;
        for (long k = -half; k <= half; ++k) {
            const long i = base + k;
            if (i >= 0 && i < long(sound.size()))
                sum += sound[size_t(i)] * phase_taps[size_t(k + half)];
        }
        out[m] = float(sum);
    }
    return out;
}

Sound band_limit(const Sound& sound, int rate, double low_hz, double high_hz)
{
    const double half = std::ceil(0.008 * rate);
    std::vector<double> taps;
    for (double t = -half; t <= half; ++t)
        taps.push_back(low_pass_tap(t, high_hz / rate, half) - (low_hz > 0 ? low_pass_tap(t, low_hz / rate, half) : 0));
    Sound out(sound.size());
    const long centre = long(half);
    for (long n = 0; n < long(sound.size()); ++n) {
        double sum = 0;
        for (long k = 0; k < long(taps.size()); ++k) {
            const long i = n + k - centre;
            if (i >= 0 && i < long(sound.size()))
                sum += sound[size_t(i)] * taps[size_t(k)];
        }
        out[size_t(n)] = float(sum);
    }
    return out;
}

// Gain: the least of ceiling/|x| within 5 ms either way, then averaged over ±2.5 ms; each
// average stays below the gain every sample in its reach needs.
Sound limit(const Sound& sound, int rate, double ceiling)
{
    const long reach = long(0.005 * rate);
    const long size = long(sound.size());
    std::vector<double> needed(sound.size()), floor(sound.size());
    for (long n = 0; n < size; ++n)
        needed[size_t(n)] = std::min(1.0, ceiling / std::max(double(std::abs(sound[size_t(n)])), 1e-12));
    for (long n = 0; n < size; ++n) {
        double least = 1;
        for (long k = std::max(0L, n - reach); k <= std::min(size - 1, n + reach); ++k)
            least = std::min(least, needed[size_t(k)]);
        floor[size_t(n)] = least;
    }
    Sound out(sound.size());
    for (long n = 0; n < size; ++n) {
        double sum = 0;
        long count = 0;
        for (long k = std::max(0L, n - reach / 2); k <= std::min(size - 1, n + reach / 2); ++k, ++count)
            sum += floor[size_t(k)];
        out[size_t(n)] = float(sound[size_t(n)] * sum / double(count));
    }
    return out;
}

double rms(const Sound& sound)
{
    double sum = 0;
    for (const float x : sound)
        sum += double(x) * x;
    return sound.empty() ? 0 : std::sqrt(sum / double(sound.size()));
}

void mix(Sound& into, const Sound& other, double gain)
{
    for (size_t i = 0; i < std::min(into.size(), other.size()); ++i)
        into[i] += float(gain * other[i]);
}

void set_rms(Sound& sound, double target)
{
    const double current = rms(sound);
    if (current > 0)
        for (float& x : sound)
            x = float(x * target / current);
}

Sound white_noise(size_t samples, uint32_t seed)
{
    Random random(seed);
    std::normal_distribution<float> noise(0, 1);
    Sound sound(samples);
    for (float& x : sound)
        x = noise(random);
    return sound;
}

// Three first-order sections spread over the audio band give a slope close to −3 dB per octave.
Sound pink_noise(size_t samples, uint32_t seed)
{
    Sound sound = white_noise(samples, seed);
    double b0 = 0, b1 = 0, b2 = 0;
    for (float& x : sound) {
        b0 = 0.99765 * b0 + x * 0.0990460;
        b1 = 0.96300 * b1 + x * 0.2965164;
        b2 = 0.57000 * b2 + x * 1.0526913;
        x = float(b0 + b1 + b2 + x * 0.1848);
    }
    return sound;
}

Sound mains_hum(size_t samples, int rate, double mains_hz)
{
    const auto period = size_t(std::lround(rate / mains_hz));
    std::vector<double> cycle(period, 0.0);
    for (int k = 1; k * mains_hz <= std::min(2000.0, 0.45 * rate); ++k)
        for (size_t n = 0; n < period; ++n)
            cycle[n] += (k % 2 ? 1.0 : 0.4) / k * std::sin(2 * M_PI * k * double(n) / double(period) + k);
    Sound sound(samples);
    for (size_t n = 0; n < samples; ++n)
        sound[n] = float(cycle[n % period]);
    return sound;
}

Sound sine(size_t samples, int rate, double hz, double amplitude)
{
    Sound sound(samples);
    for (size_t n = 0; n < samples; ++n)
        sound[n] = float(amplitude * std::sin(2 * M_PI * hz * double(n) / rate));
    return sound;
}

Sound speech_like(size_t samples, int rate, uint32_t seed)
{
    Random random(seed);
    Sound sound(samples);
    double glottal_phase = 0;
    size_t at = 0;
    while (at < samples) {
        if (uniform(random, 0, 1) < 0.3) {
            add_fricative(sound, at, rate, random);
            at += samples_of(0.05, rate);
        }
        add_syllable(sound, at, rate, random, glottal_phase);
        at += samples_of(uniform(random, 0.1, 0.3), rate);
        if (uniform(random, 0, 1) < 0.15)
            at += samples_of(uniform(random, 0.1, 0.5), rate);
    }
    return sound;
}

Sound music_like(size_t samples, int rate, uint32_t seed)
{
    Random random(seed);
    Sound sound(samples);
    std::vector<std::vector<float>> timbres;
    for (int t = 0; t < 8; ++t)
        timbres.push_back(timbre_table(1 + int(uniform(random, 0, 8)), uniform(random, 0.2, 0.8)));
    const double a4 = uniform(random, 430, 446);
    size_t at = 0;
    while (at < samples) {
        const size_t length = samples_of(uniform(random, 0.1, 0.8), rate);
        const int voices = 1 + int(uniform(random, 0, 4));
        const size_t attack = samples_of(uniform(random, 0.002, 0.05), rate);
        for (int v = 0; v < voices; ++v) {
            const int note = int(uniform(random, -36, 28)); // semitones from A4: 55 Hz .. 2.2 kHz
            const double cents = uniform(random, -10, 10);
            const double hz = a4 * std::pow(2.0, (note + cents / 100) / 12);
            const auto& table = timbres[size_t(uniform(random, 0, double(timbres.size())))];
            add_note(sound, at, length, rate, hz, table, uniform(random, 0.1, 0.3), attack, uniform(random, 0, 1));
        }
        if (uniform(random, 0, 1) < 0.4)
            add_percussion(sound, at, rate, random);
        at += length * size_t(uniform(random, 1, 3)) / 2;
    }
    return sound;
}
