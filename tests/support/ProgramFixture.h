#pragma once
// The real program started on a test installation: without the start
// delay, each start writing its output to a file of its own.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "Process.h"
#include "TestInstallation.h"

namespace zk40test {

using EnvList = std::vector<std::pair<std::string, std::string>>;

struct RealProgramFixture : ::testing::Test, TestInstallation {
    // The environment every process of the test gets, plus `extra`.
    static EnvList Env(EnvList extra = {});
    // zarkell40 with `args`.
    ChildProcess Start(std::vector<std::string> args = {}, const EnvList& extraEnv = {});
    // Started, and up: it answers on its socket and has loaded its modules.
    void StartRunning(ChildProcess& p);
    // SIGTERM, and the program ends cleanly.
    void Stop(ChildProcess& p);
    // zk40-reg with `args`, run to its end; its exit code.
    int Reg(std::vector<std::string> args, std::string* output = nullptr);

    int outputs = 0;
};

}  // namespace zk40test
