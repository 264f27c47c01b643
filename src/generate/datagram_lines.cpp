#include "generate/datagram_lines.h"

#include "media/media_source.h"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

namespace skelv {

DatagramLines::~DatagramLines()
{
    if (socket_ >= 0)
        close(socket_);
}

bool DatagramLines::open(const std::string& address, std::string* error)
{
    std::string host;
    int port = 0;
    split_clock_address(address, &host, &port);
    addrinfo hints = {};
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    const int failed = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (failed != 0) {
        *error = "cannot send the sidecar to " + address + ": " + gai_strerror(failed);
        return false;
    }
    for (const addrinfo* a = found; a != nullptr && socket_ < 0; a = a->ai_next) {
        socket_ = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (socket_ >= 0 && connect(socket_, a->ai_addr, a->ai_addrlen) != 0) {
            close(socket_);
            socket_ = -1;
        }
    }
    freeaddrinfo(found);
    if (socket_ < 0)
        *error = "cannot send the sidecar to " + address;
    return socket_ >= 0;
}

void DatagramLines::send(const std::string& line) const
{
    // A receiver not yet listening refuses with an error on a later send: nothing to do about it.
    (void)::send(socket_, line.data(), line.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
}

} // namespace skelv
