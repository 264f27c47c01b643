// Files that appear whole or not at all: a reader never takes a half-written result for done.
#pragma once

#include <string>
#include <string_view>

namespace skelv {

// A file written to a temporary file beside it, flushed to disk and renamed over it on
// commit(). Abandoned (not committed), it leaves nothing behind.
class AtomicFile {
public:
    AtomicFile() = default;
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    bool open(const std::string& path, std::string* error);
    // A failure is kept and reported by commit().
    void write(std::string_view text);
    bool commit(std::string* error);

private:
    void abandon();

    std::string path_, scratch_;
    int fd_ = -1;
    int failure_ = 0; ///< errno of the first failed write
};

// Writes `contents` to `path` through an AtomicFile. False with a reason in `*error`
// (nothing left behind) when any step fails.
bool write_file_atomically(const std::string& path, const std::string& contents, std::string* error);

} // namespace skelv
