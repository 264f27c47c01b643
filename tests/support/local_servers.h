// What the media tests serve and send on 127.0.0.1: files over HTTP, shell commands in the
// background (senders, servers), and free ports for them.
#pragma once

#include "generate/folder_server.h"

#include <netinet/in.h>
#include <string>
#include <sys/types.h>

// Serves the files of a directory on 127.0.0.1 over HTTP, with the generator's own server,
// until destroyed.
class FileServer {
public:
    explicit FileServer(const std::string& root);
    std::string url(const std::string& name) const;

private:
    skelv::FolderServer server_;
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

// The address of `port` on 127.0.0.1.
sockaddr_in loopback(int port);
// A port on 127.0.0.1 that nothing is bound to now, for SOCK_STREAM or SOCK_DGRAM.
int free_port(int type);
// Whether a TCP listener accepts on 127.0.0.1:`port` within `seconds`.
bool accepts_within(int port, double seconds);
