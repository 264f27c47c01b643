// One recording through skelv-check: the media source decodes it (a second time when the
// picture asks for it) and a CheckSession reads it.
#pragma once

#include "check/check_session.h"
#include "media/media_source.h"

namespace skelv {

// False with `*error` when the source cannot be read at all. Otherwise true, also when nothing
// could be judged (then result->unmeasurable_reason says why).
bool check_recording(const SourceSpec& source, const CheckOptions& options, CheckResult* result, MediaError* error);

} // namespace skelv
