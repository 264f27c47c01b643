// skelv-check results made in memory from the test clip's design, for the output tests: a
// recording of the clip with chosen faults, as a perfect reader would see it.
#pragma once

#include "check/check_result.h"

namespace skelv {

struct CheckSample {
    int frames = 300; ///< captured frames
    double fps = 25;  ///< capture and clip frame rate
    bool audio = true;  ///< without: no beep, every flash unpaired
    bool faults = true; ///< a dropped pair, a repeat, an unreadable frame, a gap, a loop, a stray
                        ///< beep, a missing beep and one event beyond EBU R37
    int width = 320, height = 240;
};

CheckResult check_sample(const CheckSample& sample);

// Times `what` occurs in `text`.
size_t count_of(const std::string& text, const std::string& what);
// The pixels of a PNG held in `png`; empty when it does not decode.
CheckSnapshot decode_png(const std::string& png);

} // namespace skelv
