// Pairs each beep with the flash it belongs to, by time, never by order: a missing beep or
// an extra one leaves every other pair as it is.
#pragma once

#include <cstdint>
#include <vector>

namespace skelv {

// A lip-sync flash as the picture shows it.
struct Flash {
    int64_t source_frame; ///< content frame number of the flash in the original clip
    int32_t loop;         ///< how many times the content had started again before it
    int64_t video_ns;     ///< running time of the first captured frame that shows it
};

struct SyncEvent {
    int64_t flash_frame; ///< source frame number of the flash
    int32_t loop;
    int64_t video_ns; ///< the flash's captured time
    int64_t audio_ns; ///< the beep's onset
    int64_t delay_ns; ///< audio_ns - video_ns: positive when the sound comes late
};

struct SyncPairing {
    std::vector<SyncEvent> events;        ///< in video time order
    std::vector<Flash> missing_beeps;     ///< flashes no beep belongs to
    std::vector<int64_t> unmatched_beeps; ///< onsets (ns) of beeps no flash belongs to
};

// `flashes` and `beep_onsets_ns` in time order. A beep belongs to the flash nearest to its
// onset less `expected_delay_ns` when that lies within half the flashes' usual spacing (their
// median interval); of several beeps near one flash, the nearest wins.
SyncPairing sync_pair(const std::vector<Flash>& flashes, const std::vector<int64_t>& beep_onsets_ns,
                      int64_t expected_delay_ns);

// A pairing of streams cut anywhere, as a live run stops: a flash whose beep could still have
// been coming when the sound stopped at `sound_end_ns`, or a beep whose flash could have been
// when the picture stopped at `picture_end_ns`, is neither missing nor unmatched.
void forgive_cut(SyncPairing* pairing, const std::vector<Flash>& flashes, int64_t picture_end_ns,
                 int64_t sound_end_ns, int64_t expected_delay_ns);

} // namespace skelv
