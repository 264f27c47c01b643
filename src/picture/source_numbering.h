// Turns the per-frame marker readings of a recording, in capture order, into frame kinds and
// source frame numbers: the content offset a frame shows, unwrapped past the counter's period
// with the frame times, and the loop it belongs to. Each loop numbers its content from the
// content's first frame when its locator or header was seen, else from its first content
// frame read.
//
// A locator does not always start the content again: a live signal may repeat its header and
// locator while its count goes on underneath. The content after a locator tells which it was:
// a start shows offset 0 one frame after the locator, a repeat the count that the frames before
// it lead to. A count that fits neither is a locator joined late, its start unseen.
#pragma once

#include "picture/blend_reading.h"
#include "picture/frame_counter.h"
#include "rules/names.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace skelv {

struct FrameReading {
    int64_t time_ns = 0;
    FrameKind kind = FrameKind::Unknown;
    int32_t source = -1; ///< content frame number, -1 when unknown; of a blend, the frame mostly shown
    int32_t loop = 0;    ///< how many times the clip had started again before this frame
    bool flash = false;  ///< the flash's source frame has at least half the picture (all of it unblended)
    bool flash_is_next = false; ///< the flash is source + 1: the other half of an even blend
    float weight = 1;    ///< share of `source` in the picture: 1 unblended, 0.5 to 1 in a blend
    /// Frames of a repeated header and locator just before this one: they stood in for as many
    /// source frames, which are no drop.
    int32_t reminder_frames = 0;
};

class SourceNumbering {
public:
    SourceNumbering(const ReadingPlan& plan, double source_fps);

    // An Unreadable result leaves the numbering as it was, so that the frame may be tried as a
    // blend instead.
    FrameReading next(int64_t time_ns, const std::vector<int8_t>& shades);
    // A frame that mixes two consecutive content frames, `blends` the mixes that explain it
    // (BlendReader): numbered as the frame it mostly shows (the earlier at an even blend), the
    // mix that lies nearest where the count leads (from the content already numbered, or from
    // the loop's locator or header) and within a few frames of it. Unreadable otherwise.
    FrameReading next_blend(int64_t time_ns, const std::vector<BlendMix>& blends);
    // A frame whose markers could not be measured at all.
    FrameReading unknown(int64_t time_ns) const;

    // Whether the first loop's content was seen from its first frame (after its locator or
    // header), so that its numbers are content offsets; otherwise they count from the first
    // content frame read.
    bool content_start_seen() const { return first_start_seen_; }
    // The content offset of the frame last numbered as content, modulo the counter's period.
    int32_t last_residue() const
    {
        const int64_t period = counter_.period();
        return int32_t((anchor_offset_ % period + period) % period);
    }

private:
    // The loop before a locator, kept until the content after it shows whether the count went on.
    struct Resume {
        int32_t loop;
        int64_t anchor_offset, anchor_time_ns, base;
    };

    void start_loop();
    void locator_seen();
    double nearest(double expected, int64_t* offset) const;
    double place(int64_t time_ns, int64_t* offset) const;
    bool resumes(int64_t time_ns, int64_t* offset) const;
    bool place_content(int64_t time_ns, bool weak, FrameReading* reading);
    void first_after_start(int64_t time_ns, double miss, int64_t* offset, FrameReading* reading);

    FrameCounter counter_;
    double fps_;
    std::vector<int32_t> residues_;

    int32_t loop_ = 0;
    bool loop_has_content_ = false;
    bool break_since_content_ = false; ///< white or locator frames since the last content frame
    bool start_visible_ = false;       ///< the current loop's header or locator was seen
    int64_t start_time_ns_ = 0;        ///< time of the last white or locator frame
    bool first_start_seen_ = false;
    bool anchored_ = false;
    int64_t anchor_offset_ = 0, anchor_time_ns_ = 0; ///< the last content frame placed
    int64_t base_ = 0;                               ///< offset numbered 0
    std::optional<Resume> resume_;
    int32_t since_content_ = 0; ///< white and locator frames since the last content frame
};

} // namespace skelv
