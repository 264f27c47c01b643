// skelv-analyzer: finds the markers and beeps of a recorded test clip and reports its
// structure, timestamps and lip-sync as JSON on standard output.
#include "analyzer/conclusion.h"
#include "analyzer/passes.h"
#include "analyzer/report.h"
#include "media/gst_ptr.h"
#include "media/log.h"

#include <gst/gst.h>

#include <cstdio>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

constexpr const char* kFrameDataFile = "frames.txt";

enum ExitCode {
    EXIT_OK = 0,
    EXIT_USAGE = 1,        ///< wrong command line
    EXIT_FIRST_PASS = 2,   ///< the first decode failed, or the path is not a regular file
    EXIT_SECOND_PASS = 3,  ///< the second decode failed
    EXIT_REPORT_LOST = 4,  ///< the report could not be written whole to standard output
};

int fail(GError* error, int code)
{
    GErrorPtr owned(error);
    fprintf(stderr, "%s\n", owned->message);
    return code;
}

int fail_report(const std::string& reason)
{
    fprintf(stderr, "Could not write the report to standard output: %s\n", reason.c_str());
    return EXIT_REPORT_LOST;
}

} // namespace

int main(int argc, char* argv[])
{
    // A closed standard output would be handed to the next file opened, the report with it.
    if (fcntl(STDOUT_FILENO, F_GETFD) == -1)
        return fail_report("it is closed");
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
    std::string failure;
    return report_flush(stdout, &failure) ? EXIT_OK : fail_report(failure);
}
