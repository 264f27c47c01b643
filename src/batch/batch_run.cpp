#include "batch/batch_run.h"

#include "rules/exit_codes.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace skelv {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(20);
constexpr auto kProgressInterval = std::chrono::milliseconds(250);

struct Job {
    const BatchRecording* recording = nullptr;
    SourceStamp stamp;
};

struct Child {
    Job job;
    pid_t pid = -1;
    std::string scratch;
    Clock::time_point started, deadline;
    bool timed_out = false;
};

double seconds_since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::vector<std::string> child_arguments(const BatchOptions& options, const std::string& scratch,
                                         const std::string& recording)
{
    std::vector<std::string> args = options.checker;
    const std::pair<const char*, const char*> outputs[] = {
        {"--json", batch_files::kResult},
        {"--csv", batch_files::kEvents},
        {"--html", batch_files::kReport},
        {"--timeline", batch_files::kTimeline}};
    for (const auto& [option, file] : outputs) {
        args.push_back(option);
        args.push_back(scratch + "/" + file);
    }
    args.insert(args.end(), options.check_options.begin(), options.check_options.end());
    args.push_back("--");
    args.push_back(recording);
    return args;
}

// What a child needs, prepared before the fork: the child only makes system calls.
struct ChildLaunch {
    std::vector<std::string> args;
    std::string out_path, err_path; ///< its standard output and error
    std::vector<char*> argv;
};

// In the child, before exec: its own process group (so that a time-out ends all of it),
// killed with the batch, printing into the scratch folder.
[[noreturn]] void exec_child(const ChildLaunch& launch, pid_t batch)
{
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != batch)
        _exit(127);
    const int out = open(launch.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    const int err = open(launch.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    const int in = open("/dev/null", O_RDONLY);
    if (out < 0 || err < 0 || in < 0 || dup2(out, STDOUT_FILENO) < 0 || dup2(err, STDERR_FILENO) < 0 ||
        dup2(in, STDIN_FILENO) < 0)
        _exit(127);
    execv(launch.argv[0], launch.argv.data());
    dprintf(STDERR_FILENO, "skelv-check: cannot run %s: %s\n", launch.argv[0], strerror(errno));
    _exit(127);
}

class Scheduler {
public:
    Scheduler(const BatchOptions& options, BatchOutcome* outcome) : options_(options), outcome_(outcome) {}

    // Counts a recording as finished for the progress shown.
    void count(const EntryStatus& entry)
    {
        progress_.finished++;
        if (entry.outcome == EntryOutcome::Fail)
            progress_.failed++;
        else if (entry.outcome != EntryOutcome::Pass)
            progress_.not_analysed++;
    }

    bool run(std::vector<Job> jobs, size_t total, std::string* error)
    {
        progress_.total = total;
        // Longest first (by size): the last few analyses then overlap best.
        std::stable_sort(jobs.begin(), jobs.end(), [](const Job& a, const Job& b) { return a.stamp.size > b.stamp.size; });
        size_t next = 0;
        bool usable = true;
        while (next < jobs.size() || !running_.empty()) {
            if (stopping()) {
                reap(); // what finished before the interrupt is kept
                stop_all();
                break;
            }
            while (usable && next < jobs.size() && running_.size() < std::max(1u, options_.jobs))
                usable = start(jobs[next++], error);
            if (!usable)
                next = jobs.size(); // finish what runs, start nothing more
            reap();
            report(false);
            if (!running_.empty())
                std::this_thread::sleep_for(kPollInterval);
        }
        report(true);
        return usable;
    }

private:
    bool stopping() const { return options_.stop != nullptr && *options_.stop != 0; }

    bool start(const Job& job, std::string* error)
    {
        Child child;
        child.job = job;
        if (!make_scratch_folder(options_.out_dir, &child.scratch, error))
            return false;
        ChildLaunch launch{child_arguments(options_, child.scratch, job.recording->path),
                           child.scratch + "/" + batch_files::kSummary, child.scratch + "/" + batch_files::kLog, {}};
        for (std::string& arg : launch.args)
            launch.argv.push_back(arg.data());
        launch.argv.push_back(nullptr);
        const pid_t batch = getpid();
        child.pid = fork();
        if (child.pid == 0)
            exec_child(launch, batch);
        if (child.pid < 0) {
            *error = std::string("cannot start an analysis: ") + strerror(errno);
            std::error_code ignored;
            fs::remove_all(child.scratch, ignored);
            return false;
        }
        setpgid(child.pid, child.pid); // also here, so that a kill right away reaches the group
        child.started = Clock::now();
        child.deadline = child.started + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(options_.timeout_s));
        running_.push_back(std::move(child));
        return true;
    }

    void reap()
    {
        for (auto it = running_.begin(); it != running_.end();) {
            int status = 0;
            const pid_t done = waitpid(it->pid, &status, WNOHANG);
            if (done == it->pid) {
                finish(*it, status);
                it = running_.erase(it);
                continue;
            }
            if (!it->timed_out && Clock::now() > it->deadline) {
                it->timed_out = true;
                kill(-it->pid, SIGKILL);
            }
            ++it;
        }
    }

    void finish(const Child& child, int status)
    {
        ChildEnd end;
        end.timed_out = child.timed_out;
        end.seconds = seconds_since(child.started);
        if (!child.timed_out && WIFEXITED(status))
            end.exit_code = WEXITSTATUS(status);
        else if (!child.timed_out && WIFSIGNALED(status))
            end.signal = WTERMSIG(status);
        // Ended by the same interrupt as the batch (a scheduler signals every process of a
        // job) rather than by a fault of its own: keep nothing.
        if (stopping() && (end.signal == SIGINT || end.signal == SIGTERM || end.signal == SIGHUP)) {
            std::error_code ignored;
            fs::remove_all(child.scratch, ignored);
            return;
        }
        EntryStatus entry;
        entry.file = child.job.recording->path;
        entry.key = child.job.recording->key;
        entry.id = child.job.recording->id;
        entry.stamp = child.job.stamp;
        entry.options = options_.check_options;
        entry.shard = options_.shard;
        judge_child(child.scratch, end, &entry);
        if (end.exit_code == exit_code::kOutput) // as a full disk: the batch's own failure to write
            outcome_->write_errors.push_back(entry.file + ": " + entry.error);
        std::string error;
        if (!commit_entry(child.scratch, options_.out_dir, entry, &error))
            outcome_->write_errors.push_back(error);
        count(entry);
        outcome_->statuses.push_back(std::move(entry));
        outcome_->analysed++;
    }

    void stop_all()
    {
        for (Child& child : running_) {
            kill(-child.pid, SIGKILL);
            waitpid(child.pid, nullptr, 0);
            std::error_code ignored;
            fs::remove_all(child.scratch, ignored);
        }
        running_.clear();
        outcome_->stopped = true;
    }

    void report(bool last)
    {
        if (!options_.progress)
            return;
        const auto now = Clock::now();
        if (!last && now - last_report_ < kProgressInterval)
            return;
        last_report_ = now;
        progress_.running = running_.size();
        progress_.elapsed_s = seconds_since(started_);
        options_.progress(progress_);
    }

    const BatchOptions& options_;
    BatchOutcome* outcome_;
    std::vector<Child> running_;
    BatchProgress progress_;
    Clock::time_point started_ = Clock::now(), last_report_{};
};

} // namespace

bool run_batch(const std::vector<BatchRecording>& recordings, const BatchOptions& options, BatchOutcome* outcome,
               std::string* error)
{
    std::error_code fs_error;
    fs::create_directories(options.out_dir, fs_error);
    if (fs_error || !fs::is_directory(options.out_dir)) {
        *error = "cannot create the output directory " + options.out_dir + (fs_error ? ": " + fs_error.message() : "");
        return false;
    }
    remove_stale_scratch(options.out_dir);
    // Recordings run side by side fill the cores better than threads within one decode: each
    // analysis decodes on one thread, unless the user chose otherwise.
    if (options.jobs > 1)
        setenv("SKELV_DECODER_THREADS", "1", 0);
    Scheduler scheduler(options, outcome);
    std::vector<Job> jobs;
    for (const BatchRecording& recording : recordings) {
        Job job{&recording, {}};
        const bool stamped = source_stamp(recording.path, &job.stamp);
        EntryStatus done;
        if (!options.force && stamped && read_entry_status(options.out_dir + "/" + recording.id, &done) &&
            entry_is_current(done, recording, job.stamp, options.check_options)) {
            scheduler.count(done);
            outcome->statuses.push_back(std::move(done));
            outcome->skipped++;
            continue;
        }
        jobs.push_back(job);
    }
    return scheduler.run(std::move(jobs), recordings.size(), error);
}

} // namespace skelv
