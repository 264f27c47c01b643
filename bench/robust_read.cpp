// The whole robust reading of a recording's picture through GStreamer, without keeping the
// per-frame readings: what run_robust_vs_analyzer.sh times against skelv-analyzer. Prints the
// markers and the continuity on one line each.
#include "check/video_decode.h"
#include "media/log.h"

#include <cstdio>

int main(int argc, char* argv[])
{
    gst_init(&argc, &argv);
    skelv_log_init();
    if (argc != 2) {
        fprintf(stderr, "Usage: %s <video file>\n", argv[0]);
        return 1;
    }
    VideoReaderOptions options;
    options.keep_frames = false;
    VideoReader reader(options);
    GError* error = nullptr;
    if (!read_video_file(argv[1], &reader, &error)) {
        fprintf(stderr, "%s\n", error->message);
        g_error_free(error);
        return 2;
    }
    const VideoReading& reading = reader.result();
    if (!reading.ok) {
        fprintf(stderr, "%s\n", reading.error.c_str());
        return 3;
    }
    printf("markers:");
    for (const FoundMarker& m : reading.markers)
        printf(" [%d,%d %dx%d role %d bit %d]", m.left, m.top, m.width, m.height, int(m.role), m.bit);
    const ContinuityReport& c = reading.continuity;
    printf("\nframes %lld, decodes %d, source fps %.3f: shown %lld dropped %lld unresolved %lld repeated %lld "
           "out of order %lld loops %d flashes %zu\n",
        (long long)reading.frames_read, reading.decodes, reading.source_fps, (long long)c.shown, (long long)c.dropped,
        (long long)c.unresolved, (long long)c.repeated, (long long)c.out_of_order, c.loops, c.flashes.size());
    return 0;
}
