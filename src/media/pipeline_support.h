// What the exact analyser's loader and the media source share about running a decoding
// pipeline: the stall watchdog, the decoder thread cap, warnings from bus messages and running
// times. Internal to the media room.
#pragma once

#include "media/media_source.h"

#include <gst/gst.h>

#include <functional>
#include <optional>
#include <string>

namespace skelv {

// The stall limit in µs: `seconds` when positive, else SKELV_STALL_SECONDS when it holds a
// positive number of seconds, else kDefaultStallSeconds.
gint64 stall_limit_us(double seconds = 0);

// "Decoding stalled: ..." for a limit of `limit_us`.
std::string stall_message(gint64 limit_us);

// How long a wait has gone without a sign of life from the pipeline. Only the waits count:
// time that the caller spends between two calls never makes a stall.
class StallWatch {
public:
    explicit StallWatch(gint64 limit_us) : limit_(limit_us), last_(g_get_monotonic_time()) {}

    void moved() { last_ = g_get_monotonic_time(); }
    bool stalled() const { return left_us() == 0; }
    // µs until the stall, 0 once it is due.
    gint64 left_us() const;
    // A bus pop of at most `longest` that ends no later than the stall would.
    GstClockTime pop_timeout(GstClockTime longest) const;

private:
    gint64 limit_; ///< µs
    gint64 last_;  ///< monotonic µs of the latest sign of life
};

// SKELV_DECODER_THREADS, when it holds a positive number, caps the threads of every decoder
// that has a "max-threads" property (libav's); each element added to the pipeline, however
// deep, is offered it.
void limit_decoder_threads_from_environment(GstElement* pipeline);

// decodebin drops an error that an element posts while the bin tries it (READY, then PAUSED),
// yet keeps the element when the state change itself succeeds: a demuxer failing at once in
// its own thread (a truncated MP4) would leave the pipeline silent until the watchdog. For an
// `element` just added to a decodebin `bin`, this makes it post through a bus of ours that
// passes every message on to the bin unchanged and then hands each error to `on_error`, in the
// posting thread. Elements of other bins are left as they are.
void relay_decoding_bin_errors(GstBin* bin, GstElement* element, std::function<void(GstMessage*)> on_error);

// What became of the element that posted an error the relay handed over.
enum class HeldErrorFate {
    Undecided, ///< still on trial
    Kept,      ///< in a bin, its state no longer locked for the trial: the bin swallowed the error
    LetGo,     ///< out of every bin: the bin gave up on it, and on its error with it
};
HeldErrorFate held_error_fate(GstMessage* error);

// Caps as text without the fields that carry whole buffers (codec data, stream headers).
std::string caps_text(const GstCaps* caps);

// "Warning from <element>: <message>" of a warning message.
std::string warning_text(GstMessage* warning);
// "GStreamer error from <element>: <message>" of an error message.
std::string error_text(GstMessage* error);

// "No decoder for <caps>; the stream is not read" when `message` is a decoding bin's
// "missing-plugin" message about an audio, video or image stream.
std::optional<std::string> missing_decoder_warning(GstMessage* message);

// Running time of `timestamp` in `segment`; GST_CLOCK_TIME_NONE when unset. A buffer stamped
// outside its segment is shown at the segment's nearer edge, as a player clipping it would.
GstClockTime running_time_within(const GstSegment* segment, GstClockTime timestamp);

const char* klass_of(GstElement* element);

// The identity of `clock`, a pipeline's, with that pipeline's `base_time`.
ClockIdentity clock_identity(GstClock* clock, GstClockTime base_time);

} // namespace skelv
