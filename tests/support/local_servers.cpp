#include "local_servers.h"

#include "media.h"

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

sockaddr_in loopback(int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(uint16_t(port));
    return address;
}

} // namespace

FileServer::FileServer(std::string root) : root_(std::move(root))
{
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(0);
    socklen_t size = sizeof address;
    EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&address), size), 0);
    EXPECT_EQ(listen(listener_, 8), 0);
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] {
        for (int client; (client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0; close(client))
            answer(client);
    });
}

FileServer::~FileServer()
{
    shutdown(listener_, SHUT_RDWR); // ends the accept
    thread_.join();
    close(listener_);
}

std::string FileServer::url(const std::string& name) const
{
    return "http://127.0.0.1:" + std::to_string(port_) + "/" + name;
}

void FileServer::answer(int client) const
{
    const timeval limit{5, 0};
    setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    std::string request;
    char chunk[4096];
    for (ssize_t n; request.find("\r\n\r\n") == std::string::npos && (n = recv(client, chunk, sizeof chunk, 0)) > 0;)
        request.append(chunk, size_t(n));
    const size_t start = request.find(" /"), end = request.find(' ', start + 1);
    const std::string name = start < end && end != std::string::npos ? request.substr(start + 2, end - start - 2) : "";
    const std::string body = name.empty() ? "" : read_file(root_ + "/" + name);
    std::string reply = body.empty() ? "HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n"
                                     : "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
                                           "\r\nConnection: close\r\n\r\n" + body;
    for (size_t sent = 0; sent < reply.size();) {
        const ssize_t n = send(client, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        sent += size_t(n);
    }
}

Background::Background(const std::string& command) : pid_(fork())
{
    if (pid_ == 0) {
        setpgid(0, 0);
        execl("/bin/sh", "sh", "-c", command.c_str(), nullptr);
        _exit(127);
    }
    setpgid(pid_, pid_);
}

bool Background::running()
{
    exited_ = exited_ || waitpid(pid_, nullptr, WNOHANG) == pid_;
    return !exited_;
}

void Background::stop()
{
    if (stopped_)
        return;
    kill(-pid_, SIGKILL); // also what the shell started, should it have exited itself
    if (running())
        waitpid(pid_, nullptr, 0);
    stopped_ = true;
}

int free_port(int type)
{
    const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(0);
    socklen_t size = sizeof address;
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), size), 0);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    close(fd);
    return ntohs(address.sin_port);
}

bool accepts_within(int port, double seconds)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    do {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in address = loopback(port);
        const bool accepted = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        close(fd);
        if (accepted)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}
