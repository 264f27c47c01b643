// skelv-generate: writes a test clip that skelv-analyzer understands, with a chosen audio
// delay, and a sidecar JSON of what a correct analysis of it reports; or plays the signal live
// without end, with a sidecar of what it sent when.
#include "generate/clip_design.h"
#include "generate/clip_pipeline.h"
#include "generate/codecs.h"
#include "generate/expected_report.h"
#include "generate/generate_options.h"
#include "generate/hls_play.h"
#include "generate/play_pipeline.h"
#include "generate/play_timeline.h"
#include "generate/rtsp_play.h"
#include "rules/exit_codes.h"

#include <gst/gst.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

using namespace skelv;

namespace {

int fail(int code, const std::string& message)
{
    fprintf(stderr, "skelv-generate: %s\n", message.c_str());
    if (code == exit_code::kUsage)
        fprintf(stderr, "Try skelv-generate --help.\n");
    return code;
}

std::string describe(const Encoding& encoding)
{
    std::string codecs;
    for (const Codec* codec : {encoding.video, encoding.audio})
        if (codec != nullptr)
            codecs += (codecs.empty() ? "" : " + ") + std::string(codec->name);
    return "." + std::string(encoding.container->extension) + " with " + codecs;
}

// Creates (or empties) `path`, so that an unwritable place fails before any encoding.
bool check_writable(const std::string& path, std::string* error)
{
    FILE* file = fopen(path.c_str(), "wb");
    if (file == nullptr) {
        *error = "cannot write " + path + ": " + strerror(errno);
        return false;
    }
    fclose(file);
    return true;
}

// The clip goes to a scratch name first, so that a failed run leaves no partial file and
// an earlier clip stays with its sidecar.
int write_clip(const GenerateOptions& options, const Encoding& encoding, const ClipDesign& design)
{
    ExpectedReport report;
    std::string error;
    if (!expected_report_make(design, encoding, &report, &error))
        return fail(exit_code::kUsage, error);
    if (!clip_pipeline_check(encoding, options.clip, options.quality, &error))
        return fail(exit_code::kNotMade, error);
    const std::vector<int16_t> sound = clip_design_sound(design);
    const std::string scratch = options.output + ".part";
    if (!check_writable(scratch, &error))
        return fail(exit_code::kNotMade, error);
    if (!clip_pipeline_write(design, sound, encoding, options.quality, scratch, &error))
        return fail(exit_code::kNotMade, error);
    const std::string sidecar = options.output + ".expected.json";
    if (!expected_report_write(sidecar, options.output, design, encoding, report, &error) ||
        rename(scratch.c_str(), options.output.c_str()) != 0) {
        remove(scratch.c_str());
        return fail(exit_code::kNotMade, error.empty() ? "cannot rename " + scratch + ": " + strerror(errno) : error);
    }
    printf("Wrote %s (%s, %zu frames, audio delay %+.1f ms) and %s\n", options.output.c_str(),
        describe(encoding).c_str(), design.frames.size(), options.clip.audio_delay_ms, sidecar.c_str());
    return exit_code::kSuccess;
}

volatile std::sig_atomic_t stop_requested = 0;

void request_stop(int)
{
    stop_requested = 1;
}

// SIGINT and SIGTERM end the play as its duration would: end of stream, sidecar whole.
void catch_stop_signals()
{
    struct sigaction action = {};
    action.sa_handler = request_stop;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM})
        sigaction(signal, &action, nullptr);
}

int play(const GenerateOptions& options)
{
    PlayTimeline timeline;
    PlayRequest request{.target = options.output, .description = options.pipeline, .sidecar = options.sidecar,
        .sidecar_copy = options.send_sidecar, .seconds = options.play_seconds, .quality = options.quality,
        .clock_address = options.clock};
    std::string error;
    if (!timeline.make(options.clip, options.locator_every_minutes * 60, &error))
        return fail(exit_code::kUsage, error);
    HlsPlay hls;
    const bool served = HlsPlay::is_target(options.output);
    if (served && !hls.open(options.output, options.clip, options.quality, &request.description, &error))
        return fail(exit_code::kNotMade, error);
    RtspPlay rtsp;
    if (RtspPlay::is_target(options.output) &&
        !rtsp.open(options.output, options.clip, options.quality, &request.description, &error))
        return fail(exit_code::kNotMade, error);
    if (request.description.empty() &&
        !play_target_description(options.output, options.clip, options.quality, &request.description, &error))
        return fail(exit_code::kUsage, error);
    if (request.target.empty())
        request.target = options.pipeline;
    catch_stop_signals();
    uint64_t late = 0;
    if (!play_run(timeline, request, &stop_requested, &late, &error))
        return fail(exit_code::kNotMade, error);
    if (late > 0)
        fprintf(stderr, "skelv-generate: warning: the pipeline dropped %llu late buffers (\"late\" in %s)\n",
            static_cast<unsigned long long>(late), request.sidecar.c_str());
    if (served)
        hls.linger(&stop_requested);
    printf("Played to %s until %s; the timeline is in %s\n", request.target.c_str(),
        stop_requested ? "stopped" : "the end", request.sidecar.c_str());
    return exit_code::kSuccess;
}

} // namespace

int main(int argc, char* argv[])
{
    gst_init(&argc, &argv);
    GenerateOptions options;
    std::string error;
    if (!generate_options_parse(std::vector<std::string>(argv + 1, argv + argc), &options, &error))
        return fail(exit_code::kUsage, error);
    if (options.help) {
        fputs(generate_help_text().c_str(), stdout);
        return exit_code::kSuccess;
    }
    if (options.play)
        return play(options);
    Encoding encoding;
    ClipDesign design;
    if (!generate_options_encoding(&options, &encoding, &error) || !clip_design_make(options.clip, &design, &error))
        return fail(exit_code::kUsage, error);
    std::string missing;
    if (clip_pipeline_missing_element(encoding, &missing))
        return fail(exit_code::kNotMade,
            "the GStreamer element " + missing + " is not installed; " + describe(encoding) + " needs it");
    return write_clip(options, encoding, design);
}
