#pragma once
// One running instance per user. The claim is an exclusive lock on a file in
// the user's runtime folder, so two processes started together can never
// both win; the winner listens on a local socket beside it, through which
// later processes hand it their requests (InstanceRequest.h).
#include <QObject>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QSocketNotifier;

namespace zk40 {

inline constexpr char kInstanceMarker[] = "DX14-ZK40-Instance";

class TInstanceLock {
public:
    enum class Claim { Primary, Secondary, Failed };
    explicit TInstanceLock(std::string runtimeDir);
    ~TInstanceLock();
    TInstanceLock(const TInstanceLock&) = delete;
    TInstanceLock& operator=(const TInstanceLock&) = delete;

    // Takes the lock when free. Secondary: another process holds it.
    Claim TryClaim(std::string* error);
    bool Held() const { return fd_ >= 0 && held_; }
    std::string SocketPath() const { return dir_ + "/" + kInstanceMarker; }
    std::string LockPath() const { return dir_ + "/" + kInstanceMarker + ".lock"; }

private:
    std::string dir_;
    int fd_ = -1;
    bool held_ = false;
};

// The running instance's side: reads one request line from each client
// (see InstanceRequest.h), calls onRequest with it on the main thread and
// writes back the answer line it returns. Peers of another user are refused.
// A plain Unix socket watched by the event loop: a socket library would
// bring a network stack's worth of shared libraries into a program that
// idles all day.
class TInstanceServer : public QObject {
    Q_OBJECT
public:
    using Handler = std::function<std::string(const std::string& line)>;
    TInstanceServer(const std::string& socketPath, Handler onRequest, QObject* parent = nullptr);
    ~TInstanceServer() override;
    bool Listen(std::string* error);

private:
    struct Client;
    void OnConnection();
    void OnReadable(Client* client);
    void Drop(Client* client);
    std::string path_;
    Handler onRequest_;
    int fd_ = -1;
    QSocketNotifier* notifier_ = nullptr;
    std::vector<std::unique_ptr<Client>> clients_;
};

}  // namespace zk40
