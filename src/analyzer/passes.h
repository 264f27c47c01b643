// The two decodes of the file: the first describes the streams, counts the frames and finds
// the markers; the second reads every frame's code and the audio beeps. They fill the run
// record and print nothing but the progress counters on a terminal.
#pragma once

#include "analyzer/analysis_run.h"

#include <glib.h>

#include <functional>

// Called by the first pass once the file is open and its streams are described in the
// record, before any sample is read.
using OnOpened = std::function<void(const AnalysisRun& run)>;

// Each clears `*error` on entry; false with `*error` set on failure. A path that is not a
// regular file is refused before anything is opened: it could not be read a second time.
bool first_pass(AnalysisRun* run, const OnOpened& opened, GError** error);
// Warns when the file or its frame count changed since the first pass.
bool second_pass(AnalysisRun* run, GError** error);

GQuark skelv_analyzer_error_quark();
#define SKELV_ANALYZER_ERROR (skelv_analyzer_error_quark())
enum SkelvAnalyzerError {
    SKELV_ANALYZER_ERROR_FRAME,       ///< a decoded frame does not match the stream's frame size
    SKELV_ANALYZER_ERROR_NOT_REGULAR, ///< the path names a pipe, socket or device
};
