#include "local_servers.h"

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

sockaddr_in loopback(int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(uint16_t(port));
    return address;
}

FileServer::FileServer(const std::string& root)
{
    std::string error;
    EXPECT_TRUE(server_.start("127.0.0.1", 0, root, &error)) << error;
}

std::string FileServer::url(const std::string& name) const
{
    return "http://127.0.0.1:" + std::to_string(server_.port()) + "/" + name;
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
