#include "sound/sample_clock.h"

#include "rules/time_units.h"

#include <algorithm>
#include <cmath>

namespace skelv {

namespace {

constexpr double kTolerance_ns = kNsPerMs; // a buffer this far from the count starts a new stretch

} // namespace

double SampleClock::stretch_time(const Stretch& stretch, double sample) const
{
    return double(stretch.time_ns) + (sample - double(stretch.first_sample)) * double(kNsPerSecond) / rate_;
}

void SampleClock::stamp(int64_t time_ns)
{
    if (!stretches_.empty() && std::abs(stretch_time(stretches_.back(), double(samples_)) - double(time_ns)) <= kTolerance_ns)
        return;
    if (!stretches_.empty() && stretches_.back().first_sample == samples_)
        stretches_.back().time_ns = time_ns;
    else
        stretches_.push_back({samples_, time_ns});
}

double SampleClock::time_ns(double sample) const
{
    if (stretches_.empty() || rate_ <= 0)
        return 0;
    const auto after = std::upper_bound(stretches_.begin(), stretches_.end(), sample,
                                        [](double s, const Stretch& stretch) { return s < double(stretch.first_sample); });
    return stretch_time(after == stretches_.begin() ? stretches_.front() : *(after - 1), sample);
}

} // namespace skelv
