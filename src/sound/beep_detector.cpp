#include "sound/beep_detector.h"

#include "sound/beep_channel.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

namespace skelv {

namespace {

// Silence fed at the end of the stream: long enough for every channel to see its tones stop.
constexpr double kFlushMs = 30;
// Beeps of several channels starting this close together are one beep.
constexpr double kSameBeepMs = 5;

// Higher confidence first; the lower channel on a tie, so that the choice does not depend on
// which channel reported first.
bool better(const DetectedBeep& a, const DetectedBeep& b)
{
    return a.confidence != b.confidence ? a.confidence > b.confidence : a.channel < b.channel;
}

bool by_onset(const DetectedBeep& a, const DetectedBeep& b)
{
    return a.onset < b.onset;
}

} // namespace

bool BeepDetector::accepts(int rate, int channels)
{
    return rate >= kMinRate && rate <= kMaxRate && channels >= 1 && channels <= kMaxChannels;
}

BeepDetector::BeepDetector(int rate, int channels) : rate_(rate), channel_count_(accepts(rate, channels) ? channels : 0)
{
    if (channel_count_ == 0)
        return;
    const robust::BeepGeometry geometry = robust::beep_geometry(rate);
    for (int c = 0; c < channels; ++c)
        channels_.push_back(std::make_unique<robust::BeepChannel>(geometry, c));
}

BeepDetector::~BeepDetector() = default;

void BeepDetector::process(const float* interleaved, size_t frames)
{
    if (finished_ || frames == 0)
        return;
    for (int c = 0; c < channel_count_; ++c)
        channels_[size_t(c)]->feed(interleaved + c, frames, size_t(channel_count_));
    collect(false);
}

void BeepDetector::finish()
{
    if (finished_ || channel_count_ == 0) {
        finished_ = true;
        return;
    }
    const auto frames = size_t(std::lround(kFlushMs * rate_ / 1000));
    const std::vector<float> silence(frames * size_t(channel_count_), 0.0f);
    process(silence.data(), silence.size() / size_t(channel_count_));
    finished_ = true;
    collect(true);
}

// Beeps from all channels meet in `pending_`; a beep becomes final once no channel can
// still report one that starts before it.
void BeepDetector::collect(bool everything)
{
    for (const auto& channel : channels_)
        for (const DetectedBeep& beep : channel->take_found())
            add(beep);
    int64_t horizon = std::numeric_limits<int64_t>::max();
    if (!everything)
        for (const auto& channel : channels_)
            horizon = std::min(horizon, channel->horizon());
    size_t final_count = 0;
    while (final_count < pending_.size() && pending_[final_count].onset < double(horizon))
        ++final_count;
    beeps_.insert(beeps_.end(), pending_.begin(), pending_.begin() + long(final_count));
    pending_.erase(pending_.begin(), pending_.begin() + long(final_count));
}

// The same beep in several channels: the best reading stays.
void BeepDetector::add(const DetectedBeep& beep)
{
    const double same_beep = kSameBeepMs * rate_ / 1000;
    const auto same = [&](const DetectedBeep& other) { return std::abs(other.onset - beep.onset) <= same_beep; };
    if (!beeps_.empty() && same(beeps_.back()))
        return;
    for (DetectedBeep& other : pending_)
        if (same(other)) {
            if (better(beep, other))
                other = beep;
            std::sort(pending_.begin(), pending_.end(), by_onset);
            return;
        }
    pending_.insert(std::upper_bound(pending_.begin(), pending_.end(), beep, by_onset), beep);
}

} // namespace skelv
