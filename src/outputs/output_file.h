// Where a result goes: a file replaced whole, or a device, pipe or standard output written
// as it is. One rule for every output a program names on its command line.
#pragma once

#include <string>
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
