// Sample positions of a sound stream on its running clock. Counting samples alone drifts from
// the clock when the stream has gaps; each buffer's own time starts a new stretch when it
// disagrees with the count by more than a millisecond.
#pragma once

#include <cstdint>
#include <vector>

namespace skelv {

class SampleClock {
public:
    SampleClock() = default;
    explicit SampleClock(int rate) : rate_(rate) {}

    // The running time (ns) of the next sample, as its buffer says.
    void stamp(int64_t time_ns);
    // `count` samples went by.
    void advance(int64_t count) { samples_ += count; }
    // Samples gone by so far.
    int64_t samples() const { return samples_; }
    // Whether any buffer told its time yet.
    bool stamped() const { return !stretches_.empty(); }
    // Running time of a (fractional) sample position already passed.
    double time_ns(double sample) const;

private:
    struct Stretch {
        int64_t first_sample;
        int64_t time_ns; ///< of first_sample
    };
    double stretch_time(const Stretch& stretch, double sample) const;

    int rate_ = 0;
    int64_t samples_ = 0;
    std::vector<Stretch> stretches_; ///< in sample order
};

} // namespace skelv
