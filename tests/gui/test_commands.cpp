// The window's commands on the real client: enable rules over the kinds of
// node, the refusals, and what each command leaves in the store.
#include <QMenu>
#include <QTreeWidget>
#include <filesystem>

#include "WindowFixture.h"
#include "jobs/ActionHandle.h"
#include "jobs/JobDisplay.h"
#include "store/RegFile.h"
#include "ui/Commands.h"

using namespace zk40;
using namespace zk40::ui;
using namespace zk40test;

namespace {

// A job that runs until stopped, and an idle one, with their actions.
struct CommandFixture : WindowFixture {
    uint32_t busy = 0, idle = 0;
    void StartWithJobs() {
        InstallTestModule();
        busy = AddJob("Busy", {{"TESTACT", 2, 0}, {}});
        idle = AddJob("Idle", {{}, {"TESTACT2"}});
        Start();
        FirstTick();
    }
    // Runs Busy and waits until its first action runs.
    void RunBusy() {
        Select(window->JobItem(busy));
        window->Run(kCmdRunNow);
        SchedulingPass();
        ASSERT_TRUE(WaitFor([&] {
            uint32_t h = Job(busy)->ActionAt(0)->Handle();
            ActionSnapshot a;
            return SnapshotAction(h, &a) && a.running;
        }));
    }
    QTreeWidgetItem* ActionNode(uint32_t job, size_t pos) {
        return window->ActionItem(Job(job)->ActionAt(pos)->Handle());
    }
};

enum class Node { Queue, QueueStatus, IdleJob, IdleJobStatus, IdleAction, RunningJob,
                  RunningAction, NoModuleAction };

TEST_F(CommandFixture, EachCommandIsEnabledByItsRuleOverEveryKindOfNode) {
    StartWithJobs();
    // An action whose module is not installed.
    uint32_t orphan = AddJob("Orphan", {});
    (void)orphan;
    Job(idle)->AddAction("NOVENDOR", "NOMOD", "NOACT");
    window->ActionsChanged(idle);
    RunBusy();

    auto item = [&](Node n) -> QTreeWidgetItem* {
        switch (n) {
            case Node::Queue: return window->QueueItem();
            case Node::QueueStatus: return window->QueueItem()->child(0);
            case Node::IdleJob: return window->JobItem(idle);
            case Node::IdleJobStatus: return window->JobItem(idle)->child(0);
            case Node::IdleAction: return ActionNode(idle, 0);
            case Node::RunningJob: return window->JobItem(busy);
            case Node::RunningAction: return ActionNode(busy, 0);
            case Node::NoModuleAction: return ActionNode(idle, 2);
        }
        return nullptr;
    };
    const std::vector<Node> nodes = {Node::Queue, Node::QueueStatus, Node::IdleJob,
                                     Node::IdleJobStatus, Node::IdleAction, Node::RunningJob,
                                     Node::RunningAction, Node::NoModuleAction};
    // One row per command, one column per node above.
    struct Row {
        int id;
        std::vector<bool> enabled;
    };
    const std::vector<Row> rows = {
        {kCmdInsertAction, {0, 0, 1, 1, 0, 1, 0, 0}},
        {kCmdDelete, {0, 0, 1, 1, 1, 0, 0, 1}},
        {kCmdRename, {0, 0, 1, 1, 0, 1, 0, 0}},
        {kCmdProperties, {0, 0, 1, 1, 1, 1, 0, 0}},
        {kCmdRunNow, {0, 0, 1, 1, 0, 0, 0, 0}},
        {kCmdAbort, {0, 0, 0, 0, 0, 1, 0, 0}},
        {kCmdNewJob, {1, 1, 1, 1, 1, 1, 1, 1}},
        {kCmdEnableScheduler, {1, 1, 1, 1, 1, 1, 1, 1}},
        {kCmdImport, {1, 1, 1, 1, 1, 1, 1, 1}},
        {kCmdForceUpdate, {1, 1, 1, 1, 1, 1, 1, 1}},
    };
    for (size_t c = 0; c < nodes.size(); ++c) {
        Select(item(nodes[c]));
        window->UpdateCommands();
        for (const Row& r : rows)
            EXPECT_EQ(window->Command(r.id)->isEnabled(), r.enabled[c])
                << "command " << r.id << " on node " << c;
    }
    client->AbortJob(busy);
    ASSERT_TRUE(WaitFor([&] { return !client->AnyJobRunning(); }));
}

TEST_F(CommandFixture, PopupMenusFollowTheNodeKind) {
    StartWithJobs();
    auto ids = [&](QTreeWidgetItem* item) {
        std::vector<QString> out;
        std::unique_ptr<QMenu> menu = window->PopupMenu(item);
        if (!menu) return out;
        for (QAction* a : menu->actions()) out.push_back(a->isSeparator() ? "-" : a->text());
        return out;
    };
    EXPECT_EQ(ids(window->JobItem(idle)),
              (std::vector<QString>{"&Enable Scheduler", "&Manually Run Job",
                                    "&Abort Running Action", "-", "&Insert Action...", "&Delete",
                                    "-", "&Rename", "&Properties..."}));
    EXPECT_EQ(ids(ActionNode(idle, 0)),
              (std::vector<QString>{"&Enable Scheduler", "-", "&Delete", "&Properties..."}));
    EXPECT_EQ(ids(window->QueueItem()), std::vector<QString>{"&Enable Scheduler"});
    EXPECT_TRUE(ids(window->JobItem(idle)->child(0)).empty());
}

TEST_F(CommandFixture, DeletingRunningWorkIsRefusedWithItsMessageAndChangesNothing) {
    StartWithJobs();
    RunBusy();
    const uint32_t running = Job(busy)->ActionAt(0)->Handle();
    // The menu rule hides these commands; they come through when the job
    // started after the menu was shown, and then refuse.
    struct Case {
        QTreeWidgetItem* node;
        int command;
        const char* text;
    };
    const Case cases[] = {
        {window->JobItem(busy), kCmdDelete, "You cannot delete a job while it is running!"},
        {ActionNode(busy, 0), kCmdDelete, "You cannot delete an action while it is running!"},
        {ActionNode(busy, 0), kCmdProperties,
         "You cannot edit the properties for an action while it is running!"},
    };
    for (const Case& c : cases) {
        PromptAnswers::Clear();
        Select(c.node);
        window->Run(c.command);
        EXPECT_EQ(Shown(), std::vector<QString>{QString("Zarkell'40|") + c.text});
    }
    EXPECT_NE(window->JobItem(busy), nullptr);
    EXPECT_NE(window->ActionItem(running), nullptr);
    EXPECT_TRUE(TRegKey(app->jobs, TJob::KeyNameOf(busy), false).IsValid());
    EXPECT_EQ(Job(busy)->ActionCount(), 2u);
    client->AbortJob(busy);
    ASSERT_TRUE(WaitFor([&] { return !client->AnyJobRunning(); }));
}

}  // namespace
