#include "outputs/atomic_file.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <unistd.h>

namespace skelv {

namespace {

bool write_all(int fd, const std::string& contents)
{
    size_t done = 0;
    while (done < contents.size()) {
        const ssize_t n = write(fd, contents.data() + done, contents.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

// A name beside `path` that no other thread, process or machine sharing the folder picks.
std::string scratch_name(const std::string& path)
{
    static std::atomic<unsigned> counter{0};
    thread_local std::mt19937_64 random{std::random_device{}()};
    char suffix[64];
    snprintf(suffix, sizeof suffix, ".tmp-%d-%u-%llx", int(getpid()), counter++, (unsigned long long)random());
    return path + suffix;
}

} // namespace

bool write_file_atomically(const std::string& path, const std::string& contents, std::string* error)
{
    const std::string scratch = scratch_name(path);
    // Created like any new file, so that the umask decides who may read the result.
    const int fd = open(scratch.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        *error = "cannot write " + path + ": " + strerror(errno);
        return false;
    }
    bool written = write_all(fd, contents) && fsync(fd) == 0;
    const int write_errno = errno;
    written = close(fd) == 0 && written;
    if (written && rename(scratch.c_str(), path.c_str()) == 0)
        return true;
    *error = "cannot write " + path + ": " + strerror(written ? errno : write_errno);
    unlink(scratch.c_str());
    return false;
}

} // namespace skelv
