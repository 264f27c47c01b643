#include "batch/batch_run.h"

#include "rules/exit_codes.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
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

// One recording under way: its scratch folder and, read in parts, how far they are.
struct Reading {
    Job job;
    std::string scratch; ///< made when its first child starts; empty again once committed
    Clock::time_point started;
    unsigned parts_left = 0;   ///< part children not ended yet
    unsigned failed_part = 0;  ///< the lowest part that failed, 0 while none has
    ChildEnd failed_end;       ///< how that part ended
};

// What one child does for its recording: read it whole, read one part, or join the parts.
enum class Step { Whole, Part, Merge };

struct Task {
    size_t reading = 0; ///< index of its recording in the scheduler's readings
    Step step = Step::Whole;
    unsigned part = 0; ///< 1 to N, for a part
};

struct Child {
    Task task;
    pid_t pid = -1;
    Clock::time_point deadline;
    bool timed_out = false;
};

double seconds_since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string part_name(unsigned part, unsigned parts, const char* extension)
{
    return "part-" + std::to_string(part) + "-of-" + std::to_string(parts) + extension;
}

// The outputs of a recording's result: a whole reading and a merge of parts write the same files.
std::vector<std::string> output_arguments(const std::string& scratch)
{
    std::vector<std::string> args;
    const std::pair<const char*, const char*> outputs[] = {
        {"--json", batch_files::kResult},
        {"--csv", batch_files::kEvents},
        {"--html", batch_files::kReport},
        {"--timeline", batch_files::kTimeline}};
    for (const auto& [option, file] : outputs) {
        args.push_back(option);
        args.push_back(scratch + "/" + file);
    }
    return args;
}

void append(std::vector<std::string>* args, const std::vector<std::string>& more)
{
    args->insert(args->end(), more.begin(), more.end());
}

std::vector<std::string> child_arguments(const BatchOptions& options, const Task& task, const std::string& scratch,
                                         const std::string& recording)
{
    std::vector<std::string> args = options.checker;
    if (task.step == Step::Merge) {
        args.push_back("merge");
        append(&args, output_arguments(scratch));
        args.push_back("--");
        for (unsigned part = 1; part <= options.split; part++)
            args.push_back(scratch + "/" + part_name(part, options.split, ".part"));
        return args;
    }
    if (task.step == Step::Whole)
        append(&args, output_arguments(scratch));
    else
        append(&args, {"--part", std::to_string(task.part) + "/" + std::to_string(options.split), "--part-out",
                       scratch + "/" + part_name(task.part, options.split, ".part")});
    append(&args, options.check_options);
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
// killed with the batch, printing into the scratch folder. Standard error is appended to:
// a merge's words follow those of its parts.
[[noreturn]] void exec_child(const ChildLaunch& launch, pid_t batch)
{
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != batch)
        _exit(127);
    const int out = open(launch.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    const int err = open(launch.err_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666);
    const int in = open("/dev/null", O_RDONLY);
    if (out < 0 || err < 0 || in < 0 || dup2(out, STDOUT_FILENO) < 0 || dup2(err, STDERR_FILENO) < 0 ||
        dup2(in, STDIN_FILENO) < 0)
        _exit(127);
    execv(launch.argv[0], launch.argv.data());
    dprintf(STDERR_FILENO, "skelv-check: cannot run %s: %s\n", launch.argv[0], strerror(errno));
    _exit(127);
}

// Starts the child; false with a message when it cannot be.
bool spawn(ChildLaunch launch, pid_t* pid, std::string* error)
{
    for (std::string& arg : launch.args)
        launch.argv.push_back(arg.data());
    launch.argv.push_back(nullptr);
    const pid_t batch = getpid();
    *pid = fork();
    if (*pid == 0)
        exec_child(launch, batch);
    if (*pid < 0) {
        *error = std::string("cannot start an analysis: ") + strerror(errno);
        return false;
    }
    setpgid(*pid, *pid); // also here, so that a kill right away reaches the group
    return true;
}

bool succeeded(const ChildEnd& end)
{
    return !end.timed_out && end.signal == 0 && end.exit_code == exit_code::kSuccess;
}

void append_file(const std::string& from, const std::string& to)
{
    std::ifstream in(from, std::ios::binary);
    std::ofstream out(to, std::ios::binary | std::ios::app);
    out << in.rdbuf();
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
        plan(jobs);
        bool usable = true;
        while (!pending_.empty() || !running_.empty()) {
            if (stopping()) {
                reap(); // what finished before the interrupt is kept
                stop_all();
                break;
            }
            while (usable && !pending_.empty() && running_.size() < std::max(1u, options_.jobs)) {
                usable = start(pending_.front(), error);
                pending_.pop_front();
            }
            reap();
            if (!usable)
                pending_.clear(); // finish what runs, start nothing more
            report(false);
            if (!running_.empty())
                std::this_thread::sleep_for(kPollInterval);
        }
        discard_unfinished();
        report(true);
        return usable;
    }

private:
    bool stopping() const { return options_.stop != nullptr && *options_.stop != 0; }

    bool split() const { return options_.split > 1; }

    // A child for each recording, or one for each of its parts (their merge comes once they are done).
    void plan(const std::vector<Job>& jobs)
    {
        for (const Job& job : jobs) {
            const size_t index = readings_.size();
            readings_.push_back({job, {}, {}, split() ? options_.split : 0, 0, {}});
            if (!split())
                pending_.push_back({index, Step::Whole, 0});
            for (unsigned part = 1; split() && part <= options_.split; part++)
                pending_.push_back({index, Step::Part, part});
        }
    }

    // A part's words on standard error are kept apart until all parts have ended (on standard
    // output it says nothing: the summary comes from the merge).
    ChildLaunch launch_of(const Task& task, const Reading& reading) const
    {
        const std::string& scratch = reading.scratch;
        const bool part = task.step == Step::Part;
        return {child_arguments(options_, task, scratch, reading.job.recording->path),
                scratch + "/" + batch_files::kSummary,
                scratch + "/" + (part ? part_name(task.part, options_.split, ".log") : batch_files::kLog),
                {}};
    }

    bool start(const Task& task, std::string* error)
    {
        Reading& reading = readings_[task.reading];
        if (reading.scratch.empty()) {
            if (!make_scratch_folder(options_.out_dir, &reading.scratch, error))
                return false;
            reading.started = Clock::now();
        }
        Child child;
        child.task = task;
        if (!spawn(launch_of(task, reading), &child.pid, error))
            return false;
        child.deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                            std::chrono::duration<double>(options_.timeout_s));
        running_.push_back(child);
        return true;
    }

    void reap()
    {
        for (auto it = running_.begin(); it != running_.end();) {
            int status = 0;
            const pid_t done = waitpid(it->pid, &status, WNOHANG);
            if (done == it->pid) {
                const Child child = *it;
                it = running_.erase(it);
                finish(child, status);
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
        Reading& reading = readings_[child.task.reading];
        ChildEnd end;
        end.timed_out = child.timed_out;
        end.seconds = seconds_since(reading.started);
        if (!child.timed_out && WIFEXITED(status))
            end.exit_code = WEXITSTATUS(status);
        else if (!child.timed_out && WIFSIGNALED(status))
            end.signal = WTERMSIG(status);
        // Ended by the same interrupt as the batch (a scheduler signals every process of a
        // job) rather than by a fault of its own: keep nothing (the folder goes at the end).
        if (stopping() && (end.signal == SIGINT || end.signal == SIGTERM || end.signal == SIGHUP))
            return;
        if (child.task.step == Step::Part)
            part_ended(child.task, end);
        else
            commit(reading, end, "");
    }

    // Once every part has ended: their merge, or the recording's error from the lowest that
    // failed (the same whichever ended first).
    void part_ended(const Task& task, const ChildEnd& end)
    {
        Reading& reading = readings_[task.reading];
        if (!succeeded(end) && (reading.failed_part == 0 || task.part < reading.failed_part)) {
            reading.failed_part = task.part;
            reading.failed_end = end;
        }
        if (--reading.parts_left > 0)
            return;
        gather_part_logs(reading);
        if (reading.failed_part == 0) {
            pending_.push_front({task.reading, Step::Merge, 0}); // first: its result is all but made
            return;
        }
        ChildEnd failed = reading.failed_end;
        failed.seconds = seconds_since(reading.started);
        commit(reading, failed, "part " + std::to_string(reading.failed_part) + " of " +
                                    std::to_string(options_.split) + ": ");
    }

    // The parts' standard error into the recording's log: all of it before their merge's, or
    // only the failed part's, whose last message is the recording's error.
    void gather_part_logs(const Reading& reading)
    {
        for (unsigned part = 1; part <= options_.split; part++) {
            const std::string part_log = reading.scratch + "/" + part_name(part, options_.split, ".log");
            if (reading.failed_part == 0 || part == reading.failed_part)
                append_file(part_log, reading.scratch + "/" + batch_files::kLog);
            std::error_code ignored;
            fs::remove(part_log, ignored);
        }
    }

    // The part files are the merge's input, not the recording's result.
    void remove_part_files(const Reading& reading)
    {
        for (unsigned part = 1; split() && part <= options_.split; part++) {
            std::error_code ignored;
            fs::remove(reading.scratch + "/" + part_name(part, options_.split, ".part"), ignored);
        }
    }

    // Judges the recording from its folder and how its last child ended, and puts the folder in place.
    void commit(Reading& reading, const ChildEnd& end, const std::string& error_prefix)
    {
        remove_part_files(reading);
        EntryStatus entry;
        entry.file = reading.job.recording->path;
        entry.key = reading.job.recording->key;
        entry.id = reading.job.recording->id;
        entry.stamp = reading.job.stamp;
        entry.options = options_.check_options;
        entry.shard = options_.shard;
        judge_child(reading.scratch, end, &entry);
        if (entry.outcome == EntryOutcome::Error)
            entry.error = error_prefix + entry.error;
        if (end.exit_code == exit_code::kOutput) // as a full disk: the batch's own failure to write
            outcome_->write_errors.push_back(entry.file + ": " + entry.error);
        std::string error;
        if (!commit_entry(reading.scratch, options_.out_dir, entry, &error))
            outcome_->write_errors.push_back(error);
        reading.scratch.clear();
        count(entry);
        outcome_->statuses.push_back(std::move(entry));
        outcome_->analysed++;
    }

    void stop_all()
    {
        for (Child& child : running_) {
            kill(-child.pid, SIGKILL);
            waitpid(child.pid, nullptr, 0);
        }
        running_.clear();
        outcome_->stopped = true;
    }

    // The folders of recordings left half done (interrupted, or the batch could start no more).
    void discard_unfinished()
    {
        for (Reading& reading : readings_) {
            if (reading.scratch.empty())
                continue;
            std::error_code ignored;
            fs::remove_all(reading.scratch, ignored);
            reading.scratch.clear();
        }
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
    std::vector<Reading> readings_;
    std::deque<Task> pending_;
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
