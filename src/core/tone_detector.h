// Finds two-tone beeps (547 Hz + 1823 Hz) in a stream of mono signed 16-bit samples.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

// One beep, as sample indices from the first sample fed to the detector.
struct AudioMarker {
    int32_t start; ///< estimated first sample of the beep, never below 0
    int32_t end;   ///< estimated first sample after the beep

    friend bool operator==(const AudioMarker&, const AudioMarker&) = default;
};

struct ToneDetector;

// `rate` in Hz. A detector made with a rate that is not positive consumes nothing.
// An allocation failure terminates the program.
ToneDetector* tone_detector_new(int32_t rate) noexcept;
// The state of a new detector after `silent_samples` zero samples (at least 0): the next
// sample fed has that index. Lets a stream start late without feeding hours of zeros.
ToneDetector* tone_detector_new_after_silence(int32_t rate, int32_t silent_samples) noexcept;
// Consumes `count` samples; any cutting of the stream into calls gives the same markers.
// Sample indices are signed 32-bit: samples past index 2147483646 (about 12.4 hours at
// 48 kHz) are ignored.
void tone_detector_process(ToneDetector* detector, const int16_t* samples, uint64_t count) noexcept;
// The beeps found so far, in the order they closed. A beep still open is not included.
std::vector<AudioMarker> tone_detector_get_markers(const ToneDetector* detector) noexcept;
// The level after the last sample consumed (0 before any): geometric mean of the two
// tones' magnitudes over the last 500 samples, divided by 500. A beep opens above 2100
// and closes below 1900.
float tone_detector_level(const ToneDetector* detector) noexcept;
void tone_detector_free(ToneDetector* detector) noexcept;

struct ToneDetectorFree {
    void operator()(ToneDetector* detector) const { tone_detector_free(detector); }
};
using ToneDetectorPtr = std::unique_ptr<ToneDetector, ToneDetectorFree>;
