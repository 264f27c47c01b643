// What a correct analysis of a generated clip reports, written beside the clip as
// <clip>.expected.json with the analyser's field names. Everything in it follows from the
// clip's design and the readers' documented rules, never from the analyser's own modules,
// so that the end-to-end tests catch their faults.
#pragma once

#include "generate/clip_design.h"
#include "generate/codecs.h"

#include <string>
#include <vector>

namespace skelv {

struct ExpectedMarker {
    MarkerBox box;
    uint32_t crc;       ///< fingerprint of the marker's colour classes, frame by frame
    bool keeps_pattern; ///< false: dropped or repeated frames break it, and it reads as UNKNOWN
};

// One beep where the exact detector puts it.
struct ExpectedBeep {
    int64_t start; ///< samples from the first sample of the sound track
    int64_t end;   ///< samples, first one after the beep
};

struct ExpectedReport {
    int64_t start_ns = 0;                ///< timestamp of the first frame and sample as demuxed
    std::vector<std::string> codes;      ///< letters per written frame
    std::vector<ExpectedMarker> markers; ///< empty without video
    int32_t header_frames = 0, locator_frames = 0, content_frames = 0, trailer_frames = 0;
    std::vector<ExpectedBeep> beeps;
    int32_t video_markers = 0;                 ///< frames in which the lip-sync marker is black
    double delay_min_ms = 0, delay_max_ms = 0; ///< beep start minus flash time, over the pairs
    std::vector<std::string> warnings;
    double video_length = 0, audio_length = 0; ///< end of each stream, seconds
};

// Derives the report from the design and its container. False with a reason when the
// beep detector would not find the beeps.
bool expected_report_make(const ClipDesign& design, const Encoding& encoding, ExpectedReport* report,
    std::string* error);

// Writes the report for the clip at `clip_path` to `path` as JSON.
bool expected_report_write(const std::string& path, const std::string& clip_path, const ClipDesign& design,
    const Encoding& encoding, const ExpectedReport& report, std::string* error);

} // namespace skelv
