#include "TestInstallation.h"

#include "Catalogue.h"
#include "jobs/Job.h"
#include "support/StoreTime.h"

namespace zk40test {

TestInstallation::TestInstallation() {
    paths.MakeFolders();
    app = std::make_unique<zk40::TAppStore>(paths);
    actions = zk40::TRegKey(app->product, "actions");
}

void TestInstallation::InstallTestModule(std::initializer_list<std::string> actionIds) {
    InstallModule(actions, paths.actionsDir, ZK40_TESTMODULE_PATH, "ZKA00001.dll", "ZKTEST",
                  "TESTMOD", actionIds);
}

zk40::TRegKey TestInstallation::JobKey(uint32_t id) const {
    return zk40::TRegKey(app->jobs, zk40::TJob::KeyNameOf(id), false);
}

bool TestInstallation::JobRan(uint32_t id) const {
    zk40::TRegKey k = JobKey(id);
    return k.GetDword("LastRun") > zk40::kSmallestTime && k.GetDword("State") == 5;
}

}  // namespace zk40test
