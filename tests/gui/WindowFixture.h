#pragma once
// The program as a user meets it, minus the process: a real store in a
// scratch folder, the client core, and the main window as its view.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QProgressBar>
#include <memory>

#include "Catalogue.h"
#include "TestEnv.h"
#include "base/Client.h"
#include "jobs/Job.h"
#include "store/AppStore.h"
#include "ui/MainWindow.h"
#include "ui/Prompt.h"

namespace zk40test {

struct WindowFixture : ::testing::Test {
    TempDir dir;
    ScopedXdg xdg{dir};
    zk40::AppPaths paths = zk40::AppPaths::FromEnvironment();
    std::unique_ptr<zk40::TAppStore> app;
    zk40::FixedClock clock{zk40::ToStoreTime(2026, 12, 10, 10, 0, 0)};
    std::unique_ptr<zk40::ui::TMainWindow> window;
    std::unique_ptr<zk40::TZarkellClient> client;
    zk40::TRegKey actions;

    void SetUp() override {
        paths.MakeFolders();
        app = std::make_unique<zk40::TAppStore>(paths);
        actions = zk40::TRegKey(app->product, "actions");
        // No connection question and no shipped modules at the first start.
        app->base.SetDword("ConnType", 0);
        app->base.SetDword("ShippedModules", 1);
        zk40::ui::PromptAnswers::Clear();
    }
    void TearDown() override { Stop(); }

    void InstallTestModule() {
        InstallModule(actions, paths.actionsDir, ZK40_TESTMODULE_PATH, "ZKA00001.dll", "ZKTEST",
                      "TESTMOD", {"TESTACT", "TESTACT2"});
    }
    uint32_t AddJob(const std::string& name, const std::vector<TestAction>& acts = {},
                    uint32_t schedType = 1, zk40::StoreTime time = 0) {
        return MakeTestJob(app->jobs, actions, name, acts, schedType, time);
    }
    void Start() {
        window = std::make_unique<zk40::ui::TMainWindow>();
        client = std::make_unique<zk40::TZarkellClient>(*app, paths, clock, *window, nullptr);
        client->SetTickAlignment(false);
        window->Attach(*client, *app);
        client->SetupWindow();
        window->Started();
    }
    void Stop() {
        if (client) client->CloseWindow();
        if (window) window->Detach();
        client.reset();
        window.reset();
    }
    // The first tick loads the modules; four quiet ticks and a scheduling
    // tick follow.
    void FirstTick() { client->EvTimer(); }
    void SchedulingPass() {
        for (int i = 0; i < 5; ++i) client->EvTimer();
    }
    bool WaitFor(const std::function<bool()>& done, int ms = 20000) {
        return client->Pump().WaitServing(done, ms);
    }

    template <typename T>
    T* Find(const char* name) const {
        return window->findChild<T*>(name);
    }
    QString Bar(const char* name) const { return Find<QLabel>(name)->text(); }
    zk40::TJob* Job(uint32_t id) const { return client->FindJob(id); }
    QTreeWidgetItem* Select(QTreeWidgetItem* item) {
        window->Tree()->setCurrentItem(item);
        return item;
    }
    static int Image(const QTreeWidgetItem* item) {
        return item->data(0, zk40::ui::kImageRole).toInt();
    }
    std::vector<QString> RootTexts() const {
        std::vector<QString> out;
        for (int i = 0; i < window->Tree()->topLevelItemCount(); ++i)
            out.push_back(window->Tree()->topLevelItem(i)->text(0));
        return out;
    }
    // What the prompts showed, as "caption|text".
    std::vector<QString> Shown() const {
        std::vector<QString> out;
        for (const auto& r : zk40::ui::PromptAnswers::Shown()) out.push_back(r.caption + "|" + r.text);
        return out;
    }
};

}  // namespace zk40test
