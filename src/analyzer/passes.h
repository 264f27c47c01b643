// The two decodes of the file: the first finds the markers and prints the report's opening,
// the second reads every frame's code and the audio beeps.
#pragma once

#include "analyzer/analysis_run.h"

#include <glib.h>

// Each clears `*error` on entry; false with `*error` set on failure.
bool first_pass(AnalysisRun* run, GError** error);
bool second_pass(AnalysisRun* run, GError** error);

GQuark skelv_analyzer_error_quark();
#define SKELV_ANALYZER_ERROR (skelv_analyzer_error_quark())
enum SkelvAnalyzerError {
    SKELV_ANALYZER_ERROR_FRAME, ///< a decoded frame does not match the stream's frame size
};
