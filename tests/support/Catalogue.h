#pragma once
// Puts a built module into a store's catalogue as an installed, loaded
// action type, and builds jobs of test actions: what the update subsystem
// and the job dialogs would otherwise have done.
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "jobs/Job.h"
#include "store/Store.h"

namespace zk40test {

// Copies moduleFile into actionsDir under fileName and records it for the
// vendor and module, with LOADED 1 for each action id.
void InstallModule(const zk40::TRegKey& actionsKey, const std::string& actionsDir,
                   const std::string& moduleFile, const std::string& fileName,
                   const std::string& vendor, const std::string& module,
                   std::initializer_list<std::string> actions);

struct TestAction {
    std::string actionId = "TESTACT";
    int mode = 0;          // RID 1 of the test module
    int sleepMs = 0;       // RID 2
    int ignoreStop = 0;    // RID 3
    std::string report{};  // RID 4
};

// A new job of test-module actions; returns its id.
uint32_t MakeTestJob(const zk40::TRegKey& jobsKey, const zk40::TRegKey& actionsKey,
                     const std::string& name, const std::vector<TestAction>& actions,
                     uint32_t schedType = 1, zk40::StoreTime time = 0);

// One QCoreApplication for the whole test program.
void EnsureQtApp();

}  // namespace zk40test
