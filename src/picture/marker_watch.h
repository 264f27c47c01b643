// Markers that stop showing anything while the others go on: one that left the picture (a
// camera moved) or was covered. A marker away reads as no level or as one level only; a
// paused picture, where every marker stands still, is no loss.
#pragma once

#include "picture/yuv_frame.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace skelv {

struct MarkerLoss {
    size_t marker;   ///< index of the marker, as the reader orders them
    int64_t from_ns; ///< time of its last change before it stood still
    int64_t to_ns;   ///< time it changed again; -1 when it never did
};

// How many of the look-ahead's first frames to learn the markers from: up to the last change
// of an area that changed at first and then stood still while others went on changing (a marker
// covered or gone from the picture early), so that its levels and role come from where it still
// showed; all of them when no area stopped, or when what is left would be too short to learn
// from. `series`: each candidate area's mean colour in every frame at `times`.
inline constexpr int64_t kShortestLearningNs = 2'000'000'000; ///< less look-ahead than this is too little to learn from
size_t frames_before_an_area_stops(const std::vector<std::vector<Yuv>>& series, const std::vector<int64_t>& times);

class MarkerWatch {
public:
    static constexpr int64_t kLostNs = 2'000'000'000;    ///< still this long while the others change: lost
    static constexpr int64_t kOthersGapNs = 500'000'000; ///< the others never still longer than this meanwhile

    MarkerWatch() = default;
    // `half_periods_ns`: each marker's time between changes as designed (0: every frame); one
    // still for two of them, and at least kLostNs, is lost.
    explicit MarkerWatch(const std::vector<int64_t>& half_periods_ns);
    // One frame's shades (kShadeUnclear where nothing could be read), in capture order.
    void add(int64_t time_ns, const std::vector<int8_t>& shades);
    // The losses so far, with the stretches still running to the end.
    std::vector<MarkerLoss> losses() const;

private:
    struct Track {
        int8_t shade = -1;             ///< last clear shade
        int64_t changed_ns = -1;       ///< when it last changed; -1 before the first frame
        int64_t others_ns = -1;        ///< when another marker last changed since
        int64_t others_gap_ns = 0;     ///< longest stretch without a change of the others since
        int64_t lost_after_ns = kLostNs; ///< still this long: lost
    };
    bool lost(const Track& track, int64_t until_ns) const;

    std::vector<Track> tracks_;
    std::vector<MarkerLoss> losses_; ///< stretches that ended
    std::vector<bool> changed_;      ///< by marker, in the frame being added
    int64_t last_ns_ = -1;           ///< time of the latest frame
};

} // namespace skelv
