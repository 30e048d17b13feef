#include "base/SingleInstance.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <algorithm>
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

struct TInstanceServer::Client {
    int fd = -1;
    QSocketNotifier* notifier = nullptr;
    std::string buffer;
    bool answered = false;
};

TInstanceServer::TInstanceServer(const std::string& socketPath, Handler onRequest, QObject* parent)
    : QObject(parent), path_(socketPath), onRequest_(std::move(onRequest)) {}

TInstanceServer::~TInstanceServer() {
    for (auto& c : clients_) {
        delete c->notifier;
        close(c->fd);
    }
    if (fd_ >= 0) {
        delete notifier_;
        close(fd_);
        // Only ours while we listen on it: we hold the instance lock.
        unlink(path_.c_str());
    }
}

bool TInstanceServer::Listen(std::string* error) {
    auto fail = [&](const std::string& what) {
        if (error) *error = "cannot listen on " + path_ + ": " + what;
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
        return false;
    };
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path_.size() >= sizeof addr.sun_path) return fail("the path is too long for a socket");
    memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return fail(strerror(errno));
    // We hold the instance lock, so a socket file left here belongs to a
    // process that is gone.
    unlink(path_.c_str());
    // Made with no access for anybody else from the start, not narrowed
    // after the fact.
    const mode_t old = umask(0177);
    const int bound = bind(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    const int bindErr = errno;
    umask(old);
    if (bound != 0) return fail(strerror(bindErr));
    if (listen(fd_, 64) != 0) return fail(strerror(errno));
    notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &TInstanceServer::OnConnection);
    return true;
}

void TInstanceServer::OnConnection() {
    for (;;) {
        const int fd = accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;  // nothing more waiting (or a client that gave up)
        ucred cred{};
        socklen_t len = sizeof cred;
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.uid != getuid()) {
            close(fd);
            continue;
        }
        auto client = std::make_unique<Client>();
        client->fd = fd;
        client->notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        Client* c = client.get();
        connect(c->notifier, &QSocketNotifier::activated, this, [this, c] { OnReadable(c); });
        clients_.push_back(std::move(client));
        // The line may have come in before we were watching for it.
        OnReadable(c);
    }
}

void TInstanceServer::OnReadable(Client* c) {
    char buf[4096];
    bool closed = false;
    while (!c->answered && c->buffer.size() < kMaxRequestLine) {
        const ssize_t n = read(c->fd, buf, sizeof buf);
        if (n > 0) {
            c->buffer.append(buf, static_cast<size_t>(n));
            if (c->buffer.find('\n') != std::string::npos) break;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        closed = n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
        break;
    }
    if (c->answered) {
        // One request per connection; whatever follows it is ignored.
        if (closed) Drop(c);
        return;
    }
    std::string reply;
    const size_t eol = c->buffer.find('\n');
    if (eol != std::string::npos && eol < kMaxRequestLine) {
        const std::string line = c->buffer.substr(0, eol);
        c->answered = true;
        // The request may run the event loop (a wait for a module); this
        // connection must not be looked at again meanwhile.
        c->notifier->setEnabled(false);
        reply = onRequest_ ? onRequest_(line) : MakeAnswer(true, {});
    } else if (c->buffer.size() >= kMaxRequestLine) {
        c->answered = true;
        reply = MakeAnswer(false, "the request is too long");
    } else {
        if (closed) Drop(c);  // gone before a whole line came
        return;
    }
    // The answer is one short line; a client that does not read it within
    // a second is not waited for any longer.
    size_t sent = 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (sent < reply.size()) {
        const ssize_t n = send(c->fd, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              until - std::chrono::steady_clock::now())
                              .count();
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && left > 0) {
            pollfd p{c->fd, POLLOUT, 0};
            poll(&p, 1, static_cast<int>(left));
            continue;
        }
        break;
    }
    Drop(c);
}

void TInstanceServer::Drop(Client* c) {
    auto it = std::find_if(clients_.begin(), clients_.end(),
                           [c](const std::unique_ptr<Client>& p) { return p.get() == c; });
    if (it == clients_.end()) return;
    // Deleted later: this may run inside the notifier's own signal.
    c->notifier->setEnabled(false);
    c->notifier->deleteLater();
    shutdown(c->fd, SHUT_RDWR);
    close(c->fd);
    clients_.erase(it);
}

}  // namespace zk40
