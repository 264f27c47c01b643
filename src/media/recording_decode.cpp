#include "media/recording_decode.h"

#include "media/gst_ptr.h"
#include "media/loader.h"

namespace skelv {

namespace {

// Sink caps of the readers: the 8-bit YUV layouts a YuvFrameView describes, and sound as
// interleaved floats at its own rate and channel count.
GstCaps* frame_caps()
{
    return gst_caps_from_string("video/x-raw, format=(string){ I420, YV12, NV12, NV21, Y42B, Y444 }");
}

GstCaps* sound_caps()
{
    return gst_caps_from_string("audio/x-raw, format=(string)F32LE, layout=(string)interleaved");
}

// Running time of a frame; a frame without one follows its predecessor by one frame.
int64_t frame_time(Loader* loader, GstBuffer* buffer, int64_t previous)
{
    const GstClockTime time = loader_get_video_running_time(loader, GST_BUFFER_PTS(buffer));
    if (GST_CLOCK_TIME_IS_VALID(time))
        return int64_t(time);
    const float rate = loader_get_framerate(loader);
    return previous + (rate > 0 ? int64_t(1e9 / rate) : 0);
}

// Maps one frame and hands it on; false with `*error` when it cannot be mapped.
bool deliver_frame(Loader* loader, GstBuffer* buffer, const DecodeHandlers& handlers, int64_t* frames,
                   int64_t* time_ns, bool* taking_frames, std::string* error)
{
    VideoFrameMap map(loader->video_caps, buffer);
    YuvFrameView view;
    if (!map || !yuv_view_of(map.frame(), &view)) {
        *error = "video frame " + std::to_string(*frames + 1) + " could not be mapped for reading";
        return false;
    }
    ++*frames;
    *time_ns = frame_time(loader, buffer, *time_ns);
    *taking_frames = handlers.frame(view, buffer, *time_ns) == PushResult::Continue;
    return true;
}

} // namespace

VideoFrameMap::VideoFrameMap(GstCaps* caps, GstBuffer* buffer)
{
    GstVideoInfo info;
    mapped_ = caps != nullptr && gst_video_info_from_caps(&info, caps) &&
              gst_video_frame_map(&frame_, &info, buffer, GST_MAP_READ);
}

VideoFrameMap::~VideoFrameMap()
{
    if (mapped_)
        gst_video_frame_unmap(&frame_);
}

bool yuv_view_of(const GstVideoFrame* frame, YuvFrameView* view)
{
    switch (GST_VIDEO_FRAME_FORMAT(frame)) {
    case GST_VIDEO_FORMAT_I420:
    case GST_VIDEO_FORMAT_YV12:
    case GST_VIDEO_FORMAT_NV12:
    case GST_VIDEO_FORMAT_NV21:
    case GST_VIDEO_FORMAT_Y42B:
    case GST_VIDEO_FORMAT_Y444:
        break;
    default:
        return false;
    }
    const GstVideoFormatInfo* format = frame->info.finfo;
    view->width = GST_VIDEO_FRAME_WIDTH(frame);
    view->height = GST_VIDEO_FRAME_HEIGHT(frame);
    view->y = static_cast<const uint8_t*>(GST_VIDEO_FRAME_COMP_DATA(frame, GST_VIDEO_COMP_Y));
    view->y_stride = GST_VIDEO_FRAME_COMP_STRIDE(frame, GST_VIDEO_COMP_Y);
    view->u = static_cast<const uint8_t*>(GST_VIDEO_FRAME_COMP_DATA(frame, GST_VIDEO_COMP_U));
    view->v = static_cast<const uint8_t*>(GST_VIDEO_FRAME_COMP_DATA(frame, GST_VIDEO_COMP_V));
    view->uv_stride = GST_VIDEO_FRAME_COMP_STRIDE(frame, GST_VIDEO_COMP_U);
    view->uv_step = GST_VIDEO_FRAME_COMP_PSTRIDE(frame, GST_VIDEO_COMP_U);
    view->shift_x = GST_VIDEO_FORMAT_INFO_W_SUB(format, GST_VIDEO_COMP_U);
    view->shift_y = GST_VIDEO_FORMAT_INFO_H_SUB(format, GST_VIDEO_COMP_U);
    return view->uv_stride == GST_VIDEO_FRAME_COMP_STRIDE(frame, GST_VIDEO_COMP_V);
}

bool decode_recording(const char* path, const DecodeHandlers& handlers, std::string* error, DecodeNotes* notes)
{
    *notes = DecodeNotes{};
    GstCapsPtr video_caps(frame_caps()), audio_caps(sound_caps());
    GError* raw = nullptr;
    LoaderPtr loader(loader_open_caps(path, video_caps.get(), audio_caps.get(), &raw));
    GErrorPtr open_error(raw);
    if (open_error) {
        *error = open_error->message;
        return false;
    }
    if (handlers.opened)
        handlers.opened(loader.get());
    bool taking_frames = bool(handlers.frame), delivered = false;
    int64_t frames = 0, time_ns = 0;
    GstBuffer* audio_out;
    GstBuffer* video_out;
    while (loader_get_buffer(loader.get(), &audio_out, &video_out, &raw)) {
        GstBufferPtr audio(audio_out), video(video_out);
        GErrorPtr failure(raw);
        if (video && taking_frames &&
            !deliver_frame(loader.get(), video.get(), handlers, &frames, &time_ns, &taking_frames, error))
            return false;
        if (audio && handlers.sound)
            handlers.sound(loader.get(), audio.get());
        if (failure) {
            // What was read stays: a recording cut short is still worth its events.
            if (!delivered) {
                *error = failure->message;
                return false;
            }
            notes->stopped_early = failure->message;
            break;
        }
        delivered = delivered || video || audio;
        if (!taking_frames && !handlers.sound)
            break;
    }
    notes->warnings = loader_take_warnings(loader.get());
    return true;
}

bool read_video_file(const char* path, VideoReader* reader, std::string* error)
{
    bool restart = false;
    DecodeHandlers handlers;
    handlers.frame = [reader, &restart](const YuvFrameView& frame, GstBuffer*, int64_t time_ns) {
        const PushResult result = reader->push(frame, time_ns);
        restart = restart || result == PushResult::Restart;
        return result;
    };
    DecodeNotes notes;
    // At most two decodes: the reader asks again only while it has not yet read every frame.
    for (int decode = 0; decode < 2; ++decode) {
        restart = false;
        if (!decode_recording(path, handlers, error, &notes))
            return false;
        if (!restart && reader->finish() == PushResult::Continue)
            return true;
    }
    reader->finish();
    return true;
}

} // namespace skelv
