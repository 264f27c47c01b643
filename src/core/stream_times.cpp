#include "core/stream_times.h"

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
        gap = *offset < -kTolerance || *offset > kTolerance;
    }
    end_is_known = duration != kUnset;
    end = end_is_known ? timestamp + duration : timestamp;
    return gap;
}
