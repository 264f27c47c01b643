// What the readers found, in the terms of skelv-check's result: the picture's markers,
// continuity and per-frame timeline, and why nothing could be judged.
#pragma once

#include "check/check_result.h"
#include "picture/video_reader.h"

#include <cstdint>
#include <string>

namespace skelv {

// Markers, areas left unread, rates, continuity, timeline and warnings of the picture reading.
CheckVideo video_summary(const VideoReading& reading);

// One captured frame per reading; a frame lasts until the next one, the last as long as the
// one before it.
std::vector<CheckFrame> timeline_of(const std::vector<FrameReading>& frames);

// Why `result` has no event to judge, in words; empty when it has.
std::string unmeasurable_reason(const CheckResult& result, const VideoReading& reading, bool has_video, bool has_audio);

} // namespace skelv
