// A camera's rolling-shutter line time measured from the recording. Row y of a frame timed T is
// exposed at T + y * L; the screen changes to source frame s at t0 + s / fps, on a clock that
// may drift slowly against the camera's. A frame that caught a change while its rows passed
// the markers shows the earlier frame above the edge row and the later one below it, and each
// such edge gives T + row * L = t0 + (1 + drift) * s / fps (the row where each frame has half:
// a long exposure adds half its length to t0). The least-squares fit over many edges gives L;
// t0 is fitted for each loop of the clip, whose pauses between loops the frames do not tell.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace skelv {

struct ShutterEdge {
    int64_t time_ns = 0; ///< of the captured frame
    int32_t loop = 0;
    int32_t source = 0;  ///< content frame the screen changed to: the later of the two shown
    double row = 0;      ///< captured row where the picture changes from the earlier frame to the later
};

// What the frames allow: the edges to fit, and the longest line time a frame's readout can take.
struct ShutterFrames {
    double source_fps = 0;
    double capture_fps = 0; ///< 0 when unknown: no readout limit
    int32_t height = 0;     ///< captured rows
    // Every frame's time in capture order, the edges' among them. Times all on whole
    // milliseconds (Matroska's) are off by up to half of one, about as long as the markers' rows
    // take to read: each edge's frame is then timed by the line through its neighbours' times.
    std::vector<int64_t> frame_times;
};

struct LineTimeEstimate {
    bool measured = false;
    double line_time_ns = 0;
    double uncertainty_ns = 0; ///< the fit's standard error of the line time
    size_t edges = 0;          ///< edges found
    size_t edges_fitted = 0;   ///< of them, those the fit kept (the others lay far off it)
    double row_spread = 0;     ///< standard deviation of the edges' rows about their loop's mean
    std::string why;           ///< when not measured: the reason, as a sentence's end
};

LineTimeEstimate estimate_line_time(const std::vector<ShutterEdge>& edges, const ShutterFrames& frames);

// Where a column of rows crosses from the earlier frame to the later, in rows from its top:
// `shares` the earlier frame's share in each row, top first, 1 above the edge and 0 below. The
// share at the crossing is one half: within a row for a sharp edge, and at the middle of the
// ramp that an exposure longer than the rows' readout spreads it into, which is where the
// exposure's middle met the change. None when the column does not cross one half: its top row
// at most half the earlier frame, or its bottom row at least half.
std::optional<double> half_share_row(const std::vector<float>& shares);

} // namespace skelv
