// The robust beep detector on stereo sound through real lossy codecs at 64 kbit/s and through
// ffmpeg's own resampler and limiter: encoded and decoded by ffmpeg at test time, read back as
// raw float. A noise burst ahead of the beeps gives each chain's constant delay.
#include "robust/beep_detector.h"
#include "support/media.h"
#include "support/sounds.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kRate = 48000;
constexpr double kOnsetToleranceMs = 0.5;
constexpr size_t kBurstAt = kRate / 5; // sample

// A beep per second from 0.6 s: left only, right only, opposite polarity, both alike.
struct StereoBeep {
    double onset;   ///< sample at 48 kHz
    double gain[2]; ///< left, right
};
const StereoBeep kBeeps[] = {{0.6 * kRate, {1, 0}}, {1.6 * kRate, {0, 1}}, {2.6 * kRate, {1, -1}}, {3.6 * kRate, {1, 1}}};

Sound stereo_clip(const Sound& burst)
{
    Sound channels[2] = {Sound(size_t(4.2 * kRate)), Sound(size_t(4.2 * kRate))};
    for (int c = 0; c < 2; ++c) {
        std::copy(burst.begin(), burst.end(), channels[c].begin() + kBurstAt);
        for (const StereoBeep& beep : kBeeps)
            add_beep(channels[c], kRate, {beep.onset, 0.1 * kRate, kClipToneAmplitude, 1, beep.gain[c]});
    }
    Sound interleaved;
    for (size_t n = 0; n < channels[0].size(); ++n)
        interleaved.insert(interleaved.end(), {channels[0][n], channels[1][n]});
    return interleaved;
}

Sound decoded(const std::string& path, int rate)
{
    const ProcessResult run = run_process({"ffmpeg", "-nostdin", "-v", "error", "-i", path, "-f", "f32le",
        "-acodec", "pcm_f32le", "-ar", std::to_string(rate), "-ac", "2", "-"}, 2 * kRunTimeout);
    EXPECT_EQ(run.exit_code, 0) << run.err;
    Sound samples(run.out.size() / sizeof(float));
    std::memcpy(samples.data(), run.out.data(), samples.size() * sizeof(float));
    return samples;
}

// Samples the left channel lags the clip by, from the peak of its cross-correlation with the
// burst, refined by a parabola through the peak and its neighbours.
double delay_of(const Sound& interleaved, const Sound& burst, double rate_ratio)
{
    const long reach = 3000;
    std::vector<double> correlation;
    for (long lag = -reach; lag <= reach; ++lag) {
        double sum = 0;
        for (size_t n = 0; n < burst.size(); ++n) {
            const long at = long(std::lround(double(kBurstAt + n) * rate_ratio)) + lag;
            if (at >= 0 && size_t(at) * 2 < interleaved.size())
                sum += burst[n] * interleaved[size_t(at) * 2];
        }
        correlation.push_back(sum);
    }
    const auto peak = size_t(std::max_element(correlation.begin() + 1, correlation.end() - 1) - correlation.begin());
    const double before = correlation[peak - 1], at = correlation[peak], after = correlation[peak + 1];
    return double(long(peak) - reach) + 0.5 * (before - after) / (before - 2 * at + after);
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
        const Sound sound = decoded(output, chain.rate);
        const double ratio = double(chain.rate) / kRate;
        const double delay = delay_of(sound, burst, ratio);

        BeepDetector detector(chain.rate, 2);
        detector.process(sound.data(), sound.size() / 2);
        detector.finish();
        const std::vector<DetectedBeep>& found = detector.beeps();
        ASSERT_EQ(found.size(), std::size(kBeeps));
        for (size_t i = 0; i < found.size(); ++i) {
            SCOPED_TRACE("beep " + std::to_string(i));
            EXPECT_NEAR(found[i].onset, kBeeps[i].onset * ratio + delay, kOnsetToleranceMs * chain.rate / 1000);
            const double* gain = kBeeps[i].gain;
            if (gain[0] == 0 || gain[1] == 0) {
                EXPECT_EQ(found[i].channel, gain[0] == 0 ? 1 : 0);
            }
            EXPECT_EQ(found[i].inverted, (found[i].channel == 0 ? gain[0] : gain[1]) < 0);
        }
    }
}

} // namespace
