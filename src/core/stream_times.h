// Start, end and gap test of one stream's buffer timestamps (nanoseconds, all ones unset).
#pragma once

#include "core/clip_constants.h"

#include <cstdint>
#include <string>

struct StreamTimes {
    static constexpr uint64_t kUnset = UINT64_MAX;
    static constexpr int64_t kTolerance = clip::kTimeTolerance;

    int64_t tolerance = kTolerance; ///< ns either way before an offset is a gap

    uint64_t start = kUnset;   ///< timestamp of the first timed buffer
    uint64_t end = 0;          ///< timestamp + duration of the latest timed buffer
    bool end_is_known = false; ///< false after a buffer whose duration or timestamp was unset

    // Takes the next buffer's timestamp and duration. Returns true with `*offset` set (ns,
    // negative for overlap) when the buffer lies more than `tolerance` from where the previous ended.
    // A buffer without a timestamp, and the one after a buffer of unknown end, are not tested.
    bool advance(uint64_t timestamp, uint64_t duration, int64_t* offset);

    // True when the first timestamp lies more than 1 ms after zero.
    bool starts_late() const { return start != kUnset && start > uint64_t(kTolerance); }
};

// The timestamp warnings, worded once for both analysers; each passes seconds as it computes them.
std::string video_gap_warning(int32_t frame, double offset_s);
std::string audio_gap_warning(double at_s, double offset_s);
std::string late_start_warning(const char* stream, double offset_s);
