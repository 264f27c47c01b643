// Decodes a recording with GStreamer for the robust reading of its picture: frames stay in
// the decoder's own 8-bit YUV layout (planar or NV12-like, any chroma subsampling); other
// formats (10-bit, RGB, packed YUV) are converted to one of those.
#pragma once

#include "robust/video_reader.h"

#include <gst/gst.h>
#include <gst/video/video.h>

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

// Hands every video frame of `path`, with its running time, to `reader`, and finishes it;
// decodes the file a second time when the reader asks for it. False, with `*error` (cleared
// on entry) set, when a decode fails; the reader's result then covers what was read.
bool read_video_file(const char* path, VideoReader* reader, GError** error);

// Caps the video sink accepts: the 8-bit YUV layouts that YuvFrameView describes.
GstCaps* yuv_reader_caps();

// A view of a mapped frame; false for a format yuv_reader_caps() does not list.
bool yuv_view_of(const GstVideoFrame* frame, YuvFrameView* view);
