#include "picture/marker_watch.h"

#include "picture/marker_roles.h"

#include <algorithm>

namespace skelv {

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
