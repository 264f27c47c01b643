#include "sounds.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <numeric>
#include <random>
#include <utility>

namespace {

using Random = std::mt19937;

double uniform(Random& random, double low, double high)
{
    return std::uniform_real_distribution<double>(low, high)(random);
}

size_t samples_of(double seconds, int rate)
{
    return size_t(std::lround(seconds * rate));
}

// Two-pole resonator with unit gain at its centre frequency.
struct Resonator {
    Resonator(double hz, double bandwidth, int rate)
        : r(std::exp(-M_PI * bandwidth / rate)), theta(2 * M_PI * std::min(hz, 0.45 * rate) / rate)
    {
    }
    double operator()(double x)
    {
        const double y = gain * x + a1 * y1 - r * r * y2;
        y2 = std::exchange(y1, y);
        return y;
    }
    double r, theta, a1 = 2 * r * std::cos(theta), gain = (1 - r) * std::sqrt(1 - 2 * r * std::cos(2 * theta) + r * r);
    double y1 = 0, y2 = 0;
};

// Linear attack and release over `edge` samples of a `length`-sample event.
double envelope(size_t i, size_t length, size_t edge)
{
    return std::min(1.0, double(std::min(i, length - i)) / double(edge));
}

void add_syllable(Sound& out, size_t start, int rate, Random& random, double& glottal_phase)
{
    const size_t length = samples_of(uniform(random, 0.12, 0.35), rate);
    const double f0_start = uniform(random, 85, 260);
    const double f0_end = f0_start * uniform(random, 0.8, 1.25);
    Resonator formants[] = {{uniform(random, 300, 850), 70, rate}, {uniform(random, 850, 2400), 100, rate},
        {uniform(random, 2400, 3300), 160, rate}};
    const double weights[] = {1.0, uniform(random, 0.3, 0.8), uniform(random, 0.1, 0.4)};
    const size_t edge = samples_of(uniform(random, 0.015, 0.04), rate);
    double tilt = 0;
    for (size_t i = 0; i < length && start + i < out.size(); ++i) {
        glottal_phase += (f0_start + (f0_end - f0_start) * double(i) / double(length)) / rate;
        const bool pulse = glottal_phase >= 1;
        glottal_phase -= pulse;
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

// One period of a timbre in 2^11 steps: harmonics with geometrically falling amplitudes.
std::vector<float> timbre_table(int harmonics, double fall)
{
    std::vector<float> table(2048);
    for (size_t i = 0; i < table.size(); ++i)
        for (int k = 1; k <= harmonics; ++k)
            table[i] += float(std::pow(fall, k - 1) * std::sin(2 * M_PI * k * double(i) / double(table.size())));
    return table;
}

// The phase is a 32-bit fraction of a period; its top 11 bits index the table.
void add_note(Sound& out, size_t start, size_t length, int rate, double hz, const std::vector<float>& table,
    double amplitude, size_t attack, uint32_t phase)
{
    const auto step = uint32_t(hz / rate * 4294967296.0);
    const auto decay = float(std::exp(-1.0 / (0.4 * rate)));
    auto gain = float(amplitude);
    for (size_t i = 0; i < length && start + i < out.size(); ++i, phase += step, gain *= decay)
        out[start + i] += gain * float(envelope(i, length, attack)) * table[phase >> 21];
}

void add_percussion(Sound& out, size_t start, int rate, Random& random)
{
    const size_t length = samples_of(uniform(random, 0.03, 0.2), rate);
    const bool thump = uniform(random, 0, 1) < 0.5;
    std::normal_distribution<double> noise(0, 0.3);
    double phase = 0;
    for (size_t i = 0; i < length && start + i < out.size(); ++i) {
        const double fade = std::exp(-6.0 * double(i) / double(length));
        phase += (50 + 100 * fade) / rate;
        out[start + i] += float(thump ? 0.8 * fade * std::sin(2 * M_PI * phase) : fade * noise(random));
    }
}

// Ideal low pass at `cutoff` (a fraction of the sample rate) at `t` samples from its centre,
// under a Blackman window over ± `half` samples.
double low_pass_tap(double t, double cutoff, double half)
{
    if (std::abs(t) >= half)
        return 0;
    const double x = 2 * cutoff * t, w = M_PI * t / half;
    const double sinc = x == 0 ? 1.0 : std::sin(M_PI * x) / (M_PI * x);
    return 2 * cutoff * sinc * (0.42 + 0.5 * std::cos(w) + 0.08 * std::cos(2 * w));
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

// Each input sample spreads over the taps around it, skipped where silent.
Sound band_limit(const Sound& sound, int rate, double low_hz, double high_hz)
{
    const double half = std::ceil(0.008 * rate);
    std::vector<double> taps, out(sound.size() + 2 * size_t(half) + 1);
    for (double t = -half; t <= half; ++t)
        taps.push_back(low_pass_tap(t, high_hz / rate, half) - (low_hz > 0 ? low_pass_tap(t, low_hz / rate, half) : 0));
    for (size_t n = 0; n < sound.size(); ++n)
        if (sound[n] != 0)
            for (size_t k = 0; k < taps.size(); ++k)
                out[n + k] += sound[n] * taps[k];
    return Sound(out.begin() + long(half), out.begin() + long(half) + long(sound.size()));
}

// Each sample's gain is the least its neighbours need within 5 ms, changing by at most the whole
// range per 5 ms: swept forwards and backwards, so it slides down before a peak.
Sound limit(Sound sound, int rate, double ceiling)
{
    const double slope = 1 / (0.005 * rate);
    std::vector<double> gain(sound.size());
    for (size_t n = 0; n < sound.size(); ++n)
        gain[n] = std::min({1.0, ceiling / std::max(double(std::abs(sound[n])), 1e-12), n > 0 ? gain[n - 1] + slope : 1.0});
    for (size_t n = gain.size() - 1; n-- > 0;)
        gain[n] = std::min(gain[n], gain[n + 1] + slope);
    for (size_t n = 0; n < sound.size(); ++n)
        sound[n] = float(sound[n] * gain[n]);
    return sound;
}

double rms(const Sound& sound)
{
    const double sum = std::inner_product(sound.begin(), sound.end(), sound.begin(), 0.0);
    return sound.empty() ? 0 : std::sqrt(sum / double(sound.size()));
}

Sound at_level(Sound sound, double rms_dbfs)
{
    const double current = rms(sound);
    const double gain = current > 0 ? std::pow(10.0, rms_dbfs / 20) / current : 1;
    for (float& x : sound)
        x = float(x * gain);
    return sound;
}

Sound mixed(Sound into, const Sound& other, double gain)
{
    for (size_t i = 0; i < std::min(into.size(), other.size()); ++i)
        into[i] += float(gain * other[i]);
    return into;
}

// Uniform, of unit variance: as white as Gaussian noise and several times faster to make.
Sound white_noise(size_t samples, uint32_t seed)
{
    Random random(seed);
    std::uniform_real_distribution<float> noise(-std::sqrt(3.0f), std::sqrt(3.0f));
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
    std::vector<double> cycle(size_t(std::lround(rate / mains_hz)));
    for (int k = 1; k * mains_hz <= std::min(2000.0, 0.45 * rate); ++k)
        for (size_t n = 0; n < cycle.size(); ++n)
            cycle[n] += (k % 2 ? 1.0 : 0.4) / k * std::sin(2 * M_PI * k * double(n) / double(cycle.size()) + k);
    Sound sound(samples);
    for (size_t n = 0; n < samples; ++n)
        sound[n] = float(cycle[n % cycle.size()]);
    return sound;
}

// A rotating phasor: one complex product per sample instead of a sine.
Sound sine(size_t samples, int rate, double hz, double amplitude)
{
    const std::complex<double> step = std::polar(1.0, 2 * M_PI * hz / rate);
    std::complex<double> phasor = amplitude;
    Sound sound(samples);
    for (float& x : sound) {
        x = float(phasor.imag());
        phasor *= step;
    }
    return sound;
}

Sound speech_like(size_t samples, int rate, uint32_t seed)
{
    Random random(seed);
    Sound sound(samples);
    double glottal_phase = 0;
    for (size_t at = 0; at < samples;) {
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
    for (int t = 0; t < 8; ++t) {
        const int harmonics = 1 + int(uniform(random, 0, 8));
        timbres.push_back(timbre_table(harmonics, uniform(random, 0.2, 0.8)));
    }
    const double a4 = uniform(random, 430, 446);
    for (size_t at = 0; at < samples;) {
        const size_t length = samples_of(uniform(random, 0.1, 0.8), rate);
        const size_t attack = samples_of(uniform(random, 0.002, 0.05), rate);
        for (int voices = 1 + int(uniform(random, 0, 4)); voices > 0; --voices) {
            const int note = int(uniform(random, -36, 28)); // semitones from A4: 55 Hz .. 2.2 kHz
            const double hz = a4 * std::pow(2.0, (note + uniform(random, -0.1, 0.1)) / 12);
            const auto& timbre = timbres[size_t(uniform(random, 0, double(timbres.size())))];
            const double amplitude = uniform(random, 0.1, 0.3);
            add_note(sound, at, length, rate, hz, timbre, amplitude, attack, uint32_t(uniform(random, 0, 4294967295.0)));
        }
        if (uniform(random, 0, 1) < 0.4)
            add_percussion(sound, at, rate, random);
        at += length * size_t(uniform(random, 1, 3)) / 2;
    }
    return sound;
}
