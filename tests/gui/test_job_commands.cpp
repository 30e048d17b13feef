// Commands that change jobs, driven through the window as a user drives
// them, checked in the store afterwards.
#include <QMenu>
#include <QProgressBar>
#include <QTextBrowser>
#include <QTreeWidget>
#include <QDialog>
#include <QLineEdit>

#include "Process.h"
#include "WindowFixture.h"
#include "jobs/ActionHandle.h"
#include "jobs/JobDisplay.h"
#include "jobs/Snapshot.h"
#include "store/RunHistory.h"
#include "store/RegFile.h"
#include "ui/Commands.h"

using namespace zk40;
using namespace zk40::ui;
using namespace zk40test;

namespace {

std::vector<std::string> ActionIds(TJob& job) {
    std::vector<std::string> out;
    for (size_t p = 0; TAction* a = job.ActionAt(p); ++p) out.push_back(a->Identity().action);
    return out;
}

TEST_F(WindowFixture, RenamingTrimsTheNameKeepsItWhenBlankOrTakenAndSortsTheRootAgain) {
    uint32_t id = AddJob("Alpha");
    AddJob("Mid");
    Start();
    QTreeWidgetItem* item = window->JobItem(id);
    struct Case {
        const char* typed;
        const char* stored;
    };
    for (const Case& c : {Case{"  Zulu  ", "Zulu"}, Case{"   ", "Zulu"}, Case{"", "Zulu"},
                          Case{"Beta", "Beta"}}) {
        // What the editor commits when Enter ends the edit.
        item->setText(0, c.typed);
        EXPECT_EQ(TRegKey(app->jobs, TJob::KeyNameOf(id), false).GetString("Name"), c.stored);
        EXPECT_EQ(item->text(0), c.stored);
    }
    EXPECT_EQ(RootTexts(), (std::vector<QString>{" System Update Queue", "Beta", "Mid"}));
    // A name another job has is refused with the reason and the old name stays.
    PromptAnswers::Clear();
    item->setText(0, "Mid");
    EXPECT_EQ(TRegKey(app->jobs, TJob::KeyNameOf(id), false).GetString("Name"), "Beta");
    EXPECT_EQ(item->text(0), "Beta");
    EXPECT_EQ(Shown(), (std::vector<QString>{"Zarkell'40|A job named \"Mid\" already exists."}));
    item->setText(0, "Zulu");
    EXPECT_EQ(RootTexts(), (std::vector<QString>{" System Update Queue", "Mid", "Zulu"}));
    // Only job nodes can be edited.
    EXPECT_TRUE(item->flags() & Qt::ItemIsEditable);
    EXPECT_FALSE(item->child(0)->flags() & Qt::ItemIsEditable);
    EXPECT_FALSE(window->QueueItem()->flags() & Qt::ItemIsEditable);
}

TEST_F(WindowFixture, DraggingAnActionRebuildsItsJobInTheNewOrder) {
    InstallTestModule();
    uint32_t id = AddJob("Three", {{"TESTACT"}, {"TESTACT2"}, {"TESTACT2", 1}});
    uint32_t other = AddJob("Other", {{}});
    Start();
    FirstTick();
    TJob& job = *Job(id);
    // The third action fails when run; tell the first two apart by handle.
    uint32_t first = job.ActionAt(0)->Handle();
    QTreeWidgetItem* dragged = window->ActionItem(first);
    QTreeWidgetItem* target = window->ActionItem(job.ActionAt(2)->Handle());
    // Onto another job's action: nothing happens.
    window->DropAction(dragged, window->ActionItem(Job(other)->ActionAt(0)->Handle()));
    EXPECT_EQ(job.ActionAt(0)->Handle(), first);

    window->DropAction(dragged, target);
    EXPECT_EQ(job.ActionAt(2)->Handle(), first);
    EXPECT_EQ(ActionIds(job), (std::vector<std::string>{"TESTACT2", "TESTACT2", "TESTACT"}));
    // The store has the order too: the first index holds what was second.
    EXPECT_EQ(TRegKey(job.Key(), TAction::KeyName(1), false).GetString("ActionID"), "TESTACT2");
    EXPECT_EQ(TRegKey(job.Key(), TAction::KeyName(3), false).GetString("ActionID"), "TESTACT");
    QTreeWidgetItem* jobItem = window->JobItem(id);
    EXPECT_TRUE(jobItem->isExpanded());
    ASSERT_EQ(jobItem->childCount(), 4);
    EXPECT_EQ(jobItem->child(3), window->ActionItem(first));
    EXPECT_EQ(window->Tree()->currentItem(), window->ActionItem(first));
    EXPECT_EQ(window->SelectedAction(), first);
}

TEST_F(WindowFixture, RunNowStartsTheJobAtTheNextPassAndTheStatusBarsFollowItsAction) {
    InstallTestModule();
    TestAction report;
    report.mode = 3;
    report.report = "copied 12 files";
    uint32_t id = AddJob("Report", {report});
    Start();
    FirstTick();
    Select(window->JobItem(id));
    window->Run(kCmdRunNow);
    EXPECT_EQ(Job(id)->NextRun.Get(), clock.Now());
    SchedulingPass();
    ASSERT_TRUE(WaitFor([&] { return !client->RunningJobIds().empty() && !client->AnyJobRunning(); }));
    SchedulingPass();  // reaps it
    QString status = window->JobItem(id)->child(0)->text(0);
    EXPECT_TRUE(status.startsWith("COMPLETED [LastRun: ")) << status.toStdString();
    // The job's current action is shown while the job is selected.
    EXPECT_EQ(Bar("bar1Message"), "copied 12 files");
    EXPECT_EQ(Bar("bar2Message"), "second");
    EXPECT_EQ(Find<QProgressBar>("bar2Gauge")->value(), 50);
    QTreeWidgetItem* action = window->ActionItem(Job(id)->ActionAt(0)->Handle());
    EXPECT_EQ(action->child(0)->text(0), "copied 12 files");
    // The queue node's status line is the update status.
    Select(window->QueueItem());
    EXPECT_EQ(Bar("bar1Message"), "");
    EXPECT_EQ(Find<QProgressBar>("bar2Gauge")->value(), 0);
}

TEST_F(WindowFixture, AbortStopsTheRunningActionAndTheJobDoesNotRetry) {
    InstallTestModule();
    uint32_t id = AddJob("Long", {{"TESTACT", 2, 0}});
    {
        TJob job(app->jobs, actions, id);
        job.RetryCount = 3;
        job.RetryDelay = 60;
    }
    Start();
    FirstTick();
    Select(window->JobItem(id));
    window->Run(kCmdRunNow);
    SchedulingPass();
    uint32_t h = Job(id)->ActionAt(0)->Handle();
    ASSERT_TRUE(WaitFor([&] {
        ActionSnapshot a;
        return SnapshotAction(h, &a) && a.running;
    }));
    window->UpdateCommands();
    EXPECT_TRUE(window->Command(kCmdAbort)->isEnabled());
    window->Run(kCmdAbort);
    ASSERT_TRUE(WaitFor([&] { return !client->AnyJobRunning(); }));
    SchedulingPass();
    EXPECT_EQ(Job(id)->LastStat.Get(), 1u);
    // No retry: the job is manual, so it is not due again.
    EXPECT_GE(Job(id)->NextRun.Get(), TJob::NeverTime);
}

TEST_F(WindowFixture, DeletingAJobOrAnActionRemovesItsNodeAndItsKeys) {
    InstallTestModule();
    uint32_t keep = AddJob("Keep", {{}, {"TESTACT2"}});
    uint32_t gone = AddJob("Gone", {{}});
    Start();
    FirstTick();
    Select(window->JobItem(gone));
    window->Run(kCmdDelete);
    EXPECT_EQ(window->JobItem(gone), nullptr);
    EXPECT_FALSE(TRegKey(app->jobs, TJob::KeyNameOf(gone), false).IsValid());
    EXPECT_EQ(client->FindJob(gone), nullptr);

    uint32_t second = Job(keep)->ActionAt(1)->Handle();
    Select(window->ActionItem(Job(keep)->ActionAt(0)->Handle()));
    window->Run(kCmdDelete);
    EXPECT_EQ(ActionIds(*Job(keep)), std::vector<std::string>{"TESTACT2"});
    EXPECT_EQ(Job(keep)->NumActions.Get(), 1u);
    EXPECT_FALSE(TRegKey(Job(keep)->Key(), TAction::KeyName(2), false).IsValid());
    ASSERT_EQ(window->JobItem(keep)->childCount(), 2);
    EXPECT_EQ(window->JobItem(keep)->child(1), window->ActionItem(second));
    EXPECT_TRUE(Shown().empty());
}

TEST_F(WindowFixture, NewJobWithoutADialogAddsAReadyJobAndStartsRenamingIt) {
    AddJob("Existing");
    Start();
    window->Run(kCmdNewJob);
    ASSERT_EQ(client->Jobs().size(), 2u);
    TJob& job = *client->Jobs().back();
    EXPECT_EQ(job.State.Get(), +JobState::Ready);
    EXPECT_EQ(job.LastRun.Get(), clock.Now());
    QTreeWidgetItem* item = window->JobItem(job.Id());
    ASSERT_NE(item, nullptr);
    EXPECT_TRUE(item->child(0)->text(0).startsWith("READY [Created: "));
    EXPECT_EQ(window->Tree()->currentItem(), item);
    // The name editor is open on the new node.
    auto* editor = window->Tree()->viewport()->findChild<QLineEdit*>();
    ASSERT_NE(editor, nullptr);
    EXPECT_EQ(editor->text(), item->text(0));
    // A dialog hook that cancels leaves nothing behind.
    size_t keys = app->jobs.CurrentSubKeyCount();
    window->Dialogs().newJob = [](QWidget*, TZarkellClient&, bool*) { return std::optional<JobSettings>(); };
    window->Run(kCmdNewJob);
    EXPECT_EQ(client->Jobs().size(), 2u);
    EXPECT_EQ(app->jobs.CurrentSubKeyCount(), keys);
}

// A job made in the window is known as it is stored: another program's
// change to the store afterwards takes in that change only, and the new
// job keeps its "READY" line.
TEST_F(WindowFixture, AJobMadeInTheWindowIsNotTakenForAnotherProgramsChange) {
    Start();
    FirstTick();
    window->Run(kCmdNewJob);
    ASSERT_EQ(client->Jobs().size(), 1u);
    const uint32_t made = client->Jobs()[0]->Id();
    std::string out;
    ASSERT_EQ(RunProcess({ZK40_CLI_BIN, "add", "Other", "--kind", "manually", "--", "/bin/true"},
                         &out),
              0)
        << out;
    client->CheckStoreChanged();
    EXPECT_EQ(client->Jobs().size(), 2u);
    EXPECT_EQ(Job(made)->State.Get(), +JobState::Ready);
    EXPECT_TRUE(window->JobItem(made)->child(0)->text(0).startsWith("READY [Created: "));
    EXPECT_TRUE(Bar("bar3Message").contains("1 added, 0 changed")) << Bar("bar3Message").toStdString();
}

TEST_F(WindowFixture, ExportWritesANewFileAndImportAddsAtOnceOrReplacesOnlyWhenAsked) {
    uint32_t one = AddJob("One");
    Start();
    const std::string file = dir / "jobs.reg";
    PromptAnswers::File(QString::fromStdString(file));
    window->Run(kCmdExport);
    EXPECT_TRUE(Shown().size() == 1 && Shown()[0].startsWith("Export Jobs|"));
    std::string text = ReadFile(file);
    EXPECT_NE(text.find("\"Name\"=\"One\""), std::string::npos) << text;

    // Exporting onto an existing file is refused.
    PromptAnswers::Clear();
    PromptAnswers::File(QString::fromStdString(file));
    window->Run(kCmdExport);
    ASSERT_EQ(Shown().size(), 2u);
    EXPECT_TRUE(Shown()[1].startsWith("Zarkell'40|An error occured exporting jobs"));

    // A file with a broken line changes nothing.
    const std::string bad = dir / "bad.reg";
    WriteFile(bad, "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\DENTRAX-14\\Zarkell'40\\jobs\\0000FFFF]\n"
                   "\"Name\"=\"Half\"\nthis is not a value\n");
    PromptAnswers::Clear();
    PromptAnswers::File(QString::fromStdString(bad));
    window->Run(kCmdImport);
    ASSERT_EQ(Shown().size(), 2u);
    EXPECT_TRUE(Shown()[1].startsWith("Zarkell'40|An error occured importing jobs"));
    EXPECT_TRUE(TRegKey(app->jobs, TJob::KeyNameOf(one), false).IsValid());
    EXPECT_FALSE(TRegKey(app->jobs, "0000FFFF", false).IsValid());

    // A good file adds its job at once, after the user agrees; the other
    // jobs, and their run history, stay.
    const std::string good = dir / "good.reg";
    WriteFile(good, "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\DENTRAX-14\\Zarkell'40\\jobs]\n\n"
                    "[HKEY_CURRENT_USER\\Software\\DENTRAX-14\\Zarkell'40\\jobs\\0000ABCD]\n"
                    "\"Name\"=\"Imported\"\n");
    {
        auto history = TRunHistory::Open(*app->Store());
        ASSERT_TRUE(history);
        RunRecord run;
        run.JobId = one;
        run.JobName = "One";
        run.Start = run.End = clock.Now();
        ASSERT_TRUE(history->Add(run, 50));
    }
    PromptAnswers::Clear();
    PromptAnswers::File(QString::fromStdString(good));
    PromptAnswers::Button(QMessageBox::Yes);
    window->Run(kCmdImport);
    ASSERT_EQ(Shown().size(), 2u);
    EXPECT_TRUE(Shown()[1].contains("Add the 1 job of")) << Shown()[1].toStdString();
    EXPECT_TRUE(TRegKey(app->jobs, "0000ABCD", false).IsValid());
    EXPECT_TRUE(TRegKey(app->jobs, TJob::KeyNameOf(one), false).IsValid());
    EXPECT_NE(window->JobItem(one), nullptr);
    EXPECT_NE(window->JobItem(0xABCD), nullptr) << "taken in at once";
    EXPECT_EQ(TRunHistory::Open(*app->Store())->Runs(one, 5).size(), 1u);

    // Importing it again cannot add (the name is taken); replacing says
    // which jobs go and does nothing when the user says no.
    PromptAnswers::Clear();
    PromptAnswers::File(QString::fromStdString(good));
    PromptAnswers::Button(QMessageBox::YesToAll);
    PromptAnswers::Button(QMessageBox::No);
    window->Run(kCmdImport);
    ASSERT_EQ(Shown().size(), 3u);
    EXPECT_TRUE(Shown()[2].contains("Replacing removes your 2 jobs")) << Shown()[2].toStdString();
    EXPECT_TRUE(Shown()[2].contains("One"));
    EXPECT_TRUE(TRegKey(app->jobs, TJob::KeyNameOf(one), false).IsValid());
    // Yes: only the file's job is left, in the store and in the window.
    PromptAnswers::Clear();
    PromptAnswers::File(QString::fromStdString(good));
    PromptAnswers::Button(QMessageBox::YesToAll);
    PromptAnswers::Button(QMessageBox::Yes);
    window->Run(kCmdImport);
    EXPECT_FALSE(TRegKey(app->jobs, TJob::KeyNameOf(one), false).IsValid());
    EXPECT_TRUE(TRegKey(app->jobs, "0000ABCD", false).IsValid());
    EXPECT_EQ(window->JobItem(one), nullptr);
    EXPECT_NE(window->JobItem(0xABCD), nullptr);
    EXPECT_EQ(client->Jobs().size(), 1u);
    // A cancelled dialog does nothing.
    PromptAnswers::Clear();
    PromptAnswers::File("");
    window->Run(kCmdImport);
    EXPECT_EQ(Shown().size(), 1u);
}

TEST_F(WindowFixture, SchedulerAndConnectionCommandsTickTheirMenuItems) {
    Start();
    QAction* sched = window->Command(kCmdEnableScheduler);
    EXPECT_TRUE(sched->isChecked());
    window->Run(kCmdSchedulerButton);
    EXPECT_FALSE(client->SchedulerEnabled());
    EXPECT_FALSE(sched->isChecked());
    EXPECT_FALSE(window->Command(kCmdSchedulerButton)->isChecked());
    window->Run(kCmdEnableScheduler);
    EXPECT_TRUE(client->SchedulerEnabled());

    struct Case {
        int command;
        uint32_t connType;
        const char* status;
    };
    for (const Case& c : {Case{kCmdConnDialUp, 1, "SysUpd:  Next Update = "},
                          Case{kCmdConnDedicated, 2, "SysUpd:  Next Update = "},
                          Case{kCmdConnNone, 0, "SysUpd:  Local Update Mode."}}) {
        window->Run(c.command);
        EXPECT_EQ(app->base.GetDword("ConnType"), c.connType);
        EXPECT_TRUE(Bar("bar3Message").startsWith(c.status)) << Bar("bar3Message").toStdString();
        EXPECT_EQ(window->QueueItem()->child(0)->text(0), Bar("bar3Message"));
        for (int other : {kCmdConnDialUp, kCmdConnDedicated, kCmdConnNone})
            EXPECT_EQ(window->Command(other)->isChecked(), other == c.command);
    }
}

TEST_F(WindowFixture, HelpContentsShowsTheHelpInsideTheProgram) {
    Start();
    QString shown;
    PromptAnswers::Dialog([&](QDialog& d) {
        auto* browser = d.findChild<QTextBrowser*>("helpBrowser");
        shown = browser ? browser->toPlainText() : QString();
        return int(QDialog::Rejected);
    });
    window->Run(kCmdHelpContents);
    EXPECT_TRUE(shown.contains("Working with jobs")) << shown.toStdString();
    EXPECT_EQ(PromptAnswers::Pending(), 0u);
}

}  // namespace
