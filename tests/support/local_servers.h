// What the media tests serve and send on 127.0.0.1: files over HTTP, shell commands in the
// background (senders, servers), and free ports for them.
#pragma once

#include <string>
#include <sys/types.h>
#include <thread>

// Serves the files of a directory on 127.0.0.1 over HTTP/1.0, each whole (no ranges) and read
// at the request, one request at a time, until destroyed.
class FileServer {
public:
    explicit FileServer(std::string root);
    ~FileServer();
    FileServer(const FileServer&) = delete;
    FileServer& operator=(const FileServer&) = delete;

    std::string url(const std::string& name) const;

private:
    void answer(int client) const;

    std::string root_;
    int listener_ = -1;
    int port_ = 0;
    std::thread thread_;
};

// A shell command in a process group of its own, killed whole when destroyed or stopped.
class Background {
public:
    explicit Background(const std::string& command);
    ~Background() { stop(); }
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;

    bool running();
    void stop();

private:
    pid_t pid_;
    bool exited_ = false;
    bool stopped_ = false;
};

// A port on 127.0.0.1 that nothing is bound to now, for SOCK_STREAM or SOCK_DGRAM.
int free_port(int type);
// Whether a TCP listener accepts on 127.0.0.1:`port` within `seconds`.
bool accepts_within(int port, double seconds);
