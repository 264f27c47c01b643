#include "generate/folder_server.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace skelv {

namespace {

constexpr int kBacklog = 16;
constexpr time_t kClientSeconds = 5; // a client that sends or takes nothing for this long is dropped
constexpr size_t kMaxRequest = 16384;

// A name of a file directly in the folder: no path, no hidden file, nothing to escape.
bool plain_name(const std::string& name)
{
    if (name.empty() || name[0] == '.')
        return false;
    for (unsigned char c : name)
        if (!isalnum(c) && c != '.' && c != '-' && c != '_')
            return false;
    return true;
}

const char* content_type(const std::string& name)
{
    const auto ends_with = [&](const char* suffix) {
        const size_t n = strlen(suffix);
        return name.size() >= n && name.compare(name.size() - n, n, suffix) == 0;
    };
    return ends_with(".m3u8") ? "application/vnd.apple.mpegurl" : ends_with(".ts") ? "video/mp2t" : "application/octet-stream";
}

std::string status_line(const char* status)
{
    return std::string("HTTP/1.0 ") + status + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
}

// The method and the path of a request's first line; empty when it has none.
std::pair<std::string, std::string> method_and_path(const std::string& request)
{
    const size_t first = request.find(' '), second = request.find(' ', first + 1);
    if (first == std::string::npos || second == std::string::npos)
        return {};
    return {request.substr(0, first), request.substr(first + 1, second - first - 1)};
}

std::string reply_to(const std::string& request, const std::string& folder)
{
    const auto [method, path] = method_and_path(request);
    if (method != "GET" && method != "HEAD")
        return status_line(method.empty() ? "400 Bad Request" : "405 Method Not Allowed");
    const std::string name = path.empty() || path[0] != '/' ? "" : path.substr(1, path.find('?') - 1);
    std::error_code ignored;
    std::ifstream file;
    if (plain_name(name) && std::filesystem::is_regular_file(folder + "/" + name, ignored))
        file.open(folder + "/" + name, std::ios::binary);
    if (!file.is_open())
        return status_line("404 Not Found");
    const std::string body((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    return "HTTP/1.0 200 OK\r\nContent-Type: " + std::string(content_type(name)) +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nCache-Control: no-cache\r\nConnection: close\r\n\r\n" +
           (method == "GET" ? body : "");
}

int listen_on(const std::string& host, int port, std::string* error)
{
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    hints.ai_family = host.empty() ? AF_INET : AF_UNSPEC;
    addrinfo* found = nullptr;
    const int lookup = getaddrinfo(host.empty() ? nullptr : host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (lookup != 0) {
        *error = "cannot serve on " + host + ": " + gai_strerror(lookup);
        return -1;
    }
    const int fd = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int yes = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    const bool listening = fd >= 0 && bind(fd, found->ai_addr, found->ai_addrlen) == 0 && listen(fd, kBacklog) == 0;
    freeaddrinfo(found);
    if (listening)
        return fd;
    *error = "cannot serve on port " + std::to_string(port) + ": " + strerror(errno);
    if (fd >= 0)
        close(fd);
    return -1;
}

int bound_port(int fd)
{
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    return address.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port)
                                         : ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
}

} // namespace

bool FolderServer::start(const std::string& host, int port, const std::string& folder, std::string* error)
{
    folder_ = folder;
    listener_ = listen_on(host, port, error);
    if (listener_ < 0)
        return false;
    port_ = bound_port(listener_);
    thread_ = std::thread([this] { serve(); });
    return true;
}

void FolderServer::stop()
{
    if (listener_ < 0)
        return;
    stopping_ = true;
    shutdown(listener_, SHUT_RDWR); // ends the accept
    thread_.join();
    close(listener_);
    listener_ = -1;
}

void FolderServer::serve()
{
    while (!stopping_) {
        const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            return;
        }
        answer(client);
        close(client);
    }
}

void FolderServer::answer(int client) const
{
    const timeval limit{kClientSeconds, 0};
    setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    std::string request;
    char chunk[4096];
    for (ssize_t n; request.find("\r\n\r\n") == std::string::npos && request.size() < kMaxRequest &&
                    (n = recv(client, chunk, sizeof chunk, 0)) > 0;)
        request.append(chunk, size_t(n));
    const std::string reply = reply_to(request, folder_);
    for (size_t sent = 0; sent < reply.size();) {
        const ssize_t n = send(client, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        sent += size_t(n);
    }
}

} // namespace skelv
