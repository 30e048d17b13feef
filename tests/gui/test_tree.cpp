// The tree as it is built from the store at start.
#include <QTreeWidget>

#include "WindowFixture.h"
#include "jobs/JobDisplay.h"

using namespace zk40;
using namespace zk40test;
using zk40::ui::PromptAnswers;

namespace {

TEST_F(WindowFixture, EmptyStoreShowsTheQueueAloneAndOffersANewJob) {
    PromptAnswers::Button(QMessageBox::No);
    Start();
    ASSERT_EQ(RootTexts(), std::vector<QString>{" System Update Queue"});
    QTreeWidgetItem* queue = window->QueueItem();
    ASSERT_EQ(queue->childCount(), 1);
    EXPECT_EQ(Image(queue), kImgUpdateQueue);
    EXPECT_EQ(Image(queue->child(0)), kImgStatusLine);
    ASSERT_EQ(Shown().size(), 1u);
    EXPECT_EQ(Shown()[0],
              "Create New Job|You do not current have any jobs added.  Would you like to add one "
              "now?");
    // "No" adds nothing.
    EXPECT_EQ(app->jobs.CurrentSubKeyCount(), 0u);
    EXPECT_EQ(window->windowTitle(), "Zarkell'40 (Build 29)");
}

TEST_F(WindowFixture, JobsSortAfterTheQueueWithTheirStatusLinesAndActions) {
    InstallTestModule();
    uint32_t backup = AddJob("backup", {{}, {"TESTACT2"}}, 5, ToStoreTime(2026, 12, 10, 8, 0, 0));
    AddJob("Archive", {{}});
    AddJob("Zeta");
    Start();
    EXPECT_TRUE(Shown().empty());
    EXPECT_EQ(RootTexts(),
              (std::vector<QString>{" System Update Queue", "Archive", "backup", "Zeta"}));

    QTreeWidgetItem* job = window->JobItem(backup);
    ASSERT_NE(job, nullptr);
    EXPECT_EQ(Image(job), kImgJobScheduled);
    // Loading sets every job to COMPLETED; a daily job shows its next run.
    QString status = job->child(0)->text(0);
    EXPECT_TRUE(status.startsWith("COMPLETED [LastRun: ")) << status.toStdString();
    EXPECT_TRUE(status.contains("   NextRun: ")) << status.toStdString();
    // The action nodes are made when the job is first opened.
    EXPECT_EQ(job->childCount(), 1);
    job->setExpanded(true);
    ASSERT_EQ(job->childCount(), 3);
    // Modules load at the first tick: until then every action lacks one.
    EXPECT_EQ(Image(job->child(1)), kImgActionOkNoModule);
    FirstTick();
    EXPECT_EQ(Image(job->child(1)), kImgActionOk);
    EXPECT_EQ(Image(job->child(2)), kImgActionOk);
    EXPECT_EQ(Image(window->JobItem(client->FindJobByName("Zeta")->Id())), kImgJobManual);
}

}  // namespace
