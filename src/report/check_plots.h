// The pictures of the visual report, each a complete <svg> element, or an empty string when
// the result holds nothing to draw (the page then says why).
#pragma once

#include "check/check_result.h"
#include "outputs/svg_chart.h"

#include <string>
#include <vector>

namespace skelv {

// The recording's running time the time plots share, and the unit their axes count in.
struct TimeAxis {
    Range ms;
    double unit_ms = 1000;
    const char* unit = "s";
};
TimeAxis time_axis(const CheckResult& result);

// Marks drawn apart in one pixel column of a plot before they merge into one bar.
constexpr int kMaxMarksPerColumn = 8;

// Delay of each event against recording time, the profile's band, drift, stray beeps and flashes.
std::string delay_plot(const CheckResult& result, const TimeAxis& time);
// Latency of the picture and the sound over the run, stretch by stretch: mean and extremes.
std::string latency_plot(const CheckLatency& latency);
// Delay histogram bins: round bins over the bulk of the delays; stray events beyond Tukey's
// far-out fences are counted apart, so that one wild event does not squeeze the rest into one bin.
struct DelayBins {
    double first = 0, width = 1; ///< ms; the bins cover [first, first + width * counts.size())
    std::vector<size_t> counts;
    size_t below = 0, above = 0;    ///< events left and right of the bins
    double lowest = 0, highest = 0; ///< ms, of all events
};
DelayBins delay_bins(std::vector<double> delays);

// Events per delay bin, with mean and median.
std::string delay_histogram(const CheckResult& result);
// Display duration of the captured frames over time, their faults and the clip's spans.
std::string frame_timeline(const CheckResult& result, const TimeAxis& time);
// The snapshot frame with the markers outlined and labelled by role.
std::string marker_map(const CheckResult& result);

// "sync", "frame bit 2", "lip-sync".
std::string marker_label(const CheckMarker& marker);

} // namespace skelv
