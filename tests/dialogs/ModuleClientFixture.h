#pragma once
// A client core on a scratch store with the real Run Program module in its
// catalogue, for the dialogs that work through the module host (the action
// type dialogs through the program's own adapter).
#include "Catalogue.h"
#include "DialogTest.h"
#include "base/Client.h"
#include "jobs/ClientView.h"
#include "ui/DialogWiring.h"

namespace zk40test {

class QuietView : public zk40::IClientView {
public:
    void ShowStatus(const std::string& text) override { statuses.push_back(text); }
    void StartupError(const std::string& text) override { statuses.push_back(text); }
    std::vector<std::string> statuses;
};

struct ModuleClientFixture : DialogFixture {
    zk40::FixedClock clock{zk40::ToStoreTime(2026, 12, 10, 10, 0, 0)};
    QuietView view;
    zk40::TRegKey actions;
    std::unique_ptr<zk40::TZarkellClient> client;
    std::unique_ptr<zk40::ui::TClientActionTypes> types;

    void SetUp() override {
        DialogFixture::SetUp();
        actions = zk40::TRegKey(app->product, "actions");
        // The Run Program module on disk, described as the update
        // configuration would, but not loaded yet.
        InstallModule(actions, paths.actionsDir, ZK40_RUNPROGRAM_PATH, "ZKA00010.dll", "DNTRX-14",
                      "RUNPROG", {"RUNPROGRAM"});
        zk40::TRegKey(actions, "DNTRX-14").SetString("VENDOR", "Dentrax-14");
        zk40::TRegKey mk(actions, "DNTRX-14\\RUNPROG");
        mk.SetString("NAME", "Run Program");
        mk.SetString("LONGNAME", "Program Runner");
        mk.SetString("AVAILVER", "1");
        mk.SetString("MINBASE", "1");
        zk40::TRegKey ak(mk, "RUNPROGRAM");
        ak.SetDword("LOADED", 0);
        ak.SetString("NAME", "Run Program");
        ak.SetString("DESC", "Runs a program");
        ak.SetString("1NOTES", "First release.");
        ak.SetString("2NOTES", "Time limits.");
    }
    void StartClient() {
        client = std::make_unique<zk40::TZarkellClient>(*app, paths, clock, view, nullptr);
        types = std::make_unique<zk40::ui::TClientActionTypes>(*client);
    }
    void LoadRunProgram() {
        zk40::TRegKey(actions, "DNTRX-14\\RUNPROG\\RUNPROGRAM").SetDword("LOADED", 1);
        ASSERT_TRUE(client->Modules().InstallOrLoad(paths.actionsDir + "ZKA00010.dll", "DNTRX-14",
                                                    "RUNPROG", "RUNPROGRAM"));
    }
    void TearDown() override {
        types.reset();
        if (client) client->CloseWindow();
        client.reset();
        DialogFixture::TearDown();
    }
};

}  // namespace zk40test
