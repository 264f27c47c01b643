// The robust beep detector on in-memory beeps at exact fractional onsets (codecs, the no-beep hour: own files).
#include "sound/beep_detector.h"
#include "support/sounds.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>

using namespace skelv;

namespace {

constexpr double kOnsetToleranceMs = 0.05;

double amplitude_of(double level_dbfs) { return std::pow(10.0, level_dbfs / 20) / 2; } // per tone, for the pair's peak

// Beeps a second apart from 0.4 s on, each with its own fraction of a sample.
std::vector<BeepShape> beeps_every_second(int rate, int count, double level_dbfs, double length_ms = 100, double clock = 1)
{
    std::vector<BeepShape> beeps;
    for (int i = 0; i < count; ++i)
        beeps.push_back({rate * (0.4 + i) + 0.29 * i, length_ms * rate / 1000, amplitude_of(level_dbfs), clock});
    return beeps;
}

Sound sound_with(int rate, const std::vector<BeepShape>& beeps, double seconds)
{
    Sound sound(size_t(seconds * rate));
    for (const BeepShape& beep : beeps)
        add_beep(sound, rate, beep);
    return sound;
}

// Fed whole and in random pieces: the same beeps to the bit. While cut, the list only grows, in
// onset order, and lists each of the `beeps` within 50 ms of its end.
std::vector<DetectedBeep> detect(const Sound& sound, int rate, const std::vector<BeepShape>& beeps)
{
    BeepDetector whole(rate, 1), cut(rate, 1);
    whole.process(sound.data(), sound.size());
    whole.finish();
    std::mt19937 random(10);
    std::vector<DetectedBeep> seen;
    for (size_t at = 0; at < sound.size();) {
        const size_t piece = std::min(sound.size() - at, size_t(std::uniform_int_distribution<>(0, 3000)(random)));
        cut.process(sound.data() + at, piece);
        at += piece;
        const std::vector<DetectedBeep>& listed = cut.beeps();
        EXPECT_GE(listed.size(), seen.size());
        for (size_t i = 0; i < std::min(seen.size(), listed.size()); ++i)
            EXPECT_EQ(listed[i].onset, seen[i].onset);
        for (size_t i = 1; i < listed.size(); ++i)
            EXPECT_LT(listed[i - 1].onset, listed[i].onset);
        seen = listed;
        const auto ended = std::count_if(beeps.begin(), beeps.end(),
            [&](const BeepShape& beep) { return double(at) > beep.onset + beep.length + 0.05 * rate; });
        EXPECT_GE(long(seen.size()), ended) << "at sample " << at;
    }
    cut.finish();
    const auto figures = [](const DetectedBeep& b) { return std::tie(b.onset, b.end, b.level_dbfs, b.confidence, b.inverted, b.frequency_error); };
    EXPECT_EQ(cut.beeps().size(), whole.beeps().size());
    for (size_t i = 0; i < std::min(cut.beeps().size(), whole.beeps().size()); ++i)
        EXPECT_EQ(figures(cut.beeps()[i]), figures(whole.beeps()[i])) << "beep " << i;
    return whole.beeps();
}

// Each expected beep found once (onset: the first tone instant; end: the first sample after the tones).
void expect_found(const std::vector<DetectedBeep>& found, const std::vector<BeepShape>& expected, int rate, double end_ms = 0.1)
{
    ASSERT_EQ(found.size(), expected.size());
    for (size_t i = 0; i < found.size(); ++i) {
        SCOPED_TRACE("beep " + std::to_string(i));
        EXPECT_NEAR(found[i].onset, expected[i].onset, kOnsetToleranceMs * rate / 1000);
        EXPECT_NEAR(found[i].end, std::ceil(expected[i].onset + expected[i].length), std::max(1.0, end_ms * rate / 1000));
        EXPECT_EQ(found[i].inverted, expected[i].sign < 0);
    }
}

TEST(BeepDetector, OnsetLevelAndEndAtEveryLevel)
{
    for (const int rate : {48000, 44100})
        for (const double level : {-50.0, -40.0, -30.0, -20.0, -10.0, -4.3, 0.0}) {
            SCOPED_TRACE(std::to_string(rate) + " Hz, " + std::to_string(level) + " dBFS");
            const std::vector<BeepShape> beeps = beeps_every_second(rate, 4, level);
            const std::vector<DetectedBeep> found = detect(sound_with(rate, beeps, 4), rate, beeps);
            expect_found(found, beeps, rate, 0);
            for (const DetectedBeep& beep : found) {
                EXPECT_NEAR(beep.level_dbfs, level, 0.05);
                EXPECT_GT(beep.confidence, 30);
                EXPECT_NEAR(beep.frequency_error, 0, 1e-5);
            }
        }
}

TEST(BeepDetector, EveryRateAndLength)
{
    for (const int rate : {8000, 11025, 16000, 22050, 32000, 96000, 192000})
        for (const double length_ms : {20.0, 100.0, 2000.0}) {
            SCOPED_TRACE(std::to_string(rate) + " Hz, " + std::to_string(length_ms) + " ms");
            const std::vector<BeepShape> beeps = beeps_every_second(rate, length_ms > 1000 ? 1 : 3, -4.3, length_ms);
            expect_found(detect(sound_with(rate, beeps, length_ms > 1000 ? 2.6 : 3), rate, beeps), beeps, rate);
        }
}

// Another sound at `relative_db` to the beeps (the tone pair's RMS is one tone's peak), levelled
// around each beep (half way to its neighbours) so that speech or music pauses cannot spare it.
Sound under_beeps(Sound other, const std::vector<BeepShape>& beeps, double relative_db)
{
    for (size_t i = 0; i < beeps.size(); ++i) {
        const auto from = long(i == 0 ? 0 : (beeps[i - 1].onset + beeps[i].onset) / 2);
        const auto to = long(i + 1 == beeps.size() ? double(other.size()) : (beeps[i].onset + beeps[i + 1].onset) / 2);
        const Sound part = at_level(Sound(other.begin() + from, other.begin() + to), 20 * std::log10(beeps[i].amplitude) + relative_db);
        std::copy(part.begin(), part.end(), other.begin() + from);
    }
    return other;
}

TEST(BeepDetector, ChainEffects)
{
    using Beeps = const std::vector<BeepShape>&;
    const struct {
        const char* name;
        int rate;
        double level_dbfs, clock; ///< the beeps' level and their tones' frequency scale
        std::function<Sound(Sound, Beeps, int)> apply;
        double end_ms = 0.25; // the last samples of a beep may hold little of it: tones near their zeros
    } effects[] = {
        // The generator writes 16-bit samples: at −50 dBFS each tone spans ±52 steps.
        {"16-bit at -50 dBFS", 48000, -50, 1, [](Sound s, Beeps, int) { for (float& x : s) x = float(std::lround(x * 32768) / 32768.0); return s; }, 0.1},
        {"white noise, 20 dB SNR", 48000, -20, 1, [](Sound s, Beeps b, int) { return mixed(s, under_beeps(white_noise(s.size(), 1), b, -20)); }},
        {"mains hum 60 Hz, -10 dB", 16000, -30, 1, [](Sound s, Beeps b, int r) { return mixed(s, under_beeps(mains_hum(s.size(), r, 60), b, -10)); }},
        // Seeds whose speech and music sound during the beeps (about -8..-20 dB there).
        {"speech at -10 dB", 48000, -4.3, 1, [](Sound s, Beeps b, int r) { return mixed(s, under_beeps(speech_like(s.size(), r, 2), b, -10)); }},
        // A note ending with the beep blurs where the tones stop; the onset keeps its phase.
        {"music at -10 dB", 44100, -4.3, 1, [](Sound s, Beeps b, int r) { return mixed(s, under_beeps(music_like(s.size(), r, 6), b, -10)); }, 1.5},
        {"clipped at +6 dB", 48000, 6, 1, [](Sound s, Beeps, int) { for (float& x : s) x = std::clamp(x, -1.0f, 1.0f); return s; }},
        {"band 300..3400 Hz", 16000, -4.3, 1, [](Sound s, Beeps, int r) { return band_limit(s, r, 300, 3400); }, 1.5},
        {"all at once, clock 0.5 % slow", 16000, -50, 0.995, [](Sound s, Beeps b, int r) {
             s = mixed(mixed(s, under_beeps(speech_like(s.size(), r, 2), b, -10)), under_beeps(mains_hum(s.size(), r, 50), b, -20));
             return mixed(band_limit(s, r, 300, 3400), under_beeps(white_noise(s.size(), 7), b, -20));
         }, 1.5},
    };
    for (const auto& effect : effects) {
        SCOPED_TRACE(effect.name);
        const std::vector<BeepShape> beeps = beeps_every_second(effect.rate, 4, effect.level_dbfs, 100, effect.clock);
        const std::vector<DetectedBeep> found = detect(effect.apply(sound_with(effect.rate, beeps, 4.2), beeps, effect.rate), effect.rate, beeps);
        expect_found(found, beeps, effect.rate, effect.end_ms);
        for (const DetectedBeep& beep : found)
            EXPECT_NEAR(beep.frequency_error, effect.clock - 1, 0.001);
    }
}

// A beep from the very first sample; one still sounding when the stream ends (its end is the
// stream's end); samples that are not numbers count as silence.
TEST(BeepDetector, StreamEdgesAndBrokenSamples)
{
    const int rate = 32000;
    const std::vector<BeepShape> beeps = {{0, 3200}, {16000.5, 3200}, {40000.25, 8000}}; // at the clip's level
    Sound sound = sound_with(rate, beeps, 1.5);
    for (size_t n = 25000; n < 26000; ++n)
        sound[n] = n % 2 ? NAN : INFINITY;
    const std::vector<BeepShape> expected = {beeps[0], beeps[1], {beeps[2].onset, 48000 - beeps[2].onset}};
    expect_found(detect(sound, rate, expected), expected, rate);
}

TEST(BeepDetector, RefusesRatesAndChannelsOutsideItsLimits)
{
    const std::vector<float> beep = [] {
        Sound sound(48000 * 2, 0.0f);
        add_beep(sound, 48000, {1000, 4800});
        return sound;
    }();
    for (const auto& [rate, channels] : {std::pair{7999, 1}, {192001, 2}, {48000, 0}, {48000, 9}}) {
        EXPECT_FALSE(BeepDetector::accepts(rate, channels)) << rate << " Hz, " << channels;
        BeepDetector refused(rate, channels); // hears nothing, and never fails
        refused.process(beep.data(), channels > 0 ? beep.size() / size_t(channels) : beep.size());
        refused.finish();
        EXPECT_TRUE(refused.beeps().empty()) << rate << " Hz, " << channels;
    }
}

} // namespace
