// What the run concludes once both decodes are done: spans and marker types, the lip-sync
// reference and delays, and the timeline file.
#pragma once

#include "analyzer/analysis_run.h"

#include <string>

// Index of the lip-sync reference among `markers` markers: the last one classified RGB6, -1
// without one. Markers without a class (no frame in the second pass) are never the reference.
int32_t lipsync_reference(const VideoStructure& structure, size_t markers);

// Start of an audio marker on the frames' clock, ns.
uint64_t audio_marker_time(const AnalysisRun& run, int32_t sample);
// Pairs the i-th video marker with the i-th beep.
LipsyncSummary lipsync_summarize(const AnalysisRun& run);

// Writes the AUDIO/VIDEO timeline to `path`, which must be a regular file or absent: a pipe
// or device there is left alone. On failure removes what was written, returns false and
// describes the reason in `*failure`.
bool frames_file_write(const char* path, const AnalysisRun& run, std::string* failure);

// Classifies the frame codes, picks the lip-sync reference, sums up the delays and writes the
// timeline to `frame_data_path`; a timeline that cannot be written leaves `frame_data` unset
// and becomes a warning.
void analysis_conclude(AnalysisRun* run, const char* frame_data_path);
