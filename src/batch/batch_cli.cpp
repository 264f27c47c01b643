#include "batch/batch_cli.h"

#include "batch/batch_run.h"
#include "batch/batch_summary.h"
#include "core/json_text.h"
#include "outputs/html_text.h"
#include "rules/exit_codes.h"
#include "rules/profiles.h"
#include "rules/run_tags.h"
#include "rules/sound_travel.h"

#include <CLI/CLI.hpp>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

namespace skelv {

namespace {

constexpr size_t kMaxListedProblems = 20; // recordings named at the end; the summary has all
constexpr unsigned kMaxJobs = 256;         // analyses at a time: far beyond any machine's cores
constexpr double kMinTimeoutS = 1, kMaxTimeoutS = 7 * 24 * 3600;
constexpr unsigned kMaxSplit = 1000;       // parts of one recording, as skelv-check --part takes

constexpr const char* kExitCodes =
    "Exit codes: 0 every recording passed, 1 wrong command line (also an --out that is not a\n"
    "folder), 2 some recording could not be analysed (unreadable, unmeasurable, crashed or timed\n"
    "out), 3 a result, the summary or the closing lines on standard output could not be\n"
    "written, 4 some recording is out of tolerance (4 wins over 2: the summary lists both),\n"
    "130 interrupted (what was finished is kept; run again to go on).";

volatile std::sig_atomic_t g_stop = 0;
bool g_stdout_closed = false; // standard output was closed when the program started

extern "C" void request_stop(int)
{
    g_stop = 1;
}

void catch_stop_signals()
{
    struct sigaction action {};
    action.sa_handler = request_stop;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);
}

// A closed standard descriptor gets /dev/null, so that no file this process opens takes its
// number and receives what was meant for it; a closed standard output is remembered.
void hold_standard_descriptors()
{
    for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY); // the lowest free number: fd
        g_stdout_closed = g_stdout_closed || fd == STDOUT_FILENO;
    }
}

// After the closing lines: false, with a message, when they did not reach standard output.
bool standard_output_written()
{
    if (fflush(stdout) == 0 && !ferror(stdout) && !g_stdout_closed)
        return true;
    fprintf(stderr, "skelv-check: cannot write the closing lines to standard output%s\n",
            g_stdout_closed ? ": it is closed" : "");
    return false;
}

// The cores this process may run on (a scheduler's allocation, taskset), at least one.
unsigned usable_cores()
{
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0)
        return std::max(1, CPU_COUNT(&set));
    return std::max(1L, sysconf(_SC_NPROCESSORS_ONLN));
}

struct BatchArguments {
    std::vector<std::string> recordings;
    std::string out, shard, profile = "ebu-r37", group_by, calibration;
    unsigned jobs = std::min(usable_cores(), kMaxJobs);
    unsigned split = 1;
    double timeout_s = 3600;
    bool force = false, quiet = false;
    std::optional<double> lead_ms, lag_ms, expected_delay_ms, mic_distance_m, temperature_c;
    std::optional<std::string> line_time_us;
    std::vector<std::string> tags;
};

// Where the recordings' microphone stood, for every analysis.
bool microphone_options(const BatchArguments& a, std::vector<std::string>* options, std::string* error)
{
    if (a.temperature_c && !a.mic_distance_m) {
        *error = "--temperature goes with --mic-distance";
        return false;
    }
    if (!a.mic_distance_m)
        return true;
    if (!valid_mic_distance_m(*a.mic_distance_m) || (a.temperature_c && !valid_temperature_c(*a.temperature_c))) {
        *error = "--mic-distance takes metres from 0 to 100, --temperature degrees Celsius from -50 to 60";
        return false;
    }
    options->insert(options->end(), {"--mic-distance", shortest(*a.mic_distance_m)});
    if (a.temperature_c)
        options->insert(options->end(), {"--temperature", shortest(*a.temperature_c)});
    return true;
}

// The chain's calibration, by its absolute path: every analysis runs in a folder of its own.
// What the file holds, each analysis reads and judges.
bool calibration_option(const BatchArguments& a, std::vector<std::string>* options, std::string* error)
{
    if (a.calibration.empty())
        return true;
    std::error_code failed;
    const std::filesystem::path path = std::filesystem::absolute(a.calibration, failed);
    if (failed || !std::filesystem::is_regular_file(path, failed) || access(path.c_str(), R_OK) != 0) {
        *error = "--calibration " + a.calibration + " is no readable file";
        return false;
    }
    options->insert(options->end(), {"--calibration", path.string()});
    return true;
}

// The options every analysis gets; recorded with each result, so that a change redoes it.
bool analysis_options(const BatchArguments& a, std::vector<std::string>* options, std::string* error)
{
    SyncProfile profile;
    if (!choose_profile(a.profile, a.lead_ms, a.lag_ms, &profile, error))
        return false;
    if (a.expected_delay_ms && !valid_expected_delay_ms(*a.expected_delay_ms)) {
        *error = "--expect-delay takes a number of ms from -60000 to 60000";
        return false;
    }
    *options = {"--profile", a.profile};
    if (a.lead_ms)
        options->insert(options->end(), {"--lead-ms", shortest(*a.lead_ms), "--lag-ms", shortest(*a.lag_ms)});
    if (a.expected_delay_ms)
        options->insert(options->end(), {"--expect-delay", shortest(*a.expected_delay_ms)});
    if (a.line_time_us) {
        std::optional<double> us;
        if (!parse_line_time_us(*a.line_time_us, &us, error))
            return false;
        if (!us && a.split > 1) {
            *error = "--line-time-us auto measures on a whole recording: not with --split";
            return false;
        }
        options->insert(options->end(), {"--line-time-us", us ? shortest(*us) : *a.line_time_us});
    }
    if (!microphone_options(a, options, error) || !calibration_option(a, options, error))
        return false;
    RunTags tags;
    for (const std::string& tag : a.tags)
        if (!add_tag(tag, &tags, error))
            return false;
    for (const auto& [key, value] : tags) // in key order: the same tags are the same options
        options->insert(options->end(), {"--tag", key + "=" + value});
    return true;
}

// A folder for results: one that exists, or nothing yet (it is made).
bool usable_out_folder(const std::string& out, std::string* error)
{
    struct stat info {};
    if (stat(out.c_str(), &info) != 0 || S_ISDIR(info.st_mode))
        return true;
    *error = "--out " + out + " is not a folder: name a folder for the results (it is made when missing)";
    return false;
}

// Everything the command line says beyond what its parser checks; false with a message.
bool batch_options(const BatchArguments& a, BatchOptions* options, BatchShard* shard, std::string* error)
{
    if (!analysis_options(a, &options->check_options, error) || !usable_out_folder(a.out, error))
        return false;
    if (!std::isfinite(a.timeout_s) || a.timeout_s < kMinTimeoutS || a.timeout_s > kMaxTimeoutS) {
        *error = "--timeout takes seconds from " + shortest(kMinTimeoutS) + " to " + shortest(kMaxTimeoutS) +
                 " (a week), not " + shortest(a.timeout_s);
        return false;
    }
    if (!a.shard.empty() && !parse_shard(a.shard, shard, error))
        return false;
    options->out_dir = a.out;
    options->jobs = a.jobs;
    options->split = a.split;
    options->timeout_s = a.timeout_s;
    options->force = a.force;
    options->shard = a.shard;
    options->stop = &g_stop;
    return true;
}

void show_progress(const BatchProgress& p)
{
    constexpr int kWidth = 30;
    const int filled = p.total ? int(kWidth * p.finished / p.total) : kWidth;
    const int seconds = int(p.elapsed_s);
    fprintf(stderr, "\r[%s%s] %zu/%zu  %zu running  %zu failed  %zu not analysed  %d:%02d\033[K",
            std::string(size_t(filled), '#').c_str(), std::string(size_t(kWidth - filled), '-').c_str(), p.finished,
            p.total, p.running, p.failed, p.not_analysed, seconds / 60, seconds % 60);
}

void print_counts(const BatchCounts& c, const std::string& what)
{
    printf("%s: %zu passed, %zu failed, %zu could not be analysed (%zu unmeasurable, %zu errors)\n", what.c_str(),
           c.pass, c.fail, c.unmeasurable + c.error, c.unmeasurable, c.error);
}

// Names as the rows show them: U+FFFD for bytes that are not UTF-8.
void print_problems(const std::vector<EntryStatus>& statuses)
{
    size_t listed = 0, left = 0;
    for (const EntryStatus& s : statuses) {
        if (s.outcome == EntryOutcome::Pass)
            continue;
        if (listed++ >= kMaxListedProblems) {
            left++;
            continue;
        }
        printf("  %-12s %s%s%s\n", entry_outcome_name(s.outcome), valid_utf8(s.file).c_str(), s.error.empty() ? "" : ": ",
               valid_utf8(s.error).c_str());
    }
    if (left > 0)
        printf("  ... and %zu more\n", left);
}

void print_summary_place(const std::string& out)
{
    printf("Summary: %s/summary.csv, %s/index.html\n", out.c_str(), out.c_str());
}

void report_error(const std::string& error)
{
    fprintf(stderr, "skelv-check: %s\n", error.c_str());
}

void define_batch_options(CLI::App& app, BatchArguments* a)
{
    app.add_option("RECORDING", a->recordings, "recordings, and folders to search for them")->required();
    app.add_option("--out", a->out, "one folder per recording and the summary go here")->required();
    app.add_option("-j,--jobs", a->jobs, "analyses at a time, 1 to 256 (the cores this process may use)")
        ->check(CLI::Range(1u, kMaxJobs));
    app.add_option("--split", a->split, "read each recording in N parts at once, then merge them, 1 to 1000 (1)")
        ->check(CLI::Range(1u, kMaxSplit));
    app.add_flag("--force", a->force, "analyse again what is already done");
    app.add_option("--shard", a->shard, "take only share K of N (0 <= K < N) of the recordings");
    app.add_option("--timeout", a->timeout_s, "seconds one analysis may take, 1 to 604800 (3600)");
    app.add_option("--profile", a->profile, "tolerance profile, as for one recording (ebu-r37)");
    app.add_option("--lead-ms", a->lead_ms, "custom limit: audio may lead by at most X ms (0 to 60000)");
    app.add_option("--lag-ms", a->lag_ms, "custom limit: audio may lag by at most Y ms (0 to 60000)");
    app.add_option("--expect-delay", a->expected_delay_ms, "the clips' designed audio offset in ms, -60000 to 60000 (0)");
    app.add_option("--line-time-us", a->line_time_us,
                   "the camera's rolling shutter, as for one recording: microseconds or auto (0)");
    app.add_option("--mic-distance", a->mic_distance_m, "metres from the screen to the microphone, 0 to 100");
    app.add_option("--temperature", a->temperature_c, "with --mic-distance: the air's temperature in \u00b0C (20)");
    app.add_option("--tag", a->tags, "KEY=VALUE recorded in every result (device=stb-42); repeatable")
        ->allow_extra_args(false); // one value each: a recording after it is not a tag
    app.add_option("--calibration", a->calibration, "the capture chain's calibration, as for one recording");
    app.add_option("--group-by", a->group_by, "KEY: the index page plots the runs' trend by this tag's value (fw)");
    app.add_flag("-q,--quiet", a->quiet, "no progress and no closing summary");
    app.footer(std::string("Each recording gets DIR/<name>-<hash>/ with result.json, events.csv, report.html and\n"
                           "timeline.csv; DIR/summary.csv, DIR/summary.json and DIR/index.html list them all.\n"
                           "Recordings already done with the same file and options are not analysed again.\n"
                           "--split N reads each recording as N parts, each a child of its own among the -j, then\n"
                           "merges them: the same result and folder, sooner for a few long recordings.\n") +
               kExitCodes);
}

// The recordings the command line names that fall in this run's share.
std::vector<BatchRecording> recordings_of_share(const BatchArguments& a, const BatchShard& shard)
{
    std::vector<BatchRecording> recordings;
    for (BatchRecording& r : find_recordings(a.recordings, a.out))
        if (in_shard(r, shard))
            recordings.push_back(std::move(r));
    return recordings;
}

// Runs the analyses; false when the batch could not write what it must (each said).
bool run_analyses(const std::vector<BatchRecording>& recordings, BatchOptions options, bool quiet, BatchOutcome* outcome)
{
    if (!quiet && isatty(STDERR_FILENO))
        options.progress = show_progress;
    catch_stop_signals();
    std::string error;
    const bool ran = run_batch(recordings, options, outcome, &error);
    if (options.progress)
        fputs("\r\033[K", stderr);
    if (!ran)
        report_error(error);
    for (const std::string& write_error : outcome->write_errors)
        report_error(write_error);
    return ran && outcome->write_errors.empty();
}

// The summary files from what `out` holds now; false (said) when they could not be written.
bool summarise(const std::string& out, const std::vector<std::string>& dirs, const std::string& group_by,
               std::vector<BatchRow>* rows)
{
    std::string error;
    if (std::filesystem::is_directory(out) && rebuild_summary(out, dirs, group_by, rows, &error))
        return true;
    report_error(error.empty() ? "no summary written" : error);
    return false;
}

int run_batch_command(const BatchArguments& a, const std::string& checker)
{
    BatchOptions options;
    options.checker = {checker};
    BatchShard shard;
    std::string error;
    if (!batch_options(a, &options, &shard, &error)) {
        report_error(error);
        return exit_code::kUsage;
    }
    const std::vector<BatchRecording> recordings = recordings_of_share(a, shard);
    BatchOutcome outcome;
    const bool written = run_analyses(recordings, options, a.quiet, &outcome);
    std::vector<BatchRow> rows;
    const bool summarised = summarise(a.out, {a.out}, a.group_by, &rows);
    if (outcome.stopped) {
        report_error("interrupted: " + std::to_string(outcome.statuses.size()) + " of " +
                     std::to_string(recordings.size()) + " recordings done; run again to go on");
        return exit_code::kInterrupted;
    }
    bool printed = true;
    if (!a.quiet) {
        print_counts(count_outcomes(outcome.statuses), std::to_string(recordings.size()) + " recordings (" +
                                                            std::to_string(outcome.skipped) + " already done)");
        print_problems(outcome.statuses);
        if (summarised)
            print_summary_place(a.out);
        printed = standard_output_written();
    }
    if (!written || !summarised || !printed)
        return exit_code::kOutput;
    return batch_exit_code(count_outcomes(outcome.statuses));
}

int run_merge_command(const std::vector<std::string>& dirs, std::string out, const std::string& group_by, bool quiet)
{
    if (out.empty())
        out = dirs.front();
    std::string error;
    if (!usable_out_folder(out, &error)) {
        report_error(error);
        return exit_code::kUsage;
    }
    std::error_code ignored;
    std::filesystem::create_directories(out, ignored);
    std::vector<BatchRow> rows;
    if (!summarise(out, dirs, group_by, &rows))
        return exit_code::kOutput;
    std::vector<EntryStatus> statuses;
    for (const BatchRow& row : rows)
        statuses.push_back(row.status);
    if (statuses.empty()) {
        report_error("no results found in the folders given");
        return exit_code::kNotAnalysed;
    }
    if (!quiet) {
        print_counts(count_outcomes(statuses), std::to_string(statuses.size()) + " recordings");
        print_summary_place(out);
        if (!standard_output_written())
            return exit_code::kOutput;
    }
    return batch_exit_code(count_outcomes(statuses));
}

// `skelv-check merge DIR... [--out OUT] [-q]`, its arguments from "merge" on.
int merge_main(int argc, char** argv)
{
    CLI::App app{"Rebuilds summary.csv, summary.json and index.html from batch result folders.", "skelv-check merge"};
    std::vector<std::string> dirs;
    std::string out, group_by;
    bool quiet = false;
    app.add_option("DIR", dirs, "result folders of batches (--out of each)")->required()->check(CLI::ExistingDirectory);
    app.add_option("--out", out, "write the summary here (default: the first DIR)");
    app.add_option("--group-by", group_by, "KEY: the index page plots the runs' trend by this tag's value (fw)");
    app.add_flag("-q,--quiet", quiet, "no closing summary");
    app.footer(kExitCodes);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? exit_code::kSuccess : exit_code::kUsage;
    }
    return run_merge_command(dirs, out, group_by, quiet);
}

} // namespace

bool batch_requested(int argc, char** argv)
{
    if (argc > 1 && strcmp(argv[1], "merge") == 0)
        return true;
    for (int i = 1; i < argc; i++)
        if (strcmp(argv[i], "--out") == 0 || strncmp(argv[i], "--out=", 6) == 0)
            return true;
    return false;
}

int batch_main(int argc, char** argv, const std::string& checker)
{
    hold_standard_descriptors();
    if (argc > 1 && strcmp(argv[1], "merge") == 0)
        return merge_main(argc - 1, argv + 1);
    CLI::App app{"Checks many recordings, each into its own folder, and summarises them.", "skelv-check --out DIR"};
    BatchArguments arguments;
    define_batch_options(app, &arguments);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? exit_code::kSuccess : exit_code::kUsage;
    }
    return run_batch_command(arguments, checker);
}

} // namespace skelv
