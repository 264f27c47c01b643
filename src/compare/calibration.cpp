#include "compare/calibration.h"

#include "check/check_report.h"
#include "rules/profiles.h"
#include "rules/time_units.h"
#include "sync/sync_statistics.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace skelv {

namespace {

using nlohmann::json;

constexpr const char* kFormat = "skelv-check calibration";

nlohmann::ordered_json events_json(const std::vector<SyncEvent>& events)
{
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const SyncEvent& e : events)
        list.push_back({{"flash_frame", e.flash_frame},
                        {"loop", e.loop},
                        {"video_ms", report_ms(double(e.video_ns))},
                        {"audio_ms", report_ms(double(e.audio_ns))},
                        {"delay_ms", report_ms(double(e.delay_ns))}});
    return list;
}

bool is_ms(const json& value)
{
    return value.is_number() && std::isfinite(value.get<double>()) && std::fabs(value.get<double>()) <= kMaxLimitMs;
}

nlohmann::ordered_json fps_or_null(double fps)
{
    return fps > 0 ? nlohmann::ordered_json(std::round(fps * 1000) / 1000) : nlohmann::ordered_json(nullptr);
}

// The fields a check needs, each of the right kind.
bool read_fields(const json& file, ChainCalibration* c, std::string* error)
{
    const json& interval = file.value("offset_ci95_ms", json());
    if (!is_ms(file.value("offset_ms", json())) || !interval.is_array() || interval.size() != 2 || !is_ms(interval[0]) ||
        !is_ms(interval[1]) || !file.value("events", json()).is_array() || !file.value("reference", json()).is_string() ||
        !file.value("made", json()).is_string()) {
        *error = "lacks offset_ms, offset_ci95_ms, events, reference or made";
        return false;
    }
    c->offset_ns = ns_of_ms(file["offset_ms"].get<double>());
    c->low_ns = ns_of_ms(interval[0].get<double>());
    c->high_ns = ns_of_ms(interval[1].get<double>());
    c->events = file["events"].size();
    c->reference = file["reference"].get<std::string>();
    c->made = file["made"].get<std::string>();
    const json& fps = file.value("capture_fps", json());
    c->capture_fps = fps.is_number() && std::isfinite(fps.get<double>()) && fps.get<double>() > 0 ? fps.get<double>() : 0;
    return true;
}

// False with errno set when `path` cannot be read to its end (missing, a folder, unreadable).
bool read_whole(const std::string& path, std::string* text)
{
    FILE* file = fopen(path.c_str(), "rb");
    if (file == nullptr)
        return false;
    char buffer[4096];
    size_t count = 0;
    while ((count = fread(buffer, 1, sizeof buffer, file)) > 0)
        text->append(buffer, count);
    const bool whole = !ferror(file);
    const int error = errno;
    fclose(file);
    errno = error;
    return whole;
}

} // namespace

bool calibration_of(const CheckResult& r, const std::string& made, nlohmann::ordered_json* file, std::string* error)
{
    if (r.untrusted_events > 0) {
        *error = "the reference has events where its timestamps are broken: record it again";
        return false;
    }
    const std::vector<SyncEvent>& events = r.pairing.events;
    if (events.size() < kMinCalibrationEvents) {
        *error = "the reference has " + std::to_string(events.size()) + " lip-sync events; a calibration needs at least " +
                 std::to_string(kMinCalibrationEvents) +
                 (r.unmeasurable_reason.empty() ? "" : " (" + r.unmeasurable_reason + ")");
        return false;
    }
    std::vector<double> delays;
    for (const SyncEvent& e : events)
        delays.push_back(double(e.delay_ns));
    const MedianInterval interval = median_interval(delays);
    *file = {{"format", kFormat},
             {"version", kCalibrationVersion},
             {"made", made},
             {"reference", r.file},
             {"offset_ms", report_ms(median_of(delays))},
             {"offset_ci95_ms", {report_ms(interval.low), report_ms(interval.high)}},
             {"offset_ci_coverage", std::round(interval.coverage * 10000) / 10000},
             {"offset_statistic", "median of the events' delays; distribution-free interval of a median from binomial ranks"},
             {"capture_fps", fps_or_null(r.video.capture_fps)},
             {"source_fps", fps_or_null(r.video.source_fps)},
             {"audio", {{"stream", r.audio.stream}, {"rate", r.audio.rate}, {"channels", r.audio.channels}}},
             {"events", events_json(events)}};
    return true;
}

bool read_calibration(const std::string& path, ChainCalibration* c, std::string* error)
{
    std::string text;
    if (!read_whole(path, &text)) {
        *error = "--calibration " + path + ": cannot be read: " + std::strerror(errno);
        return false;
    }
    const json file = json::parse(text, nullptr, false);
    if (file.is_discarded()) {
        *error = "--calibration " + path + ": not JSON (damaged or cut short): calibrate the chain again";
        return false;
    }
    if (!file.is_object() || file.value("format", json()) != kFormat) {
        *error = "--calibration " + path + ": not a calibration file of skelv-check calibrate";
        return false;
    }
    if (file.value("version", json()) != kCalibrationVersion) {
        *error = "--calibration " + path + ": calibration format version " + file.value("version", json()).dump() +
                 ", this skelv-check reads version " + std::to_string(kCalibrationVersion) +
                 ": calibrate the chain again";
        return false;
    }
    std::string missing;
    if (!read_fields(file, c, &missing)) {
        *error = "--calibration " + path + ": " + missing;
        return false;
    }
    c->file = path;
    return true;
}

} // namespace skelv
