// The verdict of one recording against a profile.
#pragma once

#include "rules/names.h"
#include "rules/profiles.h"
#include "sync/sync_pairing.h"

#include <vector>

namespace skelv {

struct SyncJudgement {
    SyncVerdict verdict = SyncVerdict::Unmeasurable;
    size_t judged = 0;        ///< events inside the judged part of the recording
    size_t within = 0;        ///< of those, within the profile's band
    double pass_fraction = 0; ///< within / judged; 0 when nothing was judged
};

// What the verdict is drawn from: the events to judge, the clip's designed offset, and the
// stretch of the recording (on the events' clock) that counts.
struct JudgedSpan {
    int64_t expected_delay_ns = 0;
    int64_t start_ns = 0, end_ns = 0;
};

// Judges the delay of each event inside the span, less the profile's edges, against the
// profile's band.
SyncJudgement sync_judge(const std::vector<SyncEvent>& events, const SyncProfile& profile, const JudgedSpan& span);

} // namespace skelv
