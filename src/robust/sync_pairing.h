// Pairs each beep with the flash it belongs to, by time, never by order: a missing beep or
// an extra one leaves every other pair as it is.
#pragma once

#include <cstdint>
#include <vector>

// A lip-sync flash as the picture shows it.
struct Flash {
    int64_t source_frame; ///< content frame number of the flash in the original clip
    int loop;             ///< how many times the content had started again before it
    double video_ms;      ///< running time of the first captured frame that shows it
};

struct SyncEvent {
    int64_t flash_frame; ///< source frame number of the flash
    int loop;
    double video_ms; ///< the flash's captured time
    double audio_ms; ///< the beep's onset
    double delay_ms; ///< audio_ms - video_ms: positive when the sound comes late
};

struct SyncPairing {
    std::vector<SyncEvent> events;       ///< in video time order
    std::vector<Flash> missing_beeps;    ///< flashes no beep belongs to
    std::vector<double> unmatched_beeps; ///< onsets (ms) of beeps no flash belongs to
};

// `flashes` and `beep_onsets_ms` in time order. A beep belongs to the flash nearest to its
// onset less `expected_delay_ms` when that lies within half the flashes' usual spacing (their
// median interval); of several beeps near one flash, the nearest wins.
SyncPairing sync_pair(const std::vector<Flash>& flashes, const std::vector<double>& beep_onsets_ms,
                      double expected_delay_ms);
