#include "check/video_decode.h"

#include "media/gst_ptr.h"
#include "media/loader.h"

namespace {

void set_frame_error(GError** error, const char* message, int64_t frame)
{
    if (*error == nullptr)
        g_set_error(error, GST_STREAM_ERROR, GST_STREAM_ERROR_DECODE, message, frame);
}

// Running time of a frame; a frame without one takes its predecessor's plus one frame.
int64_t frame_time(Loader* loader, GstBuffer* buffer, int64_t previous)
{
    const GstClockTime time = loader_get_video_running_time(loader, GST_BUFFER_PTS(buffer));
    if (GST_CLOCK_TIME_IS_VALID(time))
        return int64_t(time);
    const float rate = loader_get_framerate(loader);
    return previous + (rate > 0 ? int64_t(1e9 / rate) : 0);
}

// One decode: every frame to the reader until the end, a failure or the reader's restart.
bool decode_once(const char* path, VideoReader* reader, bool* restart, GError** error)
{
    *restart = false;
    GstCapsPtr video_caps(yuv_reader_caps());
    // Any raw sound: the audio branch then converts nothing.
    GstCapsPtr audio_caps(gst_caps_new_empty_simple("audio/x-raw"));
    LoaderPtr loader(loader_open_caps(path, video_caps.get(), audio_caps.get(), error));
    if (*error != nullptr)
        return false;
    int64_t frames = 0, time_ns = 0;
    GstBuffer* audio_out;
    GstBuffer* video_out;
    while (loader_get_buffer(loader.get(), &audio_out, &video_out, error)) {
        GstBufferPtr audio(audio_out), video(video_out);
        if (video) {
            VideoFrameMap map(loader->video_caps, video.get());
            YuvFrameView view;
            if (!map || !yuv_view_of(map.frame(), &view)) {
                set_frame_error(error, "Video frame %" G_GINT64_FORMAT " could not be mapped for reading", frames);
                return false;
            }
            time_ns = frame_time(loader.get(), video.get(), time_ns);
            ++frames;
            if (reader->push(view, time_ns) == PushResult::Restart) {
                *restart = true;
                return true;
            }
        }
        if (*error != nullptr)
            return false;
    }
    return *error == nullptr;
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

GstCaps* yuv_reader_caps()
{
    return gst_caps_from_string("video/x-raw, format=(string){ I420, YV12, NV12, NV21, Y42B, Y444 }");
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

bool read_video_file(const char* path, VideoReader* reader, GError** error)
{
    *error = nullptr;
    // At most two decodes: the reader asks again only while it has not yet read every frame.
    for (int decode = 0; decode < 2; ++decode) {
        bool restart = false;
        if (!decode_once(path, reader, &restart, error))
            return false;
        if (!restart && reader->finish() == PushResult::Continue)
            return true;
    }
    reader->finish();
    return true;
}
