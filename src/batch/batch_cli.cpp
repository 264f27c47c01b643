#include "batch/batch_cli.h"

#include "batch/batch_run.h"
#include "batch/batch_summary.h"
#include "outputs/html_text.h"
#include "rules/profiles.h"

#include <CLI/CLI.hpp>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <sched.h>
#include <unistd.h>

namespace skelv {

namespace {

constexpr size_t kMaxListedProblems = 20; // recordings named at the end; the summary has all

constexpr const char* kExitCodes =
    "Exit codes: 0 every recording passed, 1 wrong command line, 2 some recording could not be\n"
    "analysed (unreadable, unmeasurable, crashed or timed out), 3 a result or the summary could\n"
    "not be written, 4 some recording is out of tolerance (4 wins over 2: the summary lists\n"
    "both), 130 interrupted (what was finished is kept; run again to go on).";

volatile std::sig_atomic_t g_stop = 0;

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
    std::string out, shard, profile = "ebu-r37";
    unsigned jobs = usable_cores();
    double timeout_s = 3600;
    bool force = false, quiet = false;
    std::optional<double> lead_ms, lag_ms, expected_delay_ms;
};

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
        printf("  %-12s %s%s%s\n", entry_outcome_name(s.outcome), s.file.c_str(), s.error.empty() ? "" : ": ",
               s.error.c_str());
    }
    if (left > 0)
        printf("  ... and %zu more\n", left);
}

void define_batch_options(CLI::App& app, BatchArguments* a)
{
    app.add_option("RECORDING", a->recordings, "recordings, and folders to search for them")->required();
    app.add_option("--out", a->out, "one folder per recording and the summary go here")->required();
    app.add_option("-j,--jobs", a->jobs, "analyses at a time (the cores this process may use)")->check(CLI::PositiveNumber);
    app.add_flag("--force", a->force, "analyse again what is already done");
    app.add_option("--shard", a->shard, "take only share K of N (0 <= K < N) of the recordings");
    app.add_option("--timeout", a->timeout_s, "seconds one analysis may take (3600)")->check(CLI::PositiveNumber);
    app.add_option("--profile", a->profile, "tolerance profile, as for one recording (ebu-r37)");
    app.add_option("--lead-ms", a->lead_ms, "custom limit: audio may lead by at most X ms")->check(CLI::NonNegativeNumber);
    app.add_option("--lag-ms", a->lag_ms, "custom limit: audio may lag by at most Y ms")->check(CLI::NonNegativeNumber);
    app.add_option("--expect-delay", a->expected_delay_ms, "the clips' designed audio offset in ms (0)");
    app.add_flag("-q,--quiet", a->quiet, "no progress and no closing summary");
    app.footer(std::string("Each recording gets DIR/<name>-<hash>/ with result.json, events.csv, report.html and\n"
                           "timeline.csv; DIR/summary.csv, DIR/summary.json and DIR/index.html list them all.\n"
                           "Recordings already done with the same file and options are not analysed again.\n") +
               kExitCodes);
}

int run_batch_command(const BatchArguments& a, const std::string& checker)
{
    BatchOptions options;
    options.checker = {checker};
    std::string error;
    BatchShard shard;
    if (!analysis_options(a, &options.check_options, &error) ||
        (!a.shard.empty() && !parse_shard(a.shard, &shard, &error))) {
        fprintf(stderr, "skelv-check: %s\n", error.c_str());
        return kBatchUsage;
    }
    std::vector<BatchRecording> recordings;
    for (BatchRecording& r : find_recordings(a.recordings, a.out))
        if (in_shard(r, shard))
            recordings.push_back(std::move(r));
    options.out_dir = a.out;
    options.jobs = a.jobs;
    options.timeout_s = a.timeout_s;
    options.force = a.force;
    options.shard = a.shard;
    options.stop = &g_stop;
    if (!a.quiet && isatty(STDERR_FILENO))
        options.progress = show_progress;
    catch_stop_signals();

    BatchOutcome outcome;
    const bool ran = run_batch(recordings, options, &outcome, &error);
    if (options.progress)
        fputs("\r\033[K", stderr);
    if (!ran)
        fprintf(stderr, "skelv-check: %s\n", error.c_str());
    for (const std::string& write_error : outcome.write_errors)
        fprintf(stderr, "skelv-check: %s\n", write_error.c_str());
    std::vector<BatchRow> rows;
    std::string summary_error;
    const bool summarised = std::filesystem::is_directory(a.out) && rebuild_summary(a.out, {a.out}, &rows, &summary_error);
    if (!summarised)
        fprintf(stderr, "skelv-check: %s\n", summary_error.empty() ? "no summary written" : summary_error.c_str());
    if (outcome.stopped) {
        fprintf(stderr, "skelv-check: interrupted: %zu of %zu recordings done; run again to go on\n",
                outcome.statuses.size(), recordings.size());
        return kBatchInterrupted;
    }
    if (!a.quiet) {
        print_counts(count_outcomes(outcome.statuses),
                     std::to_string(recordings.size()) + " recordings (" + std::to_string(outcome.skipped) +
                         " already done)");
        print_problems(outcome.statuses);
        printf("Summary: %s/summary.csv, %s/index.html\n", a.out.c_str(), a.out.c_str());
    }
    if (!ran || !outcome.write_errors.empty() || !summarised)
        return kBatchOutput;
    return batch_exit_code(count_outcomes(outcome.statuses));
}

int run_merge_command(const std::vector<std::string>& dirs, std::string out, bool quiet)
{
    if (out.empty())
        out = dirs.front();
    std::error_code error;
    std::filesystem::create_directories(out, error);
    std::vector<BatchRow> rows;
    std::string summary_error;
    if (!rebuild_summary(out, dirs, &rows, &summary_error)) {
        fprintf(stderr, "skelv-check: %s\n", summary_error.c_str());
        return kBatchOutput;
    }
    std::vector<EntryStatus> statuses;
    for (const BatchRow& row : rows)
        statuses.push_back(row.status);
    if (statuses.empty()) {
        fprintf(stderr, "skelv-check: no results found in the folders given\n");
        return kBatchNotAnalysed;
    }
    if (!quiet) {
        print_counts(count_outcomes(statuses), std::to_string(statuses.size()) + " recordings");
        printf("Summary: %s/summary.csv, %s/index.html\n", out.c_str(), out.c_str());
    }
    return batch_exit_code(count_outcomes(statuses));
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
    if (argc > 1 && strcmp(argv[1], "merge") == 0) {
        CLI::App app{"Rebuilds summary.csv, summary.json and index.html from batch result folders.",
                     "skelv-check merge"};
        std::vector<std::string> dirs;
        std::string out;
        bool quiet = false;
        app.add_option("DIR", dirs, "result folders of batches (--out of each)")->required()->check(CLI::ExistingDirectory);
        app.add_option("--out", out, "write the summary here (default: the first DIR)");
        app.add_flag("-q,--quiet", quiet, "no closing summary");
        app.footer(kExitCodes);
        try {
            app.parse(argc - 1, argv + 1);
        } catch (const CLI::ParseError& e) {
            return app.exit(e) == 0 ? kBatchAllPassed : kBatchUsage;
        }
        return run_merge_command(dirs, out, quiet);
    }
    CLI::App app{"Checks many recordings, each into its own folder, and summarises them.", "skelv-check --out DIR"};
    BatchArguments arguments;
    define_batch_options(app, &arguments);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? kBatchAllPassed : kBatchUsage;
    }
    return run_batch_command(arguments, checker);
}

} // namespace skelv
