#include "core/stream_times.h"

#include <cstdio>

bool StreamTimes::advance(uint64_t timestamp, uint64_t duration, int64_t* offset)
{
    if (timestamp == kUnset) {
        end_is_known = false;
        return false;
    }
    bool gap = false;
    if (start == kUnset) {
        start = timestamp;
    } else if (end_is_known) {
        *offset = static_cast<int64_t>(timestamp - end);
        gap = *offset < -tolerance || *offset > tolerance;
    }
    end_is_known = duration != kUnset;
    end = end_is_known ? timestamp + duration : timestamp;
    return gap;
}

namespace {

std::string seconds_text(double seconds)
{
    char text[64];
    snprintf(text, sizeof text, "%0.3f", seconds);
    return text;
}

} // namespace

std::string video_gap_warning(int32_t frame, double offset_s)
{
    return "Gap in video times (frame " + std::to_string(frame) + ", offset = " + seconds_text(offset_s) + " s)";
}

std::string audio_gap_warning(double at_s, double offset_s)
{
    return "Gap in audio times (at " + seconds_text(at_s) + " s, offset = " + seconds_text(offset_s) + " s)";
}

std::string late_start_warning(const char* stream, double offset_s)
{
    return std::string(stream) + " time does not start from 0 (offset = " + seconds_text(offset_s) + " s)";
}
