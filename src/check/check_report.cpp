#include "check/check_report.h"

#include "outputs/printf_text.h"
#include "rules/exit_codes.h"
#include "rules/time_units.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdio>
#include <sstream>

namespace skelv {

namespace {

using nlohmann::json;

constexpr size_t kMaxLinesPerProblem = 5; // then "... and N more"


json ms_or_null(bool known, double ns)
{
    return known ? json(report_ms(ns)) : json(nullptr);
}

json marker_json(const CheckMarker& m)
{
    json marker = {{"role", name_of(m.role)}};
    if (m.role == MarkerRole::FrameId)
        marker["bit"] = m.bit;
    marker["pos"] = {m.x, m.y};
    marker["size"] = {m.width, m.height};
    return marker;
}

json fps_or_null(double fps)
{
    return fps > 0 ? json(std::round(fps * 1000) / 1000) : json(nullptr);
}

json video_json(const CheckVideo& v)
{
    json markers = json::array(), ignored = json::array();
    for (const CheckMarker& m : v.markers)
        markers.push_back(marker_json(m));
    for (const CheckArea& a : v.ignored_areas)
        ignored.push_back({{"pos", {a.x, a.y}}, {"size", {a.width, a.height}}});
    json counts = json::object();
    for (const auto& [shown, frames] : v.display_counts)
        counts[std::to_string(shown)] = frames;
    json video = {{"frames", v.frames},
                  {"capture_fps", fps_or_null(v.capture_fps)},
                  {"source_fps", fps_or_null(v.source_fps)},
                  {"markers", markers},
                  {"sync_from", v.sync_from.empty() ? json(nullptr) : json(v.sync_from)},
                  {"ignored_areas", ignored},
                  {"content_start_seen", v.content_start_seen},
                  {"source_frames_shown", v.source_frames_shown},
                  {"dropped", v.dropped},
                  {"repeated", v.repeated},
                  {"unresolved", v.unresolved},
                  {"out_of_order", v.out_of_order},
                  {"unreadable", v.unreadable},
                  {"lost_by_tool", v.lost_by_tool},
                  {"display_counts", counts},
                  {"loops", v.loops}};
    if (v.line_time_ns > 0) { // a global shutter's results keep the fields they always had
        video["line_time_us"] = double(v.line_time_ns) / 1000;
        video["shutter_row"] = v.shutter_row >= 0 ? json(v.shutter_row) : json(nullptr);
        video["shutter_correction_ms"] = report_ms(double(v.shutter_offset_ns));
    }
    if (const std::optional<LineTimeEstimate>& m = v.line_time_measurement) {
        video["line_time_measurement"] = {{"measured", m->measured},
                                          {"frames", m->edges},
                                          {"frames_fitted", m->edges_fitted},
                                          {"uncertainty_us", m->measured ? json(std::round(m->uncertainty_ns) / 1000) : json(nullptr)},
                                          {"row_spread", m->measured ? json(std::round(m->row_spread * 100) / 100) : json(nullptr)},
                                          {"why_not", m->measured ? json(nullptr) : json(m->why)}};
    }
    return video;
}

json untrusted_json(const CheckResult& r)
{
    json spans = json::array();
    for (const UntrustedSpan& span : r.untrusted)
        spans.push_back({{"stream", span.audio ? "audio" : "video"},
                         {"from_ms", report_ms(double(span.from_ns))},
                         {"to_ms", span.to_ns == INT64_MAX ? json(nullptr) : json(report_ms(double(span.to_ns)))}});
    return spans;
}

json steps_json(const DelaySteps& d)
{
    json steps = json::array();
    for (const DelayStep& step : d.steps)
        steps.push_back({{"at_ms", report_ms(step.at_ns)}, {"size_ms", report_ms(step.size_ns)}});
    return steps;
}

json stretches_json(const DelaySteps& d)
{
    json stretches = json::array();
    for (const DelayStretch& stretch : d.stretches) {
        const DelayStatistics& s = stretch.statistics;
        stretches.push_back({{"from_ms", report_ms(stretch.from_ns)},
                             {"to_ms", report_ms(stretch.to_ns)},
                             {"count", s.count},
                             {"mean_ms", report_ms(s.mean_ns)},
                             {"median_ms", report_ms(s.median_ns)},
                             {"sd_ms", report_ms(s.sd_ns)},
                             {"drift_ms_per_min", ms_or_null(bool(s.drift), s.drift ? s.drift->ns_per_min : 0)}});
    }
    return stretches;
}

json sync_json(const CheckResult& r)
{
    json events = json::array(), missing = json::array(), unmatched = json::array();
    for (const SyncEvent& e : r.pairing.events) {
        events.push_back({{"flash_frame", e.flash_frame},
                          {"loop", e.loop},
                          {"video_ms", report_ms(e.video_ns)},
                          {"audio_ms", report_ms(e.audio_ns)},
                          {"delay_ms", report_ms(e.delay_ns)}});
        if (r.calibration)
            events.back()["raw_delay_ms"] = report_ms(double(e.delay_ns + r.calibration->offset_ns));
    }
    for (const Flash& f : r.pairing.missing_beeps)
        missing.push_back({{"flash_frame", f.source_frame}, {"loop", f.loop}, {"video_ms", report_ms(f.video_ns)}});
    for (int64_t onset : r.pairing.unmatched_beeps)
        unmatched.push_back({{"audio_ms", report_ms(onset)}});

    const DelayStatistics& s = r.statistics;
    const bool any = s.count > 0;
    const bool interval = s.drift && s.drift->ci95_low;
    const std::optional<Drift>& judged = r.steps.drift; // within the stretches: a step is no drift
    return {{"events", events},
            {"missing_beeps", missing},
            {"unmatched_beeps", unmatched},
            {"count", s.count},
            {"mean_ms", ms_or_null(any, s.mean_ns)},
            {"median_ms", ms_or_null(any, s.median_ns)},
            {"sd_ms", ms_or_null(any, s.sd_ns)},
            {"min_ms", ms_or_null(any, double(s.min.delay_ns))},
            {"min_at_ms", ms_or_null(any, double(s.min.video_ns))},
            {"max_ms", ms_or_null(any, double(s.max.delay_ns))},
            {"max_at_ms", ms_or_null(any, double(s.max.video_ns))},
            {"drift_ms_per_min", ms_or_null(bool(s.drift), s.drift ? s.drift->ns_per_min : 0)},
            {"drift_ci95_ms_per_min",
             interval ? json::array({report_ms(*s.drift->ci95_low), report_ms(*s.drift->ci95_high)}) : json(nullptr)},
            {"no_drift", judged && judged->ci95_low ? json(judged->none()) : json(nullptr)},
            {"steps", steps_json(r.steps)},
            {"stretches", stretches_json(r.steps)},
            {"judged", r.judgement.judged},
            {"untrusted_events", r.untrusted_events},
            {"untrusted", untrusted_json(r)},
            {"pass_fraction", r.judgement.judged > 0 ? json(r.judgement.pass_fraction) : json(nullptr)}};
}

json outages_json(const std::vector<Outage>& outages)
{
    json list = json::array();
    for (const Outage& o : outages)
        list.push_back({{"stream", o.audio ? "audio" : "video"},
                        {"start_ms", report_ms(double(o.start_ns))},
                        {"length_ms", report_ms(double(o.length_ns))},
                        {"message", o.message.empty() ? json(nullptr) : json(o.message)}});
    return list;
}

json name_or_null(const std::string& name)
{
    return name.empty() ? json(nullptr) : json(name);
}

json tracks_json(const std::vector<CheckTrack>& tracks)
{
    json list = json::array();
    for (const CheckTrack& t : tracks)
        list.push_back({{"index", t.index},
                        {"type", t.video ? "video" : "audio"},
                        {"format", t.format},
                        {"decoder", name_or_null(t.decoder)},
                        {"language", name_or_null(t.language)},
                        {"read", t.read},
                        {"beeps", t.beeps >= 0 ? json(t.beeps) : json(nullptr)}});
    return list;
}

json streams_json(const CheckStreams& s)
{
    const auto name = name_or_null;
    return {{"demuxer", name(s.demuxer)},
            {"video_decoder", name(s.video_decoder)},
            {"audio_decoder", name(s.audio_decoder)},
            {"resolution", {s.width, s.height}},
            {"framerate", s.framerate > 0 ? json(s.framerate) : json("variable")},
            {"video_length_s", seconds_of(s.video_length_ns)},
            {"audio_length_s", seconds_of(s.audio_length_ns)},
            {"start_ms", report_ms(s.start_ns)},
            {"end_ms", report_ms(s.end_ns)},
            {"list", tracks_json(s.tracks)}};
}

json latency_figures_json(const LatencyFigures& f)
{
    const DelayStatistics& s = f.statistics;
    const bool any = s.count > 0;
    return {{"count", s.count},
            {"median_ms", ms_or_null(any, s.median_ns)},
            {"mean_ms", ms_or_null(any, s.mean_ns)},
            {"sd_ms", ms_or_null(any, s.sd_ns)},
            {"min_ms", ms_or_null(any, double(s.min.delay_ns))},
            {"max_ms", ms_or_null(any, double(s.max.delay_ns))},
            {"drift_ms_per_min", ms_or_null(bool(s.drift), s.drift ? s.drift->ns_per_min : 0)},
            {"unmatched", f.unmatched}};
}

json latency_json(const CheckLatency& l)
{
    return {{"sidecar", l.sidecar},
            {"clock",
             {{"name", l.receiver.name},
              {"type", l.receiver.type},
              {"boot_id", name_or_null(l.receiver.boot_id)},
              {"sender_base_time_ns", l.sender.base_time_ns},
              {"receiver_base_time_ns", l.receiver.base_time_ns},
              {"network", name_or_null(l.receiver.network)},
              {"error_ms", l.receiver.error_ns >= 0 ? json(report_ms(double(l.receiver.error_ns))) : json(nullptr)}}},
            {"video", latency_figures_json(l.video)},
            {"audio", latency_figures_json(l.audio)},
            {"reason", name_or_null(l.unmeasured_reason)}};
}

json audio_json(const CheckResult& r)
{
    json audio = {{"stream", r.audio.stream >= 0 ? json(r.audio.stream) : json(nullptr)},
                  {"rate", r.audio.rate},
                  {"channels", r.audio.channels},
                  {"beeps", r.audio.beeps}};
    if (r.mic) {
        audio["mic_distance_m"] = r.mic->metres;
        audio["temperature_c"] = r.mic->celsius;
        audio["speed_of_sound_m_per_s"] = std::round(r.mic->speed_m_per_s * 1000) / 1000;
        audio["travel_ms"] = report_ms(double(r.mic->travel_ns));
    }
    return audio;
}

json calibration_json(const CheckResult& r)
{
    const ChainCalibration& c = *r.calibration;
    const bool any = r.statistics.count > 0;
    const double offset = double(c.offset_ns);
    return {{"file", c.file},
            {"reference", c.reference},
            {"made", c.made},
            {"offset_ms", report_ms(offset)},
            {"offset_ci95_ms", {report_ms(double(c.low_ns)), report_ms(double(c.high_ns))}},
            {"events", c.events},
            {"raw_median_ms", ms_or_null(any, r.statistics.median_ns + offset)},
            {"median_ci95_ms",
             any ? json::array({report_ms(c.median_low_ns), report_ms(c.median_high_ns)}) : json(nullptr)}};
}

std::string signed_ms(double ns)
{
    const double tenths = std::round(ns / double(kNsPerMs) * 10) / 10;
    return printf_text("%+.1f", tenths == 0 ? 0.0 : tenths);
}

std::string limits_text(const CheckResult& r)
{
    const SyncProfile& p = r.profile;
    std::string text = printf_text("%s: lead \u2264 %g ms, lag \u2264 %g ms", p.title.c_str(), ms_of(p.lead_ns), ms_of(p.lag_ns));
    if (p.min_pass_fraction < 1)
        text += printf_text(" for %g %% of events", p.min_pass_fraction * 100);
    if (r.expected_delay_ns != 0)
        text += ", designed offset " + signed_ms(double(r.expected_delay_ns)) + " ms subtracted";
    return text;
}

std::string drift_text(const std::optional<Drift>& drift)
{
    if (!drift)
        return "unknown";
    std::string text = signed_ms(drift->ns_per_min) + " ms/min";
    if (drift->ci95_low && !drift->none())
        text += " (95 % CI " + signed_ms(*drift->ci95_low) + "\u2026" + signed_ms(*drift->ci95_high) + ")";
    return text;
}

// Across steps the drift of the whole means little: the drift within the stretches follows.
std::string drifts_text(const CheckResult& r)
{
    if (r.steps.steps.empty())
        return "drift " + drift_text(r.statistics.drift);
    return "drift " + drift_text(r.statistics.drift) + " overall, " + drift_text(r.steps.drift) + " within stretches";
}

std::string lipsync_line(const CheckResult& r)
{
    const DelayStatistics& s = r.statistics;
    const std::string verdict = std::string(verdict_word(r.judgement.verdict)) + " (" + limits_text(r) + ")";
    if (s.count == 0)
        return printf_text("Lip-sync: no beep could be paired with a flash (%zu flashes, %zu beeps) \u2014 ",
                      r.pairing.missing_beeps.size(), r.audio.beeps) +
               verdict;
    return printf_text("Lip-sync: %s (median of %zu events, sd %.1f ms, range %.1f\u2026%.1f), %s \u2014 ",
                  describe_delay(s.median_ns).c_str(), s.count, s.sd_ns / double(kNsPerMs), ms_of(s.min.delay_ns),
                  ms_of(s.max.delay_ns),
                  drifts_text(r).c_str()) +
           verdict;
}

std::string latency_line(const char* stream, const char* unit, const LatencyFigures& f)
{
    const DelayStatistics& s = f.statistics;
    if (s.count == 0)
        return printf_text("%s latency: not measured (no %s paired with its sending)", stream, unit);
    return printf_text("%s latency: %.1f ms (median of %zu %ss, sd %.1f ms, range %.1f\u2026%.1f, drift %s), from "
                       "sending to arrival",
                       stream, s.median_ns / double(kNsPerMs), s.count, unit, s.sd_ns / double(kNsPerMs),
                       ms_of(s.min.delay_ns), ms_of(s.max.delay_ns), drift_text(s.drift).c_str());
}

std::string latency_lines(const CheckLatency& l)
{
    if (!l.unmeasured_reason.empty())
        return "Latency: not measured: " + l.unmeasured_reason + "\n";
    std::string clock;
    if (!l.receiver.network.empty())
        clock = "Clock: the network clock of " + l.receiver.network +
                (l.receiver.error_ns >= 0 ? printf_text(", within \u00b1%.3f ms of the sender's",
                                                        double(l.receiver.error_ns) / double(kNsPerMs))
                                          : std::string(", its error unknown")) +
                "\n";
    return clock + latency_line("Picture", "frame", l.video) + "\n" + latency_line("Sound", "beep", l.audio) + "\n";
}

std::string display_counts_text(const std::map<int, int64_t>& counts)
{
    if (counts.size() == 1 && counts.begin()->first > 1)
        return printf_text(" (every frame shown %d times)", counts.begin()->first);
    if (counts.size() <= 1)
        return "";
    std::string text;
    for (const auto& [shown, frames] : counts)
        text += printf_text("%s%lld shown %d\u00d7", text.empty() ? " (" : ", ", (long long)frames, shown);
    return text + ")";
}

std::string frames_line(const CheckVideo& v)
{
    return printf_text("Frames: %lld captured, %lld content frames shown, %lld dropped, %lld repeated", (long long)v.frames,
                  (long long)v.source_frames_shown, (long long)v.dropped, (long long)v.repeated) +
           display_counts_text(v.display_counts);
}

// "Rolling shutter: ..."; empty for a global shutter.
std::string shutter_line(const CheckVideo& v)
{
    if (v.line_time_ns <= 0)
        return "";
    std::string line =
        printf_text("Rolling shutter: flash times corrected by %g \u00b5s a row", double(v.line_time_ns) / 1000);
    if (v.line_time_measurement)
        line += printf_text(", measured on %zu frames to \u00b1%.2g \u00b5s", v.line_time_measurement->edges_fitted,
                            v.line_time_measurement->uncertainty_ns / 1000);
    if (v.shutter_row < 0)
        return line + " (no lip-sync marker found)";
    return line + printf_text(" (lip-sync marker at row %d: %s ms)", v.shutter_row,
                              signed_ms(double(v.shutter_offset_ns)).c_str());
}

std::string seconds(int64_t ns)
{
    return printf_text("%.3f s", seconds_of(ns));
}

// Which of several audio streams carried the beeps; empty with one audio stream read.
std::string audio_streams_line(const CheckResult& r)
{
    std::string others;
    for (const CheckTrack& t : r.streams.tracks)
        if (!t.video && t.read && t.index != r.audio.stream)
            others += printf_text(", audio stream %d has %lld", t.index, (long long)std::max<int64_t>(t.beeps, 0));
    if (others.empty() || r.audio.stream < 0)
        return "";
    return printf_text("Beeps taken from audio stream %d (%zu beeps)", r.audio.stream, r.audio.beeps) + others;
}


// "Steps: -100.0 ms at 30.120 s, ..."; empty without steps.
std::string steps_line(const DelaySteps& d)
{
    std::string line;
    for (const DelayStep& step : d.steps)
        line += (line.empty() ? "Steps: " : ", ") + signed_ms(double(step.size_ns)) + " ms at " + seconds(step.at_ns);
    return line;
}

// Appends up to kMaxLinesPerProblem lines made by `line(i)`, then a count of the rest.
template <typename Line>
void add_capped(std::vector<std::string>* problems, size_t count, Line line)
{
    for (size_t i = 0; i < count && i < kMaxLinesPerProblem; i++)
        problems->push_back(line(i));
    if (count > kMaxLinesPerProblem)
        problems->push_back(printf_text("... and %zu more like this", count - kMaxLinesPerProblem));
}

std::vector<std::string> correction_lines(const CheckResult& r)
{
    std::vector<std::string> lines;
    if (r.mic)
        lines.push_back(printf_text("Microphone %.2f m from the screen: every beep taken %.3f ms earlier, the sound's travel "
                                    "at %.1f m/s (%g \u00b0C)",
                                    r.mic->metres, ms_of(r.mic->travel_ns), r.mic->speed_m_per_s, r.mic->celsius));
    if (r.calibration) {
        const ChainCalibration& c = *r.calibration;
        std::string line = "Calibration: the chain's own offset of " + signed_ms(double(c.offset_ns)) + " ms (95 % " +
                           signed_ms(double(c.low_ns)) + "\u2026" + signed_ms(double(c.high_ns)) + ", measured on " +
                           c.reference + " at " + c.made + ") taken off every delay";
        if (r.statistics.count > 0)
            line += ": median raw " + signed_ms(r.statistics.median_ns + double(c.offset_ns)) + " ms, corrected " +
                    signed_ms(r.statistics.median_ns) + " ms (95 % " + signed_ms(c.median_low_ns) + "\u2026" +
                    signed_ms(c.median_high_ns) + " with the calibration's own)";
        lines.push_back(line);
    }
    return lines;
}

} // namespace

double report_ms(double ns)
{
    const double rounded = std::round(ns / 1000) / 1000;
    return rounded == 0 ? 0 : rounded; // never "-0"
}

int exit_code_of(const CheckResult& result)
{
    switch (result.judgement.verdict) {
    case SyncVerdict::Pass: return exit_code::kPass;
    case SyncVerdict::Fail: return exit_code::kFail;
    default: return exit_code::kNotAnalysed;
    }
}

std::string describe_delay(double delay_ns)
{
    const double shown = std::round(delay_ns / double(kNsPerMs) * 10) / 10;
    if (shown > 0)
        return printf_text("audio lags video by %.1f ms", shown);
    if (shown < 0)
        return printf_text("audio leads video by %.1f ms", -shown);
    return "audio in sync with video";
}

json check_result_json(const CheckResult& r)
{
    json result = {{"file", r.file},
                   {"profile",
                    {{"name", r.profile.name},
                     {"lead_ms", ms_of(r.profile.lead_ns)},
                     {"lag_ms", ms_of(r.profile.lag_ns)},
                     {"min_pass_fraction", r.profile.min_pass_fraction}}},
                   {"expect_delay_ms", ms_of(r.expected_delay_ns)},
                   {"verdict", name_of(r.judgement.verdict)},
                   {"reason", r.unmeasurable_reason.empty() ? json(nullptr) : json(r.unmeasurable_reason)},
                   {"video", video_json(r.video)},
                   {"audio", audio_json(r)},
                   {"sync", sync_json(r)},
                   {"streams", streams_json(r.streams)},
                   {"outages", outages_json(r.outages)},
                   {"warnings", r.warnings}};
    if (!r.tags.empty()) // untagged results keep the fields they always had
        result["tags"] = r.tags;
    if (r.latency)
        result["latency"] = latency_json(*r.latency);
    if (r.calibration)
        result["calibration"] = calibration_json(r);
    return result;
}

std::string check_result_csv(const CheckResult& r)
{
    struct Row {
        int64_t time_ns;
        std::string text;
    };
    std::vector<Row> rows;
    const auto ms = [](int64_t ns) { return printf_text("%.3f", report_ms(double(ns))); };
    const DelayBand band = r.profile.band(r.expected_delay_ns);
    // Calibrated: a last column, an event's delay before the chain's offset came off.
    const auto raw = [&](const SyncEvent* e) -> std::string {
        if (!r.calibration)
            return "";
        return e ? "," + ms(e->delay_ns + r.calibration->offset_ns) : ",";
    };
    for (const SyncEvent& e : r.pairing.events)
        rows.push_back({e.video_ns, printf_text("event,%lld,%d,", (long long)e.flash_frame, e.loop) + ms(e.video_ns) + "," +
                                        ms(e.audio_ns) + "," + ms(e.delay_ns) + (band.holds(e.delay_ns) ? ",yes" : ",no") +
                                        raw(&e)});
    for (const Flash& f : r.pairing.missing_beeps)
        rows.push_back({f.video_ns, printf_text("missing_beep,%lld,%d,", (long long)f.source_frame, f.loop) + ms(f.video_ns) +
                                        ",,," + raw(nullptr)});
    for (int64_t onset : r.pairing.unmatched_beeps)
        rows.push_back({onset, "unmatched_beep,,,," + ms(onset) + ",," + raw(nullptr)});
    // An outage's start and end, at the time column of its stream.
    for (const Outage& o : r.outages)
        for (const auto& [kind, at] : {std::pair{"outage_start", o.start_ns}, std::pair{"outage_end", o.start_ns + o.length_ns}})
            rows.push_back({at, std::string(kind) + (o.audio ? ",,,," + ms(at) + ",," : ",,," + ms(at) + ",,,") + raw(nullptr)});
    std::stable_sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) { return a.time_ns < b.time_ns; });
    std::string csv = std::string("kind,flash_frame,loop,video_ms,audio_ms,delay_ms,within") +
                      (r.calibration ? ",raw_delay_ms\n" : "\n");
    for (const Row& row : rows)
        csv += row.text + "\n";
    return csv;
}

std::string timeline_csv_row(const CheckFrame& f)
{
    std::string row = printf_text("%.3f,%.3f,%s,", report_ms(double(f.time_ns)), report_ms(double(f.duration_ns)),
                             name_of(f.kind));
    row += f.source_frame >= 0 ? std::to_string(f.source_frame) : "";
    return row + printf_text(",%d,%s,%s,%lld\n", f.loop, f.flash ? "yes" : "no", f.repeated ? "yes" : "no",
                        (long long)f.dropped_before);
}

std::vector<std::string> check_problems(const CheckResult& r)
{
    std::vector<std::string> problems;
    if (const std::string steps = steps_line(r.steps); !steps.empty())
        problems.push_back(steps);
    const std::vector<Flash>& missing = r.pairing.missing_beeps;
    add_capped(&problems, missing.size(), [&](size_t i) {
        return printf_text("No beep for the flash at source frame %lld (%s)", (long long)missing[i].source_frame,
                      seconds(missing[i].video_ns).c_str());
    });
    const std::vector<int64_t>& unmatched = r.pairing.unmatched_beeps;
    add_capped(&problems, unmatched.size(),
               [&](size_t i) { return "Beep at " + seconds(unmatched[i]) + " belongs to no flash"; });
    std::vector<const SyncEvent*> outside;
    const DelayBand band = r.profile.band(r.expected_delay_ns);
    for (const SyncEvent& e : r.pairing.events)
        if (!band.holds(e.delay_ns))
            outside.push_back(&e);
    add_capped(&problems, outside.size(), [&](size_t i) {
        return "At " + seconds(outside[i]->video_ns) + " " + describe_delay(double(outside[i]->delay_ns)) + ", beyond " +
               r.profile.title + "'s limits";
    });
    if (const std::string streams = audio_streams_line(r); !streams.empty())
        problems.push_back(streams);
    add_capped(&problems, r.outages.size(), [&](size_t i) {
        const Outage& o = r.outages[i];
        return printf_text("Outage of the %s at %s, %.3f s long", o.audio ? "sound" : "picture", seconds(o.start_ns).c_str(),
                      seconds_of(o.length_ns)) +
               (o.message.empty() ? "" : ": " + o.message);
    });
    const CheckVideo& v = r.video;
    if (v.dropped > 0)
        problems.push_back(printf_text("%lld source frames never shown (dropped)", (long long)v.dropped));
    if (v.out_of_order > 0)
        problems.push_back(printf_text("%lld captured frames out of order", (long long)v.out_of_order));
    if (v.unreadable > 0)
        problems.push_back(printf_text("%lld captured frames unreadable (blended or damaged)", (long long)v.unreadable));
    for (const std::string& warning : r.warnings)
        problems.push_back("Warning: " + warning);
    return problems;
}

std::string check_summary_text(const CheckResult& r)
{
    std::string text = lipsync_line(r) + "\n" + frames_line(r.video) + "\n";
    if (const std::string shutter = shutter_line(r.video); !shutter.empty())
        text += shutter + "\n";
    if (r.latency)
        text += latency_lines(*r.latency);
    for (const std::string& line : correction_lines(r))
        text += line + "\n";
    for (const std::string& problem : check_problems(r))
        text += problem + "\n";
    return text;
}

} // namespace skelv
