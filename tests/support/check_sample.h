// skelv-check results made in memory from the test clip's design, for the output tests: a
// recording of the clip with chosen faults, as a perfect reader would see it.
#pragma once

#include "check/check_result.h"

struct CheckSample {
    int frames = 300;       ///< captured frames
    double fps = 25;        ///< capture and clip frame rate
    double delay_ms = 21.6; ///< every beep after its flash, before the faults below
    bool audio = true;      ///< without: no beep, every flash unpaired
    bool faults = true;     ///< a dropped pair, a repeat, an unreadable frame, a loop, a stray
                            ///< beep, a missing beep and one event beyond EBU R37
    int width = 320, height = 240;
};

// Content frames from one flash to the next, and where the flash falls in that period.
constexpr int kSampleFlashPeriod = 25;

CheckResult check_sample(const CheckSample& sample);
