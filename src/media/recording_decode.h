// Decodes a recording with GStreamer for the robust readers: frames stay in the decoder's own
// 8-bit YUV layout (planar or NV12-like, any chroma subsampling; 10-bit, RGB and packed YUV are
// converted to one of those), sound comes as interleaved floats at its own rate and channels.
#pragma once

#include "media/loader.h"
#include "picture/video_reader.h"

#include <gst/gst.h>
#include <gst/video/video.h>

#include <functional>
#include <string>
#include <vector>

namespace skelv {

// What one decode hands out; every member may be empty.
struct DecodeHandlers {
    std::function<void(Loader* loader)> opened; ///< once, before the first buffer
    // Each frame with its running time; Restart: no more frames from this decode.
    std::function<PushResult(const YuvFrameView& frame, GstBuffer* buffer, int64_t time_ns)> frame;
    std::function<void(Loader* loader, GstBuffer* buffer)> sound; ///< each sound buffer
};

// What a decode that delivered something has to say besides its buffers.
struct DecodeNotes {
    std::string stopped_early;         ///< the failure that ended the decode early; empty when none
    std::vector<std::string> warnings; ///< the pipeline's warnings, oldest first
};

// One decode of `path`. False with `*error` when it cannot be opened, a frame cannot be
// mapped, or it fails before anything was delivered; a failure after that ends the decode
// early (`notes->stopped_early`).
bool decode_recording(const char* path, const DecodeHandlers& handlers, std::string* error, DecodeNotes* notes);

// Hands every video frame of `path`, with its running time, to `reader`, and finishes it;
// decodes the file a second time when the reader asks for it. False with `*error` when a
// decode fails.
bool read_video_file(const char* path, VideoReader* reader, std::string* error);

// A frame mapped through its caps (strides, plane offsets and video meta) for as long as
// the mapper lives.
class VideoFrameMap {
public:
    VideoFrameMap(GstCaps* caps, GstBuffer* buffer);
    ~VideoFrameMap();
    VideoFrameMap(const VideoFrameMap&) = delete;
    VideoFrameMap& operator=(const VideoFrameMap&) = delete;

    explicit operator bool() const { return mapped_; }
    const GstVideoFrame* frame() const { return &frame_; }

private:
    GstVideoFrame frame_{};
    bool mapped_ = false;
};

// A view of a mapped frame; false for a format the readers do not take.
bool yuv_view_of(const GstVideoFrame* frame, YuvFrameView* view);

} // namespace skelv
