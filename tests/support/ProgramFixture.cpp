#include "ProgramFixture.h"

#include <signal.h>

#include "base/InstanceRequest.h"

namespace zk40test {

EnvList RealProgramFixture::Env(EnvList extra) {
    extra.emplace_back("ZK40_NO_START_DELAY", "1");
    return extra;
}

ChildProcess RealProgramFixture::Start(std::vector<std::string> args, const EnvList& extraEnv) {
    args.insert(args.begin(), ZK40_BIN);
    return ChildProcess(args, dir / ("out" + std::to_string(outputs++) + ".txt"), Env(extraEnv));
}

void RealProgramFixture::StartRunning(ChildProcess& p) {
    p = Start();
    ASSERT_TRUE(WaitFor(
        [&] { return p.Output().find("Initialization:  Completed,") != std::string::npos; },
        30000))
        << p.Output();
    ASSERT_EQ(zk40::NotifyStoreChanged(paths.runtimeDir, 20000).kind,
              zk40::InstanceAnswer::Kind::Ok);
}

void RealProgramFixture::Stop(ChildProcess& p) {
    p.Signal(SIGTERM);
    EXPECT_EQ(p.Wait(30000), 0) << p.Output();
}

int RealProgramFixture::Reg(std::vector<std::string> args, std::string* output) {
    args.insert(args.begin(), ZK40_REG_BIN);
    std::string o;
    int rc = RunProcess(args, &o, 30000, Env());
    if (output) *output = o;
    return rc;
}

}  // namespace zk40test
