// Lines sent as UDP datagrams, one a datagram, to a receiver on another machine that cannot
// read the sender's files: the play's sidecar for skelv-check --sender udp://:PORT.
#pragma once

#include <string>

namespace skelv {

class DatagramLines {
public:
    DatagramLines() = default;
    DatagramLines(const DatagramLines&) = delete;
    DatagramLines& operator=(const DatagramLines&) = delete;
    ~DatagramLines();

    // `address`: "HOST:PORT", HOST a name, an IPv4 address or an IPv6 one in brackets.
    bool open(const std::string& address, std::string* error);
    bool is_open() const { return socket_ >= 0; }
    // Sends without waiting; a datagram the network or the receiver loses is lost.
    void send(const std::string& line) const;

private:
    int socket_ = -1;
};

} // namespace skelv
