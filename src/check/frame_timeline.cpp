#include "check/frame_timeline.h"

#include <algorithm>

namespace skelv {

namespace {

// Repeats show a source frame shown a moment ago: older ones are forgotten.
constexpr int64_t kRepeatReach = 256; // source frames
constexpr int64_t kFirstBinNs = 1'000'000;

SpanSlot span_slot(const CheckFrame& f)
{
    switch (f.kind) {
    case FrameKind::Header: return SpanSlot::Header;
    case FrameKind::Locator: return SpanSlot::Locator;
    case FrameKind::Content: return f.loop % 2 == 0 ? SpanSlot::Content : SpanSlot::ContentOddLoop;
    case FrameKind::Trailer: return SpanSlot::Trailer;
    default: return SpanSlot::Other;
    }
}

void merge_into(TimelineBin* into, const TimelineBin& bin)
{
    if (bin.frames == 0)
        return;
    into->frames += bin.frames;
    into->min_duration_ns = std::min(into->min_duration_ns, bin.min_duration_ns);
    into->max_duration_ns = std::max(into->max_duration_ns, bin.max_duration_ns);
    into->dropped += bin.dropped;
    into->repeated += bin.repeated;
    into->unreadable += bin.unreadable;
    for (size_t s = 0; s < kSpanSlots; ++s)
        into->shown_ns[s] += bin.shown_ns[s];
    if (bin.shown_ns[size_t(SpanSlot::Content)] + bin.shown_ns[size_t(SpanSlot::ContentOddLoop)] > 0)
        into->loop = bin.loop;
}

// Halves the number of bins by joining neighbours; the bins double in length.
void join_bins(TimelineSketch* sketch)
{
    std::vector<TimelineBin> joined((sketch->bins.size() + 1) / 2);
    for (size_t i = 0; i < sketch->bins.size(); ++i)
        merge_into(&joined[i / 2], sketch->bins[i]);
    sketch->bins = std::move(joined);
    sketch->bin_ns *= 2;
}

} // namespace

TimelineBin timeline_bin_of(const CheckFrame& frame)
{
    TimelineBin bin;
    bin.frames = 1;
    bin.min_duration_ns = bin.max_duration_ns = frame.duration_ns;
    bin.dropped = frame.dropped_before;
    bin.repeated = frame.repeated ? 1 : 0;
    if (frame.kind == FrameKind::Unreadable)
        bin.unreadable = 1;
    else
        bin.shown_ns[size_t(span_slot(frame))] = std::max<int64_t>(frame.duration_ns, 1000);
    bin.loop = frame.kind == FrameKind::Content ? frame.loop : 0;
    return bin;
}

void TimelineSketch::add(const CheckFrame& frame)
{
    if (count == 0) {
        start_ns = frame.time_ns;
        bin_ns = kFirstBinNs;
    }
    ++count;
    end_ns = std::max(end_ns, frame.time_ns + frame.duration_ns);
    if (count <= int64_t(kExactFrames))
        frames.push_back(frame);
    else if (!frames.empty())
        std::vector<CheckFrame>().swap(frames);

    const int64_t offset = std::max<int64_t>(0, frame.time_ns - start_ns);
    while (offset / bin_ns >= int64_t(kMaxBins))
        join_bins(this);
    const size_t index = size_t(offset / bin_ns);
    if (bins.size() <= index)
        bins.resize(index + 1);
    merge_into(&bins[index], timeline_bin_of(frame));
}

TimelineBuilder::TimelineBuilder(std::function<void(const CheckFrame&)> on_frame) : on_frame_(std::move(on_frame)) {}

CheckFrame TimelineBuilder::frame_of(const FrameReading& f)
{
    CheckFrame frame;
    frame.time_ns = f.time_ns;
    frame.kind = f.kind;
    frame.loop = f.loop;
    frame.flash = f.flash;
    unreadable_ += f.kind == FrameKind::Unreadable ? 1 : 0;
    if (f.kind != FrameKind::Content || f.source < 0)
        return frame;
    frame.source_frame = f.source;
    if (f.loop != highest_loop_) {
        highest_loop_ = f.loop;
        highest_ = -1;
        recent_.clear();
    }
    frame.repeated = !recent_.insert({f.loop, f.source}).second;
    if (highest_ >= 0)
        frame.dropped_before = std::max<int64_t>(0, f.source - highest_ - 1 - f.reminder_frames);
    if (frame.dropped_before > kCountLeap)
        count_leaps_.push_back({f.time_ns, frame.dropped_before});
    highest_ = std::max<int64_t>(highest_, f.source);
    while (!recent_.empty() && recent_.begin()->second < highest_ - kRepeatReach)
        recent_.erase(recent_.begin());
    return frame;
}

void TimelineBuilder::settle(int64_t next_time_ns)
{
    if (!pending_)
        return;
    pending_->duration_ns = next_time_ns - pending_->time_ns;
    last_duration_ns_ = pending_->duration_ns;
    sketch_.add(*pending_);
    if (on_frame_)
        on_frame_(*pending_);
    pending_.reset();
}

void TimelineBuilder::add(const FrameReading& reading)
{
    settle(reading.time_ns);
    pending_ = frame_of(reading);
}

void TimelineBuilder::finish()
{
    if (pending_)
        settle(pending_->time_ns + last_duration_ns_);
}

} // namespace skelv
