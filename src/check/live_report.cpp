#include "check/live_report.h"

#include "check/check_report.h"
#include "rules/names.h"
#include "rules/time_units.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace skelv {

namespace {

using nlohmann::json;

constexpr int64_t kLongestDurationNs = 366LL * 24 * 3600 * kNsPerSecond;

std::string signed_tenths(double ns)
{
    const double tenths = std::round(ns / double(kNsPerMs) * 10) / 10;
    char text[32];
    snprintf(text, sizeof text, "%+.1f", tenths == 0 ? 0.0 : tenths);
    return text;
}

// "6 events, median +38.2 ms, sd 0.3 ms, range +37.9…+38.6 ms", or "no events".
std::string figures_text(const DelayStatistics& s)
{
    if (s.count == 0)
        return "no events";
    char text[160];
    snprintf(text, sizeof text, "%zu event%s, median %s ms, sd %.1f ms, range %s\u2026%s ms", s.count,
             s.count == 1 ? "" : "s", signed_tenths(s.median_ns).c_str(), s.sd_ns / double(kNsPerMs),
             signed_tenths(double(s.min.delay_ns)).c_str(), signed_tenths(double(s.max.delay_ns)).c_str());
    std::string line = text;
    if (s.drift)
        line += ", drift " + signed_tenths(s.drift->ns_per_min) + " ms/min";
    return line;
}

json figures_json(const DelayStatistics& s)
{
    if (s.count == 0)
        return {{"count", 0}};
    return {{"count", s.count},
            {"median_ms", report_ms(s.median_ns)},
            {"mean_ms", report_ms(s.mean_ns)},
            {"sd_ms", report_ms(s.sd_ns)},
            {"min_ms", report_ms(double(s.min.delay_ns))},
            {"max_ms", report_ms(double(s.max.delay_ns))},
            {"drift_ms_per_min", s.drift ? json(report_ms(s.drift->ns_per_min)) : json(nullptr)}};
}

} // namespace

std::string LiveClock::text(int64_t running_ns) const
{
    char text[48];
    if (wall) {
        const int64_t at = epoch_ns + running_ns;
        const time_t seconds = time_t(at / kNsPerSecond);
        tm local{};
        localtime_r(&seconds, &local);
        snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
                 int(at % kNsPerSecond / kNsPerMs));
        return text;
    }
    const int64_t ms = std::llabs(running_ns) / kNsPerMs;
    const long long hours = ms / 3600000, minutes = ms / 60000 % 60, seconds = ms / 1000 % 60, millis = ms % 1000;
    if (hours > 0)
        snprintf(text, sizeof text, "%lld:%02lld:%02lld.%03lld", hours, minutes, seconds, millis);
    else
        snprintf(text, sizeof text, "%lld:%02lld.%03lld", minutes, seconds, millis);
    return text;
}

json LiveClock::stamp(int64_t running_ns) const
{
    if (!wall)
        return report_ms(double(running_ns));
    const int64_t at = epoch_ns + running_ns;
    const time_t seconds = time_t(at / kNsPerSecond);
    tm utc{};
    gmtime_r(&seconds, &utc);
    char text[48];
    snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
             utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, int(at % kNsPerSecond / kNsPerMs));
    return text;
}

std::string live_event_line(const LiveClock& clock, const SyncEvent& e, bool within, std::optional<int64_t> calibration_ns)
{
    std::string line = clock.text(e.video_ns) + "  #" + std::to_string(e.flash_frame) + "  " +
                       signed_tenths(double(e.delay_ns)) + " ms  " + (within ? "within" : "beyond");
    if (calibration_ns)
        line += "  (raw " + signed_tenths(double(e.delay_ns + *calibration_ns)) + " ms)";
    return line;
}

std::string live_status_line(const LiveClock& clock, const LiveStatus& s, const SyncProfile& profile,
                             int64_t window_ns)
{
    char frames[160];
    snprintf(frames, sizeof frames, "frames %lld, dropped %lld, repeated %lld", (long long)s.frames,
             (long long)s.dropped, (long long)s.repeated);
    std::string line = clock.text(s.running_ns) + "  last " + std::to_string(window_ns / kNsPerSecond) +
                       " s: " + figures_text(s.window) + "  |  whole run: " + figures_text(s.whole) + "  |  " + frames;
    if (s.lost_by_tool > 0)
        line += ", lost by skelv-check " + std::to_string(s.lost_by_tool);
    if (s.outages > 0)
        line += ", outages " + std::to_string(s.outages);
    return line + "  |  " + verdict_word(s.judgement.verdict) + " (" + profile.title + ")";
}

std::string live_outage_line(const LiveClock& clock, const Outage& o, bool over)
{
    const std::string stream = o.audio ? "sound" : "picture";
    if (!over)
        return clock.text(o.start_ns) + "  outage: the " + stream + " is away" + (o.message.empty() ? "" : ": " + o.message);
    char length[32];
    snprintf(length, sizeof length, "%.3f s", seconds_of(o.length_ns));
    return clock.text(o.start_ns + o.length_ns) + "  outage over: the " + stream + " was away " + length;
}

json live_event_json(const LiveClock& clock, const SyncEvent& e, bool within, std::optional<int64_t> calibration_ns)
{
    json event = {{"type", "event"},
                  {"time", clock.stamp(e.video_ns)},
                  {"flash_frame", e.flash_frame},
                  {"loop", e.loop},
                  {"video_ms", report_ms(double(e.video_ns))},
                  {"audio_ms", report_ms(double(e.audio_ns))},
                  {"delay_ms", report_ms(double(e.delay_ns))},
                  {"within", within}};
    if (calibration_ns)
        event["raw_delay_ms"] = report_ms(double(e.delay_ns + *calibration_ns));
    return event;
}

json live_status_json(const LiveClock& clock, const LiveStatus& s, int64_t window_ns)
{
    return {{"type", "status"},
            {"time", clock.stamp(s.running_ns)},
            {"window_s", seconds_of(window_ns)},
            {"window", figures_json(s.window)},
            {"whole", figures_json(s.whole)},
            {"verdict", name_of(s.judgement.verdict)},
            {"frames", s.frames},
            {"dropped", s.dropped},
            {"repeated", s.repeated},
            {"lost_by_tool", s.lost_by_tool},
            {"outages", s.outages}};
}

json live_warning_json(const std::string& warning)
{
    return {{"type", "warning"}, {"text", warning}};
}

json live_outage_json(const LiveClock& clock, const Outage& o, bool over)
{
    return {{"type", "outage"},
            {"stream", o.audio ? "audio" : "video"},
            {"time", clock.stamp(o.start_ns)},
            {"start_ms", report_ms(double(o.start_ns))},
            {"length_ms", over ? json(report_ms(double(o.length_ns))) : json(nullptr)},
            {"over", over},
            {"message", o.message.empty() ? json(nullptr) : json(o.message)}};
}

bool parse_duration(const std::string& text, int64_t* ns)
{
    char* end = nullptr;
    const double value = strtod(text.c_str(), &end);
    if (end == text.c_str() || !std::isfinite(value) || value <= 0)
        return false;
    const std::string unit = end;
    const double seconds = unit.empty() || unit == "s" ? 1 : unit == "m" ? 60 : unit == "h" ? 3600 : 0;
    if (seconds == 0 || value * seconds * double(kNsPerSecond) > double(kLongestDurationNs))
        return false;
    *ns = int64_t(std::llround(value * seconds * double(kNsPerSecond)));
    return true;
}

} // namespace skelv
