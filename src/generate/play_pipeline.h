// Plays the test signal live: two live app sources, timestamped from the play timeline on one
// running time, into a launch description whose elements named `video` and `audio` take raw
// video and raw sound; its sinks sync to the pipeline's clock, the system's monotonic clock.
// A sidecar of JSON lines records each buffer as it leaves its source.
#pragma once

#include "generate/play_timeline.h"

#include <gst/gst.h>

#include <csignal>
#include <cstdint>
#include <string>

namespace skelv {

struct PlayRequest {
    std::string target;      ///< as given: udp:// or srt:// URI, auto, or the description's own text
    std::string description; ///< launch description with the elements `video` and `audio`
    std::string sidecar;     ///< JSON lines file
    std::string sidecar_copy; ///< "HOST:PORT" to send each sidecar line to as a UDP datagram too; empty: none
    double seconds = 0;      ///< how long to play; 0: until stopped
    int quality = 85;        ///< video quality 1..100, for the targets that encode
    // "[HOST]:PORT" to serve the pipeline's clock on as a GStreamer network clock, which a
    // receiver on another machine follows (skelv-check --clock); empty: none served.
    std::string clock_address;
    // The pipeline's clock; null: the system's monotonic clock. The play keeps to it, so a
    // clock that runs faster than real time plays faster (the steady-play bench's long runs).
    GstClock* clock = nullptr;
};

// H.264 without look-ahead and a keyframe every second, and MP2 sound: the codecs of the
// generator's files, at the encoders' fastest, their streams into `video_into` and
// `audio_into` (the rest of a launch description, e.g. "mpegtsmux name=mux ! udpsink ..."
// and "mux.").
std::string encoded_description(
    const ClipParams& params, int quality, const std::string& video_into, const std::string& audio_into);

// The network sinks' sync: to the clock, and a buffer more than 20 ms late (as a video sink
// allows) dropped with a QoS message, which the play counts; a sink that only sends late
// buffers on says nothing of them.
extern const char* const kLateCountedSync;

// Those streams in MPEG-TS (mpegtsmux, seven packets a buffer) into `sink`, the rest of a
// launch description.
std::string mpegts_description(const std::string& sink, const ClipParams& params, int quality);

// The launch description that a TARGET stands for (udp://HOST:PORT, srt://[HOST]:PORT or
// auto); false with a reason for any other, the served ones (http://, rtsp://) included.
bool play_target_description(const std::string& target, const ClipParams& params, int quality,
    std::string* description, std::string* error);

// Plays until the request's time is up or `*stop` becomes non-zero, then ends both streams and
// waits for the sinks to render them. Call after gst_init(). `*late` gets the buffers that the
// pipeline's elements reported dropped for lateness in their QoS messages, and those left out
// when a source's queue held 2 s (the sidecar's end line too; it lists only what left). False
// with a reason on failure; the sidecar then holds whole lines up to it.
bool play_run(const PlayTimeline& timeline, const PlayRequest& request, const volatile std::sig_atomic_t* stop,
    uint64_t* late, std::string* error);

} // namespace skelv
