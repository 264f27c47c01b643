// Encodes a designed clip with real GStreamer encoders and muxers: appsrc → convert →
// encoder → parser → muxer → filesink.
#pragma once

#include "generate/clip_design.h"
#include "generate/codecs.h"
#include "media/gst_ptr.h"

#include <cstdint>
#include <string>
#include <vector>

namespace skelv {

// The raw picture (RGBx) and sound (mono S16) that a design is rendered in.
GstCapsPtr design_video_caps(const ClipParams& params);
GstCapsPtr design_audio_caps(const ClipParams& params);

// Names the first element factory that `encoding` needs and the registry lacks; false
// when all are there.
bool clip_pipeline_missing_element(const Encoding& encoding, std::string* missing);

// Refuses, with the reason, what the encoders or the muxer cannot take: first against their
// pad templates, then by what each encoder really gives for one blank frame or chunk of
// sound (fields its template leaves open). Writes nothing.
bool clip_pipeline_check(const Encoding& encoding, const ClipParams& params, int quality, std::string* error);

// Writes the design's frames and `sound` (its whole sound track) to `path`. Call after
// gst_init(). False with a reason on failure; the file written so far is then removed.
bool clip_pipeline_write(const ClipDesign& design, const std::vector<int16_t>& sound, const Encoding& encoding,
    int quality, const std::string& path, std::string* error);

} // namespace skelv
