#include "process.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// An unnamed scratch file: what the child prints goes there, so that a grandchild that
// keeps the descriptor open cannot hold the wait.
int scratch_file()
{
    char name[] = "/tmp/skelv-output-XXXXXX";
    const int fd = mkostemp(name, O_CLOEXEC);
    unlink(name);
    return fd;
}

std::string contents(int fd)
{
    std::string text;
    char chunk[65536];
    lseek(fd, 0, SEEK_SET);
    for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) > 0;)
        text.append(chunk, size_t(n));
    close(fd);
    return text;
}

} // namespace

ProcessResult run_process(const std::vector<std::string>& argv, double timeout_seconds, const std::string& cwd,
                          const std::vector<TimedSignal>& signals)
{
    ProcessResult result;
    const int out = scratch_file(), err = scratch_file();
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        dup2(open("/dev/null", O_RDONLY), STDIN_FILENO);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0)
            _exit(126);
        std::vector<char*> args;
        for (const std::string& arg : argv)
            args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    const auto started = std::chrono::steady_clock::now();
    const auto deadline = started + std::chrono::duration<double>(timeout_seconds);
    size_t signals_sent = 0;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        const auto now = std::chrono::steady_clock::now();
        if (signals_sent < signals.size() &&
            now - started >= std::chrono::duration<double>(signals[signals_sent].after_seconds))
            kill(pid, signals[signals_sent++].signal);
        if (now > deadline) {
            result.timed_out = true;
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        usleep(2000);
    }
    result.out = contents(out);
    result.err = contents(err);
    if (!result.timed_out && WIFEXITED(status))
        result.exit_code = WEXITSTATUS(status);
    else if (!result.timed_out && WIFSIGNALED(status))
        result.signal = WTERMSIG(status);
    return result;
}
