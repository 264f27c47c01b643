#include "batch/batch_trend.h"

#include "outputs/html_text.h"
#include "outputs/svg_chart.h"

#include <algorithm>
#include <cmath>
#include <functional>

namespace skelv {

using nlohmann::json;

namespace {

constexpr size_t kColours = 6; // group colours, then again from the first
constexpr double kMinSpanMs = 2;

std::optional<double> number(const json& figures, const char* key)
{
    const json value = figures.value(key, json(nullptr));
    return value.is_number() ? std::optional<double>(value.get<double>()) : std::nullopt;
}

std::optional<double> percent_dropped(double dropped, double shown)
{
    return dropped + shown > 0 ? std::optional<double>(100 * dropped / (dropped + shown)) : std::nullopt;
}

TrendRun run_of(const EntryStatus& status)
{
    const json& f = status.figures;
    TrendRun run{status.finished, number(f, "median_ms"), std::nullopt, number(f, "band_lo_ms"), number(f, "band_hi_ms"),
                 status.outcome == EntryOutcome::Pass};
    if (const auto dropped = number(f, "dropped"), shown = number(f, "shown"); dropped && shown)
        run.drop_percent = percent_dropped(*dropped, *shown);
    return run;
}

std::string tag_value(const EntryStatus& status, const std::string& key)
{
    const json tags = status.figures.value("tags", json::object());
    return tags.is_object() && tags.value(key, json()).is_string() ? tags[key].get<std::string>() : "";
}

std::optional<double> median_of(std::vector<double> values)
{
    if (values.empty())
        return std::nullopt;
    std::sort(values.begin(), values.end());
    const size_t mid = values.size() / 2;
    return values.size() % 2 == 1 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

// The group's own figures from its runs and their rows' counts.
void settle_group(TrendGroup* group, const Trend& trend, const std::vector<const EntryStatus*>& statuses)
{
    std::vector<double> medians;
    double dropped = 0, shown = 0;
    for (size_t i : group->runs) {
        if (trend.runs[i].median_ms)
            medians.push_back(*trend.runs[i].median_ms);
        dropped += number(statuses[i]->figures, "dropped").value_or(0);
        shown += number(statuses[i]->figures, "shown").value_or(0);
        group->passes += trend.runs[i].pass ? 1 : 0;
    }
    group->median_ms = median_of(medians);
    group->drop_percent = percent_dropped(dropped, shown);
}

std::string cell(const std::optional<double>& value, int decimals, const char* unit)
{
    return value ? fixed(*value, decimals) + unit : "\u2014";
}

std::string group_name(const Trend& trend, const TrendGroup& group)
{
    return group.value.empty() ? "(no " + trend.key + ")" : group.value;
}

std::string group_table(const Trend& trend)
{
    std::string html = "<table class=\"trend\"><thead><tr><th>" + html_escape(trend.key) +
                       "</th><th>Runs</th><th>Passed</th><th>Median delay</th><th>Dropped</th></tr></thead><tbody>\n";
    for (size_t g = 0; g < trend.groups.size(); g++) {
        const TrendGroup& group = trend.groups[g];
        html += "<tr><td><span class=\"g" + std::to_string(g % kColours) + "\">\u25cf</span> " +
                html_escape(group_name(trend, group)) + "</td><td class=\"n\">" + std::to_string(group.runs.size()) +
                "</td><td class=\"n\">" + std::to_string(group.passes) + "</td><td class=\"n\">" +
                cell(group.median_ms, 1, " ms") + "</td><td class=\"n\">" + cell(group.drop_percent, 3, " %") +
                "</td></tr>\n";
    }
    return html + "</tbody></table>\n";
}

using RunFigure = std::function<std::optional<double>(const TrendRun&)>;

// Each group's runs as points joined by a line, at their place in the order of all runs.
std::string series(const SvgChart& chart, const Trend& trend, const RunFigure& figure)
{
    std::string svg;
    for (size_t g = 0; g < trend.groups.size(); g++) {
        std::string line, dots;
        for (size_t i : trend.groups[g].runs) {
            const std::optional<double> value = figure(trend.runs[i]);
            if (!value)
                continue;
            const std::string x = px(chart.x()(double(i + 1))), y = px(chart.y()(*value));
            line += (line.empty() ? "M" : "L") + x + " " + y;
            dots += "<circle cx=\"" + x + "\" cy=\"" + y + "\" r=\"3.5\"><title>" +
                    html_escape(group_name(trend, trend.groups[g]) + ", " + trend.runs[i].finished + ": " +
                                fixed(*value, 3)) + "</title></circle>";
        }
        const std::string colour = "g" + std::to_string(g % kColours);
        svg += "<path class=\"line " + colour + "\" d=\"" + line + "\"/><g class=\"" + colour + "\">" + dots + "</g>";
    }
    return svg;
}

// The latest run's band: runs judged by other bands are told apart in the note.
std::optional<Range> latest_band(const Trend& trend)
{
    for (auto run = trend.runs.rbegin(); run != trend.runs.rend(); ++run)
        if (run->band_lo_ms && run->band_hi_ms)
            return Range{*run->band_lo_ms, *run->band_hi_ms};
    return std::nullopt;
}

Range values_range(const Trend& trend, const RunFigure& figure, Range start)
{
    for (const TrendRun& run : trend.runs)
        if (const std::optional<double> value = figure(run)) {
            start.lo = std::min(start.lo, *value);
            start.hi = std::max(start.hi, *value);
        }
    return start;
}

Range run_axis(const Trend& trend)
{
    return padded(Range{1, double(std::max<size_t>(trend.runs.size(), 2))}, 0.03, 1);
}

std::string delay_plot(const Trend& trend)
{
    const RunFigure median = [](const TrendRun& r) { return r.median_ms; };
    const std::optional<Range> band = latest_band(trend);
    const Range y = padded(values_range(trend, median, band.value_or(Range{0, 0})), 0.08, kMinSpanMs);
    SvgChart chart("trend-delay", "Median lip-sync delay of each run, in the order of the runs, by " + trend.key,
                   ChartFrame{}, run_axis(trend), y);
    if (band) {
        const double top = chart.y()(band->hi), bottom = chart.y()(band->lo);
        chart.add_plot("<rect class=\"band\" x=\"" + px(chart.frame().plot_left()) + "\" y=\"" + px(top) + "\" width=\"" +
                       px(chart.frame().plot_right() - chart.frame().plot_left()) + "\" height=\"" +
                       px(bottom - top) + "\"/>");
    }
    chart.add_plot(series(chart, trend, median));
    chart.x_axis("Run, in the order they finished", std::max(1.0, nice_step(double(trend.runs.size()), 10)));
    chart.y_axis("Median delay (ms), + audio lags", nice_step(y.hi - y.lo, 6));
    return chart.svg();
}

std::string drop_plot(const Trend& trend)
{
    const RunFigure dropped = [](const TrendRun& r) { return r.drop_percent; };
    const Range values = values_range(trend, dropped, Range{0, 0});
    const Range y{0, std::max(values.hi, 0.01) * 1.1};
    SvgChart chart("trend-drops", "Share of source frames dropped in each run, in the order of the runs, by " + trend.key,
                   ChartFrame{}, run_axis(trend), y);
    chart.add_plot(series(chart, trend, dropped));
    chart.x_axis("Run, in the order they finished", std::max(1.0, nice_step(double(trend.runs.size()), 10)));
    chart.y_axis("Dropped (%)", nice_step(y.hi, 5));
    return chart.svg();
}

bool bands_differ(const Trend& trend)
{
    const std::optional<Range> band = latest_band(trend);
    return std::any_of(trend.runs.begin(), trend.runs.end(), [&](const TrendRun& r) {
        return band && r.band_lo_ms && r.band_hi_ms && (*r.band_lo_ms != band->lo || *r.band_hi_ms != band->hi);
    });
}

} // namespace

Trend trend_of(const std::vector<BatchRow>& rows, const std::string& key)
{
    std::vector<const EntryStatus*> statuses;
    for (const BatchRow& row : rows)
        statuses.push_back(&row.status);
    std::stable_sort(statuses.begin(), statuses.end(),
                     [](const EntryStatus* a, const EntryStatus* b) { return a->finished < b->finished; });
    Trend trend{key, {}, {}};
    for (size_t i = 0; i < statuses.size(); i++) {
        trend.runs.push_back(run_of(*statuses[i]));
        const std::string value = tag_value(*statuses[i], key);
        auto group = std::find_if(trend.groups.begin(), trend.groups.end(),
                                  [&](const TrendGroup& g) { return g.value == value; });
        if (group == trend.groups.end())
            group = trend.groups.insert(trend.groups.end(), TrendGroup{value, {}, {}, {}, 0});
        group->runs.push_back(i);
    }
    for (TrendGroup& group : trend.groups)
        settle_group(&group, trend, statuses);
    return trend;
}

std::string trend_html(const Trend& trend)
{
    std::string html = "<section id=\"trend\"><h2>Trend by " + html_escape(trend.key) + "</h2>\n" + group_table(trend);
    if (trend.runs.empty())
        return html + "</section>\n";
    html += delay_plot(trend) + drop_plot(trend);
    html += "<p>Each point is a run; the shaded band holds the delays its profile accepts";
    if (bands_differ(trend))
        html += " (the latest run's: some runs were judged by another)";
    return html + ".</p></section>\n";
}

} // namespace skelv
