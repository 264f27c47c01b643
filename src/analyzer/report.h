// The JSON report's rows after the passes, the lip-sync summary and the frame data file.
#pragma once

#include "analyzer/analysis_run.h"
#include "core/json_text.h"
#include "core/video_structure.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

// Nanoseconds as seconds, through single precision as every printed time is.
float seconds_from_ns(uint64_t ns);
float seconds_from_signed_ns(int64_t ns);

// Prints the markers list with each marker's type and sets run->lipsync_marker to the last
// RGB6 marker (-1 without one). Markers without a class print as UNKNOWN.
void report_print_markers(FILE* out, AnalysisRun* run, const VideoStructure& structure);
void report_print_video_structure(FILE* out, const VideoStructure& structure);

struct LipsyncSummary {
    int32_t audio_markers; ///< beeps found
    int32_t video_markers; ///< frames whose lip-sync marker is black
    float min_delay;       ///< seconds, beep start minus frame time; 0 without pairs
    float max_delay;       ///< seconds
};

// Start of an audio marker on the frames' clock, ns.
uint64_t audio_marker_time(const AnalysisRun& run, int32_t sample);
// Pairs the i-th video marker with the i-th beep.
LipsyncSummary lipsync_summarize(const AnalysisRun& run);
void report_print_lipsync(FILE* out, const LipsyncSummary& summary);

// Writes the AUDIO/VIDEO timeline to `path`. On failure removes what was written, returns
// false and describes the reason in `*failure`.
bool frames_file_write(const char* path, const AnalysisRun& run, std::string* failure);
void report_print_frame_data(FILE* out, const char* name);

void report_print_warnings(FILE* out, const std::vector<std::string>& warnings);
