#include "generate/beep_edges.h"

#include "core/clip_constants.h"

#include <cmath>
#include <complex>

namespace skelv {

namespace {

constexpr int64_t kWindow = clip::kToneWindow;

// The tone's Fourier sum over the window ending at each sample, from the beep's first
// sample until the window has left it. Phases count from the beep's first sample: the
// detector's phases differ by one factor per beep, which leaves the magnitudes unchanged.
std::vector<double> magnitudes(const std::vector<int16_t>& beep, int32_t rate, int32_t hz)
{
    const auto term = [&](int64_t n) {
        return std::polar(double(beep[size_t(n)]), -2 * M_PI * double(hz) * double(n % rate) / rate);
    };
    std::complex<double> sum;
    std::vector<double> result;
    for (int64_t n = 0; n < int64_t(beep.size()) + kWindow; n++) {
        if (n < int64_t(beep.size()))
            sum += term(n);
        if (n >= kWindow && n - kWindow < int64_t(beep.size()))
            sum -= term(n - kWindow);
        result.push_back(std::abs(sum));
    }
    return result;
}

} // namespace

bool beep_edges_find(const std::vector<int16_t>& beep, int32_t rate, BeepEdges* edges)
{
    const std::vector<double> low = magnitudes(beep, rate, clip::kBeepLowHz);
    const std::vector<double> high = magnitudes(beep, rate, clip::kBeepHighHz);
    const auto level = [&](size_t n) { return std::sqrt(low[n] * high[n]) / kWindow; };
    size_t n = 0;
    while (n < low.size() && !(level(n) > clip::kBeepOpenLevel))
        n++;
    if (n == low.size())
        return false;
    // The detector counts a beep from the sample after the one that lifted the level.
    const int64_t opened = int64_t(n) + 1;
    double peak = level(n);
    while (n < low.size() && !(level(n) < clip::kBeepCloseLevel))
        peak = std::max(peak, level(n++));
    const int64_t p = int64_t(peak);
    edges->start = opened - kWindow * clip::kBeepOpenLevel / p;
    edges->end = (kWindow * clip::kBeepCloseLevel - kWindow * p) / p + int64_t(n) + 1;
    return true;
}

} // namespace skelv
