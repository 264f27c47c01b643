#include "outputs/output_file.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

namespace skelv {

namespace {

namespace fs = std::filesystem;

constexpr int kMaxLinks = 40; // as the kernel allows in one path
constexpr size_t kPieceBytes = 64 * 1024;

// What lies at the end of an output's path.
struct Place {
    enum Kind { Absent, Regular, Folder, Direct } kind = Absent;
    std::string path;   ///< Absent, Regular: the real path of the file to replace
    int descriptor = -1; ///< Direct through /proc/<this process>/fd/N: N
};

std::string failure(const std::string& path, int error_number)
{
    return "cannot write " + path + ": " + strerror(error_number);
}

// The descriptor a /proc/<pid>/fd/N path names when <pid> is this process, else -1.
int own_descriptor(const std::string& real_parent, const std::string& name)
{
    if (real_parent != "/proc/" + std::to_string(getpid()) + "/fd")
        return -1;
    char* end = nullptr;
    const long fd = strtol(name.c_str(), &end, 10);
    return !name.empty() && *end == '\0' && fd >= 0 && fd <= INT_MAX ? int(fd) : -1;
}

// Follows `path` through its symbolic links, those of its folders included. False with
// errno set when a folder on the way is missing or the links loop.
bool locate(const std::string& path, Place* place)
{
    fs::path current = path;
    for (int hop = 0; hop < kMaxLinks; hop++) {
        const fs::path parent = current.has_parent_path() ? current.parent_path() : fs::path(".");
        const std::string name = current.filename().string();
        char real[PATH_MAX];
        if (realpath(parent.c_str(), real) == nullptr)
            return false;
        const std::string real_parent = real;
        // An open descriptor (/dev/fd/N, /dev/stdout): its link reads "pipe:[...]" or names a
        // file that another descriptor holds open; it is written as it is.
        if (real_parent.starts_with("/proc/") && real_parent.ends_with("/fd")) {
            *place = {Place::Direct, path, own_descriptor(real_parent, name)};
            return true;
        }
        if (name.empty() || name == "." || name == "..") { // "dir/", "."
            *place = {Place::Folder, real_parent};
            return true;
        }
        const std::string full = (real_parent == "/" ? "" : real_parent) + "/" + name;
        struct stat info {};
        if (lstat(full.c_str(), &info) != 0) {
            if (errno != ENOENT)
                return false;
            *place = {Place::Absent, full};
            return true;
        }
        if (!S_ISLNK(info.st_mode)) {
            const Place::Kind kind = S_ISREG(info.st_mode) ? Place::Regular : S_ISDIR(info.st_mode) ? Place::Folder : Place::Direct;
            *place = {kind, kind == Place::Direct ? path : full};
            return true;
        }
        char target[PATH_MAX];
        const ssize_t length = readlink(full.c_str(), target, sizeof target - 1);
        if (length < 0)
            return false;
        target[length] = '\0';
        current = fs::path(target).is_absolute() ? fs::path(target) : fs::path(real_parent) / target;
    }
    errno = ELOOP;
    return false;
}

// All of `text` to `fd`; 0, or the errno of the failure.
int write_all(int fd, std::string_view text)
{
    while (!text.empty()) {
        const ssize_t n = write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? errno : EIO;
        text.remove_prefix(size_t(n));
    }
    return 0;
}

bool same_file(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Where `output` lands, as a key that two outputs share only when they collide; empty for a
// character device, which any number of outputs may share.
std::string place_key(const std::string& path)
{
    if (is_standard_output(path))
        return "standard output";
    struct stat info {};
    if (stat(path.c_str(), &info) == 0)
        return S_ISCHR(info.st_mode) ? "" : "file " + std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
    Place place;
    if (locate(path, &place))
        return "path " + place.path;
    std::error_code ignored;
    return "path " + fs::absolute(path, ignored).lexically_normal().string();
}

} // namespace

OutputStream::~OutputStream()
{
    if (own_fd_)
        close(fd_);
}

bool OutputStream::open(const std::string& path, std::string* error)
{
    path_ = path;
    failure_ = 0;
    if (path == "-") {
        fflush(stdout); // what stdio holds comes first
        fd_ = STDOUT_FILENO;
        return true;
    }
    Place place;
    if (!locate(path, &place)) {
        *error = failure(path, errno);
        return false;
    }
    switch (place.kind) {
    case Place::Folder: *error = "cannot write " + path + ": it is a folder"; return false;
    case Place::Direct:
        // A device, pipe or descriptor: opened and written like a shell's `>` would.
        fd_ = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOCTTY);
        own_fd_ = fd_ >= 0;
        if (fd_ < 0)
            *error = failure(path, errno);
        return fd_ >= 0;
    default: whole_ = true; return file_.open(place.path, error);
    }
}

void OutputStream::write(std::string_view text)
{
    pending_ += text;
    if (pending_.size() >= kPieceBytes)
        flush();
}

void OutputStream::flush()
{
    if (whole_)
        file_.write(pending_);
    else if (failure_ == 0)
        failure_ = write_all(fd_, pending_);
    pending_.clear();
}

bool OutputStream::commit(std::string* error)
{
    flush();
    if (whole_)
        return file_.commit(error);
    if (own_fd_ && close(fd_) != 0 && failure_ == 0)
        failure_ = errno;
    own_fd_ = false;
    if (failure_ == 0)
        return true;
    *error = path_ == "-" ? std::string("cannot write to standard output: ") + strerror(failure_)
                          : failure(path_, failure_);
    return false;
}

LineOutput::~LineOutput()
{
    if (own_fd_)
        ::close(fd_);
}

bool LineOutput::open(const std::string& path, std::string* error)
{
    path_ = path;
    if (path == "-" || is_standard_output(path)) {
        fflush(stdout);
        fd_ = STDOUT_FILENO;
        return true;
    }
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666);
    own_fd_ = fd_ >= 0;
    if (fd_ < 0)
        *error = failure(path, errno);
    return fd_ >= 0;
}

void LineOutput::line(std::string_view text)
{
    if (failure_ == 0)
        failure_ = write_all(fd_, std::string(text) + "\n");
}

bool LineOutput::close(std::string* error)
{
    if (own_fd_ && ::close(fd_) != 0 && failure_ == 0)
        failure_ = errno;
    own_fd_ = false;
    if (failure_ == 0)
        return true;
    *error = path_ == "-" ? std::string("cannot write to standard output: ") + strerror(failure_) : failure(path_, failure_);
    return false;
}

bool write_output(const std::string& path, const std::string& contents, std::string* error)
{
    OutputStream output;
    if (!output.open(path, error))
        return false;
    output.write(contents);
    return output.commit(error);
}

bool is_standard_output(const std::string& path)
{
    if (path == "-")
        return true;
    Place place;
    if (!locate(path, &place))
        return false;
    if (place.descriptor == STDOUT_FILENO)
        return true;
    struct stat output {}, named {};
    return place.kind != Place::Absent && fstat(STDOUT_FILENO, &output) == 0 && stat(path.c_str(), &named) == 0 &&
           !S_ISCHR(named.st_mode) && same_file(output, named);
}

bool distinct_outputs(const std::vector<NamedOutput>& outputs, std::string* error)
{
    std::map<std::string, const NamedOutput*> taken;
    for (const NamedOutput& output : outputs) {
        if (output.path.empty())
            continue;
        const std::string key = place_key(output.path);
        if (key.empty())
            continue;
        const auto [other, added] = taken.emplace(key, &output);
        if (!added) {
            *error = other->second->option + " " + other->second->path + " and " + output.option + " " + output.path +
                     " write to the same place: give each output its own";
            return false;
        }
    }
    return true;
}

} // namespace skelv
