#include "report/check_html.h"

#include "check/check_report.h"
#include "outputs/html_text.h"
#include "report/check_plots.h"
#include "rules/time_units.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace skelv {

namespace {

constexpr size_t kMaxTableRows = 2000; // rows of the events table; a long recording has tens of thousands

// Colours name what a mark means, the same in every plot and legend; the verdict and the
// picture keep their colours on paper.
constexpr char kStyle[] = R"(
:root{--in:#1f5fbf;--out:#d62728;--band:rgba(46,160,67,.16);--drift:#7b3fa0;--missing:#d62728;--unmatched:#e07b00;
--text:#1d1d1f;--muted:#5f6368;--rule:#d9d9de}
*{box-sizing:border-box}
body{margin:0;font:15px/1.45 system-ui,-apple-system,"Segoe UI",Roboto,"DejaVu Sans",sans-serif;color:var(--text);background:#fff}
main{max-width:980px;margin:0 auto;padding:0 20px 40px}
h1{font-size:1.05em;font-weight:600;color:var(--muted);margin:18px 0 6px;overflow-wrap:anywhere}
h2{font-size:1.2em;margin:28px 0 8px;border-bottom:1px solid var(--rule);padding-bottom:4px}
.banner{border-radius:10px;padding:16px 20px;color:#fff;-webkit-print-color-adjust:exact;print-color-adjust:exact}
.verdict-pass{background:#2e7d32}.verdict-fail{background:#c62828}.verdict-unmeasurable{background:#616161}
.banner .word{font-size:2.1em;font-weight:700;letter-spacing:.04em;line-height:1.1}
.banner .delay{font-size:1.35em;font-weight:600;margin-top:4px}
.banner .limits,.banner .judged{opacity:.95}
.note{color:var(--muted);font-style:italic}
ul.problems{padding-left:1.2em;margin:6px 0}
.figures{display:flex;flex-wrap:wrap;align-items:flex-start;gap:8px 40px}.figures table{flex:1 1 380px}
caption{text-align:left;font-weight:600;padding-bottom:4px}
table{border-collapse:collapse;font-variant-numeric:tabular-nums}
th,td{text-align:left;padding:3px 10px 3px 0;vertical-align:top}
.figures th,.facts th{font-weight:500;color:var(--muted);padding-right:18px;white-space:nowrap}
.facts ul{margin:0;padding-left:1.2em}
.events th{border-bottom:1px solid var(--rule);position:sticky;top:0;background:#fff}
.events td.num,.events th.num{text-align:right}
.events tr.out td,.events tr.missing_beep td,.events tr.unmatched_beep td{color:var(--out)}
svg{display:block;width:100%;height:auto}
svg text{font-size:12px;fill:var(--text)}
svg .title{font-size:13px;fill:var(--muted)}
.frame{fill:none;stroke:#9a9aa0}
.axes path{stroke:#9a9aa0}
.grid{stroke:#ececf0}
.band{fill:var(--band)}
.zero{stroke:#888;stroke-dasharray:4 3}
circle.in{fill:var(--in)}circle.out{fill:var(--out)}circle.sound{fill:var(--unmatched)}path.sound.bar{stroke:var(--unmatched)}
path.bar{stroke-width:3;stroke-linecap:round}path.in.bar{stroke:var(--in)}path.out.bar{stroke:var(--out)}
.drift{stroke:var(--drift);stroke-width:2;fill:none}
.step{stroke:#111;stroke-width:1.5;stroke-dasharray:6 4;fill:none}
path.missing{fill:var(--missing)}path.unmatched{fill:var(--unmatched)}
.axis-break{stroke:#555;stroke-width:1.5}.bin{fill:#5b7fb3}.bin.stray{fill:#a9b9d3}.stray-label{font-size:11px;fill:var(--muted)}
path.median{stroke:#111;stroke-width:2}path.mean{stroke:#111;stroke-width:1.5;stroke-dasharray:5 3}
.durations{stroke:#222;stroke-width:1.6;fill:none}
.nominal{stroke:#8fb0e0;stroke-dasharray:5 3}
path.dropped,path.repeated,path.unreadable{stroke-width:2;fill:none}
path.dropped{stroke:var(--out)}path.repeated{stroke:var(--unmatched)}path.unreadable{stroke:#777}
.span-header,.span-trailer{fill:#dcdce2}.span-locator{fill:#cfe0f3}.span-content{fill:#eaf5e3}
.span-content-odd{fill:#f8ecc8}.span-other{fill:#f4d4d4}
.span-label{fill:var(--muted);font-size:11px}
rect.outage{fill:rgba(214,39,40,.18);stroke:var(--out);stroke-dasharray:3 2}.key.outage{background:rgba(214,39,40,.18);border:1px dashed var(--out)}
.picture{max-height:70vh;background:#000}
.picture .no-picture{fill:#222}
.marker rect{fill:none}.marker .halo{stroke:#000;stroke-width:calc(var(--stroke) * 2)}
.marker .outline{stroke-width:var(--stroke)}
.marker text{font-size:var(--font);font-weight:700;paint-order:stroke;stroke:#000;stroke-width:calc(var(--stroke) * 1.5)}
.marker.sync .outline{stroke:#00e5ff}.marker.sync text{fill:#00e5ff}
.marker.frameid .outline{stroke:#ffd600}.marker.frameid text{fill:#ffd600}
.marker.lipsync .outline{stroke:#ff40ff}.marker.lipsync text{fill:#ff40ff}
.marker.other .outline{stroke:#fff}.marker.other text{fill:#fff}
ul.legend{list-style:none;padding:0;margin:6px 0 0;display:flex;flex-wrap:wrap;gap:4px 18px;font-size:.9em;color:var(--muted)}
.key{display:inline-block;width:14px;height:10px;margin-right:6px;vertical-align:middle;-webkit-print-color-adjust:exact;print-color-adjust:exact}
.key.dot{width:9px;height:9px;border-radius:50%}.key.in{background:var(--in)}.key.out{background:var(--out)}.key.sound{background:var(--unmatched)}
.key.band{background:var(--band);border:1px solid rgba(46,160,67,.5)}
.key.line{height:0;border-top:2px solid}.key.drift{border-color:var(--drift)}.key.median{border-color:#111}
.key.mean,.key.step{border-top:2px dashed #111}.key.nominal{border-top:2px dashed #8fb0e0}.key.durations{border-color:#333}
.key.tick{width:2px;height:10px}.key.dropped{background:var(--out)}.key.repeated{background:var(--unmatched)}
.key.unreadable{background:#777}.key.bin{background:#5b7fb3}.key.bin.stray{background:#a9b9d3}
.key.tri{width:auto;height:auto;background:none}.key.missing{color:var(--missing)}.key.unmatched{color:var(--unmatched)}
.key.span-header,.key.span-trailer{background:#dcdce2}.key.span-locator{background:#cfe0f3}
.key.span-content{background:#eaf5e3}.key.span-content-odd{background:#f8ecc8}.key.span-other{background:#f4d4d4}
.key.ignored{background:none;border:2px dashed #777}
.key.sync,.key.frameid,.key.lipsync{background:none;border:2px solid}.key.sync{border-color:#00b8cc}
.key.frameid{border-color:#e0bb00}.key.lipsync{border-color:#e030e0}
footer{margin-top:32px;color:var(--muted);font-size:.85em}
@media print{body{font-size:11pt}main{max-width:none;padding:0}section{break-inside:avoid}
.events th{position:static}details>summary{list-style:none}.picture{max-height:none}}
)";

std::string tagged(const std::string& pointer, const std::string& number)
{
    return "<span data-json=\"" + pointer + "\">" + number + "</span>";
}

std::string ms_figure(const std::string& pointer, double ns)
{
    return tagged(pointer, fixed(report_ms(ns), 3)) + " ms";
}

std::string count_figure(const std::string& pointer, int64_t count)
{
    return tagged(pointer, std::to_string(count));
}

std::string signed_number(double value, int decimals)
{
    const std::string text = fixed(value, decimals);
    return text[0] != '-' && text.find_first_not_of("0.") != std::string::npos ? "+" + text : text;
}

std::string plural(size_t count, const std::string& one, const std::string& many)
{
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

// Recording time as h:mm:ss.mmm, or m:ss.mmm under an hour.
std::string clock_text(int64_t ns)
{
    const bool negative = ns < 0;
    const long long total = std::llround(std::fabs(double(ns)) / double(kNsPerMs));
    const long long hours = total / 3600000, minutes = total / 60000 % 60, seconds = total / 1000 % 60,
                    millis = total % 1000;
    char text[48];
    if (hours > 0)
        snprintf(text, sizeof text, "%s%lld:%02lld:%02lld.%03lld", negative ? "-" : "", hours, minutes, seconds,
                 millis);
    else
        snprintf(text, sizeof text, "%s%lld:%02lld.%03lld", negative ? "-" : "", minutes, seconds, millis);
    return text;
}

// How the line time was measured, when it was.
std::string measured_words(const CheckVideo& v)
{
    if (!v.line_time_measurement)
        return "";
    const LineTimeEstimate& m = *v.line_time_measurement;
    return " (measured on " + tagged("/video/line_time_measurement/frames_fitted", std::to_string(m.edges_fitted)) +
           " frames that caught the screen changing inside the markers, to ±" +
           tagged("/video/line_time_measurement/uncertainty_us", shortest(std::round(m.uncertainty_ns) / 1000)) + " µs)";
}

// What was added to the flashes' times and taken off the sound's before pairing and judging,
// as sentences.
std::string corrections_words(const CheckResult& r)
{
    std::string text;
    const CheckVideo& v = r.video;
    if (v.line_time_ns > 0 && v.shutter_row >= 0)
        text += ". A rolling shutter exposed each row " + tagged("/video/line_time_us", shortest(double(v.line_time_ns) / 1000)) +
                " µs after the one above" + measured_words(v) + ": every flash is timed at the lip-sync marker's row " +
                tagged("/video/shutter_row", std::to_string(v.shutter_row)) + ", " +
                ms_figure("/video/shutter_correction_ms", double(v.shutter_offset_ns)) + " after its frame's time";
    if (r.mic)
        text += ". The microphone stood " + tagged("/audio/mic_distance_m", shortest(r.mic->metres)) +
                " m from the screen: every beep is taken " + ms_figure("/audio/travel_ms", double(r.mic->travel_ns)) +
                " earlier, the sound's travel at " + shortest(std::round(r.mic->speed_m_per_s * 10) / 10) + " m/s (" +
                shortest(r.mic->celsius) + " °C)";
    if (r.calibration) {
        const ChainCalibration& c = *r.calibration;
        text += ". The capture chain's own offset of " +
                tagged("/calibration/offset_ms", signed_number(ms_of(c.offset_ns), 3)) + " ms (measured on " +
                html_escape(c.reference) + " at " + html_escape(c.made) + ") is taken off every delay";
        if (r.statistics.count > 0)
            text += ": the median is " + tagged("/calibration/raw_median_ms", signed_number(report_ms(r.statistics.median_ns +
                                                                                             double(c.offset_ns)), 3)) +
                    " ms as measured, " + tagged("/sync/median_ms", signed_number(report_ms(r.statistics.median_ns), 3)) +
                    " ms corrected";
    }
    return text;
}

std::string limits_words(const CheckResult& r)
{
    const SyncProfile& p = r.profile;
    std::string text = html_escape(p.title) + ": audio may lead by at most " +
                       tagged("/profile/lead_ms", shortest(ms_of(p.lead_ns))) + " ms and lag by at most " +
                       tagged("/profile/lag_ms", shortest(ms_of(p.lag_ns))) + " ms";
    if (p.min_pass_fraction < 1)
        text += ", for " + shortest(p.min_pass_fraction * 100) + " % of the events";
    if (p.edge_ns > 0)
        text += " more than " + shortest(seconds_of(p.edge_ns)) + " s from either end";
    if (r.expected_delay_ns != 0)
        text += "; the designed offset of " + tagged("/expect_delay_ms", signed_number(ms_of(r.expected_delay_ns), 3)) +
                " ms is subtracted first";
    return text + corrections_words(r);
}

// `text` with a capital and a full stop, as the run's words may come without.
std::string as_sentence(std::string text)
{
    if (!text.empty() && text[0] >= 'a' && text[0] <= 'z')
        text[0] = char(text[0] - 'a' + 'A');
    if (!text.empty() && text.back() != '.')
        text += '.';
    return text;
}

// Why no verdict could be reached, in the run's own words.
std::string unmeasurable_reason(const CheckResult& r)
{
    return html_escape(as_sentence(r.unmeasurable_reason));
}

std::string judged_words(const SyncJudgement& j)
{
    if (j.within == j.judged)
        return j.judged == 1 ? "The one judged event lies within them."
                             : "All " + std::to_string(j.judged) + " judged events lie within them.";
    const size_t beyond = j.judged - j.within;
    return std::to_string(beyond) + " of " + plural(j.judged, "judged event", "judged events") +
           (beyond == 1 ? " lies" : " lie") + " beyond them.";
}

std::string verdict_banner(const CheckResult& r)
{
    const SyncVerdict verdict = r.judgement.verdict;
    const char* name = name_of(verdict);
    std::string html = "<header class=\"banner verdict-" + std::string(name) + "\" data-verdict=\"" + name + "\">";
    html += "<div class=\"word\">" + std::string(verdict_word(verdict)) + "</div>";
    const DelayStatistics& s = r.statistics;
    if (s.count > 0)
        html += "<div class=\"delay\">" + describe_delay(s.median_ns) + " <small>(median of " +
                plural(s.count, "event", "events") + ")</small></div>";
    if (verdict == SyncVerdict::Unmeasurable)
        html += "<div class=\"reason\">" + unmeasurable_reason(r) + "</div>";
    html += "<div class=\"limits\">" + limits_words(r) + "</div>";
    if (r.judgement.judged > 0)
        html += "<div class=\"judged\">" + judged_words(r.judgement) + "</div>";
    return html + "</header>";
}

std::string problems_section(const CheckResult& r)
{
    const std::vector<std::string> problems = check_problems(r);
    std::string html = "<section id=\"problems\"><h2>Problems found</h2>";
    if (problems.empty())
        return html + "<p class=\"note\">None.</p></section>";
    html += "<ul class=\"problems\">";
    for (const std::string& problem : problems)
        html += "<li>" + html_escape(problem) + "</li>";
    return html + "</ul></section>";
}

std::string row(const std::string& name, const std::string& value)
{
    return "<tr><th>" + name + "</th><td>" + value + "</td></tr>";
}

std::string drift_figure(const CheckResult& r)
{
    const DelayStatistics& s = r.statistics;
    const std::optional<Drift>& judged = r.steps.drift;
    if (!s.drift)
        return "unknown (needs two events at different times)";
    std::string text = tagged("/sync/drift_ms_per_min", signed_number(report_ms(s.drift->ns_per_min), 3)) + " ms/min";
    if (s.drift->ci95_low)
        text += ", 95 % interval " +
                tagged("/sync/drift_ci95_ms_per_min/0", signed_number(report_ms(*s.drift->ci95_low), 3)) + " \u2026 " +
                tagged("/sync/drift_ci95_ms_per_min/1", signed_number(report_ms(*s.drift->ci95_high), 3)) +
                (!judged || !judged->none() ? ""
                 : r.steps.steps.empty()    ? ": no drift"
                                            : "; no drift within the stretches between the steps");
    return text;
}

// "212.400 ms, median of 250 frames", or why it is missing.
std::string latency_figure(const std::string& pointer, const LatencyFigures& f, const char* unit)
{
    const DelayStatistics& s = f.statistics;
    if (s.count == 0)
        return std::string("not measured: no ") + unit + " paired with its sending";
    return ms_figure(pointer + "/median_ms", s.median_ns) + ", median of " +
           count_figure(pointer + "/count", int64_t(s.count)) + " " + unit + "s, from sending to arrival";
}

std::string latency_rows(const CheckLatency& l)
{
    if (!l.unmeasured_reason.empty())
        return row("Latency", "not measured: " + html_escape(l.unmeasured_reason));
    return row("Picture latency", latency_figure("/latency/video", l.video, "frame")) +
           row("Sound latency", latency_figure("/latency/audio", l.audio, "beep"));
}

std::string lipsync_figures(const CheckResult& r)
{
    const DelayStatistics& s = r.statistics;
    std::string rows = row("Events measured", count_figure("/sync/count", int64_t(s.count)));
    if (s.count > 0) {
        rows += row("Median delay", ms_figure("/sync/median_ms", s.median_ns));
        rows += row("Mean delay", ms_figure("/sync/mean_ms", s.mean_ns));
        rows += row("Standard deviation", ms_figure("/sync/sd_ms", s.sd_ns));
        rows += row("Smallest", ms_figure("/sync/min_ms", double(s.min.delay_ns)) + " at " + clock_text(s.min.video_ns));
        rows += row("Largest", ms_figure("/sync/max_ms", double(s.max.delay_ns)) + " at " + clock_text(s.max.video_ns));
        rows += row("Drift", drift_figure(r));
    }
    const SyncJudgement& j = r.judgement;
    if (j.judged > 0)
        rows += row("Within the limits", std::to_string(j.within) + " of " +
                                             count_figure("/sync/judged", int64_t(j.judged)) + " judged (" +
                                             fixed(j.pass_fraction * 100, 1) + " %)");
    if (r.untrusted_events > 0)
        rows += row("Not judged: timestamps broken", count_figure("/sync/untrusted_events", int64_t(r.untrusted_events)));
    rows += row("Flashes without a beep", std::to_string(r.pairing.missing_beeps.size()));
    rows += row("Beeps without a flash", std::to_string(r.pairing.unmatched_beeps.size()));
    rows += row("Beeps heard", count_figure("/audio/beeps", int64_t(r.audio.beeps)));
    if (r.latency)
        rows += latency_rows(*r.latency);
    return "<table class=\"lipsync\"><caption>Lip-sync</caption>" + rows + "</table>";
}

std::string frame_figures(const CheckVideo& v)
{
    std::string rows = row("Captured frames", count_figure("/video/frames", v.frames));
    rows += row("Content frames shown", count_figure("/video/source_frames_shown", v.source_frames_shown));
    rows += row("Dropped", count_figure("/video/dropped", v.dropped));
    rows += row("Repeated", count_figure("/video/repeated", v.repeated));
    rows += row("Out of order", count_figure("/video/out_of_order", v.out_of_order));
    rows += row("Unreadable", count_figure("/video/unreadable", v.unreadable));
    if (v.lost_by_tool > 0)
        rows += row("Lost by skelv-check", count_figure("/video/lost_by_tool", v.lost_by_tool));
    rows += row("Loops", count_figure("/video/loops", v.loops));
    rows += row("Start of content seen", v.content_start_seen ? "yes" : "no");
    std::string counts;
    for (const auto& [shown, frames] : v.display_counts)
        counts += (counts.empty() ? "" : ", ") +
                  count_figure("/video/display_counts/" + std::to_string(shown), frames) + " shown " +
                  std::to_string(shown) + "\u00d7";
    if (!counts.empty())
        rows += row("Content frames", counts);
    return "<table class=\"frames\"><caption>Frames</caption>" + rows + "</table>";
}

std::string legend(const std::vector<std::string>& items)
{
    std::string html = "<ul class=\"legend\">";
    for (const std::string& item : items)
        html += "<li>" + item + "</li>";
    return html + "</ul>";
}

std::string key(const std::string& css, const std::string& glyph = "")
{
    return "<span class=\"key " + css + "\">" + glyph + "</span>";
}

// A plot with its legend; `note`, when not empty, comes first, and alone when there is no plot.
std::string plot_section(const std::string& id, const std::string& heading, const std::string& svg,
                         const std::vector<std::string>& legend_items, const std::string& note)
{
    std::string html = "<section id=\"" + id + "\"><h2>" + heading + "</h2>";
    if (!note.empty())
        html += "<p class=\"note\">" + note + "</p>";
    if (svg.empty())
        return html + "</section>";
    return html + svg + legend(legend_items) + "</section>";
}

std::string delay_section(const CheckResult& r, const TimeAxis& time)
{
    const DelayBand band = r.profile.band(r.expected_delay_ns);
    size_t within = 0;
    for (const SyncEvent& e : r.pairing.events)
        within += band.holds(e.delay_ns) ? 1 : 0;
    const size_t beyond = r.pairing.events.size() - within;
    std::vector<std::string> items;
    if (within > 0)
        items.push_back(key("dot in") + "event within the limits (" + std::to_string(within) + ")");
    if (beyond > 0)
        items.push_back(key("dot out") + "event beyond the limits (" + std::to_string(beyond) + ")");
    items.push_back(key("band") + html_escape(r.profile.title) + " tolerance, " + fixed(ms_of(band.low_ns), 1) +
                    " to " + signed_number(ms_of(band.high_ns), 1) + " ms");
    if (r.statistics.drift)
        items.push_back(key("line drift") + "drift " + signed_number(report_ms(r.statistics.drift->ns_per_min), 3) +
                        " ms/min");
    if (!r.steps.steps.empty())
        items.push_back(key("line step") + "step in the delay (" + std::to_string(r.steps.steps.size()) + ")");
    if (!r.pairing.missing_beeps.empty())
        items.push_back(key("tri missing", "\u25bc") + "flash without a beep (" +
                        std::to_string(r.pairing.missing_beeps.size()) + ")");
    if (!r.pairing.unmatched_beeps.empty())
        items.push_back(key("tri unmatched", "\u25b2") + "beep without a flash (" +
                        std::to_string(r.pairing.unmatched_beeps.size()) + ")");
    const std::string note = r.pairing.events.empty() ? "No event to plot. " + unmeasurable_reason(r) : "";
    return plot_section("delay-over-time", "Delay over time", delay_plot(r, time), items, note);
}

std::string latency_section(const CheckLatency& l)
{
    const std::vector<std::string> items = {
        key("dot in") + "picture: mean of the frames sent in a stretch, bar from least to greatest",
        key("dot sound") + "sound: each beep, or the mean of a stretch's beeps"};
    return plot_section("latency-over-time", "Latency over time", l.unmeasured_reason.empty() ? latency_plot(l) : "",
                        items, html_escape(l.unmeasured_reason));
}

std::string histogram_section(const CheckResult& r)
{
    std::vector<double> delays;
    for (const SyncEvent& e : r.pairing.events)
        delays.push_back(ms_of(e.delay_ns));
    const DelayBins bins = delay_bins(delays);
    std::vector<std::string> items = {key("bin") + "events per delay bin", key("line median") + "median",
                                      key("line mean") + "mean",
                                      key("band") + html_escape(r.profile.title) + " tolerance"};
    if (bins.below + bins.above > 0)
        items.push_back(key("bin stray") + "events far from the rest (" + std::to_string(bins.below + bins.above) +
                        "), labelled with the farthest delay");
    const std::string note = delays.empty() ? "No event to count. " + unmeasurable_reason(r) : "";
    return plot_section("histogram", "Delay histogram", delay_histogram(r), items, note);
}

std::string timeline_section(const CheckResult& r, const TimeAxis& time)
{
    const CheckVideo& v = r.video;
    std::vector<std::string> items = {key("line durations") + "how long each captured frame is shown"};
    if (r.streams.framerate > 0)
        items.push_back(key("line nominal") + "nominal " + fixed(1000 / r.streams.framerate, 1) + " ms (" +
                        fixed(r.streams.framerate, 3) + " fps)");
    items.push_back(key("tick dropped") + "dropped source frames (" + std::to_string(v.dropped) + ")");
    items.push_back(key("tick repeated") + "repeated frames (" + std::to_string(v.repeated) + ")");
    items.push_back(key("tick unreadable") + "unreadable frames (" + std::to_string(v.unreadable) + ")");
    for (const char* span : {"header", "locator", "content", "trailer"})
        items.push_back(key(std::string("span-") + span) + span);
    if (v.loops > 0)
        items.push_back(key("span-content-odd") + "content, next loop");
    items.push_back(key("span-other") + "not from the test clip");
    if (!r.outages.empty())
        items.push_back(key("outage") + "source away (" + std::to_string(r.outages.size()) + ")");
    const std::string svg = frame_timeline(r, time);
    const std::string note = !svg.empty()    ? ""
                             : v.frames == 0 ? "The recording has no picture."
                                             : "No frame was timed.";
    return plot_section("timeline", "Frame timeline", svg, items, note);
}

std::string map_section(const CheckResult& r)
{
    const bool picture = !r.video.snapshot.rgb.empty(), markers = !r.video.markers.empty();
    std::vector<std::string> items = {key("sync") + "sync", key("frameid") + "frame bit n",
                                      key("lipsync") + "lip-sync"};
    if (!r.video.ignored_areas.empty())
        items.push_back(key("ignored") + "changing picture, not a marker");
    if (picture)
        items.push_back("frame captured at " + clock_text(r.video.snapshot.time_ns));
    std::string note;
    if (!markers)
        note = "No marker of the test clip was found in the picture.";
    else if (!picture)
        note = "No frame was kept: the outlines alone show where the markers were found.";
    return plot_section("marker-map-section", "Marker map", marker_map(r), items, note);
}

std::string name_or(const std::string& name, const char* otherwise)
{
    return name.empty() ? otherwise : html_escape(name);
}

std::string facts_section(const CheckResult& r)
{
    const CheckStreams& s = r.streams;
    std::string rows = row("File", "<span class=\"file\">" + html_escape(r.file) + "</span>");
    rows += row("Container", name_or(s.demuxer, "unknown"));
    std::string video = r.video.frames == 0 ? "none" : name_or(s.video_decoder, "unknown decoder");
    if (s.width > 0)
        video += ", " + tagged("/streams/resolution/0", std::to_string(s.width)) + " \u00d7 " +
                 tagged("/streams/resolution/1", std::to_string(s.height)) + " pixels";
    video += s.framerate > 0 ? ", " + tagged("/streams/framerate", fixed(s.framerate, 3)) + " frames/s"
                             : ", variable frame rate";
    rows += row("Video", video);
    rows += row("Audio", r.audio.rate == 0 ? "none"
                                           : name_or(s.audio_decoder, "unknown decoder") + ", " +
                                                 tagged("/audio/rate", std::to_string(r.audio.rate)) + " Hz, " +
                                                 tagged("/audio/channels", std::to_string(r.audio.channels)) +
                                                 (r.audio.channels == 1 ? " channel" : " channels"));
    rows += row("Lengths", "video " + tagged("/streams/video_length_s", fixed(seconds_of(s.video_length_ns), 3)) +
                               " s, audio " + tagged("/streams/audio_length_s", fixed(seconds_of(s.audio_length_ns), 3)) +
                               " s");
    rows += row("Running time", "from " + ms_figure("/streams/start_ms", double(s.start_ns)) + " to " +
                                    ms_figure("/streams/end_ms", double(s.end_ns)));
    rows += row("Profile", html_escape(r.profile.name));
    std::string warnings;
    for (const std::string& warning : r.warnings)
        warnings += "<li>" + html_escape(warning) + "</li>";
    rows += row("Warnings", warnings.empty() ? "none" : "<ul class=\"warnings\">" + warnings + "</ul>");
    return "<section id=\"facts\"><h2>Facts</h2><table class=\"facts\">" + rows + "</table></section>";
}

enum class RowKind { Event, MissingBeep, UnmatchedBeep };

struct TableRow {
    RowKind kind;
    size_t index;    ///< in its JSON array
    int64_t time_ns; ///< where the row sorts
    bool problem;   ///< beyond the limits, or a flash or beep alone
};

std::vector<TableRow> table_rows(const CheckResult& r)
{
    std::vector<TableRow> rows;
    const DelayBand band = r.profile.band(r.expected_delay_ns);
    for (size_t i = 0; i < r.pairing.events.size(); i++) {
        const SyncEvent& e = r.pairing.events[i];
        rows.push_back({RowKind::Event, i, e.video_ns, !band.holds(e.delay_ns)});
    }
    for (size_t i = 0; i < r.pairing.missing_beeps.size(); i++)
        rows.push_back({RowKind::MissingBeep, i, r.pairing.missing_beeps[i].video_ns, true});
    for (size_t i = 0; i < r.pairing.unmatched_beeps.size(); i++)
        rows.push_back({RowKind::UnmatchedBeep, i, r.pairing.unmatched_beeps[i], true});
    return rows;
}

// Long recordings keep every problem row and an even sample of the rest, so that the page
// stays light; the JSON and CSV outputs hold every row.
std::vector<TableRow> rows_to_show(const std::vector<TableRow>& rows, size_t most)
{
    if (rows.size() <= most)
        return rows;
    std::vector<TableRow> shown, fine;
    for (const TableRow& row : rows)
        (row.problem && shown.size() < most ? shown : fine).push_back(row);
    const size_t room = most - shown.size();
    for (size_t i = 0; i < room; i++)
        shown.push_back(fine[i * fine.size() / room]);
    return shown;
}

void append_row(std::string* html, const CheckResult& r, const TableRow& row)
{
    const auto ms = [&](int64_t ns) { *html += "<td class=\"num\">" + fixed(report_ms(double(ns)), 3) + "</td>"; };
    const auto num = [&](int64_t v) { *html += "<td class=\"num\">" + std::to_string(v) + "</td>"; };
    const auto blank = [&](int cells) {
        for (int i = 0; i < cells; i++)
            *html += "<td></td>";
    };
    const auto start = [&](const char* css, const char* array, const char* kind) {
        *html += std::string("<tr class=\"") + css + "\" data-json=\"/sync/" + array + "/" + std::to_string(row.index) +
                 "\"><td>" + clock_text(row.time_ns) + "</td><td>" + kind + "</td>";
    };
    switch (row.kind) {
    case RowKind::Event: {
        const SyncEvent& e = r.pairing.events[row.index];
        start(row.problem ? "event out" : "event", "events", "event");
        num(e.flash_frame);
        num(e.loop);
        ms(e.video_ns);
        ms(e.audio_ns);
        ms(e.delay_ns);
        *html += row.problem ? "<td>no</td>" : "<td>yes</td>";
        break;
    }
    case RowKind::MissingBeep: {
        const Flash& f = r.pairing.missing_beeps[row.index];
        start("missing_beep", "missing_beeps", "no beep");
        num(f.source_frame);
        num(f.loop);
        ms(f.video_ns);
        blank(3);
        break;
    }
    case RowKind::UnmatchedBeep:
        start("unmatched_beep", "unmatched_beeps", "no flash");
        blank(3);
        ms(row.time_ns);
        blank(2);
        break;
    }
    *html += "</tr>";
}

// Events, flashes without a beep and beeps without a flash in time order, like the CSV. Each
// row names its JSON object and each column header the key of its cells.
std::string events_section(const CheckResult& r)
{
    const std::vector<TableRow> all = table_rows(r);
    std::string html = "<section id=\"events\"><h2>Events</h2>";
    if (all.empty())
        return html + "<p class=\"note\">No event, flash or beep was found.</p></section>";
    const size_t total = all.size();
    std::vector<TableRow> rows = rows_to_show(all, kMaxTableRows);
    std::stable_sort(rows.begin(), rows.end(),
                     [](const TableRow& a, const TableRow& b) { return a.time_ns < b.time_ns; });
    const std::string what = rows.size() == total
                                 ? plural(total, "row", "rows") + ": every event, flash without a beep and beep "
                                                                  "without a flash, in time order"
                                 : std::to_string(rows.size()) + " of " + std::to_string(total) +
                                       " rows: every problem and an even sample of the events within the limits, in "
                                       "time order; the JSON and CSV outputs hold them all";
    html +=
        "<details open><summary>" + what +
        "</summary>"
        "<table class=\"events\"><thead><tr><th>at</th><th>kind</th>"
        "<th class=\"num\" data-key=\"flash_frame\">flash frame</th><th class=\"num\" data-key=\"loop\">loop</th>"
        "<th class=\"num\" data-key=\"video_ms\">video (ms)</th><th class=\"num\" data-key=\"audio_ms\">audio (ms)</th>"
        "<th class=\"num\" data-key=\"delay_ms\">delay (ms)</th><th>within</th></tr></thead><tbody>";
    for (const TableRow& row : rows)
        append_row(&html, r, row);
    return html + "</tbody></table></details></section>";
}

} // namespace

std::string check_html(const CheckResult& r, int reload_s)
{
    const TimeAxis time = time_axis(r);
    std::string html = "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
                       "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
                       // Nothing may come from outside the page: pictures are data, styles inline.
                       "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; img-src data:; "
                       "style-src 'unsafe-inline'\">"
                       "<meta name=\"generator\" content=\"skelv-check\">";
    if (reload_s > 0)
        html += "<meta http-equiv=\"refresh\" content=\"" + std::to_string(reload_s) + "\">";
    html += "<title>" + std::string(verdict_word(r.judgement.verdict)) + " \u2014 " + html_escape(r.file) +
            " \u2014 skelv-check</title>";
    html += "<style>" + std::string(kStyle) + "</style></head><body><main>";
    html += "<h1>skelv-check report: <span class=\"file\">" + html_escape(r.file) + "</span></h1>";
    html += verdict_banner(r);
    html += problems_section(r);
    html += "<section id=\"figures\"><h2>Figures</h2><div class=\"figures\">" + lipsync_figures(r) +
            frame_figures(r.video) + "</div></section>";
    html += delay_section(r, time);
    html += histogram_section(r);
    if (r.latency)
        html += latency_section(*r.latency);
    html += timeline_section(r, time);
    html += map_section(r);
    html += facts_section(r);
    html += events_section(r);
    html += "<footer>Times are on the recording's running clock. Delay: beep onset minus the time of the first "
            "captured frame that shows the flash; positive when the audio lags.</footer>";
    return html + "</main></body></html>\n";
}

} // namespace skelv
