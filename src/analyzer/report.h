// The JSON report, every row of it, written from the run record. The rows come in three
// parts so that a run that fails part-way leaves what it had established: the opening once
// the file is open, the totals after the first decode, the results after both.
#pragma once

#include "analyzer/analysis_run.h"

#include <cstdio>
#include <string>

// The opening brace, the file, the stream's elements, resolution, frame rate and audio rate.
void report_write_opening(FILE* out, const AnalysisRun& run);
// Frames, stream lengths and the number of markers found.
void report_write_totals(FILE* out, const AnalysisRun& run);
// Markers with their types, spans, lip-sync, the timeline's name, warnings, closing brace.
void report_write_results(FILE* out, const AnalysisRun& run);

// Flushes `out`. False, with the reason in `*failure`, when anything written to it so far
// did not reach its destination (a closed descriptor, a full disk).
bool report_flush(FILE* out, std::string* failure);
