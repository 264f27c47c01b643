// Sounds made in memory for the beep detector's tests: the clip's beep at any onset, level,
// rate and clock, and what a recording carries besides it: noise, mains hum, speech-like and
// music-like sound.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

using Sound = std::vector<float>;

// The generator's beep per tone, full scale 1.
constexpr double kClipToneAmplitude = 10000.0 / 32768;

struct BeepSpec {
    double onset = 0;                        ///< samples, fractional: both tones start here at phase 0
    double length = 0;                       ///< samples
    double amplitude = kClipToneAmplitude;   ///< per tone
    double clock = 1;                        ///< the tones' frequencies are scaled by this (clock drift)
    double sign = 1;                         ///< −1: inverted polarity
};

// Adds the beep to the samples from its onset (those at or after it) for its length.
void add_beep(Sound& sound, int rate, const BeepSpec& beep);

double rms(const Sound& sound);
// Adds `other` times `gain`, as far as both reach.
void mix(Sound& into, const Sound& other, double gain);
// Scales to the given RMS.
void set_rms(Sound& sound, double target);

// Resampled with a windowed-sinc filter centred on each output sample: a sound at `from`
// sample n lies at n·to/from afterwards.
Sound resample(const Sound& sound, int from, int to);
// Linear-phase band pass (low pass when `low_hz` is 0), centred: no delay.
Sound band_limit(const Sound& sound, int rate, double low_hz, double high_hz);
// A look-ahead limiter: the gain falls smoothly before each peak, so that no sample exceeds
// `ceiling`, and recovers after it; nothing is delayed.
Sound limit(const Sound& sound, int rate, double ceiling);

Sound white_noise(size_t samples, uint32_t seed);
Sound pink_noise(size_t samples, uint32_t seed);
// Buzz of a mains supply: the fundamental and its harmonics up to 2 kHz, odd ones stronger;
// one period, repeated.
Sound mains_hum(size_t samples, int rate, double mains_hz);
Sound sine(size_t samples, int rate, double hz, double amplitude);
// Syllables of a buzzing glottal source through moving vowel formants, pitch gliding between
// 85 and 260 Hz, with fricatives and pauses.
Sound speech_like(size_t samples, int rate, uint32_t seed);
// Notes and chords of harmonic timbres (some nearly pure) on tunings around A = 440 Hz, with
// percussive noise and thumps.
Sound music_like(size_t samples, int rate, uint32_t seed);
