#include "check/sidecar_lines.h"

#include "media/media_source.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace skelv {

namespace {

constexpr int kPlayLineWaitMs = 10000;
constexpr size_t kLongestLine = 65536;

// A socket bound to `address` ("[HOST]:PORT"), or -1 with a reason.
int bind_udp(const std::string& address, std::string* error)
{
    std::string host;
    int port = 0;
    split_clock_address(address, &host, &port);
    addrinfo hints = {};
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_PASSIVE;
    hints.ai_family = host.empty() ? AF_INET : AF_UNSPEC;
    addrinfo* found = nullptr;
    const int failed = getaddrinfo(host.empty() ? nullptr : host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (failed != 0) {
        *error = "cannot listen for the sender's sidecar on udp://" + address + ": " + gai_strerror(failed);
        return -1;
    }
    int socket_fd = -1;
    for (const addrinfo* a = found; a != nullptr && socket_fd < 0; a = a->ai_next) {
        socket_fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (socket_fd >= 0 && bind(socket_fd, a->ai_addr, a->ai_addrlen) != 0) {
            *error = "cannot listen for the sender's sidecar on udp://" + address + ": " + strerror(errno);
            close(socket_fd);
            socket_fd = -1;
        }
    }
    freeaddrinfo(found);
    return socket_fd;
}

bool is_play_line(const std::string& line)
{
    return line.find("\"type\":\"play\"") != std::string::npos;
}

} // namespace

SidecarLines::~SidecarLines()
{
    if (socket_ >= 0)
        close(socket_);
}

bool SidecarLines::open(const std::string& where, std::string* error)
{
    where_ = where;
    std::string address;
    if (where.rfind("udp://", 0) == 0) {
        if (!host_port_address(where, "udp://", false, &address)) {
            *error = "--sender takes a sidecar file or udp://[HOST]:PORT, PORT from 1 to 65535: " + where;
            return false;
        }
        socket_ = bind_udp(address, error);
        return socket_ >= 0;
    }
    file_.open(where);
    if (!file_)
        *error = "cannot read the sender's sidecar " + where + ": " + strerror(errno);
    return bool(file_);
}

bool SidecarLines::play_line(std::string* line, std::string* error)
{
    if (socket_ < 0) {
        std::getline(file_, *line);
        return true;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPlayLineWaitMs);
    for (auto now = std::chrono::steady_clock::now(); now < deadline; now = std::chrono::steady_clock::now()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
        if (receive(line, int(left)) && is_play_line(*line))
            return true;
    }
    *error = "no line of skelv-generate --play came to " + where_ +
             " within 10 s: play with --send-sidecar udp://THIS-HOST:PORT";
    return false;
}

bool SidecarLines::next(std::string* line)
{
    if (socket_ >= 0)
        return receive(line, 0);
    file_.clear(); // past the end last time: the sender has written on since
    std::string text;
    if (!std::getline(file_, text))
        return false;
    if (file_.eof()) { // no newline yet: still being written
        partial_ += text;
        file_.clear();
        return false;
    }
    *line = partial_ + text;
    partial_.clear();
    return true;
}

// One datagram, its line without the newline; waits up to `wait_ms` for it.
bool SidecarLines::receive(std::string* line, int wait_ms)
{
    pollfd ready = {socket_, POLLIN, 0};
    if (wait_ms > 0 && poll(&ready, 1, wait_ms) <= 0)
        return false;
    buffer_.resize(kLongestLine);
    const ssize_t size = recv(socket_, buffer_.data(), buffer_.size(), 0);
    if (size <= 0)
        return false;
    line->assign(buffer_.data(), size_t(size));
    if (!line->empty() && line->back() == '\n')
        line->pop_back();
    return true;
}

} // namespace skelv
