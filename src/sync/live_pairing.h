// Pairs beeps with flashes while a recording is still coming in, as soon as no later flash
// or beep can change the pair, by the same rule as sync_pair: each beep goes to the flash
// nearest its onset less the designed offset, within half the flashes' usual spacing, and
// of several beeps the nearest wins. The final result of a run is paired again whole; these
// pairs are what a live run shows meanwhile.
#pragma once

#include "sync/sync_pairing.h"

#include <cstdint>
#include <deque>
#include <vector>

namespace skelv {

class LivePairing {
public:
    explicit LivePairing(int64_t expected_delay_ns) : expected_delay_ns_(expected_delay_ns) {}

    // Each as soon as it is known: flashes in time order, beeps in any.
    void add_flash(const Flash& flash);
    void add_beep(int64_t onset_ns);

    // The pairs that are settled once the picture has been read up to `video_ns` and the
    // sound up to `audio_ns`, each returned once, in time order.
    std::vector<SyncEvent> settle(int64_t video_ns, int64_t audio_ns);

private:
    int64_t reach_ns() const;

    int64_t expected_delay_ns_;
    std::deque<Flash> flashes_;  ///< not settled yet
    std::deque<int64_t> beeps_;  ///< onsets not given to a settled flash
    std::vector<int64_t> gaps_;  ///< between the latest flashes, for their usual spacing
    int64_t last_flash_ns_ = -1;
};

} // namespace skelv
