// Runs a program as a child process with a time-out and captures what it prints.
#pragma once

#include <string>
#include <vector>

struct ProcessResult {
    int exit_code = -1;     ///< -1 unless the process exited normally
    int signal = 0;         ///< the signal that ended it, 0 if none
    bool timed_out = false; ///< killed after the time-out
    std::string out;        ///< standard output
    std::string err;        ///< standard error
};

// A signal sent to the child this long after it started.
struct TimedSignal {
    double after_seconds;
    int signal;
};

// `argv[0]` is looked up on PATH. The child runs in `cwd` when it is not empty and is sent
// `signals` at their times while it runs.
ProcessResult run_process(const std::vector<std::string>& argv, double timeout_seconds, const std::string& cwd = "",
                          const std::vector<TimedSignal>& signals = {});
