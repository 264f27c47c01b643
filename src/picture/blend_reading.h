// Frames that mix two consecutive source frames, as a blending frame-rate converter makes them
// (ffmpeg's framerate, broadcast standards converters): every marker that differs between the
// two sits at the same fraction of the way between its two levels, every other at its level,
// and the lip-sync marker mixes two colours, or a colour and black where one is the flash.
#pragma once

#include "picture/frame_counter.h"
#include "picture/marker_roles.h"

#include <cstdint>
#include <vector>

namespace skelv {

struct BlendMix {
    int32_t residue = 0; ///< content offset of the earlier frame, modulo the counter's period
    float weight = 0;    ///< the earlier frame's share of the picture, 0 to 1; exactly 0.5 when even (within 0.015)
    bool earlier_flash = false, later_flash = false; ///< which of the two frames is a flash
    float worst = 0;     ///< the marker furthest from the mix, in tolerances (at most 1)

    // Offset modulo the period of the frame mostly shown: the earlier at an even blend.
    int32_t major(int32_t period) const { return weight >= 0.5f ? residue : (residue + 1) % period; }
    // Offset modulo the period of the flash when it has at least half the picture, else -1.
    int32_t flash_shown(int32_t period) const
    {
        return earlier_flash && weight >= 0.5f ? residue : later_flash && weight <= 0.5f ? (residue + 1) % period : -1;
    }
};

class BlendReader {
public:
    explicit BlendReader(const ReadingPlan& plan);

    // The mixes that explain `values` (mean levels, one per marker in plan order) on every
    // marker within its noise; of mixes that agree on the frame mostly shown and the flash
    // shown, the best fitting. Empty when none does. Several remain where the picture cannot tell
    // them apart, e.g. an even blend of two frames that differ in every blinking marker.
    void read(const std::vector<Yuv>& values, std::vector<BlendMix>* blends) const;
    // The best fitting mix of content offset `residue` (modulo the period) and the next, over
    // the flash cases, its weight as fitted (an even blend not rounded to one half); false when
    // none explains every marker.
    bool mix_of(const std::vector<Yuv>& values, int32_t residue, BlendMix* mix) const;
    // The earlier frame's share of `mix` where only the markers `present` are measured (a row of
    // a frame caught mid-change), 0 to 1; -1 when none of them tells the two frames apart.
    float share_of(const std::vector<Yuv>& values, const std::vector<bool>& present, const BlendMix& mix) const;

private:
    const Yuv& level(size_t marker, int8_t shade, bool flash) const;
    // Fills the weight and the worst marker of `blend`; false when a marker lies beyond its tolerance.
    bool fit(const std::vector<Yuv>& values, BlendMix* blend) const;

    int32_t period_ = 1;
    size_t lipsync_ = 0;
    size_t fastest_ = 0;               ///< bit 0, which differs between any two consecutive frames
    std::vector<size_t> followed_;     ///< markers whose shade the count gives
    std::vector<size_t> unfollowed_;   ///< blinking markers it does not (a sync mark of a long period)
    std::vector<std::vector<Yuv>> levels_;
    std::vector<float> tolerance_;     ///< per marker, 8-bit levels
    std::vector<int8_t> shades_;       ///< per offset of the period, one per marker
};

} // namespace skelv
