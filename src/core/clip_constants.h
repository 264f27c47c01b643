// The test clip's design, as every program reads or writes it: colour letters, the lip-sync
// colour cycle, the beep's tones, and the limits the exact analyser applies.
#pragma once

#include <cstdint>

namespace clip {

// Colour class letters, indexed by class: bit 0 red, bit 1 green, bit 2 blue.
inline constexpr char kColorLetters[] = "krgybmcw";
// The lip-sync marker's colour by content offset, modulo 6.
inline constexpr char kColorCycle[] = "rygcbm";
inline constexpr int kColorCycleLength = 6;

// The two tones of a beep, Hz.
inline constexpr int32_t kBeepLowHz = 547;
inline constexpr int32_t kBeepHighHz = 1823;

// A channel above this value sets its colour-class bit (exact reading).
inline constexpr uint8_t kClassOnThreshold = 200;
// Samples in the exact beep detector's sliding sums; a beep closes only this long after it ends.
inline constexpr int32_t kToneWindow = 500;
// The exact beep detector's level (geometric mean of the two tones' sums over the window,
// divided by the window) opens a beep strictly above kBeepOpenLevel and closes it strictly
// below kBeepCloseLevel.
inline constexpr int32_t kBeepOpenLevel = 2100;
inline constexpr int32_t kBeepCloseLevel = 1900;
// Nanoseconds either way before a timestamp offset counts as a gap or a late start.
inline constexpr int64_t kTimeTolerance = 1000000;

} // namespace clip
