#include "picture/marker_watch.h"

#include "picture/marker_roles.h"

#include <algorithm>
#include <cmath>

namespace skelv {

namespace {

constexpr float kSmallestSwing = 16;                   ///< an area whose colour moves less never changed

float largest_step(const Yuv& a, const Yuv& b)
{
    return std::max({std::abs(a.y - b.y), std::abs(a.u - b.u), std::abs(a.v - b.v)});
}

// When an area's colour last changed, and the longest it stood still before that, in frames.
struct Changes {
    size_t last = 0;
    int64_t longest_still_ns = 0;
    bool any = false;
};

Changes changes_of(const std::vector<Yuv>& values, const std::vector<int64_t>& times)
{
    Yuv low = values.front(), high = values.front();
    for (const Yuv& v : values) {
        low = {std::min(low.y, v.y), std::min(low.u, v.u), std::min(low.v, v.v)};
        high = {std::max(high.y, v.y), std::max(high.u, v.u), std::max(high.v, v.v)};
    }
    const float swing = largest_step(low, high);
    Changes changes;
    if (swing < kSmallestSwing)
        return changes;
    for (size_t i = 1; i < values.size(); ++i)
        if (largest_step(values[i], values[i - 1]) > swing / 3) {
            if (changes.any)
                changes.longest_still_ns = std::max(changes.longest_still_ns, times[i] - times[changes.last]);
            changes.last = i;
            changes.any = true;
        }
    return changes;
}

} // namespace

size_t frames_before_an_area_stops(const std::vector<std::vector<Yuv>>& series, const std::vector<int64_t>& times)
{
    if (times.size() < 2)
        return times.size();
    std::vector<Changes> areas;
    size_t latest = 0;
    for (const std::vector<Yuv>& values : series) {
        areas.push_back(changes_of(values, times));
        latest = std::max(latest, areas.back().last);
    }
    size_t keep = times.size();
    for (const Changes& area : areas) {
        const int64_t still_ns = times[latest] - times[area.last];
        const bool stopped = area.any && still_ns > std::max(MarkerWatch::kLostNs, 3 * area.longest_still_ns);
        if (stopped && times[area.last] - times.front() >= kShortestLearningNs)
            keep = std::min(keep, area.last + 1);
    }
    return keep;
}

MarkerWatch::MarkerWatch(const std::vector<int64_t>& half_periods_ns) : tracks_(half_periods_ns.size())
{
    for (size_t m = 0; m < tracks_.size(); ++m)
        tracks_[m].lost_after_ns = std::max(kLostNs, 2 * half_periods_ns[m]);
}

bool MarkerWatch::lost(const Track& track, int64_t until_ns) const
{
    return track.changed_ns >= 0 && until_ns - track.changed_ns >= track.lost_after_ns && track.others_ns >= 0 &&
           std::max(track.others_gap_ns, until_ns - track.others_ns) <= kOthersGapNs;
}

void MarkerWatch::add(int64_t time_ns, const std::vector<int8_t>& shades)
{
    changed_.assign(tracks_.size(), false);
    size_t changes = 0;
    for (size_t m = 0; m < tracks_.size() && m < shades.size(); ++m) {
        changed_[m] = shades[m] != kShadeUnclear && shades[m] != tracks_[m].shade;
        changes += changed_[m];
    }
    for (size_t m = 0; m < tracks_.size(); ++m) {
        Track& track = tracks_[m];
        if (changed_[m] || track.changed_ns < 0) {
            if (lost(track, time_ns))
                losses_.push_back({m, track.changed_ns, time_ns});
            track = {changed_[m] ? shades[m] : track.shade, time_ns, -1, 0, track.lost_after_ns};
        } else if (changes > 0) {
            track.others_gap_ns = std::max(track.others_gap_ns, time_ns - std::max(track.others_ns, track.changed_ns));
            track.others_ns = time_ns;
        }
    }
    last_ns_ = time_ns;
}

std::vector<MarkerLoss> MarkerWatch::losses() const
{
    std::vector<MarkerLoss> all = losses_;
    for (size_t m = 0; m < tracks_.size(); ++m)
        if (lost(tracks_[m], last_ns_))
            all.push_back({m, tracks_[m].changed_ns, -1});
    return all;
}

} // namespace skelv
