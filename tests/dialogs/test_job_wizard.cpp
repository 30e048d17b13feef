// The new-job wizard: its pages, their buttons, where Next and Back lead,
// the summary, and what Finish creates.
#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QTabBar>

#include "DialogTest.h"
#include "dialogs/JobPropertiesDialog.h"
#include "dialogs/JobWizard.h"
#include "jobs/Job.h"
#include "jobs/JobOps.h"
#include "jobs/NextRun.h"

using namespace zk40;
using namespace zk40::dialogs;
using namespace zk40test;

namespace {

// What the window's New Job does: the settings the dialogs give back, made
// into a job through the job operations (whose refusal the user sees).
std::unique_ptr<TJob> NewJobCommand(QWidget* parent, TAppStore& app, const TRegKey& actionsKey,
                                    const std::vector<TJob*>& jobs, const IClock& clock) {
    std::optional<JobSettings> s =
        AskNewJob(parent, app, jobops::OtherNames(jobs, nullptr), clock.Now());
    if (!s) return nullptr;
    std::unique_ptr<TJob> job;
    jobops::Result r = jobops::NewJob(app.jobs, actionsKey, *s, jobs, clock, &job);
    if (!r) ShowMessage(parent, QString::fromStdString(r.Error));
    return job;
}

struct JobWizardTest : DialogFixture {
    // A Wednesday.
    FixedClock clock{ToStoreTime(2026, 12, 9, 9, 30, 0)};
    TRegKey actions;

    void SetUp() override {
        DialogFixture::SetUp();
        actions = TRegKey(app->product, "actions");
        app->Flags = 15;
        app->LoadFlagBits();
    }
    std::unique_ptr<TNewJobWizard> Open(JobSettings s = {}) {
        auto w = std::make_unique<TNewJobWizard>(nullptr, *app, s, clock.Now());
        w->show();
        return w;
    }
    static bool Enabled(QWizard* w, QWizard::WizardButton b) {
        return w->button(b)->isVisible() && w->button(b)->isEnabled();
    }
    // Fills the steps up to the kind page and chooses kind radio `radio`.
    static void UpToKind(QWizard* w, int radio) {
        if (w->currentId() == kPageIntro) w->next();
        Find<QLineEdit>(w, 20301)->setText("nightly backup");
        w->next();
        w->next();
        w->next();
        ASSERT_EQ(w->currentId(), kPageKind);
        if (radio == 20603) {
            Click(w, 20603);
        } else {
            Click(w, 20602);
            Click(w, radio);
        }
    }
};

TEST_F(JobWizardTest, NextAndBackFollowTheChosenKind) {
    // {radio on the kind page, page after it}
    const std::pair<int, int> cases[] = {
        {20603, kPageFinished}, {20612, kPageFinished}, {20605, kPageOnce},
        {20606, kPageMonthly},  {20607, kPageWeekly},   {20608, kPageDaily},
        {20609, kPageHourly},   {20610, kPageEvery},    {20611, kPageYearly},
    };
    for (const auto& [radio, page] : cases) {
        auto w = Open();
        EXPECT_EQ(w->currentId(), kPageIntro);
        UpToKind(w.get(), radio);
        w->next();
        EXPECT_EQ(w->currentId(), page) << radio;
        if (page != kPageFinished) {
            EXPECT_TRUE(Enabled(w.get(), QWizard::BackButton));
            w->next();
        }
        EXPECT_EQ(w->currentId(), kPageFinished) << radio;
        EXPECT_TRUE(Enabled(w.get(), QWizard::FinishButton)) << radio;
        w->back();
        EXPECT_EQ(w->currentId(), page == kPageFinished ? static_cast<int>(kPageKind) : page)
            << radio;
        if (page != kPageFinished) {
            w->back();
            EXPECT_EQ(w->currentId(), kPageKind) << radio;
        }
    }
}

TEST_F(JobWizardTest, WithoutTheIntroductionTheWizardStartsAtTheDescriptionWithBackOff) {
    app->SetFlagBit(kFlagWizardOption, false);
    auto w = Open();
    EXPECT_EQ(w->currentId(), kPageDescription);
    EXPECT_FALSE(w->button(QWizard::BackButton)->isEnabled());
    EXPECT_EQ(w->page(kPageIntro), nullptr);
}

TEST_F(JobWizardTest, NextWaitsForADescriptionAndAMatchingPassword) {
    auto w = Open();
    w->next();
    // {description, Next enabled}
    for (const auto& [text, enabled] : {std::pair{"", false}, {"(untitled)", false}, {"x", true}}) {
        Find<QLineEdit>(w.get(), 20301)->setText(text);
        EXPECT_EQ(Enabled(w.get(), QWizard::NextButton), enabled) << text;
    }
    EXPECT_TRUE(Enabled(w.get(), QWizard::BackButton));
    w->next();
    w->next();
    ASSERT_EQ(w->currentId(), kPagePassword);
    // {radio, password, retype, Next enabled}
    const std::tuple<int, const char*, const char*, bool> cases[] = {
        {20502, "", "", true},       {20501, "", "", false},      {20501, "abc", "abd", false},
        {20501, "abc", "abc", true}, {20502, "abc", "abd", true},
    };
    for (const auto& [radio, pass, retype, enabled] : cases) {
        Click(w.get(), radio);
        Find<QLineEdit>(w.get(), 20503)->setText(pass);
        Find<QLineEdit>(w.get(), 20504)->setText(retype);
        EXPECT_EQ(Enabled(w.get(), QWizard::NextButton), enabled) << radio << pass << retype;
        EXPECT_EQ(Find<QLineEdit>(w.get(), 20503)->isEnabled(), radio == 20501);
    }
    Click(w.get(), 20502);
    EXPECT_EQ(Find<QLineEdit>(w.get(), 20503)->text(), "") << "No empties both edits";
}

TEST_F(JobWizardTest, KindPageRadiosFollowTheStoredKindAndTheScheduleChoice) {
    JobSettings manual;
    manual.SchedType = kSchedManually;
    auto w = Open(manual);
    EXPECT_TRUE(Find<QRadioButton>(w.get(), 20603)->isChecked());
    EXPECT_TRUE(Find<QRadioButton>(w.get(), 20612)->isChecked());
    EXPECT_FALSE(Find<QRadioButton>(w.get(), 20605)->isEnabled());
    Click(w.get(), 20602);
    EXPECT_TRUE(Find<QRadioButton>(w.get(), 20605)->isEnabled());
    JobSettings yearly;
    yearly.SchedType = kSchedYearly;
    w = Open(yearly);
    EXPECT_TRUE(Find<QRadioButton>(w.get(), 20602)->isChecked());
    EXPECT_TRUE(Find<QRadioButton>(w.get(), 20611)->isChecked());
}

TEST_F(JobWizardTest, SummaryTextsOfEachKind) {
    // {settings, summary}
    auto make = [](uint32_t kind, StoreTime t, uint32_t h = 0, uint32_t m = 0) {
        JobSettings s;
        s.SchedType = kind;
        s.Time = t;
        s.Hour = h;
        s.Minute = m;
        return s;
    };
    const std::pair<JobSettings, QString> cases[] = {
        {make(kSchedManually, 0), "You have scheduled this job to run manually, on demand."},
        {make(kSchedOnStartup, 0),
         "You have scheduled this job to run once, whenever Zarkell'40 is started up."},
        {make(kSchedOnce, ToStoreTime(2027, 3, 4, 0, 30, 0)),
         "You have scheduled this job to run once, on March 4, 2027 at 12:30 AM."},
        {make(kSchedMonthly, ToStoreTime(2026, 12, 15, 12, 0, 0)),
         "You have scheduled this job to run monthly, on day 15 of each month at 12:00 PM."},
        {make(kSchedWeekly, ToStoreTime(2026, 12, 13, 23, 45, 0)),
         "You have scheduled this job to run weekly, on Sunday of each week at 11:45 PM."},
        {make(kSchedDaily, ToStoreTime(2026, 12, 9, 14, 5, 0)),
         "You have scheduled this job to run daily, at 2:05 PM."},
        {make(kSchedHourly, ToStoreTime(2026, 12, 9, 0, 20, 0)),
         "You have scheduled this job to run hourly, at 20 minutes after the hour."},
        {make(kSchedEvery, 0, 2, 30),
         "You have scheduled this job to run every 2 hours and 30 minutes."},
        {make(kSchedYearly, ToStoreTime(2026, 7, 4, 9, 0, 0)),
         "You have scheduled this job to run yearly, on July 4 at 9:00 AM."},
        {make(0, 0), ""},
    };
    for (const auto& [s, text] : cases) EXPECT_EQ(TNewJobWizard::Summary(s), text) << s.SchedType;
}

TEST_F(JobWizardTest, WeeklyOnSundayChosenOnAWednesdayStoresTheComingSunday) {
    auto w = Open();
    UpToKind(w.get(), 20607);
    w->next();
    ASSERT_EQ(w->currentId(), kPageWeekly);
    Find<QComboBox>(w.get(), 20901)->setCurrentIndex(6);  // Sunday
    Find<QComboBox>(w.get(), 20902)->setCurrentIndex(18);
    Find<QComboBox>(w.get(), 20903)->setEditText("15");
    w->next();
    EXPECT_EQ(Find<QLabel>(w.get(), 21401)->text(),
              "You have scheduled this job to run weekly, on Sunday of each week at 6:15 PM.");
    EXPECT_EQ(w->Result().Time, ToStoreTime(2026, 12, 13, 18, 15, 0));
}

TEST_F(JobWizardTest, OnlyTheLastChosenKindsPageReachesTheTime) {
    auto w = Open();
    UpToKind(w.get(), 20606);
    w->next();
    Find<QComboBox>(w.get(), 20801)->setCurrentIndex(19);  // day 20
    Find<QComboBox>(w.get(), 20802)->setCurrentIndex(3);
    w->back();
    Click(w.get(), 20608);
    w->next();
    ASSERT_EQ(w->currentId(), kPageDaily);
    Find<QComboBox>(w.get(), 21001)->setCurrentIndex(0);
    Find<QComboBox>(w.get(), 21002)->setEditText("30");
    w->next();
    EXPECT_EQ(Find<QLabel>(w.get(), 21401)->text(),
              "You have scheduled this job to run daily, at 12:30 AM.");
    JobSettings s = w->Result();
    EXPECT_EQ(s.SchedType, kSchedDaily);
    EXPECT_EQ(s.Time, ToStoreTime(2026, 12, 9, 0, 30, 0));
}

// The wizard stores what the form and zk40 would store for the same date,
// and says what it changed as the form does.
TEST_F(JobWizardTest, DatesThatDoNotExistAreStoredAsTheNearestOneAndSaidSo) {
    // {kind radio, {list id, index} in page order, stored, note begins}
    struct Case {
        int radio;
        std::vector<std::pair<int, int>> picks;
        StoreTime stored;
        const char* note;
    };
    const Case cases[] = {
        {20605,
         {{20701, 3}, {20702, 30}, {20703, 1}, {20704, 8}},
         ToStoreTime(2027, 4, 30, 8, 0, 0),
         "April 31 does not exist in 2027, so the job was stored with "},
        {20605,
         {{20701, 5}, {20702, 2}, {20703, -1}, {20704, 8}},
         ToStoreTime(2026, 6, 3, 8, 0, 0),
         "No year was chosen, so 2026 was taken."},
        {20611,
         {{21301, 1}, {21302, 28}, {21303, 8}},
         ToStoreTime(2028, 2, 29, 8, 0, 0),
         "February 29 does not exist in 2026, so the job was stored with "},
    };
    for (const Case& c : cases) {
        messages.clear();
        WhenModal([&](QWidget* dlg) {
            auto* w = static_cast<QWizard*>(dlg);
            UpToKind(w, c.radio);
            w->next();
            for (auto [id, index] : c.picks) Find<QComboBox>(w, id)->setCurrentIndex(index);
            w->next();
            w->button(QWizard::FinishButton)->click();
        });
        std::unique_ptr<TJob> job = NewJobCommand(nullptr, *app, actions, {}, clock);
        ASSERT_TRUE(job) << c.note;
        EXPECT_EQ(FormatStoreTime(TRegKey(app->jobs, std::string(job->KeyName())).GetDword("Time")),
                  FormatStoreTime(c.stored))
            << c.note;
        ASSERT_EQ(messages.size(), 1u) << c.note;
        EXPECT_TRUE(messages[0].startsWith(c.note)) << messages[0].toStdString();
    }
}

TEST_F(JobWizardTest, FinishCreatesTheJobWithEveryStepsChoice) {
    WhenModal([](QWidget* dlg) {
        auto* w = static_cast<QWizard*>(dlg);
        EXPECT_EQ(w->windowTitle(), "New Job Wizard");
        w->next();
        Find<QLineEdit>(w, 20301)->setText("nightly backup");
        w->next();
        Click(w, 20403);  // not on the quick list
        Click(w, 20405);  // stop on error
        w->next();
        Click(w, 20501);
        Find<QLineEdit>(w, 20503)->setText("pw");
        Find<QLineEdit>(w, 20504)->setText("pw");
        w->next();
        Click(w, 20602);
        Click(w, 20610);
        w->next();
        Find<QLineEdit>(w, 21201)->setText("6");
        Find<QLineEdit>(w, 21202)->setText("15");
        w->next();
        EXPECT_EQ(Find<QLabel>(w, 21401)->text(),
                  "You have scheduled this job to run every 6 hours and 15 minutes.");
        w->button(QWizard::FinishButton)->click();
    });
    std::unique_ptr<TJob> job = NewJobCommand(nullptr, *app, actions, {}, clock);
    ASSERT_TRUE(job);
    TRegKey stored(app->jobs, std::string(job->KeyName()));
    EXPECT_EQ(stored.GetString("Name"), "nightly backup");
    EXPECT_EQ(stored.GetDword("Flags") & 3u, 2u);
    EXPECT_EQ(stored.GetString("Password"), "pw");
    EXPECT_EQ(stored.GetDword("SchedType"), kSchedEvery);
    EXPECT_EQ(stored.GetDword("Hour"), 6u);
    EXPECT_EQ(stored.GetDword("Minute"), 15u);
    EXPECT_EQ(stored.GetDword("State"), 2u);
}

TEST_F(JobWizardTest, ADuplicateNameIsRefusedAtFinish) {
    TJob other(app->jobs, actions, clock);
    other.Name = "nightly backup";
    std::vector<TJob*> jobs{&other};
    const std::string before = StoreExport(*app);
    WhenModal([&](QWidget* dlg) {
        auto* w = static_cast<QWizard*>(dlg);
        UpToKind(w, 20603);
        w->next();
        w->button(QWizard::FinishButton)->click();
        EXPECT_EQ(w->currentId(), kPageFinished) << "still open";
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages[0], "A job named \"nightly backup\" already exists.");
        w->button(QWizard::CancelButton)->click();
    });
    EXPECT_FALSE(NewJobCommand(nullptr, *app, actions, jobs, clock));
    EXPECT_EQ(StoreExport(*app), before) << "cancel writes nothing";
}

TEST_F(JobWizardTest, TurningTheWizardOffOnItsFirstPageHandsOverToTheForm) {
    WhenModal([this](QWidget* dlg) {
        auto* w = static_cast<QWizard*>(dlg);
        Click(w, 20202);
        EXPECT_TRUE(Enabled(w, QWizard::FinishButton));
        EXPECT_FALSE(Enabled(w, QWizard::NextButton));
        WhenModal([](QWidget* form) {
            EXPECT_EQ(form->windowTitle(), "Job Properties");
            EXPECT_EQ(Find<QTabBar>(form, 21506)->currentIndex(), 0);
            Find<QTabBar>(form, 21506)->setCurrentIndex(8);
            Click(form, 1);
        });
        w->button(QWizard::FinishButton)->click();
        EXPECT_FALSE(app->FlagBit(kFlagUseWizard));
    });
    std::unique_ptr<TJob> job = NewJobCommand(nullptr, *app, actions, {}, clock);
    ASSERT_TRUE(job);
    TRegKey stored(app->jobs, std::string(job->KeyName()));
    EXPECT_EQ(stored.GetString("Name"), "(untitled)");
    EXPECT_EQ(stored.GetDword("SchedType"), kSchedOnStartup);
    EXPECT_EQ(app->base.GetDword("Flags") & 3u, 1u) << "the cleared flag is stored on OK";
}

TEST_F(JobWizardTest, TheFormIsUsedWhenTheWizardIsOffAndCancelCreatesNothing) {
    app->SetFlagBit(kFlagUseWizard, false);
    const std::string before = StoreExport(*app);
    WhenModal([](QWidget* form) {
        EXPECT_EQ(form->windowTitle(), "Job Properties");
        Click(form, 2);
    });
    EXPECT_FALSE(NewJobCommand(nullptr, *app, actions, {}, clock));
    EXPECT_EQ(StoreExport(*app), before);
}


}  // namespace
