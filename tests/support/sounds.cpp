#include "sounds.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <numeric>
#include <random>
#include <utility>

namespace {

using Random = std::mt19937;

double uniform(Random& random, double low, double high)
{
    return std::uniform_real_distribution<double>(low, high)(random);
}

// Two-pole resonator with unit gain at its centre frequency.
struct Resonator {
    Resonator(double hz, double bandwidth, int rate) : r(std::exp(-M_PI * bandwidth / rate)), theta(2 * M_PI * hz / rate) {}
    double operator()(double x)
    {
        const double y = gain * x + a1 * y1 - r * r * y2;
        y2 = std::exchange(y1, y);
        return y;
    }
    double r, theta, a1 = 2 * r * std::cos(theta), gain = (1 - r) * std::sqrt(1 - 2 * r * std::cos(2 * theta) + r * r), y1 = 0, y2 = 0;
};

// Linear attack and release over `edge` samples of a `length`-sample event.
double envelope(size_t i, size_t length, size_t edge)
{
    return std::min(1.0, double(std::min(i, length - i)) / double(edge));
}

// Ideal low pass at `cutoff` (a fraction of the rate), `t` samples off centre, Blackman window ± `half`.
double low_pass_tap(double t, double cutoff, double half)
{
    const double x = 2 * cutoff * t, w = M_PI * t / half, sinc = x == 0 ? 1.0 : std::sin(M_PI * x) / (M_PI * x);
    return 2 * cutoff * sinc * (0.42 + 0.5 * std::cos(w) + 0.08 * std::cos(2 * w));
}

} // namespace

void add_beep(Sound& sound, int rate, const BeepShape& beep)
{
    const double low = 2 * M_PI * 547 * beep.clock / rate, high = 2 * M_PI * 1823 * beep.clock / rate;
    for (auto n = size_t(std::max(0.0, std::ceil(beep.onset))); n < sound.size() && double(n) < beep.onset + beep.length; ++n) {
        const double t = double(n) - beep.onset;
        sound[n] += float(beep.sign * beep.amplitude * (std::sin(low * t) + std::sin(high * t)));
    }
}

Sound band_limit(const Sound& sound, int rate, double low_hz, double high_hz)
{
    const double half = std::ceil(0.008 * rate);
    std::vector<double> taps, out(sound.size() + 2 * size_t(half) + 1);
    for (double t = -half; t <= half; ++t)
        taps.push_back(low_pass_tap(t, high_hz / rate, half) - low_pass_tap(t, low_hz / rate, half));
    for (size_t n = 0; n < sound.size(); ++n)
        for (size_t k = 0; k < taps.size(); ++k)
            out[n + k] += sound[n] * taps[k];
    return Sound(out.begin() + long(half), out.begin() + long(half) + long(sound.size()));
}

Sound at_level(Sound sound, double rms_dbfs)
{
    const double rms = std::sqrt(std::inner_product(sound.begin(), sound.end(), sound.begin(), 0.0) / double(sound.size()));
    const double gain = std::pow(10.0, rms_dbfs / 20) / std::max(rms, 1e-12);
    for (float& x : sound)
        x = float(x * gain);
    return sound;
}

Sound mixed(Sound into, const Sound& other)
{
    std::transform(other.begin(), other.begin() + long(std::min(into.size(), other.size())), into.begin(), into.begin(), std::plus<>());
    return into;
}

// Uniform, of unit variance: as white as Gaussian noise and several times faster to make.
Sound white_noise(size_t samples, uint32_t seed)
{
    Random random(seed);
    std::uniform_real_distribution<float> noise(-std::sqrt(3.0f), std::sqrt(3.0f));
    Sound sound(samples);
    std::generate(sound.begin(), sound.end(), [&] { return noise(random); });
    return sound;
}

Sound mains_hum(size_t samples, int rate, double mains_hz)
{
    Sound cycle(size_t(std::lround(rate / mains_hz))), sound(samples);
    for (int k = 1; k * mains_hz <= std::min(2000.0, 0.45 * rate); ++k)
        for (size_t n = 0; n < cycle.size(); ++n)
            cycle[n] += float((k % 2 ? 1.0 : 0.4) / k * std::sin(2 * M_PI * k * double(n) / double(cycle.size()) + k));
    for (size_t n = 0; n < samples; ++n)
        sound[n] = cycle[n % cycle.size()];
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
    for (size_t at = 0; at < samples;) {
        const auto length = size_t(uniform(random, 0.12, 0.35) * rate);
        const double f0 = uniform(random, 85, 260), glide = uniform(random, -0.2, 0.25), second = uniform(random, 0.3, 0.8);
        Resonator formants[] = {{uniform(random, 300, 850), 70, rate}, {uniform(random, 850, 2400), 100, rate}};
        double tilt = 0;
        for (size_t i = 0; i < length && at + i < samples; ++i) {
            const bool pulse = (glottal_phase += f0 * (1 + glide * double(i) / double(length)) / rate) >= 1;
            glottal_phase -= pulse;
            tilt = 0.92 * tilt + pulse;
            sound[at + i] = float((formants[0](tilt) + second * formants[1](tilt)) * envelope(i, length, length / 8));
        }
        at += length + size_t(uniform(random, 0.02, 0.4) * rate);
    }
    return sound;
}

// Each timbre is one period in 2^11 steps; a note's phase is a 32-bit fraction of a period.
Sound music_like(size_t samples, int rate, uint32_t seed)
{
    Random random(seed);
    Sound sound(samples);
    std::vector<Sound> timbres(8, Sound(2048));
    for (Sound& table : timbres) {
        const double fall = uniform(random, 0.2, 0.8);
        for (int k = 1, harmonics = 1 + int(uniform(random, 0, 8)); k <= harmonics; ++k)
            for (size_t i = 0; i < table.size(); ++i)
                table[i] += float(std::pow(fall, k - 1) * std::sin(2 * M_PI * k * double(i) / double(table.size())));
    }
    const double a4 = uniform(random, 430, 446), decay = std::exp(-1.0 / (0.4 * rate));
    for (size_t at = 0; at < samples;) {
        const auto length = size_t(uniform(random, 0.1, 0.8) * rate), attack = size_t(uniform(random, 0.002, 0.05) * rate);
        for (int voices = 1 + int(uniform(random, 0, 4)); voices > 0; --voices) {
            const double hz = a4 * std::pow(2.0, (int(uniform(random, -36, 28)) + uniform(random, -0.1, 0.1)) / 12);
            const auto& timbre = timbres[size_t(uniform(random, 0, 8))];
            uint32_t step = uint32_t(hz / rate * 4294967296.0), phase = uint32_t(uniform(random, 0, 4294967295.0));
            double gain = uniform(random, 0.1, 0.3);
            for (size_t i = 0; i < length && at + i < samples; ++i, phase += step, gain *= decay)
                sound[at + i] += float(gain * envelope(i, length, attack)) * timbre[phase >> 21];
        }
        at += length * size_t(uniform(random, 1, 3)) / 2;
    }
    return sound;
}
