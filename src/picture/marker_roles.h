// What each marker area is, learned from the look-ahead: the lip-sync marker (cycling through
// six colours), the frame-counter bits and the sync mark (blinking between two levels), with
// the levels each one shows in this recording and the source frame rate.
#pragma once

#include "picture/yuv_frame.h"
#include "rules/names.h"

#include <cstdint>
#include <string>
#include <vector>

namespace skelv {

// How the sync mark was told from the frame-counter bits.
enum class SyncEvidence : uint8_t {
    None,        ///< no sync mark
    Locator,     ///< the only blinking marker white in the locator frames
    RasterOrder, ///< no locator seen: the first blinking marker in raster order, as the clip places it
    HalfPeriod,  ///< no locator seen: the only blinking marker whose half-period is not a power of two
};

// What a marker shows in one frame: an index into its levels.
enum Shade : int8_t {
    kShadeUnclear = -1, ///< between levels: a blend, or nothing the marker shows
    kShadeBlack = 0,
    kShadeWhite = 1,
    kShadeFirstColour = 2, ///< lip-sync marker: kShadeFirstColour + position in "rygcbm"
};

struct MarkerPlan {
    MarkerRole role = MarkerRole::Unknown;
    int32_t bit = -1;        ///< FrameId: counter bit, 0 for half-period 1
    int32_t half_period = 0; ///< Sync and FrameId: source frames between changes
    std::vector<Yuv> levels; ///< by Shade: black, white, then for the lip-sync marker the six colours
};

struct ReadingPlan {
    std::vector<MarkerPlan> markers; ///< in the order of the areas given
    int32_t lipsync = -1;            ///< index of the lip-sync marker
    int32_t sync = -1;               ///< index of the sync mark, -1 when there is none
    SyncEvidence sync_from = SyncEvidence::None;
    int32_t counter_bits = 0; ///< FrameId markers, bits 0 to counter_bits - 1
    double source_fps = 0;    ///< source frames per second of captured time
};

// Why a picture whose areas blink and change colour is still no test clip.
inline constexpr const char* kMarkersDisagree = "the blinking markers and the colours do not agree on frame numbers";

// `series[m][t]`: mean levels of marker area m in look-ahead frame t; `times_ns[t]`: the
// frame's time. False, with `*reason`, when the areas do not behave as a test clip's markers.
bool plan_markers(const std::vector<std::vector<Yuv>>& series, const std::vector<int64_t>& times_ns,
    ReadingPlan* plan, std::string* reason);

// Removes the areas that took no role, the others keeping their order; returns the positions,
// as given, of those removed.
std::vector<size_t> drop_unknown_areas(ReadingPlan* plan);

// The shade a marker shows.
int8_t read_shade(const MarkerPlan& marker, const Yuv& value);

// The common frame rate (23.976 to 120) nearest to `rate` when within 1 % of it, else `rate`.
double snap_frame_rate(double rate);

// Position in "rygcbm" of a lip-sync shade, -1 for black, white and unclear.
inline int32_t colour_phase(int8_t shade)
{
    return shade >= kShadeFirstColour ? shade - kShadeFirstColour : -1;
}

} // namespace skelv
