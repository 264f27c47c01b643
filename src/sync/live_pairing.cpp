#include "sync/live_pairing.h"

#include <algorithm>
#include <cstdlib>

namespace skelv {

namespace {

constexpr size_t kSpacingSamples = 15;         // recent flash intervals the usual spacing is taken from
constexpr int64_t kListingDelayNs = 300'000'000; // a beep is known this long after its onset at most

} // namespace

void LivePairing::add_flash(const Flash& flash)
{
    if (last_flash_ns_ >= 0) {
        gaps_.push_back(flash.video_ns - last_flash_ns_);
        if (gaps_.size() > kSpacingSamples)
            gaps_.erase(gaps_.begin());
    }
    last_flash_ns_ = flash.video_ns;
    flashes_.push_back(flash);
}

void LivePairing::add_beep(int64_t onset_ns)
{
    // Several sound streams list their beeps each in its own order.
    beeps_.insert(std::upper_bound(beeps_.begin(), beeps_.end(), onset_ns), onset_ns);
}

// Half the median of the recent intervals; unknown (-1) before two flashes.
int64_t LivePairing::reach_ns() const
{
    if (gaps_.empty())
        return -1;
    std::vector<int64_t> gaps = gaps_;
    std::nth_element(gaps.begin(), gaps.begin() + long(gaps.size() / 2), gaps.end());
    return gaps[gaps.size() / 2] / 2;
}

std::vector<SyncEvent> LivePairing::settle(int64_t video_ns, int64_t audio_ns)
{
    std::vector<SyncEvent> events;
    const int64_t reach = reach_ns();
    while (reach > 0 && !flashes_.empty()) {
        const Flash flash = flashes_.front();
        const int64_t centre = flash.video_ns + expected_delay_ns_; // where its beep belongs
        if (audio_ns < centre + reach + kListingDelayNs || video_ns < flash.video_ns + reach)
            break;
        flashes_.pop_front();
        // Beeps before this flash's reach belong to no flash.
        while (!beeps_.empty() && beeps_.front() <= centre - reach)
            beeps_.pop_front();
        auto nearest = beeps_.end();
        for (auto beep = beeps_.begin(); beep != beeps_.end() && *beep < centre + reach; ++beep)
            if (nearest == beeps_.end() || std::llabs(*beep - centre) < std::llabs(*nearest - centre))
                nearest = beep;
        if (nearest == beeps_.end())
            continue;
        events.push_back({flash.source_frame, flash.loop, flash.video_ns, *nearest, *nearest - flash.video_ns});
        beeps_.erase(beeps_.begin(), nearest + 1); // the others before it lost to it
    }
    return events;
}

} // namespace skelv
