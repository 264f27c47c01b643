// What the readers found, in the terms of skelv-check's result: the picture's markers,
// continuity, and why nothing could be judged.
#pragma once

#include "check/check_result.h"
#include "picture/video_reader.h"

#include <cstdint>
#include <string>

namespace skelv {

// Markers, areas left unread, rates, continuity and warnings of the picture reading.
CheckVideo video_summary(const VideoReading& reading);

// What the picture's reading left aside (areas that change but are no markers, frames of
// another size), one line each.
std::vector<std::string> picture_warnings(const VideoReading& reading);

// Why `result` has no event to judge, in words; empty when it has.
std::string unmeasurable_reason(const CheckResult& result, const VideoReading& reading, bool has_video, bool has_audio);

} // namespace skelv
