#include "sync/latency.h"

#include "rules/time_units.h"

#include <algorithm>
#include <cmath>
#include <set>

namespace skelv {

namespace {

constexpr int64_t kFirstStretchNs = kNsPerSecond;

void merge(LatencyStretch* into, const LatencyStretch& stretch)
{
    if (stretch.count == 0)
        return;
    into->min_ns = into->count == 0 ? stretch.min_ns : std::min(into->min_ns, stretch.min_ns);
    into->max_ns = into->count == 0 ? stretch.max_ns : std::max(into->max_ns, stretch.max_ns);
    into->mean_ns += (stretch.mean_ns - into->mean_ns) * double(stretch.count) / double(into->count + stretch.count);
    into->count += stretch.count;
}

} // namespace

void LatencyTrace::add(int64_t sent_ns, int64_t latency_ns)
{
    if (stretches.empty()) {
        start_ns = sent_ns;
        step_ns = kFirstStretchNs;
    }
    // A frame sent before the first one paired (it came late) counts in the first stretch.
    const auto index = [&] { return size_t(std::max<int64_t>(0, (sent_ns - start_ns) / step_ns)); };
    while (index() >= kMaxStretches)
        join_stretches();
    if (stretches.size() <= index())
        stretches.resize(index() + 1);
    merge(&stretches[index()], {1, latency_ns, latency_ns, double(latency_ns)});
}

void LatencyTrace::join_stretches()
{
    std::vector<LatencyStretch> joined((stretches.size() + 1) / 2);
    for (size_t i = 0; i < stretches.size(); ++i)
        merge(&joined[i / 2], stretches[i]);
    stretches = std::move(joined);
    step_ns *= 2;
}

void LatencyTally::add(int64_t sent_ns, int64_t arrived_ns)
{
    const int64_t latency = arrived_ns - sent_ns;
    if (count_ == 0) {
        first_sent_ns_ = sent_ns;
        min_ = max_ = {latency, sent_ns};
    }
    min_ = latency < min_.delay_ns ? DelayExtreme{latency, sent_ns} : min_;
    max_ = latency > max_.delay_ns ? DelayExtreme{latency, sent_ns} : max_;
    // Welford's running sums: no loss of precision over millions of pairs.
    count_++;
    const double t = double(sent_ns - first_sent_ns_) / double(kNsPerMinute), y = double(latency);
    const double dt = t - mean_t_, dy = y - mean_ns_;
    mean_t_ += dt / double(count_);
    mean_ns_ += dy / double(count_);
    sxx_ += dt * (t - mean_t_);
    sxy_ += dt * (y - mean_ns_);
    syy_ += dy * (y - mean_ns_);
    bins_[std::llround(y / double(bin_ns_))]++;
    if (bins_.size() > kMaxBins)
        widen_bins();
    trace_.add(sent_ns, latency);
}

void LatencyTally::widen_bins()
{
    std::map<int64_t, uint64_t> wider;
    for (const auto& [bin, count] : bins_)
        wider[std::llround(double(bin) / 2)] += count;
    bins_ = std::move(wider);
    bin_ns_ *= 2;
}

double LatencyTally::value_at_rank(uint64_t rank) const
{
    uint64_t below = 0;
    for (const auto& [bin, count] : bins_) {
        below += count;
        if (below >= rank)
            return double(bin) * double(bin_ns_);
    }
    return 0;
}

DelayStatistics LatencyTally::statistics() const
{
    DelayStatistics s;
    s.count = count_;
    if (count_ == 0)
        return s;
    s.mean_ns = mean_ns_;
    s.median_ns = count_ % 2 == 1 ? value_at_rank(count_ / 2 + 1)
                                   : (value_at_rank(count_ / 2) + value_at_rank(count_ / 2 + 1)) / 2;
    s.sd_ns = count_ > 1 ? std::sqrt(syy_ / double(count_ - 1)) : 0;
    s.min = min_;
    s.max = max_;
    if (count_ < 2 || !(sxx_ > 0))
        return s;
    Drift drift{sxy_ / sxx_, std::nullopt, std::nullopt};
    const double dof = double(count_) - 2;
    if (dof >= 1) {
        const double residuals = std::max(syy_ - sxy_ * sxy_ / sxx_, 0.0);
        const double half_width = student_t_975(dof) * std::sqrt(residuals / dof / sxx_);
        drift.ci95_low = drift.ns_per_min - half_width;
        drift.ci95_high = drift.ns_per_min + half_width;
    }
    s.drift = drift;
    return s;
}

LatencyFigures latency_figures(const SentTimes& sent, const std::vector<Arrival>& arrivals)
{
    LatencyFigures figures;
    LatencyTally tally;
    std::set<int64_t> seen;
    for (const Arrival& arrival : arrivals) {
        if (!seen.insert(arrival.number).second)
            continue;
        const auto sending = sent.find(arrival.number);
        if (sending == sent.end())
            figures.unmatched++;
        else
            tally.add(sending->second, arrival.clock_ns);
    }
    figures.statistics = tally.statistics();
    figures.trace = tally.trace();
    return figures;
}

} // namespace skelv
