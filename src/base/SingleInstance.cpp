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
#include <QVariant>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "base/InstanceRequest.h"

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

TInstanceServer::TInstanceServer(const std::string& socketPath, Handler onRequest, QObject* parent)
    : QObject(parent),
      path_(socketPath),
      onRequest_(std::move(onRequest)),
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
            // One request per connection; whatever follows it is ignored.
            if (sock->property("zk40answered").toBool()) return;
            std::string reply;
            if (sock->canReadLine()) {
                QByteArray line = sock->readLine(kMaxRequestLine);
                if (!line.endsWith('\n')) {
                    reply = MakeAnswer(false, "the request is too long");
                } else {
                    line.chop(1);
                    reply = onRequest_ ? onRequest_(line.toStdString()) : MakeAnswer(true, {});
                }
            } else if (sock->bytesAvailable() >= static_cast<qint64>(kMaxRequestLine)) {
                reply = MakeAnswer(false, "the request is too long");
            } else {
                return;
            }
            sock->setProperty("zk40answered", true);
            sock->write(reply.data(), static_cast<qint64>(reply.size()));
            sock->flush();
            sock->disconnectFromServer();
        };
        connect(sock, &QLocalSocket::readyRead, this, answer);
        // The line may have come in before we were listening for it.
        answer();
    }
}

}  // namespace zk40
