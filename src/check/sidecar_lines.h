// The lines of a sender's sidecar as skelv-generate --play writes them: from its file, read as
// it grows, or from the datagrams it sends (--send-sidecar) to udp://[HOST]:PORT on this
// machine, HOST the local address to listen on (every IPv4 address without it).
#pragma once

#include <fstream>
#include <string>
#include <vector>

namespace skelv {

class SidecarLines {
public:
    SidecarLines() = default;
    SidecarLines(const SidecarLines&) = delete;
    SidecarLines& operator=(const SidecarLines&) = delete;
    ~SidecarLines();

    bool open(const std::string& where, std::string* error);
    // The sender's first line, its play line: a file's first line; from a port, the first play
    // line to come within 10 s (the sender repeats it every second). False with a reason.
    bool play_line(std::string* line, std::string* error);
    // The next whole line there now; false when none has come yet.
    bool next(std::string* line);

private:
    bool receive(std::string* line, int wait_ms);

    std::string where_;
    std::ifstream file_;
    std::string partial_; ///< the start of a line still being written
    int socket_ = -1;
    std::vector<char> buffer_; ///< one datagram
};

} // namespace skelv
