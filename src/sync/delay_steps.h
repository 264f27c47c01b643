// Where the lip-sync delay jumps (an audio packet lost, a frame of sound inserted, a player's
// resync) and the stretches of steady delay between the jumps, each with its own figures.
#pragma once

#include "sync/sync_pairing.h"
#include "sync/sync_statistics.h"

#include <optional>
#include <vector>

namespace skelv {

struct DelayStep {
    size_t first_event; ///< index of the first event after the step
    int64_t at_ns;      ///< that event's video time
    int64_t size_ns;    ///< how far the delay moved: negative when the sound came earlier
};

struct DelayStretch {
    int64_t from_ns = 0, to_ns = 0; ///< video times of its first and last events
    DelayStatistics statistics;
};

struct DelaySteps {
    std::vector<DelayStep> steps;        ///< in video time order
    std::vector<DelayStretch> stretches; ///< one more than the steps; none without events
    std::optional<Drift> drift;          ///< the slope common to the stretches, each at its own level
};

// `events` in video time order. A steady drift, however steep, is no step: it is taken off
// before the jumps are looked for.
DelaySteps delay_steps(const std::vector<SyncEvent>& events);

} // namespace skelv
