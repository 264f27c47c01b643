// skelv-check: reads a recording of a test clip the way it came out of a real chain, pairs
// every beep with its flash and judges the lip-sync against a broadcast profile.
#include "batch/batch_cli.h"
#include "check/check_report.h"
#include "check/check_run.h"
#include "media/log.h"
#include "outputs/output_file.h"
#include "report/check_html.h"
#include "rules/exit_codes.h"
#include "rules/time_units.h"

#include <CLI/CLI.hpp>
#include <gst/gst.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <functional>
#include <optional>
#include <unistd.h>

using namespace skelv;

namespace {

constexpr const char* kVersion = "skelv-check 1.0";

struct Arguments {
    std::string recording;
    std::string profile = "ebu-r37";
    std::optional<double> lead_ms, lag_ms;
    std::string json, csv, html, timeline;
    double expected_delay_ms = 0;
    int audio_stream = -1;
    bool quiet = false;
};

void define_options(CLI::App& app, Arguments* a)
{
    app.add_option("RECORDING", a->recording, "the recording to check: a file or a URI (file://, http(s)://)")
        ->required();
    app.add_option("--profile", a->profile, "tolerance profile: " + sync_profile_names() + " (ebu-r37)");
    app.add_option("--lead-ms", a->lead_ms, "custom limit: audio may lead by at most X ms")->check(CLI::NonNegativeNumber);
    app.add_option("--lag-ms", a->lag_ms, "custom limit: audio may lag by at most Y ms")->check(CLI::NonNegativeNumber);
    app.add_option("--json", a->json, "write the result as JSON to FILE (- for standard output)");
    app.add_option("--csv", a->csv, "write one row per event to FILE");
    app.add_option("--html", a->html, "write the visual report to FILE");
    app.add_option("--timeline", a->timeline, "write one row per captured frame to FILE");
    app.add_option("--expect-delay", a->expected_delay_ms,
                   "the clip's designed audio offset in ms, subtracted before judging (0)");
    app.add_option("--audio-stream", a->audio_stream,
                   "search only the audio stream of this index (as result.json lists the streams); "
                   "by default every audio stream is searched and the one whose beeps pair best is taken")
        ->check(CLI::NonNegativeNumber);
    app.add_flag("-q,--quiet", a->quiet, "no summary and no progress");
    app.set_version_flag("--version", kVersion);
    app.footer("Exit codes: 0 within tolerance, 1 wrong command line, 2 the recording could not be analysed,\n"
               "3 an output could not be written, 4 analysed and out of tolerance.\n"
               "Many recordings: skelv-check --out DIR [-j N] [--force] [--shard K/N] RECORDING|FOLDER...\n"
               "and skelv-check merge DIR...; skelv-check --out DIR --help tells more.");
}

// The profile and designed offset the arguments ask for.
bool choose_judging(const Arguments& a, CheckOptions* options, std::string* error)
{
    if (!choose_profile(a.profile, a.lead_ms, a.lag_ms, &options->profile, error))
        return false;
    if (!valid_expected_delay_ms(a.expected_delay_ms)) {
        *error = "--expect-delay takes a number of ms from -60000 to 60000";
        return false;
    }
    options->expected_delay_ns = ns_of_ms(a.expected_delay_ms);
    return true;
}

void show_progress(double position_s, double length_s)
{
    if (length_s > 0)
        fprintf(stderr, "\r%.1f / %.1f s  ", position_s, length_s);
    else
        fprintf(stderr, "\r%.1f s  ", position_s);
}

std::vector<NamedOutput> named_outputs(const Arguments& a)
{
    return {{"--json", a.json}, {"--csv", a.csv}, {"--html", a.html}, {"--timeline", a.timeline}};
}

bool write_outputs(const Arguments& a, const CheckResult& result, OutputStream* timeline)
{
    const std::pair<const std::string&, std::function<std::string()>> outputs[] = {
        {a.json, [&] { return check_result_json(result).dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n"; }},
        {a.csv, [&] { return check_result_csv(result); }},
        {a.html, [&] { return check_html(result); }},
    };
    for (const auto& [path, render] : outputs) {
        std::string error;
        if (!path.empty() && !write_output(path, render(), &error)) {
            fprintf(stderr, "skelv-check: %s\n", error.c_str());
            return false;
        }
    }
    std::string error;
    if (!a.timeline.empty() && !timeline->commit(&error)) {
        fprintf(stderr, "skelv-check: %s\n", error.c_str());
        return false;
    }
    return true;
}

// The summary gives way to an output written to standard output.
bool summary_wanted(const Arguments& a)
{
    for (const NamedOutput& output : named_outputs(a))
        if (!output.path.empty() && is_standard_output(output.path))
            return false;
    return !a.quiet;
}

bool print_summary(const CheckResult& result)
{
    std::string error;
    if (write_output("-", check_summary_text(result), &error))
        return true;
    fprintf(stderr, "skelv-check: %s\n", error.c_str());
    return false;
}

int exit_code_of(const CheckResult& result)
{
    switch (result.judgement.verdict) {
    case SyncVerdict::Pass: return exit_code::kPass;
    case SyncVerdict::Fail: return exit_code::kFail;
    default: return exit_code::kNotAnalysed;
    }
}

} // namespace

int main(int argc, char* argv[])
{
    // Many recordings: each is analysed by this same program in a child process of its own.
    if (batch_requested(argc, argv))
        return batch_main(argc, argv, "/proc/self/exe");
    gst_init(&argc, &argv);
    skelv_log_init();
    CLI::App app{"Checks the lip-sync, dropped and repeated frames of a recorded test clip.", "skelv-check"};
    Arguments arguments;
    define_options(app, &arguments);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // Prints the help, the version or what was wrong.
        return app.exit(e) == 0 ? exit_code::kSuccess : exit_code::kUsage;
    }

    std::string error;
    if (!distinct_outputs(named_outputs(arguments), &error)) {
        fprintf(stderr, "skelv-check: %s\n", error.c_str());
        return exit_code::kUsage;
    }
    CheckOptions options;
    if (!choose_judging(arguments, &options, &error)) {
        fprintf(stderr, "skelv-check: %s\n", error.c_str());
        return exit_code::kUsage;
    }
    if (!arguments.quiet && isatty(STDERR_FILENO))
        options.progress = show_progress;

    options.audio_stream = arguments.audio_stream;
    // The timeline goes to its file as it is read: a long recording's rows are never held whole.
    OutputStream timeline;
    if (!arguments.timeline.empty()) {
        if (!timeline.open(arguments.timeline, &error)) {
            fprintf(stderr, "skelv-check: %s\n", error.c_str());
            return exit_code::kOutput;
        }
        timeline.write(kTimelineCsvHeader);
        options.on_frame = [&timeline](const CheckFrame& frame) { timeline.write(timeline_csv_row(frame)); };
    }

    CheckResult result;
    MediaError failure;
    const bool analysed = check_recording(source_spec_of(arguments.recording), options, &result, &failure);
    if (options.progress)
        fputs("\r\033[K", stderr);
    if (!analysed) {
        fprintf(stderr, "skelv-check: %s: %s\n", arguments.recording.c_str(), failure.message.c_str());
        return exit_code::kNotAnalysed;
    }
    const bool summary = summary_wanted(arguments); // before an output replaces what standard output is
    if (!write_outputs(arguments, result, &timeline))
        return exit_code::kOutput;
    if (summary && !print_summary(result))
        return exit_code::kOutput;
    if (!result.unmeasurable_reason.empty())
        fprintf(stderr, "skelv-check: %s: %s\n", arguments.recording.c_str(), result.unmeasurable_reason.c_str());
    return exit_code_of(result);
}
