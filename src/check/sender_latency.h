// skelv-check --sender: the end-to-end latency of a live source against the sidecar that
// skelv-generate --play wrote as it sent (its file, or its lines sent over UDP). Both programs
// read the system's monotonic clock on one machine, or the sender's clock served on the
// network: the sidecar gives each frame's and beep's sending on it, the receiving pipeline's
// base time puts the captured running times on it.
//
// Arrival is the running time the source gives a frame, the one the lip-sync is read from:
// a capture's own, and for MPEG-TS the PTS put on the receiving clock through the PCR as it
// arrives, i.e. when a player following the stream presents the frame (arrival plus the
// multiplexer's PCR margin). The moment a decoded frame reaches the reader would add our own
// decoding and the demuxer's wait for the next frame.
//
//   SenderLatency latency;
//   latency.open(sidecar, &error);                      // before the source: the header
//   latency.use_clock(source->arrival_clock(), &error); // once the source is open
//   latency.take_frame(frame) ...                        // every captured frame
//   latency.describe(&snapshot, false) ...               // as the run goes
//   latency.describe(&result, true);                     // after the run: result.latency
//
// The sidecar is read as it grows, and each frame paired as it arrives: memory stays fixed
// however long the run.
#pragma once

#include "check/check_result.h"
#include "check/sidecar_lines.h"
#include "media/media_source.h"
#include "sync/latency.h"

#include <deque>
#include <optional>
#include <set>
#include <string>

namespace skelv {

// Whether times on `receiver` can be set against times on `sender`; else why not.
bool comparable_clocks(const ClockIdentity& sender, const ClockIdentity& receiver, std::string* error);

class SenderLatency {
public:
    bool open(const std::string& sidecar, std::string* error);
    // The receiving source's clock; false with a reason when it has none (it is not timed as
    // it arrives) or one that cannot be compared with the sender's.
    bool use_clock(const std::optional<ClockIdentity>& receiver, std::string* error);
    // Across machines: how the receiver's times lie on the sender's, as the network clock
    // followed tells it now; each later arrival is mapped by it (the beeps by the last).
    void use_mapping(const ClockMapping& mapping)
    {
        mapping_ = mapping;
        receiver_.error_ns = mapping.error_ns;
    }
    // Each captured frame as the timeline settles it.
    void take_frame(const CheckFrame& frame);
    // The result's latency as the sidecar and the arrivals stand now; `final` once the run is
    // over, when frames still waiting for their sidecar line never get it.
    void describe(CheckResult* result, bool final);

private:
    int64_t on_sender_clock(int64_t receiver_ns) const;
    // The sidecar's lines written since the last call, each whole.
    void read_new_lines();
    void pair(int64_t number, int64_t arrived_ns);
    void pair_waiting();

    std::string sidecar_; ///< as messages name it
    SidecarLines lines_;
    size_t lines_read_ = 0;
    std::string sidecar_error_; ///< the first malformed line; nothing after it is read
    std::optional<ClockMapping> mapping_;
    ClockIdentity sender_, receiver_;
    SentTimes sent_frames_;    ///< sent, not yet arrived; the oldest forgotten
    SentTimes sent_beeps_;     ///< every beep: one a second, as the run's events are kept
    int64_t newest_sent_ = -1; ///< the highest content frame the sidecar has listed
    std::deque<Arrival> waiting_; ///< arrived before the sidecar listed them
    std::set<int64_t> paired_;    ///< the latest numbers paired; a number below them all is a repeat
    LatencyTally video_;
    size_t unmatched_ = 0;
};

} // namespace skelv
