// A camera's microphone hears the screen's sound late by the time it takes to cross the room.
#pragma once

#include <cmath>
#include <cstdint>

namespace skelv {

inline constexpr double kMaxMicDistanceM = 100;
inline constexpr double kMinTemperatureC = -50, kMaxTemperatureC = 60;

// m/s in dry air: 331.3 at 0 °C, 343.2 at 20 °C.
inline double speed_of_sound(double celsius)
{
    return 331.3 * std::sqrt(1 + celsius / 273.15);
}

// Nearest nanosecond the sound takes over `metres` at `celsius`.
inline int64_t sound_travel_ns(double metres, double celsius)
{
    return int64_t(std::llround(metres / speed_of_sound(celsius) * 1e9));
}

inline bool valid_mic_distance_m(double metres)
{
    return std::isfinite(metres) && metres >= 0 && metres <= kMaxMicDistanceM;
}

inline bool valid_temperature_c(double celsius)
{
    return std::isfinite(celsius) && celsius >= kMinTemperatureC && celsius <= kMaxTemperatureC;
}

} // namespace skelv
