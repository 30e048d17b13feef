#include "TestHttpServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

namespace zk40test {

namespace {

std::string SysError(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

uint64_t SplitMix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

std::string Header(int status, const std::string& reason, long long length) {
    std::string h = "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\n";
    h += "Content-Type: application/octet-stream\r\nConnection: close\r\n";
    if (length >= 0) h += "Content-Length: " + std::to_string(length) + "\r\n";
    return h + "\r\n";
}

int BindLoopback(int* port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error(SysError("socket"));
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        std::string e = SysError("bind 127.0.0.1");
        ::close(fd);
        throw std::runtime_error(e);
    }
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    *port = ntohs(addr.sin_port);
    return fd;
}

}  // namespace

TestHttpServer::TestHttpServer() {
    listenFd_ = BindLoopback(&port_);
    if (::listen(listenFd_, 64) != 0) {
        std::string e = SysError("listen");
        ::close(listenFd_);
        throw std::runtime_error(e);
    }
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::string e = SysError("pipe2");
        ::close(listenFd_);
        throw std::runtime_error(e);
    }
    wakeRead_ = pipeFds[0];
    wakeWrite_ = pipeFds[1];
    acceptThread_ = std::thread([this] { AcceptLoop(); });
}

TestHttpServer::~TestHttpServer() {
    stopping_ = true;
    // The pipe is never drained, so every wait of every thread sees it.
    char c = 'x';
    [[maybe_unused]] ssize_t n = ::write(wakeWrite_, &c, 1);
    acceptThread_.join();
    std::vector<std::thread> connections;
    {
        std::lock_guard lock(mutex_);
        connections.swap(connections_);
    }
    for (auto& t : connections) t.join();
    ::close(listenFd_);
    ::close(wakeRead_);
    ::close(wakeWrite_);
}

std::string TestHttpServer::Address() const { return "127.0.0.1:" + std::to_string(port_); }

void TestHttpServer::SetRoute(const std::string& path, Route route) {
    std::lock_guard lock(mutex_);
    routes_[path] = std::move(route);
}

void TestHttpServer::Serve(const std::string& path, const std::string& body) {
    Route r;
    r.body = body;
    SetRoute(path, r);
}

void TestHttpServer::ServeWithoutLength(const std::string& path, const std::string& body) {
    Route r;
    r.kind = Kind::NoLength;
    r.body = body;
    SetRoute(path, r);
}

void TestHttpServer::ServeTruncated(const std::string& path, const std::string& body,
                                    long long announcedLength) {
    Route r;
    r.kind = Kind::Truncated;
    r.body = body;
    r.announced = announcedLength;
    SetRoute(path, r);
}

void TestHttpServer::ServeEndlessHeader(const std::string& path) {
    Route r;
    r.kind = Kind::EndlessHeader;
    SetRoute(path, r);
}

void TestHttpServer::ServeStalling(const std::string& path, const std::string& body,
                                   long long announcedLength, int stallMs) {
    Route r;
    r.kind = Kind::Stalling;
    r.body = body;
    r.announced = announcedLength;
    r.stallMs = stallMs;
    SetRoute(path, r);
}

void TestHttpServer::ServeStatus(const std::string& path, int status, const std::string& reason) {
    Route r;
    r.kind = Kind::Status;
    r.status = status;
    r.reason = reason;
    r.body = std::to_string(status) + " " + reason + "\n";
    SetRoute(path, r);
}

void TestHttpServer::ServeRaw(const std::string& path, const std::string& response) {
    Route r;
    r.kind = Kind::Raw;
    r.body = response;
    SetRoute(path, r);
}

void TestHttpServer::ServeGenerated(const std::string& path, long long size, uint64_t seed) {
    Route r;
    r.kind = Kind::Generated;
    r.announced = size;
    r.seed = seed;
    SetRoute(path, r);
}

std::string TestHttpServer::GeneratedBytes(uint64_t seed, long long offset, size_t n) {
    std::string out(n, '\0');
    for (size_t i = 0; i < n;) {
        long long pos = offset + static_cast<long long>(i);
        uint64_t word = SplitMix(seed * 0x100000001B3ULL + static_cast<uint64_t>(pos / 8));
        for (int b = static_cast<int>(pos % 8); b < 8 && i < n; ++b, ++i)
            out[i] = static_cast<char>(word >> (8 * b));
    }
    return out;
}

int TestHttpServer::RequestCount(const std::string& path) const {
    std::lock_guard lock(mutex_);
    auto it = counts_.find(path);
    return it == counts_.end() ? 0 : it->second;
}

std::vector<std::string> TestHttpServer::RequestLines() const {
    std::lock_guard lock(mutex_);
    return requestLines_;
}

int TestHttpServer::UnusedPort() {
    int port = 0;
    int fd = BindLoopback(&port);
    ::close(fd);
    return port;
}

bool TestHttpServer::WaitReady(int fd, short events, int timeoutMs) {
    pollfd fds[2] = {{fd, events, 0}, {wakeRead_, POLLIN, 0}};
    for (;;) {
        int n = ::poll(fds, 2, timeoutMs);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || stopping_ || (fds[1].revents & POLLIN)) return false;
        return (fds[0].revents & (events | POLLHUP | POLLERR)) != 0;
    }
}

bool TestHttpServer::SendAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!WaitReady(fd, POLLOUT, -1)) return false;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

void TestHttpServer::Hold(int fd, int ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        int left = -1;
        if (ms >= 0) {
            auto rest = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (rest.count() <= 0) return;
            left = static_cast<int>(rest.count());
        }
        if (!WaitReady(fd, POLLIN, left)) return;
        char buf[4096];
        ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return;
    }
}

void TestHttpServer::AcceptLoop() {
    for (;;) {
        if (!WaitReady(listenFd_, POLLIN, -1)) return;
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        std::lock_guard lock(mutex_);
        connections_.emplace_back([this, fd] {
            Handle(fd);
            ::close(fd);
        });
    }
}

void TestHttpServer::Handle(int fd) {
    std::string request;
    while (request.find("\r\n\r\n") == std::string::npos) {
        if (request.size() > 65536 || !WaitReady(fd, POLLIN, -1)) return;
        char buf[4096];
        ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n == 0) return;
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) continue;
            return;
        }
        request.append(buf, static_cast<size_t>(n));
        // Like any plain web server, answer a TLS hello (or other binary
        // junk) at once instead of waiting for a header end that never comes.
        if (request[0] < 'A' || request[0] > 'Z') {
            std::string out = Header(400, "Bad Request", 0);
            SendAll(fd, out.data(), out.size());
            return;
        }
    }
    std::string line = request.substr(0, request.find("\r\n"));
    size_t sp1 = line.find(' ');
    size_t sp2 = line.find(' ', sp1 == std::string::npos ? 0 : sp1 + 1);
    std::string path = sp1 == std::string::npos ? "" : line.substr(sp1 + 1, sp2 - sp1 - 1);

    Route route;
    bool known = false;
    {
        std::lock_guard lock(mutex_);
        requestLines_.push_back(line);
        ++counts_[path];
        auto it = routes_.find(path);
        if (it != routes_.end()) {
            route = it->second;
            known = true;
        }
    }
    if (!known) {
        route.kind = Kind::Status;
        route.status = 404;
        route.reason = "Not Found";
        route.body = "no such path\n";
    }

    switch (route.kind) {
        case Kind::Body: {
            std::string out = Header(200, "OK", static_cast<long long>(route.body.size()));
            out += route.body;
            SendAll(fd, out.data(), out.size());
            break;
        }
        case Kind::NoLength: {
            std::string out = Header(200, "OK", -1) + route.body;
            SendAll(fd, out.data(), out.size());
            break;
        }
        case Kind::Truncated: {
            std::string out = Header(200, "OK", route.announced) + route.body;
            SendAll(fd, out.data(), out.size());
            break;
        }
        case Kind::EndlessHeader: {
            std::string out = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n";
            if (SendAll(fd, out.data(), out.size())) Hold(fd, -1);
            break;
        }
        case Kind::Stalling: {
            std::string out = Header(200, "OK", route.announced) + route.body;
            if (SendAll(fd, out.data(), out.size())) Hold(fd, route.stallMs);
            break;
        }
        case Kind::Status: {
            std::string out =
                Header(route.status, route.reason, static_cast<long long>(route.body.size()));
            out += route.body;
            SendAll(fd, out.data(), out.size());
            break;
        }
        case Kind::Raw:
            SendAll(fd, route.body.data(), route.body.size());
            break;
        case Kind::Generated: {
            std::string head = Header(200, "OK", route.announced);
            if (!SendAll(fd, head.data(), head.size())) break;
            constexpr size_t kChunk = 1 << 16;
            for (long long sent = 0; sent < route.announced;) {
                size_t n = static_cast<size_t>(
                    std::min<long long>(static_cast<long long>(kChunk), route.announced - sent));
                std::string chunk = GeneratedBytes(route.seed, sent, n);
                if (!SendAll(fd, chunk.data(), chunk.size())) break;
                sent += static_cast<long long>(n);
            }
            break;
        }
    }
    // Let the client read everything before the connection goes away.
    ::shutdown(fd, SHUT_WR);
    if (route.kind != Kind::Truncated && route.kind != Kind::Raw) Hold(fd, 1000);
}

}  // namespace zk40test
