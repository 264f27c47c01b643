// The files of one folder served over HTTP/1.0, for players and skelv-check to fetch a live
// HLS play from the generator itself: each file read whole at its request, one request at a
// time, nothing but plain names inside the folder.
#pragma once

#include <atomic>
#include <string>
#include <thread>

namespace skelv {

class FolderServer {
public:
    FolderServer() = default;
    ~FolderServer() { stop(); }
    FolderServer(const FolderServer&) = delete;
    FolderServer& operator=(const FolderServer&) = delete;

    // Listens on `host` (an address or a name; empty: every IPv4 address) at `port` (0: any
    // free one) and serves `folder` until stopped. False with a reason when it cannot listen.
    bool start(const std::string& host, int port, const std::string& folder, std::string* error);
    void stop();
    int port() const { return port_; }

private:
    void serve();
    void answer(int client) const;

    std::string folder_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

} // namespace skelv
