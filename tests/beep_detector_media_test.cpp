// The robust beep detector on stereo sound through ffmpeg's lossy codecs at 64 kbit/s, resampler
// and limiter, at test time. A noise burst ahead of the beeps gives each chain's constant delay.
#include "sound/beep_detector.h"
#include "support/media.h"
#include "support/sounds.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

using namespace skelv;

namespace {

constexpr int kRate = 48000;
constexpr double kOnsetToleranceMs = 0.5;
constexpr size_t kBurstAt = kRate / 5; // sample

// Left and right gains of a beep per second from 0.6 s: left only, right only, opposite polarity, alike.
const double kGains[][2] = {{1, 0}, {0, 1}, {1, -1}, {1, 1}};
double onset_of(size_t beep) { return (0.6 + double(beep)) * kRate; }

Sound stereo_clip(const Sound& burst)
{
    Sound clip(2 * size_t(4.2 * kRate));
    for (size_t c = 0; c < 2; ++c) {
        Sound channel(clip.size() / 2);
        std::copy(burst.begin(), burst.end(), channel.begin() + kBurstAt);
        for (size_t i = 0; i < std::size(kGains); ++i)
            add_beep(channel, kRate, {onset_of(i), 0.1 * kRate, kClipToneAmplitude, 1, kGains[i][c]});
        for (size_t n = 0; n < channel.size(); ++n)
            clip[2 * n + c] = channel[n];
    }
    return clip;
}

// Samples the left channel lags the clip by: the peak of its cross-correlation with the burst
// (a whole sample is 0.02 ms, far inside the tolerance).
double delay_of(const Sound& interleaved, const Sound& burst, double rate_ratio)
{
    std::pair<double, long> best = {-INFINITY, 0};
    for (long lag = -3000; lag <= 3000; ++lag) {
        double sum = 0;
        for (size_t n = 0; n < burst.size(); ++n) {
            const long at = long(std::lround(double(kBurstAt + n) * rate_ratio)) + lag;
            if (at >= 0 && size_t(at) * 2 < interleaved.size())
                sum += burst[n] * interleaved[size_t(at) * 2];
        }
        best = std::max(best, std::pair(sum, lag));
    }
    return double(best.second);
}

// Every codec the detector must survive once; AAC behind the limiter, MP3 resampled to 44.1 kHz.
TEST(BeepDetectorMedia, ThroughCodecsAndFfmpegEffects)
{
    const TempDir dir;
    const Sound burst = at_level(white_noise(kRate / 100, 21), -14);
    const Sound clip = stereo_clip(burst);
    write_file(dir.file("clip.raw"), std::string(reinterpret_cast<const char*>(clip.data()), clip.size() * sizeof(float)));
    const struct {
        const char* name;
        std::vector<std::string> options; ///< ffmpeg's, between input and output
        const char* extension;
        int rate = kRate; ///< of the decoded sound
    } chains[] = {
        {"Opus", {"-c:a", "libopus", "-b:a", "64k"}, "opus"},
        {"Vorbis", {"-c:a", "libvorbis", "-b:a", "64k"}, "ogg"},
        {"MP2", {"-c:a", "mp2", "-b:a", "64k"}, "mp2"},
        {"AC-3", {"-c:a", "ac3", "-b:a", "64k"}, "ac3"},
        {"MP3 at 44.1 kHz", {"-ar", "44100", "-c:a", "libmp3lame", "-b:a", "64k"}, "mp3", 44100},
        {"+6 dB into a limiter, then AAC", {"-af", "volume=6dB,alimiter=limit=0.9:level=false", "-c:a", "aac", "-b:a", "64k"}, "m4a"},
    };
    for (const auto& chain : chains) {
        SCOPED_TRACE(chain.name);
        const std::string output = dir.file(std::string("out.") + chain.extension);
        std::vector<std::string> args = {"-f", "f32le", "-ar", std::to_string(kRate), "-ac", "2", "-i", dir.file("clip.raw")};
        args.insert(args.end(), chain.options.begin(), chain.options.end());
        args.push_back(output);
        ASSERT_TRUE(ffmpeg(args));
        ASSERT_TRUE(ffmpeg({"-i", output, "-f", "f32le", "-ar", std::to_string(chain.rate), "-ac", "2", dir.file("decoded.raw")}));
        const std::string bytes = read_file(dir.file("decoded.raw"));
        Sound sound(bytes.size() / sizeof(float));
        std::memcpy(sound.data(), bytes.data(), sound.size() * sizeof(float));
        const double ratio = double(chain.rate) / kRate, delay = delay_of(sound, burst, ratio);

        BeepDetector detector(chain.rate, 2);
        detector.process(sound.data(), sound.size() / 2);
        detector.finish();
        const std::vector<DetectedBeep>& found = detector.beeps();
        ASSERT_EQ(found.size(), std::size(kGains));
        for (size_t i = 0; i < found.size(); ++i) {
            SCOPED_TRACE("beep " + std::to_string(i));
            EXPECT_NEAR(found[i].onset, onset_of(i) * ratio + delay, kOnsetToleranceMs * chain.rate / 1000);
            const double* gain = kGains[i];
            EXPECT_TRUE(gain[0] * gain[1] != 0 || found[i].channel == (gain[0] == 0 ? 1 : 0)) << "channel " << found[i].channel;
            EXPECT_EQ(found[i].inverted, (found[i].channel == 0 ? gain[0] : gain[1]) < 0);
        }
    }
}

} // namespace
