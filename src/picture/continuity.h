// Continuity of the picture: from the source frame numbers of the captured frames, in capture
// order, which source frames were shown, how often, which never, and which out of order. Each
// captured frame counts for one source frame: a blend for the frame it mostly shows, so that a
// blending converter's frames count as a repeating one's, and a frame that only ever makes the
// lesser part of blends counts as dropped.
// Memory stays bounded: counts are settled once the numbers have moved on.
#pragma once

#include "picture/source_numbering.h"

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace skelv {

// A flash of the lip-sync marker as the recording shows it.
struct ShownFlash {
    int64_t source_frame; ///< content frame number of the flash
    int32_t loop;
    int64_t time_ns; ///< time of the first captured frame that shows it, in a blend with at least half the picture
};

struct ContinuityReport {
    int64_t shown = 0;        ///< source frames that a readable frame shows, or a blend mostly shows
    int64_t dropped = 0;      ///< source frames between shown ones that no frame showed
    int64_t unresolved = 0;   ///< source frames missing where unreadable frames (blends) were
    int64_t repeated = 0;     ///< source frames shown in more than one captured frame
    int64_t out_of_order = 0; ///< readable frames showing a lower number than an earlier one
    int32_t loops = 0;        ///< times the content was seen to start (again); 1 for one pass
    std::map<int32_t, int64_t> display_counts; ///< captured frames per source frame -> source frames
    std::vector<ShownFlash> flashes;           ///< in capture order
};

class ContinuityTracker {
public:
    void add(const FrameReading& frame);
    // Captured frames the reader never got (a live source went on without it) came here: a gap
    // across them is not the device's to answer for, like one across unreadable frames.
    void unseen() { unreadable_since_last_ = true; }
    // Settles every pending count; call once after the last frame.
    ContinuityReport finish();
    // The report as finish() would give it now, the tracker going on unchanged.
    ContinuityReport so_far() const;
    // The flashes shown so far, in capture order; each once a later source frame has shown.
    const std::vector<ShownFlash>& flashes() const { return report_.flashes; }

private:
    void settle_below(int64_t source);
    void settle_loop();
    void take_flash(const ShownFlash& flash);
    void flash_ended();

    ContinuityReport report_;
    std::map<int64_t, int32_t> pending_; ///< recent source frames -> captured frames that showed them
    std::map<int64_t, bool> missing_;    ///< recent gaps -> whether unreadable frames fell in them
    int64_t highest_ = -1;               ///< highest number shown in the current loop
    int32_t loop_ = -1;
    bool unreadable_since_last_ = false; ///< or unseen
    std::optional<ShownFlash> last_flash_;    ///< the latest frame read as a flash
    std::optional<ShownFlash> pending_flash_; ///< a flash not yet followed by a later source frame
    bool stuck_ = false;                      ///< the lip-sync marker black since two source frames or more
};

} // namespace skelv
