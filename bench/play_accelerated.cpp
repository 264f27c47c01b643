// skelv-generate --play's player on a clock that runs SPEED times real time, for
// bench/play_steady.sh: HOURS of play in HOURS / SPEED, the udp:// target's encoders and
// MPEG-TS muxer ending in a fakesink. The player paces itself by its pipeline's clock, so the
// whole play (painting, sound, sidecar, encoders, muxer) runs as it would for HOURS, only faster.
//
//   play_accelerated SIZE HOURS SPEED SIDECAR
//
// Prints the wall time taken against HOURS / SPEED (a play that keeps up takes no longer) and
// the late buffers counted.
#include "generate/generate_options.h"
#include "generate/play_pipeline.h"
#include "generate/play_timeline.h"
#include "media/gst_ptr.h"

#include <chrono>
#include <cstdio>
#include <string>

namespace {

// A system clock calibrated to run `speed` times real time from now on. Only the player's
// pacing may follow it: a sink's clock wait would take `speed` times too long (the system
// clock waits the difference in real nanoseconds), so the sinks here do not sync.
GstObjectPtr<GstClock> fast_clock(double speed)
{
    GstObjectPtr<GstClock> clock =
        gst_adopt_sink(GST_CLOCK(g_object_new(GST_TYPE_SYSTEM_CLOCK, "clock-type", GST_CLOCK_TYPE_MONOTONIC, nullptr)));
    const GstClockTime now = gst_clock_get_internal_time(clock.get());
    gst_clock_set_calibration(clock.get(), now, now, GstClockTime(speed * 1000), 1000);
    return clock;
}

} // namespace

int main(int argc, char* argv[])
{
    gst_init(&argc, &argv);
    if (argc != 5) {
        fprintf(stderr, "usage: play_accelerated SIZE HOURS SPEED SIDECAR\n");
        return 1;
    }
    skelv::GenerateOptions options;
    std::string error;
    skelv::PlayTimeline timeline;
    if (!skelv::generate_options_parse({"--play", "--size", argv[1]}, &options, &error) ||
        !timeline.make(options.clip, 0, &error)) {
        fprintf(stderr, "play_accelerated: %s\n", error.c_str());
        return 1;
    }
    const double hours = std::stod(argv[2]), speed = std::stod(argv[3]);
    const GstObjectPtr<GstClock> clock = fast_clock(speed);
    skelv::PlayRequest request;
    request.target = "accelerated";
    request.description = skelv::mpegts_description("fakesink sync=false", options.clip, options.quality);
    request.sidecar = argv[4];
    request.seconds = hours * 3600;
    request.clock = clock.get();
    const volatile std::sig_atomic_t never = 0;
    uint64_t late = 0;
    const auto start = std::chrono::steady_clock::now();
    if (!skelv::play_run(timeline, request, &never, &late, &error)) {
        fprintf(stderr, "play_accelerated: %s\n", error.c_str());
        return 2;
    }
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    printf("%g h of play at %s in %.0f s (%.0f s at %gx), late buffers %llu\n", hours, argv[1], wall,
        request.seconds / speed, speed, static_cast<unsigned long long>(late));
    return 0;
}
