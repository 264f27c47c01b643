// The exact analyser's loader: decodes one file through GStreamer into raw video frames and
// audio buffers in the formats its caller asks for (RGBx and mono S16LE by default), handed
// out one at a time on the calling thread.
#pragma once

#include <gst/gst.h>
#include <memory>
#include <set>
#include <string>
#include <vector>

struct LoaderHeldErrors;

struct Loader {
    GstElement* pipeline;     ///< "skelv_analyzer"; owns every element below
    GstElement* filesrc;      ///< borrowed, "filesrc0"
    GstElement* decodebin;    ///< borrowed, "decodebin0"
    GstElement* audioconvert; ///< borrowed, "audioconvert0"; null once the audio branch is pruned
    GstElement* videoconvert; ///< borrowed, "videoconvert0"; null once the video branch is pruned
    GstElement* videosink;    ///< borrowed appsink "videosink"; null once pruned
    GstElement* audiosink;    ///< borrowed appsink "audiosink"; null once pruned
    GstBus* bus;              ///< one reference of our own
    gint audio_pending;       ///< samples announced by the audio sink, not yet pulled (atomic)
    gint video_pending;       ///< samples announced by the video sink, not yet pulled (atomic)
    // A streaming thread may prune a sink while the main thread is looking at it; these
    // references keep both appsinks alive until loader_close.
    GstElement* videosink_ref; ///< one reference of our own
    GstElement* audiosink_ref; ///< one reference of our own

    // Of the sample that carried the latest delivered buffer of each stream.
    GstSegment audio_segment;
    GstSegment video_segment;
    GstCaps* video_caps; ///< owned; caps of the latest delivered video frame, or null
    bool frame_size_known;
    gint32 frame_width, frame_height, frame_stride; ///< parsed from video_caps

    gint64 stall_limit; ///< µs without a buffer, message or end of stream before a wait gives up
    std::vector<std::string> warnings; ///< pipeline warnings not yet taken, in arrival order
    std::set<std::string> warned;      ///< every warning text raised, so that each comes once
    // Errors posted inside the decoding bin, which may not reach the bus; shared with the
    // streaming threads that post them.
    std::shared_ptr<LoaderHeldErrors> held_errors;
};

GQuark skelv_loader_error_quark();
#define SKELV_LOADER_ERROR (skelv_loader_error_quark())
enum SkelvLoaderError {
    SKELV_LOADER_ERROR_STALLED, ///< the pipeline stopped moving
};

// A wait gives up after this long without a buffer, message or end of stream; the
// environment variable SKELV_STALL_SECONDS (seconds, fractions allowed) changes it.
constexpr double kDefaultStallSeconds = 60;

// Opens the pipeline and waits until every present stream has a sample queued, or until the
// pipeline stalls (SKELV_LOADER_ERROR_STALLED). Returns a handle in every case; `*error`
// (cleared on entry) decides success. The handle of a failed open may still be closed with
// loader_close.
Loader* loader_open(const char* path, GError** error);
// The same with other raw formats on the sinks ([transfer none]); loader_open asks for RGBx
// frames and mono S16LE sound.
Loader* loader_open_caps(const char* path, GstCaps* video_caps, GstCaps* audio_caps, GError** error);
void loader_close(Loader* loader);

// Converts a bus error into `*error` ("Error from <source>: <message>\n<debug>"), replacing
// what was there; keeps GStreamer's domain and code. Always true.
bool handle_error_message(Loader* loader, GstMessage* message, GError** error);

// Hands out at most one audio and one video buffer ([transfer full]: caller unrefs).
// False once both streams are finished; true when a buffer, an error or both are set. A
// pipeline that stalls sets SKELV_LOADER_ERROR_STALLED.
bool loader_get_buffer(Loader* loader, GstBuffer** audio, GstBuffer** video, GError** error);

void loader_get_video_size(Loader* loader, gint32* width, gint32* height, gint32* stride);
gint32 loader_get_audio_rate(Loader* loader);
float loader_get_framerate(Loader* loader);

// Size of the video frame delivered last, from the caps of its sample; false before any.
bool loader_get_frame_size(const Loader* loader, gint32* width, gint32* height, gint32* stride);

// Running time (the clock a player presents by) of a timestamp of the buffer delivered last
// on that stream; GST_CLOCK_TIME_NONE when the timestamp is unset. A timestamp before its
// segment's start takes the start's running time, one after its stop the stop's.
GstClockTime loader_get_video_running_time(const Loader* loader, GstClockTime timestamp);
GstClockTime loader_get_audio_running_time(const Loader* loader, GstClockTime timestamp);

// The pipeline's warnings since the last call, oldest first, each once: "Warning from
// <element>: <message>", and "No decoder for <caps>; the stream is not read" for an audio or
// video stream that the decoding bin could not decode.
std::vector<std::string> loader_take_warnings(Loader* loader);

// Factory names of the elements the decoding bin chose, and of the installed muxer and
// encoders that produce the same formats; null when none. Owned by the registry.
const gchar* loader_get_demuxer(Loader* loader);
const gchar* loader_get_video_decoder(Loader* loader);
const gchar* loader_get_audio_decoder(Loader* loader);
const gchar* loader_get_muxer(Loader* loader);
const gchar* loader_get_video_encoder(Loader* loader);
const gchar* loader_get_audio_encoder(Loader* loader);

struct LoaderClose {
    void operator()(Loader* loader) const { loader_close(loader); }
};
using LoaderPtr = std::unique_ptr<Loader, LoaderClose>;
