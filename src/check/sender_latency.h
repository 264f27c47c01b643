// skelv-check --sender: the end-to-end latency of a live source against the sidecar that
// skelv-generate --play wrote as it sent. Both programs read the system's monotonic clock on
// one machine: the sidecar gives each frame's and beep's sending on it, the receiving
// pipeline's base time puts the captured running times on it.
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
//   latency.finish(&result);                             // after the run: result.latency
#pragma once

#include "check/check_result.h"
#include "media/media_source.h"
#include "sync/latency.h"

#include <optional>
#include <string>
#include <vector>

namespace skelv {

// The sidecar's first line: false with a reason when it is missing or no play's sidecar.
bool read_sender_clock(const std::string& sidecar, ClockIdentity* clock, std::string* error);

// Every frame line (content frames by content offset) and beep line (by its flash's content
// offset), each whole: a last line still being written is left for later.
bool read_sender_times(const std::string& sidecar, SentTimes* frames, SentTimes* beeps, std::string* error);

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
    // Pairs what arrived with what was sent, as the sidecar stands now.
    void finish(CheckResult* result) const;

private:
    int64_t on_sender_clock(int64_t receiver_ns) const;

    std::string sidecar_;
    std::optional<ClockMapping> mapping_;
    ClockIdentity sender_, receiver_;
    std::vector<Arrival> frames_; ///< first captures of content frames, on the receiver's clock
};

} // namespace skelv
