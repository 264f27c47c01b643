// What a correct analysis of a generated clip reports, written beside the clip as
// <clip>.expected.json with the analyser's field names.
#pragma once

#include "generate/clip_design.h"
#include "generate/codecs.h"
#include "core/tone_detector.h"
#include "core/video_structure.h"

#include <string>
#include <vector>

struct ExpectedMarker {
    MarkerBox box;
    uint32_t crc;             ///< fingerprint of the marker's colour classes, frame by frame
    MarkerClass marker_class; ///< type and interval that the frame codes give
};

struct ExpectedReport {
    int64_t start_ns = 0;                ///< timestamp of the first frame and sample as demuxed
    std::vector<std::string> codes;      ///< letters per written frame
    std::vector<ExpectedMarker> markers; ///< empty without video
    int32_t header_frames = 0, locator_frames = 0, content_frames = 0, trailer_frames = 0;
    std::vector<AudioMarker> beeps;            ///< as the beep detector finds them in the written samples
    int32_t video_markers = 0;                 ///< frames in which the lip-sync marker is black
    double delay_min_ms = 0, delay_max_ms = 0; ///< beep start minus flash time, over the pairs
    std::vector<std::string> warnings;
    double video_length = 0, audio_length = 0; ///< end of each stream, seconds
};

// Derives the report from the design, its container and the exact samples written. False
// with a reason when the detector does not find one beep per flash.
bool expected_report_make(const ClipDesign& design, const Encoding& encoding, const std::vector<int16_t>& sound,
    ExpectedReport* report, std::string* error);

// Writes the report for the clip at `clip_path` to `path` as JSON.
bool expected_report_write(const std::string& path, const std::string& clip_path, const ClipDesign& design,
    const Encoding& encoding, const ExpectedReport& report, std::string* error);
