// What the markers of one frame say: the kind of span it belongs to and, in the content, the
// content offsets it can show. Bits give the offset modulo 2^bits, the sync mark modulo twice
// its half-period, the lip-sync colour modulo 6; together modulo their least common multiple.
#pragma once

#include "picture/marker_roles.h"

#include <cstdint>
#include <vector>

namespace skelv {

enum class FramePattern : uint8_t {
    White,   ///< every marker white: header or trailer
    Locator, ///< sync mark and lip-sync marker white, counter bits black
    Content, ///< lip-sync marker in colour
    Flash,   ///< lip-sync marker black: a flash, if the counter agrees with the frames around it
    Unclear, ///< a marker between its levels: a blended frame
    Other,   ///< clear levels that no span of the clip shows
};

class FrameCounter {
public:
    explicit FrameCounter(const ReadingPlan& plan);

    // Content offsets repeat their marker states after this many frames.
    int32_t period() const { return period_; }

    // `shades`: one per marker, in plan order.
    FramePattern pattern(const std::vector<int8_t>& shades) const;
    // Offsets modulo period() that the frame's blinking markers and colour allow, ascending;
    // empty when they contradict each other.
    void residues(const std::vector<int8_t>& shades, std::vector<int32_t>* out) const;
    // What each marker shows at content offset `offset` without a flash: the counter bits' and
    // the sync mark's square waves and the colour; kShadeUnclear for a marker the count does not
    // follow (a sync mark whose period is too long, an area without a role).
    void content_shades(int32_t offset, std::vector<int8_t>* out) const;

private:
    struct Wave {
        size_t marker;
        int32_t half_period;
    };
    static int8_t wave_shade(const Wave& wave, int32_t offset);

    std::vector<Wave> waves_; ///< the counter bits, and the sync mark when its period divides period_
    std::vector<size_t> blinking_;
    size_t markers_ = 0;
    size_t lipsync_ = 0;
    size_t sync_ = 0;
    bool has_sync_ = false;
    int32_t period_ = 1;
};

} // namespace skelv
