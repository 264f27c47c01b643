// skelv-check: reads a recording of a test clip the way it came out of a real chain, or a
// live stream or capture device as it runs, pairs every beep with its flash and judges the
// lip-sync against a broadcast profile.
#include "batch/batch_cli.h"
#include "check/check_report.h"
#include "compare/calibrate_cli.h"
#include "compare/calibration.h"
#include "compare/compare_cli.h"
#include "compare/merge_parts_cli.h"
#include "check/check_parts.h"
#include "check/check_run.h"
#include "check/live_report.h"
#include "check/live_run.h"
#include "media/log.h"
#include "outputs/output_file.h"
#include "report/result_files.h"
#include "rules/exit_codes.h"
#include "rules/sound_travel.h"
#include "rules/time_units.h"

#include <CLI/CLI.hpp>
#include <gst/gst.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <optional>
#include <unistd.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

using namespace skelv;

namespace {

constexpr const char* kVersion = "skelv-check 1.0";
constexpr int kMaxParts = 1000;

struct Arguments {
    std::string source, pipeline, sound_pipeline, caps;
    std::string profile = "ebu-r37";
    std::optional<double> lead_ms, lag_ms;
    std::string json, csv, html, timeline, events;
    double expected_delay_ms = 0;
    std::string line_time_us = "0";
    std::optional<double> mic_distance_m, temperature_c;
    std::string calibration;
    int audio_stream = -1;
    std::vector<std::string> tags;
    bool quiet = false;
    // Live runs.
    bool follow = false;
    std::optional<bool> reconnect;
    double every_s = 10, window_s = 60, refresh_s = 30, give_up_s = 600;
    std::string duration;
    std::string sender;
    std::string clock;
    // A part of a long recording.
    std::string part, part_out;
};

void define_live_options(CLI::App& app, Arguments* a)
{
    const auto seconds = CLI::Range(0.1, 86400.0 * 366);
    app.add_option("--pipeline", a->pipeline, "read a GStreamer launch description instead (a capture device)");
    app.add_option("--sound-pipeline", a->sound_pipeline,
                   "with --pipeline: the sound from a second launch description, on the same clock");
    app.add_option("--caps", a->caps, "with udp://: the caps of what arrives (RTP needs them)");
    app.add_flag("--follow", a->follow, "tell events and status as they come, also for a file");
    app.add_option("--events", a->events, "write every event, status, warning and outage as JSON lines to FILE (- for standard output)");
    app.add_option("--every", a->every_s, "seconds between status lines of a live run (10)")->check(seconds);
    app.add_option("--window", a->window_s, "seconds of events the status lines' rolling figures cover (60)")->check(seconds);
    app.add_option("--refresh", a->refresh_s, "seconds between rewrites of --json, --csv and --html during a live run (30)")
        ->check(seconds);
    app.add_option("--duration", a->duration, "stop a live run after this long: 90s, 45m, 48h");
    app.add_option("--give-up", a->give_up_s, "end a live run whose source sent nothing for this many seconds (600)")
        ->check(seconds);
    app.add_option("--sender", a->sender,
                   "the sidecar of skelv-generate --play on this machine, or udp://[HOST]:PORT where it sends its "
                   "lines (--send-sidecar): also measure the picture's and the sound's latency from sending to "
                   "arrival (a live source only)");
    app.add_option("--clock", a->clock,
                   "net://HOST:PORT: time a live source on the network clock that skelv-generate --play --clock "
                   "serves on another machine, for --sender");
    app.add_flag("--reconnect,!--no-reconnect", a->reconnect, "open a lost network source again (on by default for network URIs)");
}

void define_options(CLI::App& app, Arguments* a)
{
    app.add_option("SOURCE", a->source,
                   "the recording to check: a file, or a URI (file://, http(s):// also HLS and DASH, rtsp://, srt://, udp://)");
    app.add_option("--profile", a->profile, "tolerance profile: " + sync_profile_names() + " (ebu-r37)");
    app.add_option("--lead-ms", a->lead_ms, "custom limit: audio may lead by at most X ms")->check(CLI::NonNegativeNumber);
    app.add_option("--lag-ms", a->lag_ms, "custom limit: audio may lag by at most Y ms")->check(CLI::NonNegativeNumber);
    app.add_option("--json", a->json, "write the result as JSON to FILE (- for standard output)");
    app.add_option("--csv", a->csv, "write one row per event to FILE");
    app.add_option("--html", a->html, "write the visual report to FILE");
    app.add_option("--timeline", a->timeline, "write one row per captured frame to FILE");
    app.add_option("--expect-delay", a->expected_delay_ms,
                   "the clip's designed audio offset in ms, subtracted before judging (0)");
    app.add_option("--line-time-us", a->line_time_us,
                   "a camera's rolling shutter: microseconds from one row of the recording to the next, 0 to "
                   "1000, or auto to measure it from the frames that caught the screen changing inside the "
                   "markers (rows read top to bottom; a recording, not live, not a --part); each flash is timed "
                   "at the lip-sync marker's row (0: a global shutter)");
    app.add_option("--mic-distance", a->mic_distance_m,
                   "metres from the screen to the microphone, 0 to 100: the sound's travel is taken off every beep");
    app.add_option("--temperature", a->temperature_c, "with --mic-distance: the air's temperature in °C, -50 to 60 (20)");
    app.add_option("--calibration", a->calibration,
                   "take the capture chain's own offset, measured by skelv-check calibrate, off every delay");
    app.add_option("--audio-stream", a->audio_stream,
                   "search only the audio stream of this index (as result.json lists the streams); "
                   "by default every audio stream is searched and the one whose beeps pair best is taken")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--tag", a->tags, "KEY=VALUE recorded in the result (device=stb-42, fw=2.3); repeatable")
        ->allow_extra_args(false); // one value each: a recording after it is not a tag
    app.add_flag("-q,--quiet", a->quiet, "no summary and no progress");
    app.add_option("--part", a->part,
                   "K/N: read only the K-th of N equal stretches of the recording's length, into a part file that "
                   "skelv-check merge joins with the others into the recording's result");
    app.add_option("--part-out", a->part_out, "with --part: the part file to write (RECORDING-NAME.K-of-N.part here)");
    define_live_options(app, a);
    app.set_version_flag("--version", kVersion);
    app.footer("Exit codes: 0 within tolerance, 1 wrong command line, 2 the recording could not be analysed\n"
               "(or a live source stayed silent), 3 an output could not be written, 4 analysed and out of tolerance.\n"
               "A live source (a network URI, --pipeline) or --follow tells each event as it comes; SIGINT or\n"
               "SIGTERM ends it with every output whole.\n"
               "Many recordings: skelv-check --out DIR [-j N] [--force] [--shard K/N] RECORDING|FOLDER...\n"
               "and skelv-check merge DIR...; skelv-check --out DIR --help tells more.\n"
               "One long recording on many cores or machines: skelv-check --part K/N RECORDING for K = 1..N,\n"
               "then skelv-check merge PART... [--json FILE] [--csv FILE] [--html FILE].\n"
               "Results of runs compared: skelv-check compare A B; skelv-check compare --help tells more.\n"
               "A capture chain's own offset: skelv-check calibrate REFERENCE [--out FILE], then --calibration FILE.");
}

// The microphone's distance and the chain's calibration the arguments tell.
bool choose_sound_corrections(const Arguments& a, CheckOptions* options, std::string* error)
{
    if (a.temperature_c && !a.mic_distance_m) {
        *error = "--temperature goes with --mic-distance";
        return false;
    }
    if (a.mic_distance_m) {
        const double metres = *a.mic_distance_m, celsius = a.temperature_c.value_or(20);
        if (!valid_mic_distance_m(metres) || !valid_temperature_c(celsius)) {
            *error = "--mic-distance takes metres from 0 to 100, --temperature degrees Celsius from -50 to 60";
            return false;
        }
        options->mic = MicDistance{metres, celsius, speed_of_sound(celsius), sound_travel_ns(metres, celsius)};
    }
    if (!a.calibration.empty()) {
        ChainCalibration calibration;
        if (!read_calibration(a.calibration, &calibration, error))
            return false;
        options->calibration = calibration;
    }
    return true;
}

// --line-time-us: given, or to be measured.
bool choose_line_time(const std::string& text, CheckOptions* options, std::string* error)
{
    std::optional<double> us;
    if (!parse_line_time_us(text, &us, error))
        return false;
    options->measure_line_time = !us;
    options->line_time_ns = us ? ns_of_ms(*us / 1000) : 0;
    return true;
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
    if (!choose_line_time(a.line_time_us, options, error))
        return false;
    if (!choose_sound_corrections(a, options, error))
        return false;
    options->audio_stream = a.audio_stream;
    for (const std::string& tag : a.tags)
        if (!add_tag(tag, &options->tags, error))
            return false;
    return true;
}

// The source the arguments name: exactly one of SOURCE and --pipeline.
bool choose_source(const Arguments& a, SourceRequest* request, std::string* error)
{
    if (a.source.empty() == a.pipeline.empty()) {
        *error = "give a SOURCE or --pipeline, one of them";
        return false;
    }
    if (!a.sound_pipeline.empty() && a.pipeline.empty()) {
        *error = "--sound-pipeline goes with --pipeline";
        return false;
    }
    *request = a.pipeline.empty() ? source_request_of(a.source) : SourceRequest(SourceKind::Pipeline, a.pipeline);
    request->sound_location = a.sound_pipeline;
    request->caps = a.caps;
    if (!a.clock.empty() && (request->kind == SourceKind::File ||
                             !network_clock_address(a.clock, true, &request->network_clock))) {
        *error = "--clock takes net://HOST:PORT (PORT from 1 to 65535), for a live source";
        return false;
    }
    if (!a.sender.empty() && request->kind == SourceKind::File) {
        *error = "--sender needs a live source (udp://, rtp, srt://, rtsp://, --pipeline): a recording's times "
                 "cannot be put on the sender's clock";
        return false;
    }
    return true;
}

bool choose_live(const Arguments& a, const SourceRequest& request, LiveOptions* live, std::string* error)
{
    live->every_ns = ns_of_seconds(a.every_s);
    live->window_ns = ns_of_seconds(a.window_s);
    live->refresh_ns = ns_of_seconds(a.refresh_s);
    live->give_up_ns = ns_of_seconds(a.give_up_s);
    live->reconnect = a.reconnect.value_or(is_network_source(request));
    int64_t duration = 0;
    if (!a.duration.empty() && !parse_duration(a.duration, &duration)) {
        *error = "--duration takes a length such as 90s, 45m or 48h";
        return false;
    }
    if (!a.duration.empty())
        live->duration_ns = duration;
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
    return {{"--json", a.json}, {"--csv", a.csv}, {"--html", a.html}, {"--timeline", a.timeline}, {"--events", a.events}};
}

// The summary, and the lines of a live run, give way to an output written to standard output.
bool stdout_free(const Arguments& a)
{
    for (const NamedOutput& output : named_outputs(a))
        if (!output.path.empty() && is_standard_output(output.path))
            return false;
    return !a.quiet;
}

bool write_outputs(const Arguments& a, const CheckResult& result, OutputStream* timeline)
{
    std::string error;
    if (!write_result_files({a.json, a.csv, a.html}, result, 0, &error) ||
        (!a.timeline.empty() && !timeline->commit(&error))) {
        fprintf(stderr, "skelv-check: %s\n", error.c_str());
        return false;
    }
    return true;
}

bool print_summary(const CheckResult& result)
{
    std::string error;
    if (write_output("-", check_summary_text(result), &error))
        return true;
    fprintf(stderr, "skelv-check: %s\n", error.c_str());
    return false;
}

// ---------------------------------------------------------------- live runs

volatile std::sig_atomic_t g_stop = 0;

extern "C" void stop_live_run(int)
{
    g_stop = g_stop < 2 ? g_stop + 1 : 2;
}

void catch_stop_signals()
{
    struct sigaction action {};
    action.sa_handler = stop_live_run;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM})
        sigaction(signal, &action, nullptr);
    signal(SIGPIPE, SIG_IGN); // a reader that goes away is a failed write, told as such
}

void print_line(const std::string& line)
{
    fputs((line + "\n").c_str(), stdout);
    fflush(stdout);
}

// Where a live run's lines and snapshots go.
LiveListener live_listener(const Arguments& a, const CheckOptions& options, const LiveClock& clock, int64_t window_ns,
                           LineOutput* events)
{
    const bool lines = stdout_free(a), json_lines = !a.events.empty();
    std::optional<int64_t> calibration_ns;
    if (options.calibration)
        calibration_ns = options.calibration->offset_ns;
    LiveListener listener;
    listener.event = [=](const SyncEvent& e, bool within) {
        if (lines)
            print_line(live_event_line(clock, e, within, calibration_ns));
        if (json_lines)
            events->line(live_event_json(clock, e, within, calibration_ns)
                             .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    };
    listener.status = [=, &profile = options.profile](const LiveStatus& s) {
        if (lines)
            print_line(live_status_line(clock, s, profile, window_ns));
        if (json_lines)
            events->line(live_status_json(clock, s, window_ns).dump());
    };
    listener.warning = [=](const std::string& warning) {
        if (lines)
            print_line("warning: " + warning);
        if (json_lines)
            events->line(live_warning_json(warning).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    };
    listener.outage = [=](const Outage& o, bool over) {
        if (lines)
            print_line(live_outage_line(clock, o, over));
        if (json_lines)
            events->line(live_outage_json(clock, o, over).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    };
    listener.snapshot = [&a](const CheckResult& snapshot) {
        std::string error;
        if (!write_result_files({a.json, a.csv, a.html}, snapshot, int(a.refresh_s), &error))
            fprintf(stderr, "skelv-check: %s\n", error.c_str());
    };
    return listener;
}

// The wall clock a live source's running time started at: now, less nothing read yet.
LiveClock live_clock(bool wall)
{
    const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
    return {wall, std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count()};
}

int run_live_check(const Arguments& a, const SourceRequest& request, CheckOptions options, OutputStream* timeline)
{
    if (options.measure_line_time) {
        fprintf(stderr, "skelv-check: --line-time-us auto measures when the recording has been read: give the line "
                        "time to a live run\n");
        return exit_code::kUsage;
    }
    LiveOptions live;
    std::string error;
    SenderLatency sender;
    if (!choose_live(a, request, &live, &error) || (!a.sender.empty() && !sender.open(a.sender, &error))) {
        fprintf(stderr, "skelv-check: %s\n", error.c_str());
        return exit_code::kUsage;
    }
    if (!a.sender.empty())
        live.sender = &sender;
    LineOutput events;
    if (!a.events.empty() && !events.open(a.events, &error)) {
        fprintf(stderr, "skelv-check: %s\n", error.c_str());
        return exit_code::kOutput;
    }
    catch_stop_signals();
    live.stop = &g_stop;
    const LiveClock clock = live_clock(request.kind != SourceKind::File && !a.follow);
    options.progress = nullptr; // the lines are the progress
    CheckResult result;
    LiveEnd end;
    MediaError failure;
    const std::string name = a.pipeline.empty() ? a.source : "--pipeline";
    if (!run_live(request, options, live, live_listener(a, options, clock, live.window_ns, &events), &result, &end,
                  &failure)) {
        fprintf(stderr, "skelv-check: %s: %s\n", name.c_str(), failure.message.c_str());
        return end.refused ? exit_code::kUsage : exit_code::kNotAnalysed;
    }
    const bool summary = stdout_free(a);
    if (!write_outputs(a, result, timeline) || (!a.events.empty() && !events.close(&error)) ||
        (summary && !print_summary(result)))
        return exit_code::kOutput;
    if (end.gave_up) {
        fprintf(stderr, "skelv-check: %s: the source sent nothing for %g s: gave up\n", name.c_str(), a.give_up_s);
        return exit_code::kNotAnalysed;
    }
    if (!result.unmeasurable_reason.empty())
        fprintf(stderr, "skelv-check: %s: %s\n", name.c_str(), result.unmeasurable_reason.c_str());
    return exit_code_of(result);
}

int run_file_check(const Arguments& a, const SourceRequest& request, CheckOptions options, OutputStream* timeline)
{
    if (!a.quiet && isatty(STDERR_FILENO))
        options.progress = show_progress;
    CheckResult result;
    MediaError failure;
    const bool analysed = check_recording(request, options, &result, &failure);
    if (options.progress)
        fputs("\r\033[K", stderr);
    if (!analysed) {
        fprintf(stderr, "skelv-check: %s: %s\n", a.source.c_str(), failure.message.c_str());
        return exit_code::kNotAnalysed;
    }
    const bool summary = stdout_free(a); // before an output replaces what standard output is
    if (!write_outputs(a, result, timeline) || (summary && !print_summary(result)))
        return exit_code::kOutput;
    if (!result.unmeasurable_reason.empty())
        fprintf(stderr, "skelv-check: %s: %s\n", a.source.c_str(), result.unmeasurable_reason.c_str());
    return exit_code_of(result);
}

// ---------------------------------------------------------------- parts

// "K/N" with 1 <= K <= N <= kMaxParts.
bool parse_part(const std::string& text, int* part, int* parts)
{
    int used = 0;
    if (sscanf(text.c_str(), "%d/%d%n", part, parts, &used) != 2 || used != int(text.size()) || *part < 1 ||
        *part > *parts || *parts > kMaxParts) {
        return false;
    }
    return true;
}

std::string default_part_path(const std::string& recording, int part, int parts)
{
    const size_t slash = recording.find_last_of('/');
    const std::string name = slash == std::string::npos ? recording : recording.substr(slash + 1);
    return name + "." + std::to_string(part) + "-of-" + std::to_string(parts) + ".part";
}

int run_part_check(const Arguments& a, const SourceRequest& request, const CheckOptions& options)
{
    int part = 0, parts = 0;
    const bool live = request.kind == SourceKind::Pipeline || is_network_source(request) || a.follow ||
                      !a.duration.empty() || !a.sender.empty() || !a.clock.empty();
    if (!parse_part(a.part, &part, &parts) || live || !a.json.empty() || !a.csv.empty() || !a.html.empty() ||
        !a.timeline.empty() || !a.events.empty()) {
        fprintf(stderr, "skelv-check: --part takes K/N (1 <= K <= N <= %d) and a recorded file, and writes a part file "
                        "only: the outputs come from skelv-check merge\n", kMaxParts);
        return exit_code::kUsage;
    }
    if (options.measure_line_time) {
        fprintf(stderr, "skelv-check: --line-time-us auto measures on the whole recording: give the line time to "
                        "--part\n");
        return exit_code::kUsage;
    }
    PartRecord record;
    MediaError failure;
    if (!read_part(request, options, part, parts, &record, &failure)) {
        fprintf(stderr, "skelv-check: %s: %s\n", a.source.c_str(), failure.message.c_str());
        return exit_code::kNotAnalysed;
    }
    const std::string out = a.part_out.empty() ? default_part_path(a.source, part, parts) : a.part_out;
    std::string error;
    if (!write_part_record(out, record, &error)) {
        fprintf(stderr, "skelv-check: %s\n", error.c_str());
        return exit_code::kOutput;
    }
    return exit_code::kSuccess;
}

// Decoded frames are megabytes each. glibc serves blocks that large from the heap once a freed
// one has raised its mapping threshold, and over hours of a live run the heap then grew by a
// few frames at each stall of the reader and kept them; mapped apart, each goes back when freed.
void keep_frames_off_the_heap()
{
#ifdef __GLIBC__
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
#endif
}

} // namespace

int main(int argc, char* argv[])
{
    keep_frames_off_the_heap();
    // Results of runs set side by side: no media is read.
    if (compare_requested(argc, argv))
        return compare_main(argc, argv);
    // The parts of one recording joined: no media is read either.
    if (merge_of_parts_requested(argc, argv))
        return merge_parts_main(argc, argv);
    // A capture chain's own offset, measured on a reference recording (its --out is no batch's).
    if (calibrate_requested(argc, argv)) {
        gst_init(&argc, &argv);
        skelv_log_init();
        return calibrate_main(argc, argv);
    }
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
    CheckOptions options;
    SourceRequest request;
    if (!distinct_outputs(named_outputs(arguments), &error) || !choose_judging(arguments, &options, &error) ||
        !choose_source(arguments, &request, &error)) {
        fprintf(stderr, "skelv-check: %s\n", error.c_str());
        return exit_code::kUsage;
    }
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
    if (!arguments.part.empty())
        return run_part_check(arguments, request, options);
    const bool live = arguments.follow || request.kind == SourceKind::Pipeline || is_network_source(request) ||
                      !arguments.duration.empty() || !arguments.events.empty() || !arguments.sender.empty();
    return live ? run_live_check(arguments, request, options, &timeline) : run_file_check(arguments, request, options, &timeline);
}
