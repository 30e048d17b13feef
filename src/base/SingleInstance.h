#pragma once
// One running instance per user. The claim is an exclusive lock on a file in
// the user's runtime folder, so two processes started together can never
// both win; the winner listens on a local socket beside it, through which a
// later process wakes it after leaving its command line in the store.
#include <QObject>
#include <functional>
#include <string>

class QLocalServer;

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

// The running instance's side: answers each wake-up by calling onHandOver on
// the main thread, then acknowledges it. Peers of another user are refused.
class TInstanceServer : public QObject {
    Q_OBJECT
public:
    TInstanceServer(const std::string& socketPath, std::function<void()> onHandOver,
                    QObject* parent = nullptr);
    bool Listen(std::string* error);

private:
    void OnConnection();
    std::string path_;
    std::function<void()> onHandOver_;
    QLocalServer* server_;
};

// The second instance's side: wakes the running instance and waits (up to
// timeoutMs) for its answer. False when no instance answered.
bool WakeRunningInstance(const std::string& socketPath, int timeoutMs);

}  // namespace zk40
