#include "sync/latency.h"

#include <set>

namespace skelv {

LatencyFigures latency_figures(const SentTimes& sent, const std::vector<Arrival>& arrivals)
{
    LatencyFigures figures;
    std::vector<SyncEvent> pairs;
    std::set<int64_t> seen;
    for (const Arrival& arrival : arrivals) {
        if (!seen.insert(arrival.number).second)
            continue;
        const auto sending = sent.find(arrival.number);
        if (sending == sent.end()) {
            figures.unmatched++;
            continue;
        }
        // The sending as an event's first side and the arrival as its second: the delay
        // (second less first) is then the latency.
        pairs.push_back({arrival.number, 0, sending->second, arrival.clock_ns, arrival.clock_ns - sending->second});
    }
    figures.statistics = delay_statistics(pairs);
    return figures;
}

} // namespace skelv
