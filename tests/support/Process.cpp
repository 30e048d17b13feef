#include "Process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "TestEnv.h"

namespace zk40test {

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& outputPath,
                           const std::vector<std::pair<std::string, std::string>>& extraEnv)
    : output_(outputPath) {
    pid_ = fork();
    if (pid_ == 0) {
        // The test runner may block signals; the child starts clean.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (const auto& [k, v] : extraEnv) setenv(k.c_str(), v.c_str(), 1);
        int fd = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
            close(fd);
        }
        int devnull = open("/dev/null", O_RDONLY);
        if (devnull >= 0) dup2(devnull, 0);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
}

ChildProcess::ChildProcess(ChildProcess&& o) noexcept
    : pid_(o.pid_), status_(o.status_), reaped_(o.reaped_), output_(std::move(o.output_)) {
    o.pid_ = -1;
}

ChildProcess& ChildProcess::operator=(ChildProcess&& o) noexcept {
    std::swap(pid_, o.pid_);
    std::swap(status_, o.status_);
    std::swap(reaped_, o.reaped_);
    std::swap(output_, o.output_);
    return *this;
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !reaped_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status_, 0);
    }
}

bool ChildProcess::Running() {
    if (pid_ <= 0 || reaped_) return false;
    pid_t r = waitpid(pid_, &status_, WNOHANG);
    if (r == pid_) reaped_ = true;
    return !reaped_;
}

void ChildProcess::Signal(int sig) {
    if (pid_ > 0 && !reaped_) kill(pid_, sig);
}

int ChildProcess::Wait(int timeoutMs) {
    if (pid_ <= 0) return -1;
    if (!WaitFor([this] { return !Running(); }, timeoutMs)) return -1;
    if (WIFEXITED(status_)) return WEXITSTATUS(status_);
    if (WIFSIGNALED(status_)) return 128 + WTERMSIG(status_);
    return -1;
}

std::string ChildProcess::Output() const { return ReadFile(output_); }

int RunProcess(const std::vector<std::string>& argv, std::string* output, int timeoutMs,
               const std::vector<std::pair<std::string, std::string>>& extraEnv) {
    char tmpl[] = "/tmp/zk40out-XXXXXX";
    int fd = mkstemp(tmpl);
    if (fd >= 0) close(fd);
    int rc;
    {
        ChildProcess p(argv, tmpl, extraEnv);
        rc = p.Wait(timeoutMs);
    }
    if (output) *output = ReadFile(tmpl);
    unlink(tmpl);
    return rc;
}

bool WaitFor(const std::function<bool()>& cond, int timeoutMs) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (cond()) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

}  // namespace zk40test
