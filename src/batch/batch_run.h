// Runs the analyses of a batch: each recording in its own child process (or in one for each of
// its parts, then one that merges them), a few at a time, each with a time-out, each into a
// scratch folder that is renamed into place when done.
// A broken file or a crashing decoder ends one child, never the batch.
#pragma once

#include "batch/batch_entry.h"
#include "batch/batch_inputs.h"

#include <csignal>
#include <functional>
#include <string>
#include <vector>

namespace skelv {

struct BatchProgress {
    size_t total = 0;        ///< recordings of this run
    size_t finished = 0;     ///< analysed or found done, of `total`
    size_t running = 0;
    size_t failed = 0;       ///< out of tolerance, so far
    size_t not_analysed = 0; ///< unmeasurable or error, so far
    double elapsed_s = 0;
};

struct BatchOptions {
    std::string out_dir;
    // The program that analyses one recording, with its leading arguments; it gets the
    // outputs' paths, then `check_options`, then "--" and the recording. Read in parts, it
    // gets "--part K/N --part-out FILE" in place of the outputs, then "merge", the outputs'
    // paths, "--" and the part files.
    std::vector<std::string> checker;
    std::vector<std::string> check_options; ///< profile, limits, designed offset: recorded for resuming
    unsigned jobs = 1;
    unsigned split = 1; ///< each recording read in this many parts at once, then merged; 1 reads it whole
    double timeout_s = 3600; ///< seconds per analysis
    bool force = false;      ///< analyse again what is already done
    std::string shard;       ///< "K/N" for the record; empty without --shard
    std::function<void(const BatchProgress&)> progress; ///< may be empty
    const volatile std::sig_atomic_t* stop = nullptr;  ///< set by a signal handler: stop, keep nothing half done
};

struct BatchOutcome {
    std::vector<EntryStatus> statuses; ///< one per recording finished or found done
    size_t analysed = 0;
    size_t skipped = 0;  ///< already done with the same file and options
    bool stopped = false;
    std::vector<std::string> write_errors; ///< results that could not be written or put in place
};

// False with a message when the output directory cannot be used at all.
bool run_batch(const std::vector<BatchRecording>& recordings, const BatchOptions& options, BatchOutcome* outcome,
               std::string* error);

} // namespace skelv
