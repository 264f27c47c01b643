#include "picture/source_numbering.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace skelv {

namespace {

// A flash frame's offset is known only modulo 2^bits; it is trusted only this close (source
// frames) to where the frames before it lead.
constexpr double kWeakTolerance = 3;
// The first content after a header or locator lies this close to where a start, or a repeated
// locator with the count going on, leads. A signal that repeats its locator keeps the count after it
// at least 5 frames off the start's.
constexpr double kAfterLocatorTolerance = 2.5;

} // namespace

SourceNumbering::SourceNumbering(const ReadingPlan& plan, double source_fps)
    : counter_(plan), fps_(source_fps)
{
}

void SourceNumbering::start_loop()
{
    if (loop_has_content_)
        ++loop_;
    loop_has_content_ = false;
    anchored_ = false;
}

// A locator after content may start the clip again or only repeat: the loop is started, and
// what it was is kept until the content shows.
void SourceNumbering::locator_seen()
{
    if (loop_has_content_ && anchored_)
        resume_ = Resume{loop_, anchor_offset_, anchor_time_ns_, base_};
    start_loop();
}

// The offset congruent to one of the residues that lies nearest to `expected`, and how far
// from it.
double SourceNumbering::nearest(double expected, int64_t* offset) const
{
    const int64_t period = counter_.period();
    double best_distance = 1e300;
    for (int32_t residue : residues_) {
        const double turns = std::floor((expected - residue) / double(period));
        for (double k : {turns, turns + 1}) {
            const double candidate = residue + k * double(period);
            if (std::fabs(candidate - expected) < best_distance) {
                best_distance = std::fabs(candidate - expected);
                *offset = int64_t(candidate);
            }
        }
    }
    return best_distance;
}

// The offset nearest to where the last placed frame and the time since lead, or the loop's
// start; how far from it.
double SourceNumbering::place(int64_t time_ns, int64_t* offset) const
{
    double expected;
    if (anchored_)
        expected = double(anchor_offset_) + double(time_ns - anchor_time_ns_) * 1e-9 * fps_;
    else
        expected = std::max(0.0, double(time_ns - start_time_ns_) * 1e-9 * fps_ - 1);
    return nearest(expected, offset);
}

// Whether the count goes on from the content before the last locator; `offset` then where.
bool SourceNumbering::resumes(int64_t time_ns, int64_t* offset) const
{
    if (!resume_)
        return false;
    int64_t resumed = 0;
    const double expected = double(resume_->anchor_offset) + double(time_ns - resume_->anchor_time_ns) * 1e-9 * fps_;
    if (nearest(expected, &resumed) > kAfterLocatorTolerance)
        return false;
    *offset = resumed;
    return true;
}

// The first content after a header or locator: a start where its count leads, else the count
// going on from before the locator, else content whose start was not seen.
void SourceNumbering::first_after_start(int64_t time_ns, double miss, int64_t* offset, FrameReading* reading)
{
    if (miss <= kAfterLocatorTolerance)
        return;
    if (resumes(time_ns, offset)) {
        loop_ = resume_->loop;
        base_ = resume_->base;
        anchored_ = true;
        reading->reminder_frames = since_content_;
    } else {
        start_visible_ = false;
    }
}

// Numbers a content frame whose offset is one of residues_; a `weak` one only where the count
// leads.
bool SourceNumbering::place_content(int64_t time_ns, bool weak, FrameReading* reading)
{
    if (break_since_content_) {
        // Content again after the trailer: the clip started over, its start unseen.
        start_loop();
        break_since_content_ = false;
        start_visible_ = false;
    }
    int64_t offset = 0;
    const double miss = place(time_ns, &offset);
    if (weak && miss > kWeakTolerance)
        return false;
    if (!anchored_ && start_visible_ && !weak)
        first_after_start(time_ns, miss, &offset, reading);
    resume_.reset();
    since_content_ = 0;
    if (!anchored_) {
        base_ = start_visible_ ? 0 : offset;
        if (loop_ == 0 && !loop_has_content_)
            first_start_seen_ = start_visible_;
    }
    anchored_ = true;
    anchor_offset_ = offset;
    anchor_time_ns_ = time_ns;
    loop_has_content_ = true;
    start_visible_ = false;
    reading->kind = FrameKind::Content;
    reading->source = offset >= base_ ? int32_t(offset - base_) : -1;
    return true;
}

FrameReading SourceNumbering::unknown(int64_t time_ns) const
{
    FrameReading reading;
    reading.time_ns = time_ns;
    reading.loop = loop_;
    return reading;
}

FrameReading SourceNumbering::next(int64_t time_ns, const std::vector<int8_t>& shades)
{
    FrameReading reading;
    reading.time_ns = time_ns;
    const FramePattern pattern = counter_.pattern(shades);
    switch (pattern) {
    case FramePattern::White:
        reading.kind = loop_has_content_ ? FrameKind::Trailer : FrameKind::Header;
        if (loop_has_content_)
            break_since_content_ = true;
        else
            start_visible_ = true;
        start_time_ns_ = time_ns;
        since_content_++;
        break;
    case FramePattern::Locator:
        locator_seen();
        since_content_++;
        break_since_content_ = false;
        start_visible_ = true;
        start_time_ns_ = time_ns;
        reading.kind = FrameKind::Locator;
        break;
    case FramePattern::Unclear:
        reading.kind = FrameKind::Unreadable;
        break;
    case FramePattern::Other:
        reading.kind = FrameKind::Unknown;
        break;
    case FramePattern::Content:
    case FramePattern::Flash: {
        counter_.residues(shades, &residues_);
        if (residues_.empty()) {
            reading.kind = FrameKind::Unreadable;
            break;
        }
        // A frame that leaves several offsets open (a flash hides its colour) is placed only
        // next to content already placed: a black screen would read as a flash as well.
        const bool weak = pattern == FramePattern::Flash || residues_.size() > 1;
        if ((weak && (!anchored_ || break_since_content_)) || !place_content(time_ns, weak, &reading)) {
            reading.kind = FrameKind::Unknown;
            break;
        }
        reading.flash = pattern == FramePattern::Flash;
        break;
    }
    }
    reading.loop = loop_;
    return reading;
}

FrameReading SourceNumbering::next_blend(int64_t time_ns, const std::vector<BlendMix>& blends)
{
    FrameReading reading;
    reading.time_ns = time_ns;
    reading.kind = FrameKind::Unreadable;
    const int32_t period = counter_.period();
    residues_.clear();
    for (const BlendMix& blend : blends)
        residues_.push_back(blend.major(period));
    std::sort(residues_.begin(), residues_.end());
    // Mixes that differ only in the flash cannot be told apart by where they lie.
    const bool distinct = std::adjacent_find(residues_.begin(), residues_.end()) == residues_.end();
    // A marker off can make a frame look like a blend of other frames: blends are placed only
    // where the count leads, from content already numbered or from the loop's start.
    const bool counted = anchored_ ? !break_since_content_ : start_visible_;
    if (!residues_.empty() && distinct && counted && place_content(time_ns, true, &reading)) {
        const int64_t residue = (anchor_offset_ % period + period) % period;
        const BlendMix& chosen = *std::find_if(blends.begin(), blends.end(),
            [&](const BlendMix& blend) { return blend.major(period) == residue; });
        reading.weight = std::max(chosen.weight, 1 - chosen.weight);
        const int32_t flash = chosen.flash_shown(period);
        reading.flash = flash >= 0;
        reading.flash_is_next = reading.flash && flash != chosen.major(period);
    }
    reading.loop = loop_;
    return reading;
}

} // namespace skelv
