// One content frame of the recording, kept for the report's picture of the markers. Frames
// are read with a delay (the markers are found in a look-ahead), so a few copies wait, a
// couple of seconds apart, until the reading of one says it is a plain content frame.
#pragma once

#include "check/check_result.h"
#include "picture/source_numbering.h"
#include "picture/yuv_frame.h"

#include <deque>
#include <optional>

namespace skelv {

class SnapshotTaker {
public:
    // Keeps a copy of the frame when none is chosen yet and the last copy is old enough.
    void offer(const YuvFrameView& frame, int64_t time_ns);
    // The reading of a frame, in capture order: a kept copy that reads as content is chosen.
    void on_reading(const FrameReading& reading);
    // The chosen frame in RGB; empty when none was.
    CheckSnapshot take() const;

private:
    struct Copy {
        int64_t time_ns = 0;
        int32_t width = 0, height = 0, shift_x = 0, shift_y = 0;
        std::vector<uint8_t> y, u, v; ///< planes without padding
    };

    static void copy_plane(const uint8_t* from, int32_t stride, int32_t step, int32_t width, int32_t height,
                           std::vector<uint8_t>* to);

    std::deque<Copy> waiting_;
    std::optional<Copy> chosen_;
    // Copies passed over keep their memory for the next: a 1080p copy is 3 MB, and fresh
    // memory costs far more to touch than to fill again.
    std::vector<Copy> spare_;
};

} // namespace skelv
