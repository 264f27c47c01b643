#include "compare/compare_html.h"

#include "outputs/html_text.h"
#include "outputs/svg_chart.h"
#include "rules/time_units.h"

#include <algorithm>
#include <cmath>

namespace skelv {

namespace {

constexpr int kBins = 40;          // about this many bins over the common axis
constexpr double kTrim = 0.005;    // the axis spans both sides' 0.5 to 99.5 % quantiles; the rest sits in the end bins
constexpr double kMinSpanMs = 2;   // identical delays still get a readable axis

constexpr char kStyle[] = R"(
body{margin:0;font:15px/1.45 system-ui,-apple-system,"Segoe UI",Roboto,"DejaVu Sans",sans-serif;color:#1d1d1f}
main{max-width:980px;margin:0 auto;padding:0 20px 40px}
h1{font-size:1.3em}h2{font-size:1.15em;margin-top:28px;border-bottom:1px solid #d9d9de}
pre{background:#f5f5f7;padding:10px;white-space:pre-wrap}
table{border-collapse:collapse;font-variant-numeric:tabular-nums}th,td{text-align:left;padding:3px 14px 3px 0}
svg{display:block;width:100%;height:auto}svg text{font-size:12px;fill:#1d1d1f}svg .title{font-size:13px;fill:#5f6368}
.frame{fill:none;stroke:#9a9aa0}.grid{stroke:#ececf0}.axes path{stroke:#9a9aa0}
.bin-a{fill:rgba(31,95,191,.45)}.bin-b{fill:rgba(224,123,0,.45)}
.median-a{stroke:#1f5fbf;stroke-width:2}.median-b{stroke:#e07b00;stroke-width:2}
.key-a{color:#1f5fbf;font-weight:600}.key-b{color:#e07b00;font-weight:600}
)";

double quantile(const std::vector<double>& sorted, double q)
{
    return sorted[size_t(q * double(sorted.size() - 1))];
}

std::vector<double> sorted_ms(const std::vector<int64_t>& delays_ns)
{
    std::vector<double> ms;
    for (int64_t d : delays_ns)
        ms.push_back(ms_of(d));
    std::sort(ms.begin(), ms.end());
    return ms;
}

// Share of a side's delays in each bin of width `width` from `first`, the strays in the end bins.
std::vector<double> shares(const std::vector<double>& delays, double first, double width, size_t bins)
{
    std::vector<double> share(bins, 0.0);
    for (double d : delays) {
        const double at = std::clamp(std::floor((d - first) / width), 0.0, double(bins - 1));
        share[size_t(at)] += 1.0 / double(delays.size());
    }
    return share;
}

std::string bars(const SvgChart& chart, const std::vector<double>& share, double first, double width, const char* css)
{
    std::string svg;
    const double bottom = chart.y()(0);
    for (size_t i = 0; i < share.size(); i++) {
        if (share[i] <= 0)
            continue;
        const double left = chart.x()(first + double(i) * width), right = chart.x()(first + double(i + 1) * width);
        const double top = chart.y()(share[i] * 100);
        svg += "<rect class=\"" + std::string(css) + "\" x=\"" + px(left) + "\" y=\"" + px(top) + "\" width=\"" +
               px(std::max(1.0, right - left - 1)) + "\" height=\"" + px(bottom - top) + "\"><title>" +
               fixed(share[i] * 100, 1) + " %</title></rect>";
    }
    return svg;
}

std::string median_line(const SvgChart& chart, const std::optional<int64_t>& median_ns, const char* css)
{
    if (!median_ns)
        return "";
    const double x = chart.x()(ms_of(*median_ns));
    return "<path class=\"" + std::string(css) + "\" d=\"M" + px(x) + " " + px(chart.frame().plot_top()) + "V" +
           px(chart.frame().plot_bottom()) + "\"/>";
}

std::string histograms(const Comparison& c)
{
    const std::vector<double> a = sorted_ms(c.a.delays_ns), b = sorted_ms(c.b.delays_ns);
    if (a.empty() || b.empty())
        return "<p>A side has no event: nothing to draw.</p>";
    double lo = std::min(quantile(a, kTrim), quantile(b, kTrim));
    double hi = std::max(quantile(a, 1 - kTrim), quantile(b, 1 - kTrim));
    const double width = nice_step(std::max(hi - lo, kMinSpanMs), kBins);
    lo = std::floor(lo / width) * width;
    const size_t bins = size_t(std::floor((hi - lo) / width)) + 1;
    const std::vector<double> share_a = shares(a, lo, width, bins), share_b = shares(b, lo, width, bins);
    const double top = std::max(*std::max_element(share_a.begin(), share_a.end()),
                                *std::max_element(share_b.begin(), share_b.end())) * 100;
    const Range x{lo, lo + double(bins) * width};
    SvgChart chart("delays", "Lip-sync delays of A and B, share of each side's events per bin", ChartFrame{},
                   padded(x, 0.02, kMinSpanMs), Range{0, top * 1.08});
    chart.add_plot(bars(chart, share_a, lo, width, "bin-a") + bars(chart, share_b, lo, width, "bin-b"));
    chart.add_plot(median_line(chart, c.a.median_ns, "median-a") + median_line(chart, c.b.median_ns, "median-b"));
    chart.x_axis("Delay (ms), + audio lags", nice_step(x.hi - x.lo, 10));
    chart.y_axis("Events (%)", nice_step(top, 5));
    return chart.svg();
}

std::string median_cell(const std::optional<int64_t>& median_ns)
{
    return median_ns ? fixed(ms_of(*median_ns), 1) + " ms" : "\u2014";
}

std::string tag_rows(const char* side, const SideFigures& s)
{
    std::string html;
    for (const TagRow& row : s.tag_rows)
        html += "<tr><td>" + std::string(side) + "</td><td>" + html_escape(row.key) + "</td><td>" +
                html_escape(row.value) + "</td><td>" + std::to_string(row.runs) + "</td><td>" +
                std::to_string(row.events) + "</td><td>" + median_cell(row.median_ns) + "</td></tr>";
    return html;
}

std::string tag_table(const Comparison& c)
{
    const std::string rows = tag_rows("A", c.a) + tag_rows("B", c.b);
    if (rows.empty())
        return "<p>No result carries tags.</p>";
    return "<table><thead><tr><th>Side</th><th>Tag</th><th>Value</th><th>Results</th><th>Events</th>"
           "<th>Median delay</th></tr></thead><tbody>" + rows + "</tbody></table>";
}

} // namespace

std::string comparison_html(const Comparison& c)
{
    const char* verdict = !c.shift ? "Nothing to compare" : c.changed() ? "Changed" : "No change";
    return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
           "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
           "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; style-src 'unsafe-inline'\">"
           "<meta name=\"generator\" content=\"skelv-check compare\"><title>" + std::string(verdict) +
           " \u2014 skelv-check compare</title><style>" + kStyle + "</style></head><body><main>"
           "<h1>" + verdict + ": <span class=\"key-a\">A</span> against <span class=\"key-b\">B</span></h1>"
           "<pre>" + html_escape(comparison_text(c)) + "</pre>"
           "<section id=\"distributions\"><h2>Delay distributions</h2>" + histograms(c) +
           "<p>Bars: <span class=\"key-a\">A</span> and <span class=\"key-b\">B</span>, each as a share of its own "
           "events; lines at their medians. Delays beyond the axis are counted in its end bins.</p></section>"
           "<section id=\"tags\"><h2>Tags</h2>" + tag_table(c) + "</section></main></body></html>\n";
}

} // namespace skelv
