#pragma once
// A real HTTP/1.1 server on 127.0.0.1 for the download tests. Each path is
// given a behaviour by the test: a normal answer, one without a length, a
// body cut short, a header that never ends, a body that stalls, an error
// status, or a large generated body. Every connection runs on its own thread,
// so a stalled one never holds up another; the destructor wakes and joins
// them all.
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zk40test {

class TestHttpServer {
public:
    TestHttpServer();
    ~TestHttpServer();
    TestHttpServer(const TestHttpServer&) = delete;
    TestHttpServer& operator=(const TestHttpServer&) = delete;

    int port() const { return port_; }
    // "127.0.0.1:PORT", the host part of a URL.
    std::string Address() const;

    // 200 with Content-Length and the body.
    void Serve(const std::string& path, const std::string& body);
    // 200 without Content-Length; the body ends when the connection closes.
    void ServeWithoutLength(const std::string& path, const std::string& body);
    // Announces announcedLength but sends only body, then closes.
    void ServeTruncated(const std::string& path, const std::string& body,
                        long long announcedLength);
    // Sends the status line and one header line, then nothing more until the
    // client gives up or the server ends.
    void ServeEndlessHeader(const std::string& path);
    // Announces announcedLength, sends body, then waits stallMs (-1: until
    // the client gives up or the server ends) and closes.
    void ServeStalling(const std::string& path, const std::string& body, long long announcedLength,
                       int stallMs);
    // Answers with the status and a short text body.
    void ServeStatus(const std::string& path, int status, const std::string& reason);
    // Sends response exactly as given (status line, headers and body), then
    // closes: for answers no well-behaved server gives.
    void ServeRaw(const std::string& path, const std::string& response);
    // 200 with size bytes of GeneratedBytes(seed), produced while sending.
    void ServeGenerated(const std::string& path, long long size, uint64_t seed);

    // The pseudo-random bytes [offset, offset + n) of the stream for seed.
    static std::string GeneratedBytes(uint64_t seed, long long offset, size_t n);

    // Requests seen for path (the request target, query included).
    int RequestCount(const std::string& path) const;
    // Request lines as received, e.g. "GET /a.txt HTTP/1.1".
    std::vector<std::string> RequestLines() const;

    // A loopback port that nothing listens on (bound, then released).
    static int UnusedPort();

private:
    enum class Kind { Body, NoLength, Truncated, EndlessHeader, Stalling, Status, Generated, Raw };
    struct Route {
        Kind kind = Kind::Body;
        std::string body;
        long long announced = 0;
        int stallMs = 0;
        int status = 200;
        std::string reason = "OK";
        uint64_t seed = 0;
    };

    void SetRoute(const std::string& path, Route route);
    void AcceptLoop();
    void Handle(int fd);
    // Waits until fd is ready for events; false when the server is ending,
    // the peer went away (for reads) or timeoutMs (-1: none) passed.
    bool WaitReady(int fd, short events, int timeoutMs);
    bool SendAll(int fd, const char* data, size_t size);
    // Keeps the connection open for ms (-1: until the peer closes or the
    // server ends), discarding anything the peer sends.
    void Hold(int fd, int ms);

    int listenFd_ = -1;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread acceptThread_;

    mutable std::mutex mutex_;
    std::map<std::string, Route> routes_;
    std::map<std::string, int> counts_;
    std::vector<std::string> requestLines_;
    std::vector<std::thread> connections_;
};

}  // namespace zk40test
