#include "process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

void drain(int fd, std::string* into, bool* open)
{
    char chunk[65536];
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n > 0)
        into->append(chunk, static_cast<size_t>(n));
    else if (n == 0 || errno != EINTR)
        *open = false;
}

[[noreturn]] void exec_child(const std::vector<std::string>& argv, const std::string& cwd, int out_fd, int err_fd)
{
    dup2(out_fd, STDOUT_FILENO);
    dup2(err_fd, STDERR_FILENO);
    int null_in = open("/dev/null", O_RDONLY);
    dup2(null_in, STDIN_FILENO);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0)
        _exit(126);
    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
}

} // namespace

ProcessResult run_process(const std::vector<std::string>& argv, double timeout_seconds, const std::string& cwd)
{
    ProcessResult result;
    int out_pipe[2], err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0)
        return result;
    pid_t pid = fork();
    if (pid == 0)
        exec_child(argv, cwd, out_pipe[1], err_pipe[1]);
    close(out_pipe[1]);
    close(err_pipe[1]);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_seconds);
    bool out_open = true, err_open = true;
    while (out_open || err_open) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timed_out = true;
            kill(pid, SIGKILL);
            break;
        }
        // A negative descriptor is skipped by poll.
        pollfd fds[2] = {{out_open ? out_pipe[0] : -1, POLLIN, 0}, {err_open ? err_pipe[0] : -1, POLLIN, 0}};
        if (poll(fds, 2, static_cast<int>(std::min<long long>(left.count(), 1000))) < 0 && errno != EINTR)
            break;
        if (out_open && (fds[0].revents & (POLLIN | POLLHUP | POLLERR)))
            drain(out_pipe[0], &result.out, &out_open);
        if (err_open && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)))
            drain(err_pipe[0], &result.err, &err_open);
    }
    close(out_pipe[0]);
    close(err_pipe[0]);
    int status = 0;
    if (result.timed_out) {
        waitpid(pid, &status, 0);
        return result;
    }
    // Output closed: the child is ending; give it the rest of the time-out to exit.
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            result.timed_out = true;
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return result;
        }
        usleep(2000);
    }
    if (WIFEXITED(status))
        result.exit_code = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.signal = WTERMSIG(status);
    return result;
}
