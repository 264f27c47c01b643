#include "picture/line_time.h"

#include "rules/profiles.h"
#include "rules/time_units.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

namespace skelv {

namespace {

// Fewer edges leave the line time to a handful of frames' noise.
constexpr size_t kMinEdges = 8;
// Edges at nearly one row (a camera locked to the clip's rate) tell the time of that row, not
// how the time grows down the picture.
constexpr double kMinRowSpread = 1.5;
// A line time known worse than this share of itself is not used.
constexpr double kMaxRelativeUncertainty = 0.1;
// Edges further off the fit than this many robust deviations, and than the floor, are misreads.
constexpr double kOutlierDeviations = 4;
constexpr double kResidualFloorNs = 100'000;
constexpr int kTrimRounds = 3;
// A readout may take a little longer than the frame's nominal period before it is impossible.
constexpr double kReadoutSlack = 1.05;
// Frame times that are all multiples of this are coarse.
constexpr int64_t kCoarseTimeNs = 1'000'000;
// Frames each side of an edge's whose times give its own when they are coarse: their rounding,
// up to half a millisecond, averages down to under a tenth of one.
constexpr size_t kNeighbours = 30;
// Intervals between frames this far from the median end a stretch of regular frames.
constexpr double kRegularInterval = 0.5;
// A shallow ramp brings the crossing in by a share of its distance each round.
constexpr int kCrossingRounds = 60;

struct Fit {
    bool solved = false;
    double line_ns = 0, uncertainty_ns = 0, row_spread = 0;
    std::vector<double> residuals; ///< by edge; those left out too
};

// The edges' rows, screen times and gaps from the frame times, each less its loop's mean over
// the kept edges: each loop's t0 drops out.
struct Centred {
    std::vector<double> row, screen_ns, gap_ns;
};

double screen_ns(const ShutterEdge& e, double fps)
{
    return double(e.source) * double(kNsPerSecond) / fps;
}

bool coarse(const std::vector<int64_t>& times)
{
    return times.size() > 2 && std::all_of(times.begin(), times.end(), [](int64_t t) { return t % kCoarseTimeNs == 0; });
}

// The time of frame `at` on the line fitted to the times of its regular neighbours.
double refitted_time(const std::vector<int64_t>& times, size_t at, double interval)
{
    const auto regular = [&](size_t i) {
        return std::fabs(double(times[i + 1] - times[i]) - interval) <= kRegularInterval * interval;
    };
    size_t from = at, to = at;
    while (from > 0 && at - from < kNeighbours && regular(from - 1))
        --from;
    while (to + 1 < times.size() && to - at < kNeighbours && regular(to))
        ++to;
    if (to - from < 2)
        return double(times[at]);
    double mean_index = 0, mean_time = 0;
    for (size_t i = from; i <= to; ++i)
        mean_index += double(i), mean_time += double(times[i] - times[at]);
    const double n = double(to - from + 1);
    mean_index /= n, mean_time /= n;
    double slope_num = 0, slope_den = 0;
    for (size_t i = from; i <= to; ++i) {
        slope_num += (double(i) - mean_index) * (double(times[i] - times[at]) - mean_time);
        slope_den += (double(i) - mean_index) * (double(i) - mean_index);
    }
    return double(times[at]) + mean_time + slope_num / slope_den * (double(at) - mean_index);
}

// The edges, their frames timed from their neighbours when the frame times are coarse.
std::vector<ShutterEdge> retimed(std::vector<ShutterEdge> edges, const std::vector<int64_t>& times)
{
    if (!coarse(times))
        return edges;
    std::vector<double> intervals;
    for (size_t i = 1; i < times.size(); ++i)
        intervals.push_back(double(times[i] - times[i - 1]));
    std::nth_element(intervals.begin(), intervals.begin() + long(intervals.size() / 2), intervals.end());
    const double interval = intervals[intervals.size() / 2];
    for (ShutterEdge& edge : edges) {
        const auto at = std::lower_bound(times.begin(), times.end(), edge.time_ns);
        if (at != times.end() && *at == edge.time_ns)
            edge.time_ns = int64_t(std::llround(refitted_time(times, size_t(at - times.begin()), interval)));
    }
    return edges;
}

Centred centre_by_loop(const std::vector<ShutterEdge>& edges, const std::vector<bool>& kept, double fps)
{
    struct Sums {
        double row = 0, screen = 0, gap = 0;
        int n = 0;
    };
    std::map<int32_t, Sums> loops;
    for (size_t i = 0; i < edges.size(); ++i)
        if (kept[i]) {
            Sums& s = loops[edges[i].loop];
            s.row += edges[i].row;
            s.screen += screen_ns(edges[i], fps);
            s.gap += screen_ns(edges[i], fps) - double(edges[i].time_ns);
            ++s.n;
        }
    Centred c;
    for (const ShutterEdge& e : edges) {
        const auto found = loops.find(e.loop);
        const Sums mean = found == loops.end() ? Sums{} : found->second;
        const double n = std::max(mean.n, 1);
        c.row.push_back(e.row - mean.row / n);
        c.screen_ns.push_back(screen_ns(e, fps) - mean.screen / n);
        c.gap_ns.push_back(screen_ns(e, fps) - double(e.time_ns) - mean.gap / n);
    }
    return c;
}

size_t loops_of(const std::vector<ShutterEdge>& edges, const std::vector<bool>& kept)
{
    std::map<int32_t, bool> loops;
    for (size_t i = 0; i < edges.size(); ++i)
        if (kept[i])
            loops[edges[i].loop] = true;
    return loops.size();
}

// Least squares of row * L - screen * drift = gap over the kept edges.
Fit fit_kept(const std::vector<ShutterEdge>& edges, const std::vector<bool>& kept, double fps)
{
    const Centred c = centre_by_loop(edges, kept, fps);
    double aa = 0, ab = 0, bb = 0, ay = 0, by = 0;
    size_t n = 0;
    for (size_t i = 0; i < edges.size(); ++i)
        if (kept[i]) {
            const double a = c.row[i], b = -c.screen_ns[i], y = c.gap_ns[i];
            aa += a * a, ab += a * b, bb += b * b, ay += a * y, by += b * y;
            ++n;
        }
    Fit fit;
    const double det = aa * bb - ab * ab;
    const size_t unknowns = loops_of(edges, kept) + 2;
    if (n <= unknowns || !(det > 1e-9 * aa * bb))
        return fit;
    fit.solved = true;
    fit.line_ns = (ay * bb - by * ab) / det;
    const double drift = (aa * by - ab * ay) / det;
    double squares = 0;
    for (size_t i = 0; i < edges.size(); ++i) {
        fit.residuals.push_back(c.row[i] * fit.line_ns - c.screen_ns[i] * drift - c.gap_ns[i]);
        if (kept[i])
            squares += fit.residuals.back() * fit.residuals.back();
    }
    fit.uncertainty_ns = std::sqrt(squares / double(n - unknowns) * bb / det);
    fit.row_spread = std::sqrt(aa / double(n));
    return fit;
}

// Leaves out the edges far off the fit; false when none was.
bool trim(const Fit& fit, std::vector<bool>* kept)
{
    std::vector<double> deviations;
    for (size_t i = 0; i < kept->size(); ++i)
        if ((*kept)[i])
            deviations.push_back(std::fabs(fit.residuals[i]));
    std::nth_element(deviations.begin(), deviations.begin() + long(deviations.size() / 2), deviations.end());
    const double limit = std::max(kOutlierDeviations * 1.4826 * deviations[deviations.size() / 2], kResidualFloorNs);
    bool trimmed = false;
    for (size_t i = 0; i < kept->size(); ++i)
        if ((*kept)[i] && std::fabs(fit.residuals[i]) > limit) {
            (*kept)[i] = false;
            trimmed = true;
        }
    return trimmed;
}

std::string text(const char* format, double a, double b = 0)
{
    char buffer[200];
    std::snprintf(buffer, sizeof buffer, format, a, b);
    return buffer;
}

std::string too_few(size_t edges)
{
    return text("only %.0f frames caught the screen changing inside the markers, %.0f are needed", double(edges),
                double(kMinEdges));
}

// Why a fit that was solved is not to be used; empty when it is.
std::string doubt(const Fit& fit, size_t kept, const ShutterFrames& frames)
{
    if (kept < kMinEdges)
        return too_few(kept);
    if (fit.row_spread < kMinRowSpread)
        return text("the frames caught the screen changing at nearly one row (%.1f rows apart): the camera's frame rate "
                    "may be locked to the clip's", fit.row_spread);
    if (fit.uncertainty_ns > kMaxRelativeUncertainty * std::fabs(fit.line_ns))
        return text("the frames scatter too far from one line time (%.1f \u00b1 %.1f \u00b5s a row)", fit.line_ns / 1000,
                    fit.uncertainty_ns / 1000);
    if (fit.line_ns <= 0)
        return "the change does not move down the picture in later frames, as a rolling shutter's does";
    const bool readout_known = frames.capture_fps > 0 && frames.height > 0;
    if ((readout_known && fit.line_ns * frames.height > kReadoutSlack * double(kNsPerSecond) / frames.capture_fps) ||
        fit.line_ns > kMaxLineTimeUs * 1000)
        return text("%.1f \u00b5s a row would read the frame's rows for longer than a frame lasts", fit.line_ns / 1000);
    return "";
}

} // namespace

LineTimeEstimate estimate_line_time(const std::vector<ShutterEdge>& found, const ShutterFrames& frames)
{
    const std::vector<ShutterEdge> edges = retimed(found, frames.frame_times);
    LineTimeEstimate estimate;
    estimate.edges = edges.size();
    if (frames.source_fps <= 0) {
        estimate.why = "the clip's frame rate is not known";
        return estimate;
    }
    if (edges.size() < kMinEdges) {
        estimate.why = too_few(edges.size());
        return estimate;
    }
    std::vector<bool> kept(edges.size(), true);
    Fit fit = fit_kept(edges, kept, frames.source_fps);
    for (int round = 0; round < kTrimRounds && fit.solved && trim(fit, &kept); ++round)
        fit = fit_kept(edges, kept, frames.source_fps);
    estimate.edges_fitted = size_t(std::count(kept.begin(), kept.end(), true));
    if (!fit.solved) {
        estimate.why = estimate.edges_fitted < kMinEdges
            ? too_few(estimate.edges_fitted)
            : "the frames that caught the screen changing inside the markers are too alike to fit";
        estimate.edges_fitted = 0;
        return estimate;
    }
    estimate.line_time_ns = fit.line_ns;
    estimate.uncertainty_ns = fit.uncertainty_ns;
    estimate.row_spread = fit.row_spread;
    estimate.why = doubt(fit, estimate.edges_fitted, frames);
    estimate.measured = estimate.why.empty();
    return estimate;
}

// The shares' sum over a window of the rows, the share constant within each row. Over a window
// centred on the crossing a profile symmetric about it sums to half the window's length; the
// window is moved to where it does, as large as the column allows.
std::optional<double> half_share_row(const std::vector<float>& shares)
{
    if (shares.empty() || shares.front() <= 0.5f || shares.back() >= 0.5f)
        return std::nullopt;
    const double rows = double(shares.size());
    const auto sum = [&](double from, double to) {
        double total = 0;
        for (size_t y = 0; y < shares.size(); ++y)
            total += std::max(0.0, std::min(to, double(y) + 1) - std::max(from, double(y))) * shares[y];
        return total;
    };
    double row = sum(0, rows);
    for (int round = 0; round < kCrossingRounds; ++round) {
        const double reach = std::min(row, rows - row);
        if (reach <= 0)
            break;
        row = row - reach + sum(row - reach, row + reach);
    }
    return row;
}

} // namespace skelv
