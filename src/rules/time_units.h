// Time inside the tools is integer nanoseconds of running time; milliseconds and seconds
// appear only where a number is written out or read from a user.
#pragma once

#include <cmath>
#include <cstdint>

namespace skelv {

inline constexpr int64_t kNsPerMs = 1'000'000;
inline constexpr int64_t kNsPerSecond = 1'000'000'000;
inline constexpr int64_t kNsPerMinute = 60 * kNsPerSecond;

inline double ms_of(int64_t ns)
{
    return double(ns) / double(kNsPerMs);
}

inline double seconds_of(int64_t ns)
{
    return double(ns) / double(kNsPerSecond);
}

// Nearest nanosecond of a time in milliseconds (finite, within about ±290 years).
inline int64_t ns_of_ms(double ms)
{
    return int64_t(std::llround(ms * double(kNsPerMs)));
}

inline int64_t ns_of_seconds(double seconds)
{
    return int64_t(std::llround(seconds * double(kNsPerSecond)));
}

} // namespace skelv
