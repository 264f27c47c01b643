// One recording through skelv-check: a single decode through GStreamer feeding the robust
// picture and sound readers, then pairing, figures and the verdict.
#pragma once

#include "check/check_result.h"

#include <functional>
#include <string>

namespace skelv {

struct CheckOptions {
    SyncProfile profile;
    int64_t expected_delay_ns = 0; ///< the clip's designed audio offset, subtracted before judging
    // Called now and then during the decode with the position and the length (0 when
    // unknown), in seconds. May be empty.
    std::function<void(double position_s, double length_s)> progress;
};

// False with a message in `*error` when the file cannot be decoded at all. Otherwise true,
// also when nothing could be judged (then result->unmeasurable_reason says why).
bool check_recording(const std::string& path, const CheckOptions& options, CheckResult* result, std::string* error);

} // namespace skelv
