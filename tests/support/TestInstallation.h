#pragma once
// A private installation for one test: a scratch folder with the XDG
// variables pointing into it, the program's folders made and its store
// open. Fixtures derive from it beside ::testing::Test.
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>

#include "TestEnv.h"
#include "store/AppPaths.h"
#include "store/AppStore.h"

namespace zk40test {

struct TestInstallation {
    TestInstallation();

    // The test module installed as ZKTEST:TESTMOD (ZKA00001.dll), loaded,
    // with these action ids.
    void InstallTestModule(std::initializer_list<std::string> actionIds = {"TESTACT"});
    // The key of job `id`, not created when it is missing.
    zk40::TRegKey JobKey(uint32_t id) const;
    // Run and reaped: a last run recorded and the job idle again.
    bool JobRan(uint32_t id) const;

    TempDir dir;
    ScopedXdg xdg{dir};
    zk40::AppPaths paths = zk40::AppPaths::FromEnvironment();
    std::unique_ptr<zk40::TAppStore> app;
    zk40::TRegKey actions;
};

}  // namespace zk40test
