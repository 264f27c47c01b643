// Decodes a file through the analyser's loader and drops every buffer: what the loader
// costs on top of decoding, without any analysis.
#include "media/gst_ptr.h"
#include "media/loader.h"
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
    GError* error = nullptr;
    LoaderPtr loader(loader_open(argv[1], &error));
    GstBuffer* audio;
    GstBuffer* video;
    while (error == nullptr && loader_get_buffer(loader.get(), &audio, &video, &error)) {
        GstBufferPtr audio_owner(audio), video_owner(video);
    }
    if (error != nullptr) {
        fprintf(stderr, "%s\n", error->message);
        g_error_free(error);
        return 2;
    }
    return 0;
}
