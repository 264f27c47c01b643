// Finds the test clip's beeps (547 Hz + 1823 Hz, both starting at phase 0) in decoded audio
// as it comes out of a real chain: at any level from −50 dBFS to clipping, through resampling,
// clock drift, lossy codecs, noise, hum, and speech or music underneath.
//
// Channel policy: every channel is analysed on its own, so a beep in one channel only, or in
// both channels with opposite polarity (which a mono mix would cancel), is found as well as a
// beep in all of them. Beeps of several channels starting within 5 ms of each other are one
// beep: the channel with the highest confidence reports it.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

namespace skelv {

namespace robust {
class BeepChannel;
}

struct DetectedBeep {
    double onset = 0;            ///< samples from the first sample fed, fractional: where both tones start
    double end = 0;              ///< samples: the first sample after the tones
    double level_dbfs = 0;       ///< peak of the two tones together; the generated clip's beep is −4.3 dBFS
    double confidence = 0;       ///< dB: the tones' energy over everything else in the channel during the beep
    int channel = 0;             ///< channel (from 0) that reported it
    bool inverted = false;       ///< the tones start at phase π: the chain inverted the polarity
    double frequency_error = 0;  ///< relative, from the high tone: +0.001 means 0.1 % high (sample-clock drift)
};

class BeepDetector {
public:
    static constexpr int kMinRate = 8000, kMaxRate = 192000; ///< Hz
    static constexpr int kMaxChannels = 8;

    // Whether a sound of this rate and channel count can be searched.
    static bool accepts(int rate, int channels);
    // A detector for a sound that accepts() refuses hears nothing.
    BeepDetector(int rate, int channels);
    ~BeepDetector();
    BeepDetector(const BeepDetector&) = delete;
    BeepDetector& operator=(const BeepDetector&) = delete;

    // `frames` frames of interleaved samples, nominally in [−1, 1]; samples that are not finite
    // count as silence. Any cutting of the stream into calls gives the same beeps.
    void process(const float* interleaved, size_t frames);
    // End of the stream: closes a beep still sounding (its end is where the stream ends) and
    // makes every result final. Later calls to process() are ignored.
    void finish();

    // Final beeps, in onset order. A beep is listed within about 40 ms of its end (later while
    // another channel is in a beep), or at finish(); once listed it does not change.
    const std::vector<DetectedBeep>& beeps() const { return beeps_; }

private:
    void collect(bool everything);
    void add(const DetectedBeep& beep);

    int rate_;
    int channel_count_;
    std::vector<std::unique_ptr<robust::BeepChannel>> channels_;
    std::vector<DetectedBeep> pending_; ///< merged across channels, in onset order, not final yet
    std::vector<DetectedBeep> beeps_;
    bool finished_ = false;
};

} // namespace skelv
