// skelv-analyzer: finds the markers and beeps of a recorded test clip and reports its
// structure, timestamps and lip-sync as JSON on standard output.
#include "analyzer/passes.h"
#include "analyzer/report.h"
#include "core/video_structure.h"
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

void print_lipsync_and_frame_data(AnalysisRun* run)
{
    report_print_lipsync(stdout, lipsync_summarize(*run));
    std::string failure;
    if (frames_file_write(kFrameDataFile, *run, &failure))
        report_print_frame_data(stdout, kFrameDataFile);
    else
        run->warnings.push_back(failure);
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
    if (!first_pass(&run, &error))
        return fail(error, EXIT_FIRST_PASS);
    if (!second_pass(&run, &error))
        return fail(error, EXIT_SECOND_PASS);

    {
        VideoStructurePtr structure(video_structure_analyze(run.frame_codes));
        report_print_markers(stdout, &run, *structure);
        report_print_video_structure(stdout, *structure);
    }
    print_lipsync_and_frame_data(&run);
    report_print_warnings(stdout, run.warnings);
    fputs("}\n", stdout);
    return EXIT_OK;
}
