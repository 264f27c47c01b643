#include "robust/sync_verdict.h"

const std::vector<SyncProfile>& sync_profiles()
{
    static const std::vector<SyncProfile> profiles = {
        {"ebu-r37", "EBU R37", 40, 60, 1.0, 0},
        {"atsc-is191", "ATSC IS-191", 15, 45, 1.0, 0},
        {"bt1359-detect", "ITU-R BT.1359 detectability", 45, 125, 1.0, 0},
        {"bt1359-accept", "ITU-R BT.1359 acceptability", 90, 185, 1.0, 0},
        // Web video: most events, away from the edges where players settle.
        {"wave", "WAVE", 40, 120, 0.95, 1000},
    };
    return profiles;
}

const SyncProfile* sync_profile_find(const std::string& name)
{
    for (const SyncProfile& profile : sync_profiles())
        if (profile.name == name)
            return &profile;
    return nullptr;
}

SyncProfile sync_profile_custom(double lead_ms, double lag_ms)
{
    return {"custom", "custom", lead_ms, lag_ms, 1.0, 0};
}

const char* sync_verdict_name(SyncVerdict verdict)
{
    switch (verdict) {
    case SyncVerdict::Pass: return "pass";
    case SyncVerdict::Fail: return "fail";
    default: return "unmeasurable";
    }
}

SyncJudgement sync_judge(const std::vector<SyncEvent>& events, const SyncProfile& profile,
                         double expected_delay_ms, double start_ms, double end_ms)
{
    SyncJudgement judgement;
    for (const SyncEvent& event : events) {
        if (event.video_ms < start_ms + profile.edge_ms || event.video_ms > end_ms - profile.edge_ms)
            continue;
        judgement.judged++;
        const double delay = event.delay_ms - expected_delay_ms;
        if (delay >= -profile.lead_ms && delay <= profile.lag_ms)
            judgement.within++;
    }
    if (judgement.judged == 0)
        return judgement;
    judgement.pass_fraction = double(judgement.within) / double(judgement.judged);
    // Counts, not the rounded fraction, decide: every event means every event.
    const bool passes = profile.min_pass_fraction >= 1.0
                            ? judgement.within == judgement.judged
                            : double(judgement.within) >= profile.min_pass_fraction * double(judgement.judged);
    judgement.verdict = passes ? SyncVerdict::Pass : SyncVerdict::Fail;
    return judgement;
}
