// The window's commands with the real dialogs behind them, as the program
// installs them: each command opens its dialog, OK goes through and Cancel
// leaves the store as it was.
#include <QRadioButton>
#include <QTabBar>
#include <QTreeWidget>
#include <QWizard>

#include "../dialogs/DialogTest.h"
#include "WindowFixture.h"
#include "dialogs/ActionTypeDialogs.h"
#include "dialogs/JobPropertiesDialog.h"
#include "jobs/JobDisplay.h"
#include "ui/Commands.h"
#include "ui/DialogWiring.h"

namespace zk40test {
namespace {

using namespace zk40;
using namespace zk40::ui;

struct DialogWiringTest : WindowFixture {
    void StartWithDialogs() {
        window = std::make_unique<TMainWindow>();
        InstallDialogs(window->Dialogs());
        client = std::make_unique<TZarkellClient>(*app, paths, clock, *window, nullptr);
        client->SetTickAlignment(false);
        window->Attach(*client, *app);
        client->SetupWindow();
        window->Started();
    }
    void TearDown() override {
        WindowFixture::TearDown();
        dialogs::SetMessageHook(nullptr);
        EXPECT_TRUE(NoDriverLeft()) << "a dialog the test drives never came up";
    }
};

TEST_F(DialogWiringTest, NewJobAndPropertiesGoThroughTheDialogsAndCancelWritesNothing) {
    app->SetFlagBit(kFlagUseWizard, false);
    app->SaveFlagBits();
    StartWithDialogs();
    // The first tick's own writes come before the comparisons (its timer
    // would otherwise fire inside a dialog).
    FirstTick();
    SchedulingPass();

    // Cancel in the form: no job, nothing stored.
    const std::string before = StoreExport(*app);
    WhenModal([](QWidget* form) {
        EXPECT_EQ(form->windowTitle(), "Job Properties");
        Click(form, 2);
    });
    window->Run(kCmdNewJob);
    EXPECT_TRUE(client->Jobs().empty());
    EXPECT_EQ(StoreExport(*app), before);

    // OK: the job is made, listed and stored, and its name is open for
    // editing as after the form.
    WhenModal([](QWidget* form) { Click(form, 1); });
    window->Run(kCmdNewJob);
    ASSERT_EQ(client->Jobs().size(), 1u);
    TJob& job = *client->Jobs()[0];
    QTreeWidgetItem* item = window->JobItem(job.Id());
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(window->Tree()->currentItem(), item);
    TRegKey stored(app->jobs, std::string(job.KeyName()));
    EXPECT_EQ(stored.GetString("Name"), "(untitled)");

    // Properties of the selected job: Cancel writes nothing, OK applies.
    const std::string made = StoreExport(*app);
    WhenModal([](QWidget* form) { Click(form, 2); });
    window->Run(kCmdProperties);
    EXPECT_EQ(StoreExport(*app), made);
    WhenModal([](QWidget* form) {
        zk40test::Find<QTabBar>(form, 21506)
            ->setCurrentIndex(dialogs::TabOfSchedType(kSchedOnStartup));
        Click(form, 1);
    });
    window->Run(kCmdProperties);
    EXPECT_EQ(stored.GetDword("SchedType"), static_cast<uint32_t>(kSchedOnStartup));
}

// The action type dialogs reach the program's catalogue, module host and
// update coordinator through the window's wiring.
TEST_F(DialogWiringTest, LoadActionTypesAndInsertActionWorkOnTheProgramsCatalogue) {
    InstallTestModule();
    TRegKey second(actions, "ZKTEST\\TESTMOD\\TESTACT2");
    second.SetDword("LOADED", 0);
    second.SetString("DESC", "Second test action");
    const uint32_t id = AddJob("backup");
    StartWithDialogs();
    FirstTick();

    WhenModal([](QWidget* dlg) {
        auto* tree = zk40test::Find<QTreeWidget>(dlg, 21602);
        for (QTreeWidgetItemIterator it(tree); *it; ++it)
            if ((*it)->text(0) == "Second test action")
                static_cast<dialogs::TActionTypesDlg*>(dlg)->Toggle(*it);
        Click(dlg, 1);
    });
    window->Run(kCmdLoadTypes);
    EXPECT_EQ(second.GetDword("LOADED"), 1u);

    Select(window->JobItem(id));
    WhenModal([](QWidget* dlg) {
        EXPECT_EQ(dlg->windowTitle(), "Select Action Type To Add To Job");
        auto* list = zk40test::Find<QTreeWidget>(dlg, 21701);
        ASSERT_EQ(list->topLevelItemCount(), 2);
        QTreeWidgetItem* line = list->topLevelItem(1);
        EXPECT_EQ(line->text(0), "Loaded") << "its module is loaded";
        list->setCurrentItem(line);
        Click(dlg, 1);
    });
    window->Run(kCmdInsertAction);
    ASSERT_EQ(Job(id)->NumActions.Get(), 1u);
    EXPECT_EQ(Job(id)->ActionAt(0)->Identity().action, "TESTACT2");
}

TEST_F(DialogWiringTest, TheFirstWindowedStartAsksHowTheMachineIsConnected) {
    app->base.DeleteValue("ConnType");
    WhenModal([](QWidget* dlg) {
        EXPECT_EQ(dlg->objectName(), "21800");
        Click(dlg, 21804);
        Click(dlg, 1);
    });
    StartWithDialogs();
    EXPECT_EQ(app->base.GetDword("ConnType"), kConnDedicated);
}

TEST_F(DialogWiringTest, InformationCommandsShowTheirDialogs) {
    StartWithDialogs();
    for (int command : {kCmdAbout, kCmdReleaseNotes}) {
        QString title;
        WhenModal([&title](QWidget* dlg) {
            title = dlg->windowTitle();
            static_cast<QDialog*>(dlg)->reject();
        });
        window->Run(command);
        EXPECT_FALSE(title.isEmpty()) << command;
    }
}

}  // namespace
}  // namespace zk40test
