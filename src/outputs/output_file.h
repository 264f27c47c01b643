// Where a result goes: a file replaced whole, or a device, pipe or standard output written
// as it is. One rule for every output a program names on its command line.
#pragma once

#include "outputs/atomic_file.h"

#include <string>
#include <string_view>
#include <vector>

namespace skelv {

// Writes `contents` where `path` leads:
// - "-": standard output;
// - a regular file, or nothing yet: through a temporary file renamed over it, so that it
//   appears whole or not at all (write_file_atomically);
// - a symbolic link: followed, and the file at its end replaced the same way; the link stays;
// - a device, a FIFO, a socket or an open descriptor (/dev/fd/N, /dev/stdout): written
//   directly, never replaced;
// - a folder: refused.
// False with a reason in `*error` that names `path`.
bool write_output(const std::string& path, const std::string& contents, std::string* error);

// The same, piece by piece as the contents are made: a timeline of millions of rows is never
// held whole. A regular or new file appears whole on commit(), and an output abandoned
// before it leaves nothing behind; a device, a pipe or standard output takes each piece as it
// comes.
class OutputStream {
public:
    OutputStream() = default;
    ~OutputStream();
    OutputStream(const OutputStream&) = delete;
    OutputStream& operator=(const OutputStream&) = delete;

    bool open(const std::string& path, std::string* error);
    // A failure is kept and reported by commit().
    void write(std::string_view text);
    bool commit(std::string* error);

private:
    void flush();

    std::string path_;
    std::string pending_; ///< written on in pieces of some tens of kilobytes
    AtomicFile file_;
    bool whole_ = false; ///< through file_, else straight to fd_
    int fd_ = -1;
    bool own_fd_ = false;
    int failure_ = 0; ///< errno of the first failed write
};

// An output followed while it is written (a dashboard reading JSON lines as they come):
// each line reaches its target at once, so it is written straight to its path (created or
// emptied first), never through a temporary file.
class LineOutput {
public:
    LineOutput() = default;
    ~LineOutput();
    LineOutput(const LineOutput&) = delete;
    LineOutput& operator=(const LineOutput&) = delete;

    bool open(const std::string& path, std::string* error);
    // `text` and a newline; a failure is kept and reported by close().
    void line(std::string_view text);
    bool close(std::string* error);

private:
    std::string path_;
    int fd_ = -1;
    bool own_fd_ = false;
    int failure_ = 0;
};

// True when `path` ends at this process' standard output: "-", /dev/stdout or /dev/fd/1, or
// the very file or pipe that standard output is (not merely the same terminal or /dev/null).
bool is_standard_output(const std::string& path);

// An output as the command line names it.
struct NamedOutput {
    std::string option; ///< e.g. "--json"
    std::string path;   ///< empty when not asked for
};

// False, with a message naming both options, when two of `outputs` land in one place: the
// same file (also through another name, a link or a hard link), the same pipe, or standard
// output twice. Terminals and other character devices may be shared: nothing written to
// them replaces anything.
bool distinct_outputs(const std::vector<NamedOutput>& outputs, std::string* error);

} // namespace skelv
