#include "report/check_plots.h"

#include "check/check_report.h"
#include "outputs/html_text.h"
#include "report/snapshot_png.h"
#include "rules/time_units.h"

#include <glib.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <utility>

namespace skelv {

namespace {

constexpr int kSnapshotMaxWidth = 960;  // pixels of the embedded picture; enough to see every marker
constexpr double kLaneHeight = 9;       // pixels of one row of frame fault marks
constexpr int kHistogramBins = 24;      // about as many bins over the bulk of the delays
constexpr double kMinHistogramSpan = 1; // ms; bins narrower than 1/20 ms would show only jitter
// Tukey's far-out fences: beyond three interquartile ranges an event is counted at the end.
constexpr double kFarOut = 3;

// A pixel column of a plot, or -1 outside it.
int column_of(const SvgChart& chart, double x)
{
    const double at = chart.x()(x);
    if (!std::isfinite(at) || at < chart.frame().plot_left() || at > chart.frame().plot_right())
        return -1;
    return int(std::floor(at));
}

std::string seconds_text(int64_t ns)
{
    return fixed(report_ms(double(ns)) / 1000, 3) + " s";
}

// A delay in ms on a plot's scale, as the reports round it.
std::string delay_text(double ms, int decimals)
{
    return fixed(report_ms(ms * double(kNsPerMs)), decimals);
}

std::string title(const std::string& text)
{
    return "<title>" + text + "</title>";
}

// Which delays the profile accepts, in ms on the delay axis.
Range tolerance_band(const CheckResult& r)
{
    const DelayBand band = r.profile.band(r.expected_delay_ns);
    return {ms_of(band.low_ns), ms_of(band.high_ns)};
}

// Events binned to the pixel grid: one dot per occupied pixel and verdict, or one bar per
// column and verdict where a column holds more distinct delays than can be told apart.
struct EventMark {
    size_t count = 0;
    int64_t first_ns = 0, last_ns = 0, low_ns = 0, high_ns = 0;
    int64_t flash_frame = 0;
};

std::string event_mark_title(const EventMark& m)
{
    if (m.count == 1)
        return title(seconds_text(m.first_ns) + ": delay " + fixed(report_ms(double(m.low_ns)), 3) + " ms, flash frame " +
                     std::to_string(m.flash_frame));
    return title(std::to_string(m.count) + " events, " + seconds_text(m.first_ns) + "\u2026" + seconds_text(m.last_ns) +
                 ": delay " + fixed(report_ms(double(m.low_ns)), 3) + "\u2026" + fixed(report_ms(double(m.high_ns)), 3) +
                 " ms");
}

void merge(EventMark* into, const EventMark& m)
{
    if (into->count == 0) {
        *into = m;
        return;
    }
    into->count += m.count;
    into->first_ns = std::min(into->first_ns, m.first_ns);
    into->last_ns = std::max(into->last_ns, m.last_ns);
    into->low_ns = std::min(into->low_ns, m.low_ns);
    into->high_ns = std::max(into->high_ns, m.high_ns);
}

std::string event_marks(const CheckResult& r, const SvgChart& chart)
{
    const DelayBand band = r.profile.band(r.expected_delay_ns);
    // column -> (pixel row, beyond the limits) -> events there
    std::map<int, std::map<std::pair<int, bool>, EventMark>> columns;
    for (const SyncEvent& e : r.pairing.events) {
        const int column = column_of(chart, ms_of(e.video_ns));
        const double row = chart.y()(ms_of(e.delay_ns));
        if (column >= 0 && std::isfinite(row))
            merge(&columns[column][{int(std::floor(row)), !band.holds(e.delay_ns)}],
                  {1, e.video_ns, e.video_ns, e.delay_ns, e.delay_ns, e.flash_frame});
    }
    std::string svg;
    for (const auto& [column, marks] : columns) {
        if (marks.size() <= size_t(kMaxMarksPerColumn)) {
            for (const auto& [key, m] : marks)
                svg += "<circle class=\"" + std::string(key.second ? "out" : "in") + "\" cx=\"" +
                       px(chart.x()(ms_of(m.first_ns))) + "\" cy=\"" + px(chart.y()(ms_of(m.low_ns))) + "\" r=\"3\">" +
                       event_mark_title(m) + "</circle>";
            continue;
        }
        for (bool beyond : {false, true}) {
            EventMark merged;
            for (const auto& [key, m] : marks)
                if (key.second == beyond)
                    merge(&merged, m);
            if (merged.count == 0)
                continue;
            svg += "<path class=\"" + std::string(beyond ? "out" : "in") + " bar\" d=\"M" + px(column + 0.5) + " " +
                   px(chart.y()(ms_of(merged.high_ns)) - 2) + "V" + px(chart.y()(ms_of(merged.low_ns)) + 2) + "\">" +
                   event_mark_title(merged) + "</path>";
        }
    }
    return svg;
}

// Triangles along the top (pointing down) or the bottom (pointing up) of the plot, one per
// occupied pixel column.
std::string edge_marks(const std::vector<int64_t>& times_ns, const SvgChart& chart, bool top, const char* css,
                       const std::string& what)
{
    std::vector<int> columns;
    for (int64_t t : times_ns)
        if (const int column = column_of(chart, ms_of(t)); column >= 0)
            columns.push_back(column);
    std::sort(columns.begin(), columns.end());
    columns.erase(std::unique(columns.begin(), columns.end()), columns.end());
    if (columns.empty())
        return "";
    const double edge = top ? chart.frame().plot_top() + 1 : chart.frame().plot_bottom() - 1;
    const std::string tip = top ? "l-4.5 -8h9z" : "l-4.5 8h9z";
    std::string d;
    for (int column : columns)
        d += "M" + px(column + 0.5) + " " + px(top ? edge + 8 : edge - 8) + tip;
    return "<path class=\"" + std::string(css) + "\" d=\"" + d + "\">" +
           title(std::to_string(times_ns.size()) + " " + what) + "</path>";
}

std::string drift_line(const CheckResult& r, const SvgChart& chart)
{
    const std::vector<SyncEvent>& events = r.pairing.events;
    if (!r.statistics.drift || events.empty())
        return "";
    double mean_t = 0;
    for (const SyncEvent& e : events)
        mean_t += ms_of(e.video_ns) / double(events.size());
    // In ms of delay against ms of recording time.
    const auto fitted = [&](double t) {
        return (r.statistics.mean_ns + r.statistics.drift->ns_per_min * (t - mean_t) / 60000) / double(kNsPerMs);
    };
    const double t0 = ms_of(events.front().video_ns), t1 = ms_of(events.back().video_ns);
    return "<path class=\"drift\" d=\"M" + px(chart.x()(t0)) + " " + px(chart.y()(fitted(t0))) + "L" +
           px(chart.x()(t1)) + " " + px(chart.y()(fitted(t1))) + "\"/>";
}

// A dashed line across the plot between the last event before each step and the first after it.
std::string step_marks(const DelaySteps& d, const SvgChart& chart)
{
    std::string svg;
    for (size_t i = 0; i < d.steps.size(); i++) {
        const double at = (ms_of(d.stretches[i].to_ns) + ms_of(d.stretches[i + 1].from_ns)) / 2;
        svg += "<path class=\"step\" d=\"M" + px(chart.x()(at)) + " " + px(chart.frame().plot_top()) + "V" +
               px(chart.frame().plot_bottom()) + "\">" +
               title("step of " + delay_text(ms_of(d.steps[i].size_ns), 1) + " ms at " + seconds_text(d.steps[i].at_ns)) +
               "</path>";
    }
    return svg;
}

std::string horizontal_band(const SvgChart& chart, Range values, const char* css)
{
    const double top = std::max(chart.y()(values.hi), chart.frame().plot_top() - 1);
    const double bottom = std::min(chart.y()(values.lo), chart.frame().plot_bottom() + 1);
    if (!(bottom > top))
        return "";
    return "<rect class=\"" + std::string(css) + "\" x=\"" + px(chart.frame().plot_left()) + "\" y=\"" + px(top) +
           "\" width=\"" + px(chart.frame().plot_right() - chart.frame().plot_left()) + "\" height=\"" +
           px(bottom - top) + "\"/>";
}

std::string horizontal_line(const SvgChart& chart, double value, const char* css)
{
    return "<path class=\"" + std::string(css) + "\" d=\"M" + px(chart.frame().plot_left()) + " " +
           px(chart.y()(value)) + "H" + px(chart.frame().plot_right()) + "\"/>";
}

void include(Range* range, double value)
{
    if (!std::isfinite(value))
        return;
    range->lo = std::min(range->lo, value);
    range->hi = std::max(range->hi, value);
}

// What the frames of one pixel column of the timeline plot did, summed.
struct ColumnFrames {
    double shortest_ms = INFINITY, longest_ms = 0;
    int64_t dropped = 0, repeated = 0, unreadable = 0;
    int64_t shown_ns[kSpanSlots] = {};
    int32_t loop = 0;
};

// The timeline summed per pixel column, from every frame where they are few, else from the
// sketch's bins (each placed at its middle).
std::map<int, ColumnFrames> timeline_columns(const TimelineSketch& t, const SvgChart& chart)
{
    std::map<int, ColumnFrames> columns;
    const auto add = [&](int64_t time_ns, const TimelineBin& bin) {
        const int c = column_of(chart, ms_of(time_ns));
        if (c < 0 || bin.frames == 0)
            return;
        ColumnFrames& column = columns[c];
        column.shortest_ms = std::min(column.shortest_ms, ms_of(bin.min_duration_ns));
        column.longest_ms = std::max(column.longest_ms, ms_of(bin.max_duration_ns));
        column.dropped += bin.dropped;
        column.repeated += bin.repeated;
        column.unreadable += bin.unreadable;
        for (size_t s = 0; s < kSpanSlots; ++s)
            column.shown_ns[s] += bin.shown_ns[s];
        if (bin.shown_ns[size_t(SpanSlot::Content)] + bin.shown_ns[size_t(SpanSlot::ContentOddLoop)] > 0)
            column.loop = bin.loop;
    };
    if (!t.frames.empty()) {
        for (const CheckFrame& f : t.frames)
            add(f.time_ns, timeline_bin_of(f));
    } else {
        for (size_t i = 0; i < t.bins.size(); ++i)
            add(t.start_ns + int64_t(i) * t.bin_ns + t.bin_ns / 2, t.bins[i]);
    }
    return columns;
}

// What most of a column's time shows; unreadable frames are marked on their own.
struct SpanKey {
    SpanSlot slot;
    int loop;
    bool operator==(const SpanKey&) const = default;
};

std::string span_css(const SpanKey& key)
{
    static const char* const kCss[] = {"span-header",  "span-locator", "span-content",
                                       "span-content-odd", "span-trailer", "span-other"};
    return kCss[size_t(key.slot)];
}

std::string span_label(const SpanKey& key)
{
    static const FrameKind kKinds[] = {FrameKind::Header, FrameKind::Locator, FrameKind::Content,
                                       FrameKind::Content, FrameKind::Trailer};
    if (key.slot == SpanSlot::Other)
        return "other";
    const FrameKind kind = kKinds[size_t(key.slot)];
    if (kind == FrameKind::Content && key.loop > 0)
        return std::string(name_of(kind)) + ", loop " + std::to_string(key.loop + 1);
    return name_of(kind);
}

struct ColumnSpan {
    int first;
    SpanKey key;
};

// One entry per run of columns whose time mostly shows the same.
std::vector<ColumnSpan> span_columns(const std::map<int, ColumnFrames>& columns)
{
    std::vector<ColumnSpan> spans;
    for (const auto& [c, column] : columns) {
        const int64_t* most = std::max_element(std::begin(column.shown_ns), std::end(column.shown_ns));
        if (*most == 0)
            continue;
        const SpanSlot slot = SpanSlot(most - std::begin(column.shown_ns));
        const bool content = slot == SpanSlot::Content || slot == SpanSlot::ContentOddLoop;
        const SpanKey key{slot, content ? column.loop : 0};
        if (spans.empty() || !(spans.back().key == key))
            spans.push_back({c, key});
    }
    return spans;
}

// Each band runs until the next one starts, the last one to the end of the last frame.
std::string span_bands(const TimelineSketch& t, const std::map<int, ColumnFrames>& columns, const SvgChart& chart)
{
    const std::vector<ColumnSpan> spans = span_columns(columns);
    const double top = chart.frame().plot_top(), bottom = chart.frame().plot_bottom();
    const double end = std::min(chart.frame().plot_right(), chart.x()(ms_of(t.end_ns)));
    std::string svg;
    for (size_t i = 0; i < spans.size(); i++) {
        const double left = spans[i].first, right = i + 1 < spans.size() ? spans[i + 1].first : std::max(end, left + 1);
        svg += "<rect class=\"" + span_css(spans[i].key) + "\" x=\"" + px(left) + "\" y=\"" + px(top) + "\" width=\"" +
               px(right - left) + "\" height=\"" + px(bottom - top) + "\">" + title(span_label(spans[i].key)) +
               "</rect>";
        if (right - left >= 56)
            svg += "<text class=\"span-label\" x=\"" + px(left + 4) + "\" y=\"" + px(bottom - 5) + "\">" +
                   span_label(spans[i].key) + "</text>";
    }
    return svg;
}

// A live source's outages, each over the time its stream was away.
std::string outage_bands(const std::vector<Outage>& outages, const SvgChart& chart)
{
    const ChartFrame& f = chart.frame();
    std::string svg;
    for (const Outage& o : outages) {
        const double left = std::max(chart.x()(ms_of(o.start_ns)), f.plot_left());
        const double right = std::min(chart.x()(ms_of(o.start_ns + o.length_ns)), f.plot_right());
        if (!(right >= left))
            continue;
        svg += "<rect class=\"outage\" x=\"" + px(left) + "\" y=\"" + px(f.plot_top()) + "\" width=\"" +
               px(std::max(right - left, 1.0)) + "\" height=\"" + px(f.plot_bottom() - f.plot_top()) + "\">" +
               title(std::string(o.audio ? "sound" : "picture") + " away from " + seconds_text(o.start_ns) + " for " +
                     fixed(seconds_of(o.length_ns), 3) + " s" + (o.message.empty() ? "" : ": " + html_escape(o.message))) +
               "</rect>";
    }
    return svg;
}

// How long each frame is shown: a step per frame where frames are wider than a pixel, else
// the shortest and longest duration in each pixel column as a vertical stroke.
std::string duration_strokes(const TimelineSketch& t, const std::map<int, ColumnFrames>& columns,
                             const SvgChart& chart)
{
    const double width = chart.frame().plot_right() - chart.frame().plot_left();
    std::string d;
    if (!t.frames.empty() && double(t.frames.size()) <= width) {
        int64_t end_ns = -1; // of the previous frame, where the step line goes on
        for (const CheckFrame& f : t.frames) {
            const std::string level = px(chart.y()(ms_of(f.duration_ns)));
            d += f.time_ns == end_ns ? "V" + level : "M" + px(chart.x()(ms_of(f.time_ns))) + " " + level;
            d += "H" + px(chart.x()(ms_of(f.time_ns + f.duration_ns)));
            end_ns = f.time_ns + f.duration_ns;
        }
    } else {
        for (const auto& [c, column] : columns)
            d += "M" + px(c + 0.5) + " " + px(chart.y()(column.longest_ms) - 1) + "V" +
                 px(chart.y()(column.shortest_ms) + 1);
    }
    return d.empty() ? "" : "<path class=\"durations\" d=\"" + d + "\"/>";
}

// One row of short ticks near the top of the plot, one per pixel column holding a frame that
// `count` counts; `lane` counts rows from the top.
std::string fault_lane(const std::map<int, ColumnFrames>& columns, const SvgChart& chart, int lane, const char* css,
                       const std::string& what, int64_t ColumnFrames::*count)
{
    const double top = chart.frame().plot_top() + 2 + lane * kLaneHeight;
    std::string d;
    int64_t total = 0;
    for (const auto& [c, column] : columns)
        if (column.*count > 0) {
            total += column.*count;
            d += "M" + px(c + 0.5) + " " + px(top) + "v" + px(kLaneHeight - 2);
        }
    if (d.empty())
        return "";
    return "<path class=\"" + std::string(css) + "\" d=\"" + d + "\">" + title(std::to_string(total) + " " + what) +
           "</path>";
}

// Each stretch of a latency trace: a bar from its least latency to its greatest, a dot at its mean.
std::string latency_marks(const LatencyTrace& t, int64_t origin_ns, const SvgChart& chart, const std::string& css,
                          const char* what)
{
    std::string svg;
    for (size_t i = 0; i < t.stretches.size(); ++i) {
        const LatencyStretch& s = t.stretches[i];
        if (s.count == 0)
            continue;
        const double x = chart.x()(ms_of(t.start_ns - origin_ns + int64_t(i) * t.step_ns + t.step_ns / 2));
        const std::string tip = title(std::to_string(s.count) + " " + what + ", mean " +
                                      delay_text(ms_of(std::llround(s.mean_ns)), 1) + " ms, " +
                                      delay_text(ms_of(s.min_ns), 1) + " to " + delay_text(ms_of(s.max_ns), 1) + " ms");
        if (s.max_ns > s.min_ns)
            svg += "<path class=\"" + css + " bar\" d=\"M" + px(x) + " " + px(chart.y()(ms_of(s.max_ns))) + "V" +
                   px(chart.y()(ms_of(s.min_ns))) + "\">" + tip + "</path>";
        svg += "<circle class=\"" + css + "\" cx=\"" + px(x) + "\" cy=\"" +
               px(chart.y()(ms_of(std::llround(s.mean_ns)))) + "\" r=\"2.5\">" + tip + "</circle>";
    }
    return svg;
}

void time_ticks(SvgChart* chart, const TimeAxis& time)
{
    const double step = nice_step((time.ms.hi - time.ms.lo) / time.unit_ms, 10) * time.unit_ms;
    chart->x_axis(std::string("Recording time (") + time.unit + ")", step, time.unit_ms);
}

std::string base64(const std::string& bytes)
{
    const std::unique_ptr<gchar, decltype(&g_free)> text(
        g_base64_encode(reinterpret_cast<const guchar*>(bytes.data()), bytes.size()), g_free);
    return text.get();
}

// The picture as an SVG image covering `width` x `height` captured pixels; empty without one.
std::string snapshot_image(const CheckSnapshot& snapshot)
{
    const ShrunkSnapshot shrunk = snapshot_shrink(snapshot, kSnapshotMaxWidth);
    const std::string png = png_encode_rgb(shrunk.image.rgb.data(), shrunk.image.width, shrunk.image.height);
    if (png.empty())
        return "";
    return "<image width=\"" + std::to_string(shrunk.image.width * shrunk.factor) + "\" height=\"" +
           std::to_string(shrunk.image.height * shrunk.factor) +
           "\" preserveAspectRatio=\"none\" href=\"data:image/png;base64," + base64(png) + "\"/>";
}

} // namespace

TimeAxis time_axis(const CheckResult& r)
{
    Range span{INFINITY, -INFINITY};
    if (r.streams.end_ns > r.streams.start_ns) {
        span = {ms_of(r.streams.start_ns), ms_of(r.streams.end_ns)};
    } else {
        if (r.video.timeline.count > 0) {
            include(&span, ms_of(r.video.timeline.start_ns));
            include(&span, ms_of(r.video.timeline.end_ns));
        }
        for (const SyncEvent& e : r.pairing.events) {
            include(&span, ms_of(e.video_ns));
            include(&span, ms_of(e.audio_ns));
        }
        for (const Flash& f : r.pairing.missing_beeps)
            include(&span, ms_of(f.video_ns));
        for (int64_t t : r.pairing.unmatched_beeps)
            include(&span, ms_of(t));
    }
    if (!(span.hi > span.lo)) // one instant, or nothing at all: a second from there
        span = span.lo <= span.hi ? Range{span.lo, span.lo + 1000} : Range{0, 1000};
    TimeAxis axis{span};
    if (span.hi - span.lo > 20 * 60000) {
        axis.unit_ms = 60000;
        axis.unit = "min";
    }
    return axis;
}

std::string marker_label(const CheckMarker& m)
{
    if (m.role == MarkerRole::FrameId)
        return "frame bit " + std::to_string(m.bit);
    if (m.role == MarkerRole::LipSync)
        return "lip-sync";
    return name_of(m.role);
}

std::string delay_plot(const CheckResult& r, const TimeAxis& time)
{
    const SyncPairing& p = r.pairing;
    if (p.events.empty() && p.missing_beeps.empty() && p.unmatched_beeps.empty())
        return "";
    const Range band = tolerance_band(r);
    Range delays = band;
    for (const SyncEvent& e : p.events)
        include(&delays, ms_of(e.delay_ns));
    const Range y = padded(delays, 0.08, 10);
    const double y_step = nice_step(y.hi - y.lo, 6);
    SvgChart chart("delay-plot", "Lip-sync delay of each event against recording time", ChartFrame{}, time.ms, y);
    chart.add_plot(horizontal_band(chart, band, "band"));
    if (y.lo < 0 && y.hi > 0)
        chart.add_plot(horizontal_line(chart, 0, "zero"));
    chart.add_plot(drift_line(r, chart));
    chart.add_plot(step_marks(r.steps, chart));
    chart.add_plot(event_marks(r, chart));
    std::vector<int64_t> flashes;
    for (const Flash& f : p.missing_beeps)
        flashes.push_back(f.video_ns);
    chart.add_plot(edge_marks(flashes, chart, true, "missing", "flashes without a beep"));
    chart.add_plot(edge_marks(p.unmatched_beeps, chart, false, "unmatched", "beeps without a flash"));
    time_ticks(&chart, time);
    chart.y_axis("Delay (ms), + audio lags", y_step);
    return chart.svg();
}

std::string latency_plot(const CheckLatency& l)
{
    const LatencyTrace* traces[] = {&l.video.trace, &l.audio.trace};
    int64_t origin = INT64_MAX, end = INT64_MIN;
    Range latencies{INFINITY, -INFINITY};
    for (const LatencyTrace* t : traces) {
        if (t->stretches.empty())
            continue;
        origin = std::min(origin, t->start_ns);
        end = std::max(end, t->start_ns + int64_t(t->stretches.size()) * t->step_ns);
        for (const LatencyStretch& s : t->stretches)
            if (s.count > 0) {
                include(&latencies, ms_of(s.min_ns));
                include(&latencies, ms_of(s.max_ns));
            }
    }
    if (!(latencies.hi >= latencies.lo))
        return "";
    const Range x{0, ms_of(end - origin)};
    const Range y = padded(latencies, 0.08, 10);
    SvgChart chart("latency-plot", "Latency of the picture and the sound against sending time", ChartFrame{}, x, y);
    chart.add_plot(latency_marks(l.video.trace, origin, chart, "in", "frames"));
    chart.add_plot(latency_marks(l.audio.trace, origin, chart, "sound", "beeps"));
    const bool minutes = x.hi > 20 * 60000;
    const double unit = minutes ? 60000 : 1000;
    chart.x_axis(std::string("Sending time since the first pair (") + (minutes ? "min" : "s") + ")",
                 nice_step(x.hi / unit, 10) * unit, unit);
    chart.y_axis("Latency (ms), sending to arrival", nice_step(y.hi - y.lo, 6));
    return chart.svg();
}

DelayBins delay_bins(std::vector<double> delays)
{
    std::erase_if(delays, [](double d) { return !std::isfinite(d); });
    DelayBins bins;
    if (delays.empty())
        return bins;
    std::sort(delays.begin(), delays.end());
    const auto quantile = [&](double q) {
        const double at = q * double(delays.size() - 1);
        const size_t below = size_t(at);
        const double above = delays[std::min(below + 1, delays.size() - 1)];
        return delays[below] + (above - delays[below]) * (at - double(below));
    };
    const double q1 = quantile(0.25), q3 = quantile(0.75);
    // Identical delays have no spread: events a few tenths of a millisecond off are not strays.
    const double spread = std::max(q3 - q1, kMinHistogramSpan / 2);
    // The bins run from the smallest to the largest delay inside the fences.
    const double lo = *std::lower_bound(delays.begin(), delays.end(), q1 - kFarOut * spread);
    const double hi = *std::prev(std::upper_bound(delays.begin(), delays.end(), q3 + kFarOut * spread));
    bins.width = nice_step(std::max(hi - lo, kMinHistogramSpan), kHistogramBins);
    // Delays are decimal, bin edges binary: a delay on an edge goes to the bin it starts.
    const auto bin_of = [&](double d) { return std::floor(d / bins.width + 1e-9); };
    bins.first = bin_of(lo) * bins.width;
    bins.counts.resize(size_t(bin_of(hi) - bin_of(lo)) + 1);
    bins.lowest = delays.front();
    bins.highest = delays.back();
    for (double d : delays) {
        if (d < lo)
            bins.below++;
        else if (d > hi)
            bins.above++;
        else
            bins.counts[std::min(bins.counts.size() - 1, size_t(bin_of(d) - bin_of(lo)))]++;
    }
    return bins;
}

namespace {

// The histogram's parts, drawn into one chart of the bins' scale.
class HistogramDrawing {
public:
    HistogramDrawing(const DelayBins& bins, SvgChart* chart)
        : bins_(bins), chart_(*chart), w_(bins.width), end_(bins.first + double(bins.counts.size()) * bins.width)
    {
    }

    void band(Range band)
    {
        const ChartFrame& f = chart_.frame();
        const double left = std::max(chart_.x()(std::max(band.lo, bins_.first)), f.plot_left() - 1);
        const double right = std::min(chart_.x()(std::min(band.hi, end_)), f.plot_right() + 1);
        if (right > left)
            chart_.add_plot("<rect class=\"band\" x=\"" + px(left) + "\" y=\"" + px(f.plot_top()) + "\" width=\"" +
                            px(right - left) + "\" height=\"" + px(f.plot_bottom() - f.plot_top()) + "\"/>");
    }

    void bins()
    {
        const int decimals = step_decimals(w_) + 1;
        for (size_t i = 0; i < bins_.counts.size(); i++) {
            const double lo = bins_.first + double(i) * w_;
            if (bins_.counts[i] > 0)
                bar(lo, bins_.counts[i], "bin", fixed(lo, decimals) + "\u2026" + fixed(lo + w_, decimals) + " ms");
        }
    }

    // The events beyond the fences, a bin apart at either end, with the axis broken before them.
    void strays()
    {
        stray(bins_.first - 2 * w_, bins_.below, bins_.lowest, "below");
        stray(end_ + w_, bins_.above, bins_.highest, "above");
        const double bottom = chart_.frame().plot_bottom();
        for (const auto& [gap, count] : {std::pair{bins_.first - w_ / 2, bins_.below}, std::pair{end_ + w_ / 2, bins_.above}})
            if (count > 0)
                chart_.add_over("<path class=\"axis-break\" d=\"M" + px(chart_.x()(gap) - 5) + " " + px(bottom + 5) +
                                "l4 -10M" + px(chart_.x()(gap) + 1) + " " + px(bottom + 5) + "l4 -10\"/>");
    }

    // A vertical line at a figure when it lies on the bins, and its label in the `row`-th line.
    void figure(double value_ns, const char* css, int row)
    {
        const ChartFrame& f = chart_.frame();
        const double value = value_ns / double(kNsPerMs);
        const bool on_scale = value >= bins_.first && value <= end_;
        const double at = on_scale ? chart_.x()(value) : value < bins_.first ? f.plot_left() : f.plot_right();
        if (on_scale)
            chart_.add_plot("<path class=\"" + std::string(css) + "\" d=\"M" + px(at) + " " + px(f.plot_top()) + "V" +
                            px(f.plot_bottom()) + "\"/>");
        const bool right_half = at > (f.plot_left() + f.plot_right()) / 2;
        chart_.add_over("<text class=\"" + std::string(css) + "-label\" x=\"" + px(at + (right_half ? -5 : 5)) +
                        "\" y=\"" + px(f.plot_top() + 14 + 15 * row) + "\" text-anchor=\"" +
                        (right_half ? "end" : "start") + "\">" + css + " " + fixed(report_ms(value_ns), 3) + " ms" +
                        (on_scale ? "" : ", off the bins") + "</text>");
    }

private:
    void bar(double lo, size_t count, const std::string& css, const std::string& what)
    {
        const double left = chart_.x()(lo), right = chart_.x()(lo + w_), top = chart_.y()(double(count));
        chart_.add_plot("<rect class=\"" + css + "\" x=\"" + px(left) + "\" y=\"" + px(top) + "\" width=\"" +
                        px(std::max(right - left - 1, 1.0)) + "\" height=\"" + px(chart_.frame().plot_bottom() - top) +
                        "\">" + title(what + ": " + std::to_string(count) + (count == 1 ? " event" : " events")) +
                        "</rect>");
    }

    void stray(double lo, size_t count, double extreme, const char* side)
    {
        if (count == 0)
            return;
        bar(lo, count, "bin stray", std::string(side) + " the bins, as far as " + delay_text(extreme, 3) + " ms");
        chart_.add_over("<text class=\"stray-label\" x=\"" + px(chart_.x()(lo + w_ / 2)) + "\" y=\"" +
                        px(chart_.y()(double(count)) - 5) + "\" text-anchor=\"middle\">" + delay_text(extreme, 1) +
                        "</text>");
    }

    const DelayBins& bins_;
    SvgChart& chart_;
    const double w_, end_;
};

} // namespace

std::string delay_histogram(const CheckResult& r)
{
    std::vector<double> delays;
    for (const SyncEvent& e : r.pairing.events)
        delays.push_back(ms_of(e.delay_ns));
    const DelayBins bins = delay_bins(delays);
    if (bins.counts.empty())
        return "";
    const double w = bins.width, end = bins.first + double(bins.counts.size()) * w;
    size_t most = std::max(bins.below, bins.above);
    for (size_t count : bins.counts)
        most = std::max(most, count);
    // A gap of one bin and one more bin at either end for the events beyond the bins.
    const Range x{bins.first - (bins.below > 0 ? 3 : 1) * w, end + (bins.above > 0 ? 3 : 1) * w};
    const Range y{0, double(most) * 1.3 + 0.5};
    ChartFrame frame;
    frame.height = 260;
    SvgChart chart("delay-histogram", "Number of events per delay", frame, x, y);
    HistogramDrawing drawing(bins, &chart);
    drawing.band(tolerance_band(r));
    drawing.bins();
    drawing.strays();
    drawing.figure(r.statistics.median_ns, "median", 0);
    drawing.figure(r.statistics.mean_ns, "mean", 1);
    chart.x_axis("Delay (ms), + audio lags", nice_step(end - bins.first + 2 * w, 10), 1, Range{bins.first - w, end + w});
    chart.y_axis("Events", std::max(1.0, nice_step(y.hi, 5)));
    return chart.svg();
}

std::string frame_timeline(const CheckResult& r, const TimeAxis& time)
{
    const TimelineSketch& t = r.video.timeline;
    if (t.count == 0)
        return "";
    Range durations{0, 0};
    for (const TimelineBin& bin : t.bins)
        if (bin.frames > 0)
            include(&durations, ms_of(bin.max_duration_ns));
    const double nominal = r.streams.framerate > 0 ? 1000 / r.streams.framerate : 0;
    include(&durations, nominal * 1.5);
    ChartFrame frame;
    frame.height = 280;
    // Room at the top for three lanes of fault marks above the tallest duration.
    const double plot_height = frame.plot_bottom() - frame.plot_top();
    const double reserved = (3 * kLaneHeight + 6) / plot_height;
    const Range y{0, std::max(durations.hi, 1.0) * 1.05 / (1 - reserved)};
    SvgChart chart("frame-timeline", "Display duration of each captured frame against recording time", frame, time.ms,
                   y);
    const std::map<int, ColumnFrames> columns = timeline_columns(t, chart);
    chart.add_plot(span_bands(t, columns, chart));
    chart.add_plot(outage_bands(r.outages, chart));
    if (nominal > 0)
        chart.add_plot(horizontal_line(chart, nominal, "nominal"));
    chart.add_plot(duration_strokes(t, columns, chart));
    chart.add_plot(fault_lane(columns, chart, 0, "dropped", "source frames dropped", &ColumnFrames::dropped));
    chart.add_plot(fault_lane(columns, chart, 1, "repeated", "captured frames repeating a shown frame",
                              &ColumnFrames::repeated));
    chart.add_plot(fault_lane(columns, chart, 2, "unreadable", "captured frames unreadable", &ColumnFrames::unreadable));
    time_ticks(&chart, time);
    chart.y_axis("Shown for (ms)", nice_step(y.hi, 5));
    return chart.svg();
}

namespace {

// What changed beside the markers and was not read: one dashed outline, no label.
std::string ignored_area_outline(const CheckArea& a, double stroke)
{
    const std::string box =
        "x=\"" + px(a.x) + "\" y=\"" + px(a.y) + "\" width=\"" + px(a.width) + "\" height=\"" + px(a.height) + "\"";
    return "<g class=\"marker other ignored\"><title>changing area, not read</title><rect class=\"halo\" " + box +
           "/><rect class=\"outline\" stroke-dasharray=\"" + px(4 * stroke) + " " + px(3 * stroke) + "\" " + box +
           "/></g>";
}

} // namespace

std::string marker_map(const CheckResult& r)
{
    const CheckSnapshot& snap = r.video.snapshot;
    const std::string image = snapshot_image(snap);
    int width = image.empty() ? r.streams.width : snap.width;
    int height = image.empty() ? r.streams.height : snap.height;
    for (const CheckMarker& m : r.video.markers) {
        width = std::max(width, m.x + m.width);
        height = std::max(height, m.y + m.height);
    }
    for (const CheckArea& a : r.video.ignored_areas) {
        width = std::max(width, a.x + a.width);
        height = std::max(height, a.y + a.height);
    }
    if (image.empty() && r.video.markers.empty())
        return "";
    if (width <= 0 || height <= 0)
        return "";
    const double unit = width / 900.0; // captured pixels per screen pixel at the usual page width
    const double stroke = 2.5 * unit, font = 13 * unit;
    std::string svg = "<svg id=\"marker-map\" class=\"picture\" viewBox=\"0 0 " + std::to_string(width) + " " +
                      std::to_string(height) + "\" role=\"img\" style=\"--stroke:" + px(stroke) +
                      "px;--font:" + px(font) + "px\">" +
                      title("A captured frame with the markers that were read, outlined by role");
    svg += image.empty() ? "<rect class=\"no-picture\" width=\"" + std::to_string(width) + "\" height=\"" +
                               std::to_string(height) + "\"/>"
                         : image;
    for (const CheckMarker& m : r.video.markers) {
        const std::string css = m.role == MarkerRole::Unknown ? "other" : name_of(m.role);
        const double gap = stroke;
        const std::string box = "x=\"" + px(m.x - gap) + "\" y=\"" + px(m.y - gap) + "\" width=\"" +
                                px(m.width + 2 * gap) + "\" height=\"" + px(m.height + 2 * gap) + "\"";
        const bool label_below = m.y - gap - font * 1.2 < 0;
        const double label_y = label_below ? m.y + m.height + gap + font : m.y - gap - font * 0.35;
        svg += "<g class=\"marker " + css + "\"><rect class=\"halo\" " + box + "/><rect class=\"outline\" " + box +
               "/><text x=\"" + px(m.x - gap) + "\" y=\"" + px(label_y) + "\">" + marker_label(m) + "</text></g>";
    }
    for (const CheckArea& a : r.video.ignored_areas)
        svg += ignored_area_outline(a, stroke);
    return svg + "</svg>";
}

} // namespace skelv
