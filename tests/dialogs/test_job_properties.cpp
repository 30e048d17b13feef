// The single-form job editor on a real job in a real store.
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTabBar>

#include "DialogTest.h"
#include "dialogs/JobPropertiesDialog.h"
#include "jobs/Job.h"
#include "jobs/JobOps.h"
#include "jobs/NextRun.h"

using namespace zk40;
using namespace zk40::dialogs;
using namespace zk40test;

namespace {

// What the window's Properties does: the edited settings applied through the
// job operations.
bool EditJobProperties(QWidget* parent, TJob& job, const std::vector<TJob*>& jobs,
                       const IClock& clock) {
    std::optional<JobSettings> s = AskJobProperties(parent, JobSettings::FromJob(job), clock.Now());
    if (!s) return false;
    jobops::Result r = jobops::ApplySettings(job, *s, jobs, clock.Now());
    if (!r) ShowMessage(parent, QString::fromStdString(r.Error));
    return r.Ok();
}

struct JobPropertiesTest : DialogFixture {
    // A Tuesday.
    FixedClock clock{ToStoreTime(2026, 12, 8, 9, 30, 0)};
    TRegKey actions;
    std::unique_ptr<TJob> job;

    void SetUp() override {
        DialogFixture::SetUp();
        actions = TRegKey(app->product, "actions");
        job = std::make_unique<TJob>(app->jobs, actions, clock);
        job->Name = "backup";
    }
    // What the store holds now, read afresh.
    uint32_t Stored(const char* name) {
        return TRegKey(app->jobs, std::string(job->KeyName())).GetDword(name);
    }
    std::string StoredText(const char* name) {
        return TRegKey(app->jobs, std::string(job->KeyName())).GetString(name);
    }
    StoreTime Today(int h, int m, int s) { return ToStoreTime(2026, 12, 8, h, m, s); }
    std::unique_ptr<TNewJobDlg> Open() {
        auto dlg = std::make_unique<TNewJobDlg>(nullptr, JobSettings::FromJob(*job), clock.Now());
        return dlg;
    }
    static std::vector<int> Shown(QWidget* dlg) {
        std::vector<int> out;
        for (int id : {21512, 21521, 21516, 21522, 21517, 21518, 21513, 21519, 21514, 21520, 21515,
                       21523, 21524, 21533, 21534, 21535, 21536, 21525, 21531})
            if (!Find<QWidget>(dlg, id)->isHidden()) out.push_back(id);
        return out;
    }
    // Presses OK on dlg expecting a refusal, and returns it.
    QString Refusal(QWidget* dlg) {
        messages.clear();
        Click(dlg, 1);
        EXPECT_TRUE(dlg->isVisible()) << "a refusal keeps the form open";
        return messages.empty() ? QString() : messages.back();
    }
};

TEST_F(JobPropertiesTest, EachKindOpensOnItsTabShowingOnlyItsControls) {
    // {SchedType, tab, heading id, controls shown (of a fixed list)}
    struct Case {
        uint32_t kind;
        int tab, heading;
        std::vector<int> shown;
    };
    const std::vector<int> days{21525, 21531};
    const Case cases[] = {
        {kSchedManually, 0, 21510, {}},
        {kSchedOnce,
         1,
         21511,
         {21512, 21521, 21516, 21522, 21517, 21518, 21513, 21519, 21514, 21520, 21515}},
        {kSchedMonthly, 2, 21593, {21512, 21521, 21516, 21522, 21517, 21519, 21514}},
        {kSchedWeekly, 3, 21594, {21512, 21521, 21516, 21522, 21517}},
        {kSchedDaily, 4, 21595, {21512, 21521, 21516, 21522, 21517, 21525, 21531}},
        {kSchedHourly, 5, 21596, {21522, 21517, 21533, 21534, 21535, 21536, 21525, 21531}},
        {kSchedEvery,
         6,
         21597,
         {21512, 21521, 21522, 21523, 21524, 21533, 21534, 21535, 21536, 21525, 21531}},
        {kSchedYearly, 7, 21598, {21512, 21521, 21516, 21522, 21517, 21518, 21513, 21519, 21514}},
        {kSchedOnStartup, 8, 21599, {21533, 21534, 21535, 21536, 21525, 21531}},
        {42, 0, 21510, {}},
    };
    for (const Case& c : cases) {
        job->SchedType = c.kind;
        auto dlg = Open();
        EXPECT_EQ(dlg->windowTitle(), "Job Properties");
        EXPECT_EQ(Find<QTabBar>(dlg.get(), 21506)->currentIndex(), c.tab) << c.kind;
        EXPECT_EQ(dlg->ShownTab(), c.tab);
        std::vector<int> want = c.shown;
        std::sort(want.begin(), want.end());
        std::vector<int> got = Shown(dlg.get());
        std::sort(got.begin(), got.end());
        EXPECT_EQ(got, want) << "kind " << c.kind;
        for (int h : {21510, 21511, 21593, 21594, 21595, 21596, 21597, 21598, 21599})
            EXPECT_EQ(!Find<QWidget>(dlg.get(), h)->isHidden(), h == c.heading)
                << c.kind << "/" << h;
        EXPECT_TRUE(Find<QWidget>(dlg.get(), 21505)->isHidden()) << "never shown";
    }
}

TEST_F(JobPropertiesTest, ListsStartFromTheStoredValues) {
    job->Time = ToStoreTime(2027, 2, 14, 15, 7, 0);
    job->Hour = 3;
    job->Minute = 20;
    job->StartTime = Today(0, 0, 0);
    job->StopTime = Today(23, 59, 59);
    auto dlg = Open();
    auto items = [](QComboBox* box) {
        QStringList out;
        for (int i = 0; i < box->count(); ++i) out << box->itemText(i);
        return out;
    };
    auto* minute = Find<QComboBox>(dlg.get(), 21517);
    EXPECT_EQ(items(minute), (QStringList{"00", "07", "15", "30", "45"}));
    EXPECT_EQ(minute->currentText(), "07");
    auto* hour = Find<QComboBox>(dlg.get(), 21516);
    EXPECT_EQ(hour->itemText(0), "12 AM");
    EXPECT_EQ(hour->itemText(12), "12 PM");
    EXPECT_EQ(hour->itemText(23), "11 PM");
    EXPECT_EQ(hour->currentText(), "3 PM");
    EXPECT_EQ(Find<QComboBox>(dlg.get(), 21536)->currentText(), "11:59 PM");
    EXPECT_EQ(Find<QComboBox>(dlg.get(), 21534)->currentText(), "12 AM");
    EXPECT_EQ(Find<QComboBox>(dlg.get(), 21513)->currentText(), "February");
    EXPECT_EQ(Find<QComboBox>(dlg.get(), 21514)->count(), 28) << "days of February 2027";
    EXPECT_EQ(Find<QComboBox>(dlg.get(), 21514)->currentText(), "14");
    EXPECT_EQ(items(Find<QComboBox>(dlg.get(), 21515)),
              (QStringList{"2026", "2027", "2028", "2029", "2030"}));
    EXPECT_EQ(Find<QComboBox>(dlg.get(), 21515)->currentText(), "2027");
    EXPECT_EQ(Find<QComboBox>(dlg.get(), 21523)->currentText(), "3");
    EXPECT_EQ(items(Find<QComboBox>(dlg.get(), 21524)),
              (QStringList{"00", "15", "20", "30", "45"}));
}

TEST_F(JobPropertiesTest, ANewJobOpensOnJanuaryFirstWithNoYearAndRetryOff) {
    auto dlg = std::make_unique<TNewJobDlg>(nullptr, JobSettings{}, clock.Now());
    EXPECT_EQ(Find<QComboBox>(dlg.get(), 21513)->currentText(), "January");
    EXPECT_EQ(Find<QComboBox>(dlg.get(), 21514)->currentText(), "1");
    EXPECT_EQ(Find<QComboBox>(dlg.get(), 21515)->currentIndex(), -1);
    EXPECT_FALSE(Find<QCheckBox>(dlg.get(), 21507)->isChecked());
    EXPECT_FALSE(Find<QLineEdit>(dlg.get(), 21508)->isEnabled());
    EXPECT_FALSE(Find<QLineEdit>(dlg.get(), 21509)->isEnabled());
    Click(dlg.get(), 21507);
    EXPECT_TRUE(Find<QLineEdit>(dlg.get(), 21508)->isEnabled());
}

TEST_F(JobPropertiesTest, OkRuleFollowsThePasswordAndItsConfirmation) {
    auto dlg = Open();
    auto* ok = Find<QPushButton>(dlg.get(), 1);
    EXPECT_FALSE(Find<QLineEdit>(dlg.get(), 21502)->isEnabled());
    // {protect, password, confirmation, OK enabled}
    const std::tuple<bool, const char*, const char*, bool> cases[] = {
        {true, "abc", "abc", true}, {true, "abc", "ABC", false}, {true, "abc", "", false},
        {true, "", "", true},       {false, "abc", "x", true},
    };
    for (const auto& [protect, pass, confirm, enabled] : cases) {
        Find<QCheckBox>(dlg.get(), 21501)->setChecked(!protect);
        Click(dlg.get(), 21501);
        Find<QLineEdit>(dlg.get(), 21502)->setText(pass);
        Find<QLineEdit>(dlg.get(), 21503)->setText(confirm);
        EXPECT_EQ(ok->isEnabled(), enabled) << pass << "/" << confirm;
        EXPECT_EQ(Find<QLineEdit>(dlg.get(), 21503)->isEnabled(), protect);
    }
}

TEST_F(JobPropertiesTest, OkStoresEachControlInItsJobValue) {
    job->RetryCount = 0;
    job->RetryDelay = 0;
    job->Flags = 3;
    // {control id, input, stored value name, stored value}
    struct Case {
        int id;
        std::function<void(QWidget*)> input;
        const char* value;
        uint32_t stored;
    };
    auto pick = [](int id, int index) {
        return [id, index](QWidget* d) { Find<QComboBox>(d, id)->setCurrentIndex(index); };
    };
    auto type = [](int id, const char* text) {
        return [id, text](QWidget* d) {
            if (auto* e = ControlAs<QLineEdit>(d, id))
                e->setText(text);
            else
                Find<QComboBox>(d, id)->setEditText(text);
        };
    };
    auto click = [](int id) { return [id](QWidget* d) { Click(d, id); }; };
    const Case cases[] = {
        {21504, click(21504), "Flags", 3u & ~1u},  // quick list off, stop-on-error kept
        {21507, click(21507), "RetryCount", 3},
        {21508, type(21508, "3"), "RetryCount", 3},
        {21509, type(21509, "120"), "RetryDelay", 120},
        {21534, pick(21534, 0), "StartTime", ToStoreTime(2026, 12, 8, 0, 0, 0)},
        {21536, pick(21536, 23), "StopTime", ToStoreTime(2026, 12, 8, 23, 59, 59)},
        {21506, [](QWidget* d) { Find<QTabBar>(d, 21506)->setCurrentIndex(4); }, "SchedType",
         kSchedDaily},
        {21516, pick(21516, 14), "Time", ToStoreTime(2026, 12, 8, 14, 5, 0)},
        {21517, type(21517, "05"), "Time", ToStoreTime(2026, 12, 8, 14, 5, 0)},
    };
    WhenModal([&](QWidget* dlg) {
        for (const Case& c : cases) c.input(dlg);
        Click(dlg, 1);
    });
    ASSERT_TRUE(EditJobProperties(nullptr, *job, {}, clock));
    for (const Case& c : cases) EXPECT_EQ(Stored(c.value), c.stored) << c.id << " -> " << c.value;
    EXPECT_EQ(StoredText("Password"), "");
}

TEST_F(JobPropertiesTest, OkStoresPasswordWeekdaysAndTheEveryInterval) {
    job->SchedType = kSchedEvery;
    job->Flags = 3;
    WhenModal([&](QWidget* dlg) {
        Click(dlg, 21501);
        Find<QLineEdit>(dlg, 21502)->setText("s3cret");
        Find<QLineEdit>(dlg, 21503)->setText("s3cret");
        Click(dlg, 21525);  // Sunday off
        Click(dlg, 21531);  // Saturday off
        Find<QComboBox>(dlg, 21523)->setCurrentIndex(2);
        Find<QComboBox>(dlg, 21524)->setEditText("10");
        Click(dlg, 1);
    });
    ASSERT_TRUE(EditJobProperties(nullptr, *job, {}, clock));
    EXPECT_EQ(StoredText("Password"), "s3cret");
    EXPECT_EQ(Stored("Flags"), 3u | (1u << 2) | (1u << 8));
    EXPECT_EQ(Stored("Hour"), 2u);
    EXPECT_EQ(Stored("Minute"), 10u);
    EXPECT_EQ(Stored("SchedType"), kSchedEvery);
    EXPECT_NE(Stored("NextRun"), 0u) << "the next run is worked out";
}

TEST_F(JobPropertiesTest, WeeklyStoresTheDayItWasConfirmedAndKeepsTheWeekdayBits) {
    job->SchedType = kSchedDaily;
    job->Flags = 3 | (1u << 3);  // Monday excluded
    WhenModal([&](QWidget* dlg) {
        Click(dlg, 21526);  // Monday back on: ignored, since the form leaves Daily
        Find<QTabBar>(dlg, 21506)->setCurrentIndex(3);
        Find<QComboBox>(dlg, 21516)->setCurrentIndex(9);
        Click(dlg, 1);
    });
    ASSERT_TRUE(EditJobProperties(nullptr, *job, {}, clock));
    EXPECT_EQ(Stored("SchedType"), kSchedWeekly);
    EXPECT_EQ(Stored("Time"), ToStoreTime(2026, 12, 8, 9, 0, 0)) << "this Tuesday";
    EXPECT_EQ(Weekday(Stored("Time")), 2);
    EXPECT_EQ(Stored("Flags"), 3u | (1u << 3));
}

TEST_F(JobPropertiesTest, DatesThatDoNotExistAreStoredAsTheNearestOneAndSaidSo) {
    // {kind, day, month index, year index (-1 none), stored date, note begins}
    struct Case {
        uint32_t kind;
        int day, month, year;
        StoreTime stored;
        const char* note;
    };
    const Case cases[] = {
        {kSchedOnce, 31, 1, 1, ToStoreTime(2027, 2, 28, 8, 0, 0),
         "February 31 does not exist in 2027"},
        {kSchedOnce, 3, 5, -1, ToStoreTime(2026, 6, 3, 8, 0, 0),
         "No year was chosen, so 2026 was taken."},
        {kSchedMonthly, 31, 10, 0, ToStoreTime(2026, 12, 31, 8, 0, 0),
         "November 31 does not exist"},
        {kSchedYearly, 29, 1, 1, ToStoreTime(2028, 2, 29, 8, 0, 0),
         "February 29 does not exist in 2027"},
    };
    for (const Case& c : cases) {
        job->SchedType = c.kind;
        job->Time = ToStoreTime(2026, 1, 1, 8, 0, 0);  // January: 31 days listed
        messages.clear();
        WhenModal([&](QWidget* dlg) {
            Find<QComboBox>(dlg, 21514)->setCurrentIndex(c.day - 1);
            Find<QComboBox>(dlg, 21513)->setCurrentIndex(c.month);
            Find<QComboBox>(dlg, 21515)->setCurrentIndex(c.year);
            Click(dlg, 1);
        });
        ASSERT_TRUE(EditJobProperties(nullptr, *job, {}, clock));
        EXPECT_EQ(FormatStoreTime(Stored("Time")), FormatStoreTime(c.stored)) << c.note;
        ASSERT_EQ(messages.size(), 1u) << c.note;
        EXPECT_TRUE(messages[0].startsWith(c.note)) << messages[0].toStdString();
    }
}

// The year list is hidden on these tabs, so an old anchor year (one zk40
// stored, or a new job's) must not bring up a note about a year not chosen.
TEST_F(JobPropertiesTest, ARepeatingJobIsToldNothingOfAYearItsTabDoesNotShow) {
    for (uint32_t kind : {kSchedMonthly, kSchedYearly}) {
        job->SchedType = kind;
        job->Time = ToStoreTime(2024, 1, 31, 23, 59, 0);
        messages.clear();
        WhenModal([](QWidget* dlg) { Click(dlg, 1); });
        ASSERT_TRUE(EditJobProperties(nullptr, *job, {}, clock));
        EXPECT_TRUE(messages.empty()) << kind << ": " << messages[0].toStdString();
        EXPECT_EQ(FormatStoreTime(Stored("Time")),
                  FormatStoreTime(ToStoreTime(2026, 1, 31, 23, 59, 0)))
            << kind;
    }
}

TEST_F(JobPropertiesTest, RefusalsKeepTheFormOpenAndCancelWritesNothing) {
    job->SchedType = kSchedEvery;
    job->Hour = 1;
    const std::string before = StoreExport(*app);
    // {input, refusal}
    const std::pair<std::function<void(QWidget*)>, QString> cases[] = {
        {[](QWidget* d) {
             Find<QComboBox>(d, 21523)->setCurrentIndex(0);
             Find<QComboBox>(d, 21524)->setCurrentIndex(0);
         },
         "The interval of an \"Every\" job must be at least one minute."},
        {[](QWidget* d) { Find<QComboBox>(d, 21524)->setEditText("75"); },
         "The minutes of an \"Every\" interval must be 0 to 59."},
        {[](QWidget* d) {
             Find<QComboBox>(d, 21524)->setEditText("5");
             Find<QTabBar>(d, 21506)->setCurrentIndex(4);
             for (int id = 21525; id <= 21531; ++id) Find<QCheckBox>(d, id)->setChecked(false);
         },
         "Every weekday is excluded, so the job would never run."},
        {[](QWidget* d) {
             Find<QCheckBox>(d, 21525)->setChecked(true);
             Find<QComboBox>(d, 21517)->setEditText("75");
         },
         "The minute must be a number from 0 to 59."},
    };
    WhenModal([&](QWidget* dlg) {
        for (const auto& [input, refusal] : cases) {
            input(dlg);
            EXPECT_EQ(Refusal(dlg), refusal);
        }
        Click(dlg, 2);
    });
    EXPECT_FALSE(EditJobProperties(nullptr, *job, {}, clock));
    EXPECT_EQ(StoreExport(*app), before);
}

}  // namespace
