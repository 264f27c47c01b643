// One recording through skelv-check: the media source decodes it (a second time when the
// picture asks for it) and a CheckSession reads it.
#pragma once

#include "check/check_session.h"
#include "media/media_source.h"

namespace skelv {

// The one decode driver: everything the source hands out to the session, and the picture
// again when the session asks for it. False with `*error` when the source cannot be read at
// all; a source that fails after delivering something stops early and stays read.
bool read_recording(const SourceRequest& source, CheckSession* session, MediaError* error);

// A recording read and finished. False with `*error` when it cannot be read at all; otherwise
// true, also when nothing could be judged (then result->unmeasurable_reason says why).
bool check_recording(const SourceRequest& source, const CheckOptions& options, CheckResult* result, MediaError* error);

} // namespace skelv
