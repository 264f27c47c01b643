// skelv-analyzer: finds the markers and beeps of a recorded test clip and reports its
// structure, timestamps and lip-sync as JSON on standard output.
#include "analyzer/conclusion.h"
#include "analyzer/passes.h"
#include "analyzer/report.h"
#include "media/gst_ptr.h"
#include "media/log.h"

#include <gst/gst.h>

#include <cstdio>

namespace {

constexpr const char* kFrameDataFile = "frames.txt";

enum ExitCode { EXIT_OK = 0, EXIT_USAGE = 1, EXIT_FIRST_PASS = 2, EXIT_SECOND_PASS = 3 };

int fail(GError* error, int code)
{
    GErrorPtr owned(error);
    fprintf(stderr, "%s\n", owned->message);
    return code;
}

} // namespace

int main(int argc, char* argv[])
{
    gst_init(&argc, &argv);
    skelv_log_init();
    if (argc != 2) {
        fprintf(stderr, "Usage: %s [gst options] <video file>\n", argv[0]);
        return EXIT_USAGE;
    }

    AnalysisRun run;
    run.file = argv[1];
    GError* error = nullptr;
    if (!first_pass(&run, [](const AnalysisRun& opened) { report_write_opening(stdout, opened); }, &error))
        return fail(error, EXIT_FIRST_PASS);
    report_write_totals(stdout, run);
    if (!second_pass(&run, &error))
        return fail(error, EXIT_SECOND_PASS);

    analysis_conclude(&run, kFrameDataFile);
    report_write_results(stdout, run);
    return EXIT_OK;
}
