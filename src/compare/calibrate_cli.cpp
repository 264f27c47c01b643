#include "compare/calibrate_cli.h"

#include "check/check_report.h"
#include "check/check_run.h"
#include "compare/calibration.h"
#include "outputs/output_file.h"
#include "outputs/printf_text.h"
#include "rules/exit_codes.h"
#include "rules/time_units.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace skelv {

namespace {

struct CalibrateArguments {
    std::string reference, out = "calibration.json";
    int audio_stream = -1;
    bool quiet = false;
};

void report_error(const std::string& error)
{
    fprintf(stderr, "skelv-check calibrate: %s\n", error.c_str());
}

void define_calibrate_options(CLI::App& app, CalibrateArguments* a)
{
    app.add_option("REFERENCE", a->reference,
                   "a recording, through the chain, of a clip without an offset of its own (skelv-generate's)")
        ->required();
    app.add_option("--out", a->out, "write the calibration to FILE (calibration.json; - for standard output)");
    app.add_option("--audio-stream", a->audio_stream, "search only the audio stream of this index")
        ->check(CLI::NonNegativeNumber);
    app.add_flag("-q,--quiet", a->quiet, "no summary on standard output");
    app.footer("The chain's offset is the median of the reference's delays, with the distribution-free 95 %\n"
               "interval of a median; skelv-check --calibration FILE RECORDING takes it off every delay.\n"
               "Exit codes: 0 written, 1 wrong command line, 2 the reference could not be analysed or has\n"
               "fewer than 3 lip-sync events, 3 the calibration could not be written.");
}

std::string now_utc()
{
    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32];
    strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

std::string summary(const nlohmann::ordered_json& file, const std::string& out)
{
    const auto ms = [&](const nlohmann::ordered_json& value) { return printf_text("%+.3f", value.get<double>()); };
    return "Chain offset " + ms(file["offset_ms"]) + " ms (95 % " + ms(file["offset_ci95_ms"][0]) + "\u2026" +
           ms(file["offset_ci95_ms"][1]) + ", median of " + std::to_string(file["events"].size()) +
           " events): positive when the chain delays the sound; written to " + out + "\n";
}

int run_calibrate(const CalibrateArguments& a)
{
    CheckOptions options;
    options.audio_stream = a.audio_stream;
    CheckResult result;
    MediaError failure;
    if (!check_recording(source_request_of(a.reference), options, &result, &failure)) {
        report_error(a.reference + ": " + failure.message);
        return exit_code::kNotAnalysed;
    }
    nlohmann::ordered_json file;
    std::string error;
    if (!calibration_of(result, now_utc(), &file, &error)) {
        report_error(a.reference + ": " + error);
        return exit_code::kNotAnalysed;
    }
    const bool show = !a.quiet && !is_standard_output(a.out);
    if (!write_output(a.out, file.dump(2) + "\n", &error) || (show && !write_output("-", summary(file, a.out), &error))) {
        report_error(error);
        return exit_code::kOutput;
    }
    return exit_code::kSuccess;
}

} // namespace

bool calibrate_requested(int argc, char** argv)
{
    return argc > 1 && strcmp(argv[1], "calibrate") == 0;
}

int calibrate_main(int argc, char** argv)
{
    CLI::App app{"Measures a capture chain's own picture-to-sound offset on a reference recording.",
                 "skelv-check calibrate"};
    CalibrateArguments arguments;
    define_calibrate_options(app, &arguments);
    try {
        app.parse(argc - 1, argv + 1);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? exit_code::kSuccess : exit_code::kUsage;
    }
    return run_calibrate(arguments);
}

} // namespace skelv
