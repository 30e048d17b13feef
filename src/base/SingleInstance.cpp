#include "base/SingleInstance.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QLocalServer>
#include <QLocalSocket>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace zk40 {

TInstanceLock::TInstanceLock(std::string runtimeDir) : dir_(std::move(runtimeDir)) {}

TInstanceLock::~TInstanceLock() {
    if (fd_ >= 0) close(fd_);
}

TInstanceLock::Claim TInstanceLock::TryClaim(std::string* error) {
    if (dir_.empty()) {
        if (error) *error = "no private runtime folder (XDG_RUNTIME_DIR) is available";
        return Claim::Failed;
    }
    if (fd_ < 0) {
        fd_ = open(LockPath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd_ < 0) {
            if (error) *error = "cannot open " + LockPath() + ": " + strerror(errno);
            return Claim::Failed;
        }
    }
    if (flock(fd_, LOCK_EX | LOCK_NB) == 0) {
        held_ = true;
        return Claim::Primary;
    }
    if (errno == EWOULDBLOCK) return Claim::Secondary;
    if (error) *error = "cannot lock " + LockPath() + ": " + strerror(errno);
    return Claim::Failed;
}

TInstanceServer::TInstanceServer(const std::string& socketPath, std::function<void()> onHandOver,
                                 QObject* parent)
    : QObject(parent),
      path_(socketPath),
      onHandOver_(std::move(onHandOver)),
      server_(new QLocalServer(this)) {
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    connect(server_, &QLocalServer::newConnection, this, &TInstanceServer::OnConnection);
}

bool TInstanceServer::Listen(std::string* error) {
    // We hold the instance lock, so a socket file left here belongs to a
    // process that is gone.
    QLocalServer::removeServer(QString::fromStdString(path_));
    if (!server_->listen(QString::fromStdString(path_))) {
        if (error)
            *error = "cannot listen on " + path_ + ": " + server_->errorString().toStdString();
        return false;
    }
    return true;
}

void TInstanceServer::OnConnection() {
    while (QLocalSocket* sock = server_->nextPendingConnection()) {
        connect(sock, &QLocalSocket::disconnected, sock, &QObject::deleteLater);
        ucred cred{};
        socklen_t len = sizeof cred;
        if (getsockopt(static_cast<int>(sock->socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &cred,
                       &len) != 0 ||
            cred.uid != getuid()) {
            sock->abort();
            continue;
        }
        auto answer = [this, sock] {
            if (!sock->canReadLine()) return;
            QByteArray line = sock->readLine().trimmed();
            if (line == "WAKE") {
                if (onHandOver_) onHandOver_();
                sock->write("OK\n");
                sock->flush();
            }
            sock->disconnectFromServer();
        };
        connect(sock, &QLocalSocket::readyRead, this, answer);
        // The line may have come in before we were listening for it.
        answer();
    }
}

bool WakeRunningInstance(const std::string& socketPath, int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    auto left = [&] {
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        return static_cast<int>(std::max<int64_t>(0, ms.count()));
    };
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof addr.sun_path) {
        close(fd);
        return false;
    }
    memcpy(addr.sun_path, socketPath.c_str(), socketPath.size() + 1);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return false;
    }
    const char msg[] = "WAKE\n";
    if (send(fd, msg, sizeof msg - 1, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof msg - 1)) {
        close(fd);
        return false;
    }
    std::string reply;
    while (reply.find('\n') == std::string::npos) {
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, left());
        if (r <= 0) break;
        char buf[64];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        reply.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return reply.rfind("OK", 0) == 0;
}

}  // namespace zk40
