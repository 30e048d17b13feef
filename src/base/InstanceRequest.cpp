#include "base/InstanceRequest.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "base/SingleInstance.h"

namespace zk40 {

namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<int64_t>(0, ms.count()));
}

// True while some process holds the instance lock. Asking for a shared lock
// never blocks the holder; one that starts just now and finds our brief
// shared lock simply tries again.
bool InstanceLockHeld(const std::string& runtimeDir) {
    std::string path = runtimeDir + "/" + kInstanceMarker + ".lock";
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return false;
    bool held = flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(fd);
    return held;
}

enum class Exchange { Answered, NotListening, Broken };

Exchange Exchange1(const std::string& socketPath, const std::string& line,
                   Clock::time_point deadline, std::string* reply) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof addr.sun_path) {
        *reply = "the socket path " + socketPath + " is too long";
        return Exchange::Broken;
    }
    memcpy(addr.sun_path, socketPath.c_str(), socketPath.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *reply = std::string("cannot make a socket: ") + strerror(errno);
        return Exchange::Broken;
    }
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        int e = errno;
        close(fd);
        if (e == ENOENT || e == ECONNREFUSED || e == EAGAIN) return Exchange::NotListening;
        *reply = "cannot connect to " + socketPath + ": " + strerror(e);
        return Exchange::Broken;
    }
    std::string out = line + "\n";
    for (size_t sent = 0; sent < out.size();) {
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, MsLeft(deadline)) <= 0) break;
        ssize_t n = send(fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
    }
    reply->clear();
    while (reply->find('\n') == std::string::npos && reply->size() < kMaxRequestLine) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, MsLeft(deadline)) <= 0) break;
        char buf[4096];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        reply->append(buf, static_cast<size_t>(n));
    }
    close(fd);
    size_t nl = reply->find('\n');
    if (nl == std::string::npos) {
        *reply = "the running instance did not answer";
        return Exchange::Broken;
    }
    reply->resize(nl);
    return Exchange::Answered;
}

}  // namespace

std::string InstanceSocketPath(const std::string& runtimeDir) {
    return runtimeDir + "/" + kInstanceMarker;
}

std::string MakeArgsRequest(const std::vector<std::string>& args) {
    std::string line = "ARGS";
    for (const std::string& a : args) {
        line += ' ';
        line += EncodeRequestField(a);
    }
    return line;
}

std::string MakeTypesRequest(bool load, const std::vector<std::string>& types) {
    std::string line = load ? "TYPES LOAD" : "TYPES UNLOAD";
    for (const std::string& t : types) line += " " + EncodeRequestField(t);
    return line;
}

std::string MakeJobRequest(const std::vector<std::string>& fields) {
    return "JOB " + JoinFields(fields);
}

std::string MakeInstallRequest(const std::string& path) {
    return "INSTALL " + EncodeRequestField(path);
}

InstanceRequest ParseInstanceRequest(std::string_view line) {
    InstanceRequest rq;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::string_view verb = line.substr(0, line.find(' '));
    std::string_view rest =
        line.size() > verb.size() ? line.substr(verb.size() + 1) : std::string_view();
    // The fields after the verb; false for one that is not encoded right.
    auto fields = [&rq](std::string_view text) {
        if (text.empty()) return true;
        while (true) {
            size_t sp = text.find(' ');
            std::string arg;
            if (!DecodeRequestField(text.substr(0, sp), &arg)) {
                rq.verb = InstanceRequest::Verb::Bad;
                rq.error = "a malformed argument in the request";
                rq.args.clear();
                return false;
            }
            rq.args.push_back(std::move(arg));
            if (sp == std::string_view::npos) return true;
            text.remove_prefix(sp + 1);
        }
    };
    if (verb == "RELOAD" && line == verb) {
        rq.verb = InstanceRequest::Verb::Reload;
    } else if (verb == "STATUS" && line == verb) {
        rq.verb = InstanceRequest::Verb::Status;
    } else if (verb == "JOB" && !rest.empty()) {
        rq.verb = InstanceRequest::Verb::Job;
        if (!SplitFields(rest, &rq.args)) {
            rq.verb = InstanceRequest::Verb::Bad;
            rq.error = "a malformed argument in the request";
            rq.args.clear();
        }
    } else if (verb == "WAKE" && line == verb) {
        rq.verb = InstanceRequest::Verb::Wake;
    } else if (verb == "ARGS") {
        rq.verb = InstanceRequest::Verb::Args;
        fields(rest);
    } else if (verb == "TYPES") {
        std::string_view how = rest.substr(0, rest.find(' '));
        rest = rest.size() > how.size() ? rest.substr(how.size() + 1) : std::string_view();
        if ((how != "LOAD" && how != "UNLOAD") || rest.empty()) {
            rq.error = "TYPES takes LOAD or UNLOAD and at least one action type";
            return rq;
        }
        rq.verb = InstanceRequest::Verb::Types;
        rq.load = how == "LOAD";
        fields(rest);
    } else if (verb == "INSTALL") {
        rq.verb = InstanceRequest::Verb::Install;
        if (fields(rest) && rq.args.size() != 1) {
            rq.verb = InstanceRequest::Verb::Bad;
            rq.error = "INSTALL takes one file";
            rq.args.clear();
        }
    } else {
        // Said back as text a terminal shows safely: a client that sent
        // bytes of no request gets no raw bytes back.
        std::string shown;
        for (unsigned char c : verb.substr(0, 40)) {
            if (c >= 0x20 && c < 0x7F) {
                shown += static_cast<char>(c);
            } else {
                char hex[5];
                snprintf(hex, sizeof hex, "\\x%02X", c);
                shown += hex;
            }
        }
        rq.error = "unknown request \"" + shown + "\"";
    }
    return rq;
}

std::string MakeAnswer(bool ok, std::string_view text) {
    std::string out = ok ? "OK" : "ERR";
    if (!text.empty()) {
        out += ' ';
        for (char c : text) out += (c == '\n' || c == '\r') ? ' ' : c;
    }
    return out + "\n";
}

InstanceAnswer SendInstanceRequest(const std::string& runtimeDir, const std::string& line,
                                   int timeoutMs) {
    InstanceAnswer answer;
    if (runtimeDir.empty()) {
        answer.text = "no runtime folder is known";
        return answer;
    }
    if (line.size() + 1 > kMaxRequestLine || line.find('\n') != std::string::npos) {
        answer.kind = InstanceAnswer::Kind::NoAnswer;
        answer.text = "the request is too long or holds a line break";
        return answer;
    }
    const std::string path = InstanceSocketPath(runtimeDir);
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (true) {
        std::string reply;
        Exchange r = Exchange1(path, line, deadline, &reply);
        if (r == Exchange::Answered) {
            bool ok = reply == "OK" || reply.rfind("OK ", 0) == 0;
            bool err = reply == "ERR" || reply.rfind("ERR ", 0) == 0;
            if (ok || err) {
                answer.kind = ok ? InstanceAnswer::Kind::Ok : InstanceAnswer::Kind::Refused;
                size_t sp = reply.find(' ');
                answer.text = sp == std::string::npos ? std::string() : reply.substr(sp + 1);
            } else {
                answer.kind = InstanceAnswer::Kind::NoAnswer;
                answer.text = "the running instance gave an answer this program does not know: " +
                              reply.substr(0, 80);
            }
            return answer;
        }
        if (r == Exchange::Broken) {
            answer.kind = InstanceAnswer::Kind::NoAnswer;
            answer.text = reply;
            return answer;
        }
        // Nobody listens: either no instance runs, or one holds the lock and
        // is still starting (or just stopping).
        if (!InstanceLockHeld(runtimeDir)) {
            answer.kind = InstanceAnswer::Kind::NoInstance;
            answer.text = "no instance is running";
            return answer;
        }
        if (MsLeft(deadline) == 0) {
            answer.kind = InstanceAnswer::Kind::NoAnswer;
            answer.text = "the running instance did not start listening in time";
            return answer;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(50, MsLeft(deadline))));
    }
}

InstanceAnswer HandOverArguments(const std::string& runtimeDir,
                                 const std::vector<std::string>& args, int timeoutMs) {
    return SendInstanceRequest(runtimeDir, MakeArgsRequest(args), timeoutMs);
}

InstanceAnswer NotifyStoreChanged(const std::string& runtimeDir, int timeoutMs) {
    return SendInstanceRequest(runtimeDir, kReloadRequest, timeoutMs);
}

}  // namespace zk40
