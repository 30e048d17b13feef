#pragma once
// Real child processes for end-to-end tests: start the program, signal it,
// wait for it with a bound, read what it wrote.
#include <sys/types.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace zk40test {

class ChildProcess {
public:
    ChildProcess() = default;
    // Starts argv[0] with argv; extraEnv is added to the inherited
    // environment. Standard output and error go to outputPath (appended).
    ChildProcess(const std::vector<std::string>& argv, const std::string& outputPath,
                 const std::vector<std::pair<std::string, std::string>>& extraEnv = {});
    ChildProcess(ChildProcess&& o) noexcept;
    ChildProcess& operator=(ChildProcess&& o) noexcept;
    ~ChildProcess();  // kills a child that is still running

    pid_t pid() const { return pid_; }
    bool Running();
    void Signal(int sig);
    // Exit code, or -1 on timeout, or 128+signal when killed by a signal.
    int Wait(int timeoutMs);
    const std::string& OutputPath() const { return output_; }
    std::string Output() const;

private:
    pid_t pid_ = -1;
    int status_ = -1;
    bool reaped_ = false;
    std::string output_;
};

// Runs to completion; returns the exit code (-1 on timeout).
int RunProcess(const std::vector<std::string>& argv, std::string* output, int timeoutMs = 30000,
               const std::vector<std::pair<std::string, std::string>>& extraEnv = {});

// Polls cond every 20 ms up to timeoutMs; true when it became true.
bool WaitFor(const std::function<bool()>& cond, int timeoutMs);

}  // namespace zk40test
