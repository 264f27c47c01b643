// A live source (a capture device, a stream), or any source followed as it is read, through
// skelv-check: every event told as it is paired, a status now and then, the result so far
// every so often, outages recorded rather than ended on, and a stop at the end of the stream,
// after a set duration or on a signal, with the result whole.
#pragma once

#include "check/check_session.h"
#include "check/sender_latency.h"
#include "media/media_source.h"
#include "rules/time_units.h"

#include <csignal>
#include <functional>
#include <optional>

namespace skelv {

struct LiveOptions {
    int64_t every_ns = 10 * kNsPerSecond;    ///< between status reports
    int64_t window_ns = 60 * kNsPerSecond;   ///< the rolling figures' stretch of events
    int64_t refresh_ns = 30 * kNsPerSecond;  ///< between snapshots of the result
    std::optional<int64_t> duration_ns;          ///< of the run, from its start; none: until the end or a signal
    int64_t give_up_ns = 600 * kNsPerSecond; ///< without anything from the source, the run ends
    int64_t outage_after_ns = kNsPerSecond;  ///< a stream silent this long is away
    bool reconnect = false;                      ///< open a network source again when it is lost
    // Set by a signal handler: 1 ends the run with what was read, 2 at once.
    const volatile std::sig_atomic_t* stop = nullptr;
    // With --sender: given every captured frame, and the result's latency at the end.
    SenderLatency* sender = nullptr;
};

// Figures of the events so far, for a status report.
struct LiveStatus {
    int64_t running_ns = 0;      ///< how far the picture has been read
    DelayStatistics window;      ///< of the events in the last LiveOptions::window_ns
    DelayStatistics whole;       ///< of every event so far
    SyncJudgement judgement;     ///< of every event so far
    int64_t frames = 0, dropped = 0, repeated = 0, lost_by_tool = 0;
    size_t outages = 0;
};

// What a live run tells as it goes; each may be empty.
struct LiveListener {
    std::function<void(const SyncEvent& event, bool within)> event;
    std::function<void(const LiveStatus& status)> status;
    std::function<void(const std::string& warning)> warning;
    std::function<void(const Outage& outage, bool over)> outage; ///< when it begins, and when it is over
    std::function<void(const CheckResult& snapshot)> snapshot;
};

struct LiveEnd {
    bool gave_up = false;  ///< the source was silent for LiveOptions::give_up_ns
    bool stopped = false;  ///< by a signal
    bool refused = false;  ///< the source cannot be read as asked (--sender on one not timed as it arrives)
};

// False with `*error` when the source cannot be opened, is refused, or fails before it
// delivered anything; otherwise the final result in `*result`.
bool run_live(const SourceRequest& source, const CheckOptions& options, const LiveOptions& live,
              const LiveListener& listener, CheckResult* result, LiveEnd* end, MediaError* error);

} // namespace skelv
