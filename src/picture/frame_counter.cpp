#include "picture/frame_counter.h"

#include "core/clip_constants.h"

#include <numeric>

namespace skelv {

namespace {

// Offsets are found by trying each residue: the period stays small enough for that.
constexpr int32_t kMaxPeriod = 1 << 13;

} // namespace

FrameCounter::FrameCounter(const ReadingPlan& plan)
    : markers_(plan.markers.size()), lipsync_(size_t(plan.lipsync))
{
    period_ = clip::kColorCycleLength;
    for (size_t m = 0; m < plan.markers.size(); ++m) {
        const MarkerPlan& marker = plan.markers[m];
        if (marker.role == MarkerRole::FrameId) {
            waves_.push_back({m, marker.half_period});
            period_ = std::lcm(period_, 2 * marker.half_period);
        }
        if (marker.role == MarkerRole::FrameId || marker.role == MarkerRole::Sync)
            blinking_.push_back(m);
    }
    if (plan.sync >= 0) {
        sync_ = size_t(plan.sync);
        has_sync_ = true;
        const int32_t half_period = plan.markers[sync_].half_period;
        if (half_period > 0 && std::lcm(period_, 2 * half_period) <= kMaxPeriod) {
            waves_.push_back({sync_, half_period});
            period_ = std::lcm(period_, 2 * half_period);
        }
    }
}

FramePattern FrameCounter::pattern(const std::vector<int8_t>& shades) const
{
    if (shades[lipsync_] == kShadeUnclear)
        return FramePattern::Unclear;
    for (size_t m : blinking_)
        if (shades[m] == kShadeUnclear)
            return FramePattern::Unclear;
    if (shades[lipsync_] == kShadeBlack)
        return FramePattern::Flash;
    if (shades[lipsync_] != kShadeWhite)
        return FramePattern::Content;
    bool all_white = true, bits_black = true;
    for (size_t m : blinking_) {
        all_white = all_white && shades[m] == kShadeWhite;
        if (!(has_sync_ && m == sync_))
            bits_black = bits_black && shades[m] == kShadeBlack;
    }
    if (all_white)
        return FramePattern::White;
    if (bits_black && (!has_sync_ || shades[sync_] == kShadeWhite))
        return FramePattern::Locator;
    return FramePattern::Other;
}

int8_t FrameCounter::wave_shade(const Wave& wave, int32_t offset)
{
    return (offset / wave.half_period) % 2 == 0 ? kShadeBlack : kShadeWhite;
}

void FrameCounter::content_shades(int32_t offset, std::vector<int8_t>* out) const
{
    out->assign(markers_, kShadeUnclear);
    (*out)[lipsync_] = int8_t(kShadeFirstColour + offset % clip::kColorCycleLength);
    for (const Wave& wave : waves_)
        (*out)[wave.marker] = wave_shade(wave, offset);
}

void FrameCounter::residues(const std::vector<int8_t>& shades, std::vector<int32_t>* out) const
{
    out->clear();
    const int32_t phase = colour_phase(shades[lipsync_]);
    for (int32_t offset = 0; offset < period_; ++offset) {
        if (phase >= 0 && offset % clip::kColorCycleLength != phase)
            continue;
        bool agrees = true;
        for (const Wave& wave : waves_) {
            if (shades[wave.marker] != wave_shade(wave, offset)) {
                agrees = false;
                break;
            }
        }
        if (agrees)
            out->push_back(offset);
    }
}

} // namespace skelv
