#include "picture/continuity.h"

#include <algorithm>

namespace skelv {

namespace {

// Source frames more than this far below the highest shown are settled: a frame that comes
// back later than that only counts as out of order.
constexpr int64_t kSettleDistance = 64;

} // namespace

void ContinuityTracker::settle_below(int64_t source)
{
    while (!pending_.empty() && pending_.begin()->first < source) {
        const int32_t count = pending_.begin()->second;
        pending_.erase(pending_.begin());
        report_.shown++;
        report_.display_counts[count]++;
        report_.repeated += count > 1;
    }
    while (!missing_.empty() && missing_.begin()->first < source) {
        (missing_.begin()->second ? report_.unresolved : report_.dropped)++;
        missing_.erase(missing_.begin());
    }
}

void ContinuityTracker::settle_loop()
{
    settle_below(INT64_MAX);
    highest_ = -1;
}

void ContinuityTracker::add(const FrameReading& frame)
{
    if (frame.kind == FrameKind::Unreadable) {
        unreadable_since_last_ = true;
        return;
    }
    if (frame.kind != FrameKind::Content || frame.source < 0)
        return;
    if (frame.loop != loop_) {
        settle_loop();
        loop_ = frame.loop;
        report_.loops++;
        unreadable_since_last_ = false;
    }
    const int64_t source = frame.source;
    if (source > highest_) {
        if (highest_ >= 0) {
            highest_ = std::min(source - 1, highest_ + frame.reminder_frames);
            // Gaps already out of reach of late frames are settled at once.
            const int64_t reach = source - kSettleDistance;
            const int64_t settled = std::clamp(reach - highest_ - 1, int64_t{0}, source - highest_ - 1);
            (unreadable_since_last_ ? report_.unresolved : report_.dropped) += settled;
            for (int64_t gap = highest_ + 1 + settled; gap < source; ++gap)
                missing_[gap] = unreadable_since_last_;
        }
        highest_ = source;
        settle_below(highest_ - kSettleDistance);
    } else if (source < highest_) {
        report_.out_of_order++;
    }
    if (missing_.erase(source) > 0 || pending_.count(source) > 0 || source >= highest_ - kSettleDistance)
        pending_[source]++;
    unreadable_since_last_ = false;

    if (frame.flash)
        take_flash({source + (frame.flash_is_next ? 1 : 0), frame.loop, frame.time_ns});
    else if (!last_flash_ || source > last_flash_->source_frame || frame.loop != last_flash_->loop)
        flash_ended();
}

// A flash lasts one source frame: the lip-sync marker black in consecutive ones is stuck (off
// the picture, covered by something dark), and none of them is a flash.
void ContinuityTracker::take_flash(const ShownFlash& flash)
{
    const bool same_loop = last_flash_ && last_flash_->loop == flash.loop;
    if (same_loop && last_flash_->source_frame == flash.source_frame)
        return;
    if (same_loop && (stuck_ || last_flash_->source_frame + 1 == flash.source_frame)) {
        pending_flash_.reset();
        stuck_ = true;
    } else {
        flash_ended();
        pending_flash_ = flash;
    }
    last_flash_ = flash;
}

// A later source frame shows: the one pending was a flash.
void ContinuityTracker::flash_ended()
{
    if (pending_flash_)
        report_.flashes.push_back(*pending_flash_);
    pending_flash_.reset();
    stuck_ = false;
}

ContinuityReport ContinuityTracker::finish()
{
    settle_loop();
    return report_;
}

ContinuityReport ContinuityTracker::so_far() const
{
    ContinuityTracker copy = *this;
    return copy.finish();
}

} // namespace skelv
