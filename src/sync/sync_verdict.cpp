#include "sync/sync_verdict.h"

namespace skelv {

SyncJudgement sync_judge(const std::vector<SyncEvent>& events, const SyncProfile& profile, const JudgedSpan& span)
{
    SyncJudgement judgement;
    const DelayBand band = profile.band(span.expected_delay_ns);
    for (const SyncEvent& event : events) {
        if (event.video_ns < span.start_ns + profile.edge_ns || event.video_ns > span.end_ns - profile.edge_ns)
            continue;
        judgement.judged++;
        judgement.within += band.holds(event.delay_ns) ? 1 : 0;
    }
    if (judgement.judged == 0)
        return judgement;
    judgement.pass_fraction = double(judgement.within) / double(judgement.judged);
    judgement.verdict = profile.passes(judgement.within, judgement.judged) ? SyncVerdict::Pass : SyncVerdict::Fail;
    return judgement;
}

} // namespace skelv
