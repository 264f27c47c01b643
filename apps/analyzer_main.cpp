// skelv-analyzer: finds the markers and beeps of a recorded test clip and reports its
// structure, timestamps and lip-sync as JSON on standard output.
#include "analyzer/conclusion.h"
#include "analyzer/passes.h"
#include "analyzer/report.h"
#include "media/gst_ptr.h"
#include "media/log.h"
#include "rules/exit_codes.h"

#include <gst/gst.h>

#include <cstdio>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

constexpr const char* kFrameDataFile = "frames.txt";

namespace exit_code = skelv::exit_code;

int fail(GError* error, int code)
{
    GErrorPtr owned(error);
    fprintf(stderr, "%s\n", owned->message);
    return code;
}

int fail_report(const std::string& reason)
{
    fprintf(stderr, "Could not write the report to standard output: %s\n", reason.c_str());
    return exit_code::kReportLost;
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
        return exit_code::kUsage;
    }

    AnalysisRun run;
    run.file = argv[1];
    GError* error = nullptr;
    if (!first_pass(&run, [](const AnalysisRun& opened) { report_write_opening(stdout, opened); }, &error))
        return fail(error, exit_code::kFirstDecode);
    report_write_totals(stdout, run);
    if (!second_pass(&run, &error))
        return fail(error, exit_code::kSecondDecode);

    analysis_conclude(&run, kFrameDataFile);
    report_write_results(stdout, run);
    std::string failure;
    return report_flush(stdout, &failure) ? exit_code::kSuccess : fail_report(failure);
}
