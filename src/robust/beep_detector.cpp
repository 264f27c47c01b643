#include "robust/beep_detector.h"

#include "robust/beep_channel.h"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>

namespace {

// Silence fed at the end of the stream: long enough for every channel to see its tones stop.
constexpr double kFlushMs = 30;

bool overlap(const DetectedBeep& a, const DetectedBeep& b)
{
    return a.onset < b.end && b.onset < a.end;
}

} // namespace

BeepDetector::BeepDetector(int rate, int channels) : channel_count_(channels)
{
    if (rate < kMinRate || rate > kMaxRate)
        throw std::invalid_argument("beep detector: sample rate " + std::to_string(rate) + " Hz is outside " +
                                    std::to_string(kMinRate) + ".." + std::to_string(kMaxRate) + " Hz");
    if (channels < 1 || channels > kMaxChannels)
        throw std::invalid_argument("beep detector: " + std::to_string(channels) + " channels, expected 1.." +
                                    std::to_string(kMaxChannels));
    const robust::BeepGeometry geometry = robust::beep_geometry(rate);
    for (int c = 0; c < channels; ++c)
        channels_.push_back(std::make_unique<robust::BeepChannel>(geometry, c));
}

BeepDetector::~BeepDetector() = default;

void BeepDetector::process(const float* interleaved, size_t frames)
{
    if (finished_)
        return;
    for (int c = 0; c < channel_count_; ++c)
        channels_[size_t(c)]->feed(interleaved + c, frames, size_t(channel_count_));
    collect(false);
}

void BeepDetector::finish()
{
    if (finished_)
        return;
    const robust::BeepGeometry geometry = robust::beep_geometry(channels_.front()->rate());
    const std::vector<float> silence(size_t(geometry.samples(kFlushMs)) * size_t(channel_count_), 0.0f);
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

// The same beep in several channels: the most confident reading stays.
void BeepDetector::add(const DetectedBeep& beep)
{
    if (!beeps_.empty() && overlap(beeps_.back(), beep))
        return;
    for (DetectedBeep& other : pending_)
        if (overlap(other, beep)) {
            if (beep.confidence > other.confidence)
                other = beep;
            std::sort(pending_.begin(), pending_.end(),
                [](const DetectedBeep& a, const DetectedBeep& b) { return a.onset < b.onset; });
            return;
        }
    const auto place = std::upper_bound(pending_.begin(), pending_.end(), beep,
        [](const DetectedBeep& a, const DetectedBeep& b) { return a.onset < b.onset; });
    pending_.insert(place, beep);
}
