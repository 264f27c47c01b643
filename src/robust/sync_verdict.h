// Broadcast lip-sync tolerances and the verdict of one recording against one of them.
#pragma once

#include "robust/sync_pairing.h"

#include <string>
#include <vector>

struct SyncProfile {
    std::string name;         ///< as on the command line
    std::string title;        ///< as in human output, e.g. "EBU R37"
    double lead_ms;           ///< the sound may come at most this much early
    double lag_ms;            ///< and at most this much late
    double min_pass_fraction; ///< of the judged events that must lie within
    double edge_ms;           ///< events this close to the recording's start or end are not judged
};

// The published profiles in command-line order.
const std::vector<SyncProfile>& sync_profiles();
// nullptr when no profile has that name.
const SyncProfile* sync_profile_find(const std::string& name);
// Limits given by the user, judged like the default profile.
SyncProfile sync_profile_custom(double lead_ms, double lag_ms);

enum class SyncVerdict { Pass, Fail, Unmeasurable };
const char* sync_verdict_name(SyncVerdict verdict); ///< "pass", "fail", "unmeasurable"

struct SyncJudgement {
    SyncVerdict verdict = SyncVerdict::Unmeasurable;
    size_t judged = 0;        ///< events inside the judged part of the recording
    size_t within = 0;        ///< of those, within the limits
    double pass_fraction = 0; ///< within / judged; 0 when nothing was judged
};

// Judges each event's delay less `expected_delay_ms` against [-lead, +lag]; the recording
// runs from `start_ms` to `end_ms` on the same clock as the events.
SyncJudgement sync_judge(const std::vector<SyncEvent>& events, const SyncProfile& profile,
                         double expected_delay_ms, double start_ms, double end_ms);
