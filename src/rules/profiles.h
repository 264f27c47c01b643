// Broadcast lip-sync tolerances: each profile knows the delays it accepts and how many of a
// recording's events must lie within them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace skelv {

// Delays from `low_ns` to `high_ns`, both included.
struct DelayBand {
    int64_t low_ns = 0, high_ns = 0;
    bool holds(int64_t delay_ns) const { return delay_ns >= low_ns && delay_ns <= high_ns; }
};

struct SyncProfile {
    std::string name;             ///< as on the command line
    std::string title;            ///< as in human output, e.g. "EBU R37"
    int64_t lead_ns = 0;          ///< the sound may come at most this much early
    int64_t lag_ns = 0;           ///< and at most this much late
    double min_pass_fraction = 1; ///< of the judged events that must lie within
    int64_t edge_ns = 0;          ///< events this close to the recording's start or end are not judged

    // The delays accepted from a clip designed with the sound `expected_delay_ns` late.
    DelayBand band(int64_t expected_delay_ns) const
    {
        return {expected_delay_ns - lead_ns, expected_delay_ns + lag_ns};
    }
    // Whether `within` of `judged` events within the band pass the recording. Counts, not a
    // rounded fraction, decide: every event means every event.
    bool passes(size_t within, size_t judged) const;
};

// The published profiles in command-line order.
const std::vector<SyncProfile>& sync_profiles();
// "ebu-r37, atsc-is191, ...".
std::string sync_profile_names();

// Largest custom limit and designed offset taken, in ms: a minute is far beyond any chain.
inline constexpr double kMaxLimitMs = 60'000;

// The profile a command line asks for: a published one by name, or custom limits (given
// together, judged like the default profile). False with a message for an unknown name, one
// limit without the other, or a limit that is not a number from 0 to kMaxLimitMs.
bool choose_profile(const std::string& name, std::optional<double> lead_ms, std::optional<double> lag_ms,
                    SyncProfile* profile, std::string* error);

// A designed offset as the command line gives it: a number of ms within ±kMaxLimitMs.
bool valid_expected_delay_ms(double ms);

// Largest line time of a rolling shutter taken, in µs a row: a thousand rows would take a second.
inline constexpr double kMaxLineTimeUs = 1000;

// --line-time-us as the command line gives it: "auto" (to be measured from the recording: `*us`
// left empty) or microseconds from 0 to kMaxLineTimeUs; false with a message otherwise.
bool parse_line_time_us(const std::string& text, std::optional<double>* us, std::string* error);

} // namespace skelv
