#include "Catalogue.h"

#include <QCoreApplication>
#include <filesystem>

#include "TestEnv.h"

namespace zk40test {

void InstallModule(const zk40::TRegKey& actionsKey, const std::string& actionsDir,
                   const std::string& moduleFile, const std::string& fileName,
                   const std::string& vendor, const std::string& module,
                   std::initializer_list<std::string> actions) {
    std::filesystem::create_directories(actionsDir);
    std::filesystem::copy_file(moduleFile, actionsDir + "/" + fileName,
                               std::filesystem::copy_options::overwrite_existing);
    zk40::TRegKey mk(actionsKey, vendor + "\\" + module);
    mk.SetString("FILENAME", fileName);
    for (const std::string& a : actions) zk40::TRegKey(mk, a).SetDword("LOADED", 1);
}

uint32_t MakeTestJob(const zk40::TRegKey& jobsKey, const zk40::TRegKey& actionsKey,
                     const std::string& name, const std::vector<TestAction>& actions,
                     uint32_t schedType, zk40::StoreTime time) {
    zk40::TJob job(jobsKey, actionsKey);
    job.Name = name;
    job.SchedType = schedType;
    job.Time = time;
    job.State = 2;
    for (const TestAction& a : actions) {
        uint32_t h = job.AddAction("ZKTEST", "TESTMOD", a.actionId);
        zk40::TAction* act = job.FindAction(h);
        act->Name = name + "/" + a.actionId;
        job.SetProperty(h, {.Id = 1, .Code = 1, .Number = static_cast<uint32_t>(a.mode)});
        job.SetProperty(h, {.Id = 2, .Code = 1, .Number = static_cast<uint32_t>(a.sleepMs)});
        job.SetProperty(h, {.Id = 3, .Code = 1, .Number = static_cast<uint32_t>(a.ignoreStop)});
        job.SetProperty(h, {.Id = 4, .Code = 2, .Text = a.report});
    }
    return job.Id();
}

void EnsureQtApp() {
    static int argc = 1;
    static char name[] = "zk40test";
    static char* argv[] = {name, nullptr};
    static QCoreApplication* app =
        QCoreApplication::instance() ? nullptr : new QCoreApplication(argc, argv);
    (void)app;
}

}  // namespace zk40test
