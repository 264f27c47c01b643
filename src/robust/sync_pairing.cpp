#include "robust/sync_pairing.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

double median_spacing(const std::vector<Flash>& flashes)
{
    if (flashes.size() < 2)
        return std::numeric_limits<double>::infinity();
    std::vector<double> gaps;
    for (size_t i = 1; i < flashes.size(); i++)
        gaps.push_back(flashes[i].video_ms - flashes[i - 1].video_ms);
    std::nth_element(gaps.begin(), gaps.begin() + gaps.size() / 2, gaps.end());
    return gaps[gaps.size() / 2];
}

// Index of the flash nearest to `ms`; flashes are in time order and not empty.
size_t nearest_flash(const std::vector<Flash>& flashes, double ms)
{
    const auto later = std::lower_bound(flashes.begin(), flashes.end(), ms,
                                        [](const Flash& f, double t) { return f.video_ms < t; });
    if (later == flashes.begin())
        return 0;
    if (later == flashes.end())
        return flashes.size() - 1;
    const auto earlier = later - 1;
    return size_t((ms - earlier->video_ms <= later->video_ms - ms ? earlier : later) - flashes.begin());
}

} // namespace

SyncPairing sync_pair(const std::vector<Flash>& flashes, const std::vector<double>& beep_onsets_ms,
                      double expected_delay_ms)
{
    SyncPairing pairing;
    const double reach = median_spacing(flashes) / 2;
    constexpr size_t kNone = std::numeric_limits<size_t>::max();
    std::vector<size_t> beep_of_flash(flashes.size(), kNone);
    std::vector<double> distance_of_flash(flashes.size(), std::numeric_limits<double>::infinity());

    for (size_t b = 0; b < beep_onsets_ms.size(); b++) {
        const double aligned = beep_onsets_ms[b] - expected_delay_ms;
        const size_t f = flashes.empty() ? kNone : nearest_flash(flashes, aligned);
        const double distance = f == kNone ? INFINITY : std::abs(aligned - flashes[f].video_ms);
        if (f == kNone || !(distance < reach)) {
            pairing.unmatched_beeps.push_back(beep_onsets_ms[b]);
            continue;
        }
        if (distance < distance_of_flash[f]) {
            if (beep_of_flash[f] != kNone)
                pairing.unmatched_beeps.push_back(beep_onsets_ms[beep_of_flash[f]]);
            beep_of_flash[f] = b;
            distance_of_flash[f] = distance;
        } else {
            pairing.unmatched_beeps.push_back(beep_onsets_ms[b]);
        }
    }
    std::sort(pairing.unmatched_beeps.begin(), pairing.unmatched_beeps.end());

    for (size_t f = 0; f < flashes.size(); f++) {
        const Flash& flash = flashes[f];
        if (beep_of_flash[f] == kNone) {
            pairing.missing_beeps.push_back(flash);
            continue;
        }
        const double audio_ms = beep_onsets_ms[beep_of_flash[f]];
        pairing.events.push_back({flash.source_frame, flash.loop, flash.video_ms, audio_ms, audio_ms - flash.video_ms});
    }
    return pairing;
}
