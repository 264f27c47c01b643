#include "sync/sync_pairing.h"

#include <algorithm>
#include <cstdlib>
#include <limits>

namespace skelv {

namespace {

constexpr int64_t kFar = std::numeric_limits<int64_t>::max();

int64_t median_spacing(const std::vector<Flash>& flashes)
{
    if (flashes.size() < 2)
        return kFar;
    std::vector<int64_t> gaps;
    for (size_t i = 1; i < flashes.size(); i++)
        gaps.push_back(flashes[i].video_ns - flashes[i - 1].video_ns);
    std::nth_element(gaps.begin(), gaps.begin() + gaps.size() / 2, gaps.end());
    return gaps[gaps.size() / 2];
}

// Index of the flash nearest to `ns`; flashes are in time order and not empty.
size_t nearest_flash(const std::vector<Flash>& flashes, int64_t ns)
{
    const auto later = std::lower_bound(flashes.begin(), flashes.end(), ns,
                                        [](const Flash& f, int64_t t) { return f.video_ns < t; });
    if (later == flashes.begin())
        return 0;
    if (later == flashes.end())
        return flashes.size() - 1;
    const auto earlier = later - 1;
    return size_t((ns - earlier->video_ns <= later->video_ns - ns ? earlier : later) - flashes.begin());
}

} // namespace

SyncPairing sync_pair(const std::vector<Flash>& flashes, const std::vector<int64_t>& beep_onsets_ns,
                      int64_t expected_delay_ns)
{
    SyncPairing pairing;
    // Half the spacing, exclusive: a beep exactly between two flashes belongs to neither.
    const int64_t spacing = median_spacing(flashes);
    constexpr size_t kNone = std::numeric_limits<size_t>::max();
    std::vector<size_t> beep_of_flash(flashes.size(), kNone);
    std::vector<int64_t> distance_of_flash(flashes.size(), kFar);

    for (size_t b = 0; b < beep_onsets_ns.size(); b++) {
        const int64_t aligned = beep_onsets_ns[b] - expected_delay_ns;
        const size_t f = flashes.empty() ? kNone : nearest_flash(flashes, aligned);
        const int64_t distance = f == kNone ? kFar : std::llabs(aligned - flashes[f].video_ns);
        if (f == kNone || !(spacing == kFar || 2 * distance < spacing)) {
            pairing.unmatched_beeps.push_back(beep_onsets_ns[b]);
            continue;
        }
        if (distance < distance_of_flash[f]) {
            if (beep_of_flash[f] != kNone)
                pairing.unmatched_beeps.push_back(beep_onsets_ns[beep_of_flash[f]]);
            beep_of_flash[f] = b;
            distance_of_flash[f] = distance;
        } else {
            pairing.unmatched_beeps.push_back(beep_onsets_ns[b]);
        }
    }
    std::sort(pairing.unmatched_beeps.begin(), pairing.unmatched_beeps.end());

    for (size_t f = 0; f < flashes.size(); f++) {
        const Flash& flash = flashes[f];
        if (beep_of_flash[f] == kNone) {
            pairing.missing_beeps.push_back(flash);
            continue;
        }
        const int64_t audio_ns = beep_onsets_ns[beep_of_flash[f]];
        pairing.events.push_back({flash.source_frame, flash.loop, flash.video_ns, audio_ns, audio_ns - flash.video_ns});
    }
    return pairing;
}

void forgive_cut(SyncPairing* pairing, const std::vector<Flash>& flashes, int64_t picture_end_ns,
                 int64_t sound_end_ns, int64_t expected_delay_ns)
{
    const int64_t spacing = median_spacing(flashes);
    const int64_t reach = spacing == kFar ? 0 : spacing / 2; // how far a beep may lie from its flash
    std::erase_if(pairing->missing_beeps,
                  [&](const Flash& f) { return f.video_ns + expected_delay_ns + reach > sound_end_ns; });
    std::erase_if(pairing->unmatched_beeps,
                  [&](int64_t onset) { return onset - expected_delay_ns + reach > picture_end_ns; });
}

} // namespace skelv
