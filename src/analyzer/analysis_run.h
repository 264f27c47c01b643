// The record of one analysis run, filled step by step by the two passes.
#pragma once

#include "core/layout.h"
#include "core/tone_detector.h"

#include <cstdint>
#include <string>
#include <vector>

struct AnalysisRun {
    const char* file = nullptr;              ///< the path as given on the command line
    std::vector<MarkerRect> markers;         ///< from the first pass
    int32_t total_frames = 0;                ///< video frames of the first pass
    std::vector<AudioMarker> audio_markers;  ///< beeps of the second pass
    std::vector<std::string> frame_codes;    ///< one per video frame of the second pass
    std::vector<uint64_t> frame_times;       ///< running time of each frame, ns; all ones when unset
    uint64_t audio_start_time = 0;           ///< running time of the first audio sample, ns
    std::vector<std::string> warnings;       ///< in the order raised
    int32_t lipsync_marker = -1;             ///< index into markers of the last RGB6 marker
    int32_t audio_rate = 0;                  ///< Hz, as the loader reports it
    int32_t video_width = 0, video_height = 0; ///< frame size of the first pass
};
