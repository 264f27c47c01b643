// What the readers found, in the terms of skelv-check's result: the picture's markers,
// continuity and per-frame timeline, why nothing could be judged, and the timestamp warnings.
#pragma once

#include "check/check_result.h"
#include "robust/video_reader.h"

#include <cstdint>
#include <string>

// Markers, continuity and timeline of the picture reading.
CheckVideo video_summary(const VideoReading& reading);

// One captured frame per reading; a frame lasts until the next one, the last as long as the
// one before it.
std::vector<CheckFrame> timeline_of(const std::vector<FrameReading>& frames);

// Why `result` has no event to judge, in words; empty when it has.
std::string unmeasurable_reason(const CheckResult& result, const VideoReading& reading, bool has_video, bool has_audio);

// The timestamp warnings, worded as skelv-analyzer words them.
std::string video_gap_warning(int32_t frame, int64_t offset_ns);
std::string audio_gap_warning(uint64_t expected_ns, int64_t offset_ns);
std::string late_start_warning(const char* stream, uint64_t start_ns);
