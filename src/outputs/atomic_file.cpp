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

// A name beside `path` that no other thread, process or machine sharing the folder picks.
std::string scratch_name(const std::string& path)
{
    static std::atomic<unsigned> counter{0};
    thread_local std::mt19937_64 random{std::random_device{}()};
    char suffix[64];
    snprintf(suffix, sizeof suffix, ".tmp-%d-%u-%llx", int(getpid()), counter++, (unsigned long long)random());
    return path + suffix;
}

std::string failure(const std::string& path, int error_number)
{
    return "cannot write " + path + ": " + strerror(error_number);
}

} // namespace

AtomicFile::~AtomicFile()
{
    abandon();
}

void AtomicFile::abandon()
{
    if (fd_ < 0)
        return;
    close(fd_);
    unlink(scratch_.c_str());
    fd_ = -1;
}

bool AtomicFile::open(const std::string& path, std::string* error)
{
    abandon();
    path_ = path;
    scratch_ = scratch_name(path);
    failure_ = 0;
    // Created like any new file, so that the umask decides who may read the result.
    fd_ = ::open(scratch_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd_ < 0)
        *error = failure(path, errno);
    return fd_ >= 0;
}

void AtomicFile::write(std::string_view text)
{
    while (fd_ >= 0 && failure_ == 0 && !text.empty()) {
        const ssize_t n = ::write(fd_, text.data(), text.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            failure_ = n < 0 ? errno : EIO;
        else
            text.remove_prefix(size_t(n));
    }
}

bool AtomicFile::commit(std::string* error)
{
    if (fd_ < 0) {
        *error = failure(path_, EBADF);
        return false;
    }
    if (failure_ == 0 && fsync(fd_) != 0)
        failure_ = errno;
    if (close(fd_) != 0 && failure_ == 0)
        failure_ = errno;
    fd_ = -1;
    if (failure_ == 0 && rename(scratch_.c_str(), path_.c_str()) != 0)
        failure_ = errno;
    if (failure_ == 0)
        return true;
    *error = failure(path_, failure_);
    unlink(scratch_.c_str());
    return false;
}

bool write_file_atomically(const std::string& path, const std::string& contents, std::string* error)
{
    AtomicFile file;
    if (!file.open(path, error))
        return false;
    file.write(contents);
    return file.commit(error);
}

} // namespace skelv
