// What a live run tells as it goes, in words and as JSON lines: one line per event, a status
// now and then, warnings and outages.
#pragma once

#include "check/live_run.h"

#include <nlohmann/json_fwd.hpp>

#include <optional>
#include <string>

namespace skelv {

// The clock a live run's lines are told on: the wall clock of a live source (the time of day
// its running time started at), or the recording's own time of a file.
struct LiveClock {
    bool wall = false;
    int64_t epoch_ns = 0; ///< wall: nanoseconds since 1970 at running time 0

    // "12:03:41.520" (local time), or "0:41.520", "1:02:41.520" of the recording.
    std::string text(int64_t running_ns) const;
    // ISO 8601 UTC for the JSON lines, or the recording's time in ms when not wall.
    nlohmann::json stamp(int64_t running_ns) const;
};

// "12:03:41.520  #1234  +38.2 ms  within"; with a calibration taken off (`calibration_ns`, the
// chain's own offset) the delay before it follows: "... within  (raw +61.2 ms)".
std::string live_event_line(const LiveClock& clock, const SyncEvent& event, bool within,
                            std::optional<int64_t> calibration_ns = std::nullopt);
// "12:04:00  last 60 s: 6 events, median +38.2 ms …  |  whole run: …  |  PASS"
std::string live_status_line(const LiveClock& clock, const LiveStatus& status, const SyncProfile& profile,
                             int64_t window_ns);
std::string live_outage_line(const LiveClock& clock, const Outage& outage, bool over);

nlohmann::json live_event_json(const LiveClock& clock, const SyncEvent& event, bool within,
                               std::optional<int64_t> calibration_ns = std::nullopt);
nlohmann::json live_status_json(const LiveClock& clock, const LiveStatus& status, int64_t window_ns);
nlohmann::json live_warning_json(const std::string& warning);
nlohmann::json live_outage_json(const LiveClock& clock, const Outage& outage, bool over);

// `duration` as a command line gives it: "90s", "45m", "48h" or plain seconds ("2.5");
// false for anything else or beyond a year.
bool parse_duration(const std::string& text, int64_t* ns);

} // namespace skelv
