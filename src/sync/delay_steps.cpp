#include "sync/delay_steps.h"

#include "rules/time_units.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>
#include <set>

namespace skelv {

namespace {

// The steady drift is taken off first, so that no drift is ever a step. Then a step is told by
// the medians of up to kWindow events on either side of each event, after a running median of
// three has taken out every lone stray reading: a median ignores a stray reading or two where a
// mean or a fitted line would follow it, and the jump between the medians peaks where the delay
// jumps. The largest jump counts when it exceeds both a floor, below which no viewer notices,
// and several times the sequence's own noise, so a jittery recording is not cut into pieces;
// then the stretches on either side are searched again, each on its own, until no jump counts.
constexpr size_t kWindow = 7;
constexpr size_t kMinSide = 3; // events on either side of a step at the least
constexpr double kFloorNs = 5.0 * double(kNsPerMs);
constexpr double kNoiseTimes = 6;

// The delay's slope (ns per ns of video time) with the steps set aside: the median of the
// slopes between events kWindow apart, of which each step spoils only kWindow.
double steady_slope(const std::vector<SyncEvent>& events)
{
    const size_t lag = std::min(kWindow, events.size() - 1);
    std::vector<double> slopes;
    for (size_t i = 0; i + lag < events.size(); i++)
        if (const int64_t span = events[i + lag].video_ns - events[i].video_ns; span > 0)
            slopes.push_back(double(events[i + lag].delay_ns - events[i].delay_ns) / double(span));
    return slopes.empty() ? 0 : median_of(slopes);
}

// One delay's noise from the differences of successive delays: their median absolute deviation
// as a standard deviation (x 1.4826), less the second delay's share (/ sqrt 2). A step is one
// difference among many and barely moves it.
double noise_of(const std::vector<double>& levels)
{
    std::vector<double> differences;
    for (size_t i = 1; i < levels.size(); i++)
        differences.push_back(levels[i] - levels[i - 1]);
    const double centre = median_of(differences);
    for (double& d : differences)
        d = std::abs(d - centre);
    return 1.4826 * median_of(differences) / std::sqrt(2.0);
}

// Each level the median of itself and its neighbours; the first and last as they are.
std::vector<double> without_strays(const std::vector<double>& levels)
{
    std::vector<double> kept = levels;
    for (size_t i = 1; i + 1 < levels.size(); i++) {
        const auto [low, high] = std::minmax(levels[i - 1], levels[i]);
        kept[i] = std::clamp(levels[i + 1], low, high);
    }
    return kept;
}

// The delays with the steady drift taken off, cut into stretches where they jump.
class Stretches {
public:
    explicit Stretches(std::vector<double> levels) : levels_(std::move(levels)), cuts_{0, levels_.size()} {}

    const std::set<size_t>& cuts() const { return cuts_; }

    // Cuts where the levels jump by `threshold_ns` or more.
    void cut(double threshold_ns)
    {
        std::vector<double> jumps(levels_.size(), 0);
        refresh(&jumps, 0, levels_.size());
        for (;;) {
            const auto largest = std::max_element(jumps.begin(), jumps.end(),
                                                  [](double a, double b) { return std::abs(a) < std::abs(b); });
            if (std::abs(*largest) < threshold_ns)
                return;
            const size_t at = placed(size_t(largest - jumps.begin()));
            cuts_.insert(at);
            const auto [first, end] = stretch_of(at - 1);
            refresh(&jumps, first, end);
            refresh(&jumps, at, stretch_of(at).second);
        }
    }

    // How far the levels move at cut `at`, as jump_at tells.
    double size_at(size_t at) const { return jump_at(at, stretch_of(at - 1).first, stretch_of(at).second); }

private:
    // [first, end) of the stretch that holds event `i`.
    std::pair<size_t, size_t> stretch_of(size_t i) const
    {
        const auto next = cuts_.upper_bound(i);
        return {*std::prev(next), *next};
    }

    double median(size_t from, size_t to) const { return median_of({levels_.begin() + from, levels_.begin() + to}); }

    // The median of up to kWindow levels from `i` on, less that of as many before it, within
    // [first, end); 0 with fewer than kMinSide on a side.
    double jump_at(size_t i, size_t first, size_t end) const
    {
        const size_t side = std::min({kWindow, i - first, end - i});
        return side < kMinSide ? 0 : median(i, i + side) - median(i - side, i);
    }

    void refresh(std::vector<double>* jumps, size_t first, size_t end) const
    {
        for (size_t i = first; i < end; i++)
            (*jumps)[i] = jump_at(i, first, end);
    }

    // The sum of the levels' distances to their median.
    double deviation(size_t from, size_t to) const
    {
        const double centre = median(from, to);
        double sum = 0;
        for (size_t i = from; i < to; i++)
            sum += std::abs(levels_[i] - centre);
        return sum;
    }

    // Where the step found at `i` lies: the medians make the jump a plateau about kWindow events
    // wide around it, so the split there that leaves the levels nearest their medians.
    size_t placed(size_t i) const
    {
        const auto [first, end] = stretch_of(i);
        const size_t from = std::max(first, i - std::min(i, kWindow)), to = std::min(end, i + kWindow);
        size_t best = i;
        double least = std::numeric_limits<double>::infinity();
        for (size_t j = std::max(i - kWindow / 2, first + kMinSide); j <= std::min(i + kWindow / 2, end - kMinSide); j++)
            if (const double cost = deviation(from, j) + deviation(j, to); cost < least) {
                least = cost;
                best = j;
            }
        return best;
    }

    std::vector<double> levels_;
    std::set<size_t> cuts_; ///< first events of the stretches, and the end
};

} // namespace

DelaySteps delay_steps(const std::vector<SyncEvent>& events)
{
    DelaySteps result;
    if (events.empty())
        return result;
    const double slope = steady_slope(events);
    std::vector<double> levels;
    for (const SyncEvent& e : events)
        levels.push_back(double(e.delay_ns) - slope * double(e.video_ns - events.front().video_ns));
    Stretches stretches(without_strays(levels));
    if (events.size() >= 2 * kMinSide)
        stretches.cut(std::max(kFloorNs, kNoiseTimes * noise_of(levels)));

    std::vector<std::span<const SyncEvent>> spans;
    for (auto cut = stretches.cuts().begin(); std::next(cut) != stretches.cuts().end(); ++cut) {
        const std::span<const SyncEvent> span(events.begin() + long(*cut), events.begin() + long(*std::next(cut)));
        spans.push_back(span);
        result.stretches.push_back({span.front().video_ns, span.back().video_ns,
                                    delay_statistics({span.begin(), span.end()})});
        if (*cut > 0)
            result.steps.push_back({*cut, span.front().video_ns, std::llround(stretches.size_at(*cut))});
    }
    result.drift = common_drift(spans);
    return result;
}

} // namespace skelv
