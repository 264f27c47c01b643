#include "picture/blend_reading.h"

#include "picture/level_model.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace skelv {

namespace {

// A marker explained by a mix lies within this share of its black-white distance from where
// the mix puts it. Coding noise and a gamma applied after the converter stay inside; a wrong
// pair of frames misses a marker by its minor frame's share of a level step or more, and the
// frames that reach the fit are far from pure (the others read at their levels).
constexpr float kFitShare = 0.1f;
constexpr float kMinTolerance = 2; // 8-bit levels: coding noise of an interior mean
// Weights this close to one half count as one half: near one half the fit measures a weight to
// about a hundredth, so an even blend is not split by noise.
constexpr float kEvenBlendBand = 0.015f;
// Candidates further than this many tolerances off at the weight that bit 0 alone gives are
// dropped before the full fit.
constexpr float kQuickReject = 3;

Yuv minus(const Yuv& a, const Yuv& b)
{
    return {a.y - b.y, a.u - b.u, a.v - b.v};
}

float dot(const Yuv& a, const Yuv& b)
{
    return a.y * b.y + a.u * b.u + a.v * b.v;
}

// Distance of `value` from `later + weight * (earlier - later)`.
float miss(const Yuv& value, const Yuv& earlier, const Yuv& later, float weight)
{
    const Yuv step = minus(earlier, later);
    return yuv_distance(value, {later.y + weight * step.y, later.u + weight * step.u, later.v + weight * step.v});
}

// The weight that puts `later + weight * (earlier - later)` nearest to `value`, 0 to 1.
float project(const Yuv& value, const Yuv& earlier, const Yuv& later)
{
    const Yuv step = minus(earlier, later);
    const float length = dot(step, step);
    return length > 0 ? std::clamp(dot(minus(value, later), step) / length, 0.0f, 1.0f) : 0.0f;
}

// No flash, the earlier frame a flash, or the later one: flashes are never neighbours.
constexpr std::pair<bool, bool> kFlashCases[] = {{false, false}, {true, false}, {false, true}};

} // namespace

BlendReader::BlendReader(const ReadingPlan& plan)
    : lipsync_(size_t(plan.lipsync))
{
    const FrameCounter counter(plan);
    period_ = counter.period();
    const size_t markers = plan.markers.size();
    std::vector<int8_t> row;
    for (int32_t offset = 0; offset < period_; ++offset) {
        counter.content_shades(offset, &row);
        shades_.insert(shades_.end(), row.begin(), row.end());
    }
    for (size_t m = 0; m < markers; ++m) {
        const MarkerPlan& marker = plan.markers[m];
        levels_.push_back(marker.levels);
        const float swing = marker.levels.size() >= 2 ? yuv_distance(marker.levels[0], marker.levels[1]) : 0;
        tolerance_.push_back(std::max(kFitShare * swing, kMinTolerance));
        if (marker.role == MarkerRole::FrameId && marker.bit == 0)
            fastest_ = m;
        if (marker.role != MarkerRole::Unknown)
            (shades_[m] == kShadeUnclear ? unfollowed_ : followed_).push_back(m);
    }
}

const Yuv& BlendReader::level(size_t marker, int8_t shade, bool flash) const
{
    return levels_[marker][size_t(marker == lipsync_ && flash ? int8_t(kShadeBlack) : shade)];
}

bool BlendReader::fit(const std::vector<Yuv>& values, BlendMix* blend) const
{
    const size_t markers = levels_.size();
    const int8_t* earlier = &shades_[size_t(blend->residue) * markers];
    const int8_t* later = &shades_[size_t((blend->residue + 1) % period_) * markers];
    const auto ends = [&](size_t m) {
        return std::pair<const Yuv&, const Yuv&>{
            level(m, earlier[m], blend->earlier_flash), level(m, later[m], blend->later_flash)};
    };
    const auto [fast_a, fast_b] = ends(fastest_);
    const float rough = project(values[fastest_], fast_a, fast_b);
    float num = 0, den = 0;
    for (size_t m : followed_) {
        const auto [a, b] = ends(m);
        if (miss(values[m], a, b, rough) > kQuickReject * tolerance_[m])
            return false;
        // Least squares over the markers, each counted in units of its own tolerance.
        const Yuv step = minus(a, b);
        const float scale = 1 / (tolerance_[m] * tolerance_[m]);
        num += scale * dot(minus(values[m], b), step);
        den += scale * dot(step, step);
    }
    const float weight = den > 0 ? std::clamp(num / den, 0.0f, 1.0f) : 0.0f;
    float worst = 0;
    for (size_t m : followed_) {
        const auto [a, b] = ends(m);
        worst = std::max(worst, miss(values[m], a, b, weight) / tolerance_[m]);
    }
    // A marker the count does not follow may show either level or any mix of the two.
    for (size_t m : unfollowed_) {
        const Yuv& black = levels_[m][kShadeBlack];
        const Yuv& white = levels_[m][kShadeWhite];
        worst = std::max(worst, miss(values[m], white, black, project(values[m], white, black)) / tolerance_[m]);
    }
    blend->weight = weight;
    blend->worst = worst;
    return worst <= 1;
}

void BlendReader::read(const std::vector<Yuv>& values, std::vector<BlendMix>* blends) const
{
    blends->clear();
    for (int32_t r = 0; r < period_; ++r)
        for (const auto& [earlier_flash, later_flash] : kFlashCases) {
            BlendMix candidate;
            candidate.residue = r;
            candidate.earlier_flash = earlier_flash;
            candidate.later_flash = later_flash;
            if (!fit(values, &candidate))
                continue;
            if (std::fabs(candidate.weight - 0.5f) <= kEvenBlendBand)
                candidate.weight = 0.5f;
            const auto alike = std::find_if(blends->begin(), blends->end(), [&](const BlendMix& b) {
                return b.major(period_) == candidate.major(period_) &&
                    b.flash_shown(period_) == candidate.flash_shown(period_);
            });
            if (alike == blends->end())
                blends->push_back(candidate);
            else if (candidate.worst < alike->worst)
                *alike = candidate;
        }
}

bool BlendReader::mix_of(const std::vector<Yuv>& values, int32_t residue, BlendMix* mix) const
{
    bool found = false;
    for (const auto& [earlier_flash, later_flash] : kFlashCases) {
        BlendMix candidate;
        candidate.residue = (residue % period_ + period_) % period_;
        candidate.earlier_flash = earlier_flash;
        candidate.later_flash = later_flash;
        if (fit(values, &candidate) && (!found || candidate.worst < mix->worst)) {
            *mix = candidate;
            found = true;
        }
    }
    return found;
}

float BlendReader::share_of(const std::vector<Yuv>& values, const std::vector<bool>& present, const BlendMix& mix) const
{
    const size_t markers = levels_.size();
    const int8_t* earlier = &shades_[size_t(mix.residue) * markers];
    const int8_t* later = &shades_[size_t((mix.residue + 1) % period_) * markers];
    float num = 0, den = 0;
    for (size_t m : followed_) {
        if (!present[m])
            continue;
        const Yuv& b = level(m, later[m], mix.later_flash);
        const Yuv step = minus(level(m, earlier[m], mix.earlier_flash), b);
        const float scale = 1 / (tolerance_[m] * tolerance_[m]); // as the whole frame's fit counts them
        num += scale * dot(minus(values[m], b), step);
        den += scale * dot(step, step);
    }
    return den > 0 ? std::clamp(num / den, 0.0f, 1.0f) : -1.0f;
}

} // namespace skelv
