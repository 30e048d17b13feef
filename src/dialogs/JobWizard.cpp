#include "dialogs/JobWizard.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QVBoxLayout>
#include <QWizardPage>
#include <functional>

#include "dialogs/DialogCommon.h"
#include "dialogs/JobPropertiesDialog.h"
#include "jobs/NextRun.h"
#include "store/AppStore.h"

namespace zk40::dialogs {

namespace {

// A page whose completeness and successor the wizard decides.
class TWizardPage : public QWizardPage {
public:
    std::function<bool()> complete;
    std::function<int()> next;
    bool isComplete() const override { return complete ? complete() : true; }
    int nextId() const override { return next ? next() : QWizardPage::nextId(); }
    void Changed() { emit completeChanged(); }
};

QLabel* Text(const char* text) {
    auto* l = new QLabel(QString::fromUtf8(text));
    l->setWordWrap(true);
    return l;
}

// Kind pages and the schedule kinds they stand for.
constexpr std::pair<int, uint32_t> kKindPages[] = {
    {kPageOnce, kSchedOnce},     {kPageMonthly, kSchedMonthly}, {kPageWeekly, kSchedWeekly},
    {kPageDaily, kSchedDaily},   {kPageHourly, kSchedHourly},   {kPageEvery, kSchedEvery},
    {kPageYearly, kSchedYearly},
};
int PageOfKind(uint32_t kind) {
    for (auto [page, k] : kKindPages)
        if (k == kind) return page;
    return -1;
}

// The eight kind radios in their order on the page.
struct KindRadio {
    int id;
    const char* caption;
    uint32_t kind;
};
constexpr KindRadio kKindRadios[8] = {
    {20612, "Run at startup of Zarkell", kSchedOnStartup},
    {20605, "Run once at a specific time", kSchedOnce},
    {20611, "Run once every year...", kSchedYearly},
    {20606, "Run once every month...", kSchedMonthly},
    {20607, "Run once every week...", kSchedWeekly},
    {20608, "Run once every day...", kSchedDaily},
    {20609, "Run once every hour...", kSchedHourly},
    {20610, "Run once every ?? hours/minutes...", kSchedEvery},
};

QComboBox* List(bool editable = false) {
    auto* box = new QComboBox;
    box->setEditable(editable);
    if (editable) box->setInsertPolicy(QComboBox::NoInsert);
    return box;
}

void FillDays(QComboBox* box, const CivilTime& t) {
    for (int d = 1; d <= DaysInMonth(t.year, t.month); ++d) box->addItem(QString::number(d));
    box->setCurrentIndex(t.day - 1);
}
void FillMonths(QComboBox* box, const CivilTime& t) {
    for (int m = 1; m <= 12; ++m) box->addItem(MonthName(m));
    box->setCurrentIndex(t.month - 1);
}
int Minute(const QComboBox* box) {
    return static_cast<int>(std::clamp(LeadingInt(box->currentText()), 0L, 59L));
}

}  // namespace

struct TNewJobWizard::Pages {
    TWizardPage *intro = nullptr, *description = nullptr, *options = nullptr, *password = nullptr,
                *kind = nullptr, *finished = nullptr;
    QCheckBox *useWizard = nullptr, *skipIntro = nullptr;
    QLineEdit* name = nullptr;
    QRadioButton *quickYes = nullptr, *quickNo = nullptr, *stopYes = nullptr, *stopNo = nullptr;
    QRadioButton *passYes = nullptr, *passNo = nullptr;
    QLineEdit *pass = nullptr, *retype = nullptr;
    QRadioButton *scheduled = nullptr, *manual = nullptr;
    QRadioButton* kinds[8] = {};
    // Kind pages' lists.
    QComboBox *onceMonth, *onceDay, *onceYear, *onceHour, *onceMinute;
    QComboBox *monthlyDay, *monthlyHour, *monthlyMinute;
    QComboBox *weekday, *weeklyHour, *weeklyMinute;
    QComboBox *dailyHour, *dailyMinute;
    QComboBox* hourlyMinute;
    QLineEdit *everyHours, *everyMinutes;
    QComboBox *yearlyMonth, *yearlyDay, *yearlyHour, *yearlyMinute;
    QLabel* summary = nullptr;
};

TNewJobWizard::TNewJobWizard(QWidget* parent, TAppStore& app, const JobSettings& settings,
                             StoreTime now, std::vector<std::string> otherNames)
    : QWizard(parent),
      app_(app),
      settings_(settings),
      working_(settings),
      now_(now),
      otherNames_(std::move(otherNames)),
      p_(std::make_unique<Pages>()) {
    setWindowTitle(QStringLiteral("New Job Wizard"));
    setWizardStyle(QWizard::ClassicStyle);
    setOption(QWizard::HaveHelpButton);
    connect(this, &QWizard::helpRequested, this, [this] { OpenHelp(this, "job-wizard"); });
    Pages& p = *p_;
    const JobSettings& s = settings_;
    const CivilTime t = ToCivil(s.Time);

    auto page = [this](int id, const char* title) {
        auto* pg = new TWizardPage;
        pg->setTitle(QString::fromUtf8(title));
        pg->setObjectName(QString::number(id));
        setPage(id, pg);
        return pg;
    };

    // 1: introduction, only while the user wants to see it.
    if (app_.FlagBit(kFlagWizardOption)) {
        p.intro = page(kPageIntro, "Job Wizard -- Introduction");
        p.useWizard =
            new QCheckBox(QStringLiteral("Continue to use the job wizard for future jobs?"));
        p.skipIntro = new QCheckBox(QStringLiteral("Skip this introduction page next time?"));
        p.useWizard->setChecked(app_.FlagBit(kFlagUseWizard));
        p.skipIntro->setChecked(!app_.FlagBit(kFlagWizardOption));
        SetControlIds({{20202, p.useWizard}, {20201, p.skipIntro}});
        auto* l = new QVBoxLayout(p.intro);
        l->addWidget(Text(
            "This Wizard will guide you through the steps you need to take to create (or edit) and "
            "schedule a job.  (Clear the checkbox below if you would rather use the single-form "
            "for jobs instead of the wizard)."));
        l->addWidget(p.useWizard);
        l->addWidget(p.skipIntro);
        // Cleared, the wizard ends here and the single form takes over.
        p.intro->next = [this] { return p_->useWizard->isChecked() ? kPageDescription : -1; };
        // Marked final so that the wizard shows Finish in place of Next.
        connect(p.useWizard, &QCheckBox::toggled, p.intro, [this](bool on) {
            p_->intro->setFinalPage(!on);
            p_->intro->Changed();
        });
    }

    // 2: description.
    p.description = page(kPageDescription, "Job Wizard -- Step 1");
    p.name = new QLineEdit(QString::fromStdString(s.Name));
    p.name->setMaxLength(40);
    SetControlIds({{20301, p.name}});
    {
        auto* l = new QVBoxLayout(p.description);
        l->addWidget(Text("Enter a string in the blank below which describes your new job..."));
        auto* f = new QFormLayout;
        f->addRow(QStringLiteral("Job Description:"), p.name);
        l->addLayout(f);
    }
    p.description->complete = [this] {
        const QString n = p_->name->text();
        return !n.isEmpty() && n != QStringLiteral("(untitled)");
    };
    connect(p.name, &QLineEdit::textChanged, p.description, &TWizardPage::Changed);

    // 3: options.
    p.options = page(kPageOptions, "Job Wizard -- Step 2");
    {
        auto* l = new QVBoxLayout(p.options);
        auto yesNo = [&](int groupId, int yesId, int noId, bool yes, QRadioButton** y,
                         QRadioButton** n) {
            auto* box = new QGroupBox;
            *y = new QRadioButton(QStringLiteral("Yes"));
            *n = new QRadioButton(QStringLiteral("No"));
            (yes ? *y : *n)->setChecked(true);
            auto* bl = new QHBoxLayout(box);
            bl->addWidget(*y);
            bl->addWidget(*n);
            SetControlIds({{groupId, box}, {yesId, *y}, {noId, *n}});
            return box;
        };
        l->addWidget(Text(
            "Zarkell'40 has a 'Quick-List' of jobs which are accessed by using the System-Tray "
            "icon menu.  Would you like to add this job to the 'Quick-List'?"));
        l->addWidget(yesNo(20401, 20402, 20403, s.QuickList, &p.quickYes, &p.quickNo));
        l->addWidget(Text(
            "When this job is running, if an error occurs, do you want to job to stop immediately "
            "without executing the rest of the actions in this job?"));
        l->addWidget(yesNo(20404, 20405, 20406, s.StopOnError, &p.stopYes, &p.stopNo));
    }

    // 4: password.
    p.password = page(kPagePassword, "Job Wizard -- Step 3");
    p.passYes = new QRadioButton(QStringLiteral("Yes"));
    p.passNo = new QRadioButton(QStringLiteral("No"));
    (s.Password.empty() ? p.passNo : p.passYes)->setChecked(true);
    p.pass = new QLineEdit(QString::fromStdString(s.Password));
    p.retype = new QLineEdit(QString::fromStdString(s.Password));
    for (QLineEdit* e : {p.pass, p.retype}) {
        e->setMaxLength(16);
        e->setEchoMode(QLineEdit::Password);
        e->setEnabled(p.passYes->isChecked());
        connect(e, &QLineEdit::textChanged, p.password, &TWizardPage::Changed);
    }
    SetControlIds({{20501, p.passYes}, {20502, p.passNo}, {20503, p.pass}, {20504, p.retype}});
    {
        auto* l = new QVBoxLayout(p.password);
        l->addWidget(Text(
            "Do you want to password protect this job?  (This will cause Zarkell'40 to prompt you "
            "with a password anytime you try to modify/change this job or any of its actions.)"));
        auto* radios = new QHBoxLayout;
        radios->addWidget(p.passYes);
        radios->addWidget(p.passNo);
        l->addLayout(radios);
        auto* f = new QFormLayout;
        f->addRow(QStringLiteral("Password:"), p.pass);
        f->addRow(QStringLiteral("Retype Password to confirm:"), p.retype);
        l->addLayout(f);
    }
    p.password->complete = [this] {
        return p_->passNo->isChecked() ||
               (!p_->pass->text().isEmpty() && p_->pass->text() == p_->retype->text());
    };
    for (QRadioButton* r : {p.passYes, p.passNo})
        connect(r, &QRadioButton::clicked, p.password, [this] {
            const bool yes = p_->passYes->isChecked();
            p_->pass->setEnabled(yes);
            p_->retype->setEnabled(yes);
            if (!yes) {
                p_->pass->clear();
                p_->retype->clear();
            }
            p_->password->Changed();
        });

    // 5: schedule kind.
    p.kind = page(kPageKind, "Job Wizard -- Step 4");
    p.scheduled = new QRadioButton(QStringLiteral("Schedule this job to run..."));
    p.manual = new QRadioButton(QStringLiteral("Only run this job manually..."));
    auto* runGroup = new QButtonGroup(p.kind);
    runGroup->addButton(p.scheduled);
    runGroup->addButton(p.manual);
    auto* kindBox = new QGroupBox;
    auto* kindGroup = new QButtonGroup(p.kind);
    auto* kindLayout = new QVBoxLayout(kindBox);
    for (int i = 0; i < 8; ++i) {
        p.kinds[i] = new QRadioButton(QString::fromUtf8(kKindRadios[i].caption));
        kindGroup->addButton(p.kinds[i]);
        kindLayout->addWidget(p.kinds[i]);
        SetControlIds({{kKindRadios[i].id, p.kinds[i]}});
    }
    auto* runBox = new QGroupBox;
    auto* runLayout = new QVBoxLayout(runBox);
    runLayout->addWidget(p.scheduled);
    runLayout->addWidget(p.manual);
    SetControlIds({{20601, runBox}, {20602, p.scheduled}, {20603, p.manual}, {20604, kindBox}});
    {
        auto* l = new QVBoxLayout(p.kind);
        l->addWidget(
            Text("Do you want to schedule this job to run or do you want it only to run "
                 "when started manually?"));
        l->addWidget(runBox);
        l->addWidget(
            Text("You can setup this job to run once, at a specific time, or "
                 "periodically.  How would you like it to run?"));
        l->addWidget(kindBox);
    }
    if (s.SchedType == kSchedManually) {
        p.manual->setChecked(true);
        p.kinds[0]->setChecked(true);
    } else {
        for (int i = 0; i < 8; ++i)
            if (kKindRadios[i].kind == s.SchedType) {
                p.scheduled->setChecked(true);
                p.kinds[i]->setChecked(true);
            }
    }
    auto enableKinds = [this] {
        for (QRadioButton* r : p_->kinds) r->setEnabled(p_->scheduled->isChecked());
    };
    enableKinds();
    connect(p.scheduled, &QRadioButton::toggled, p.kind, enableKinds);
    p.kind->next = [this] {
        if (p_->manual->isChecked()) return static_cast<int>(kPageFinished);
        for (int i = 0; i < 8; ++i)
            if (p_->kinds[i]->isChecked()) {
                int page = PageOfKind(kKindRadios[i].kind);
                return page > 0 ? page : static_cast<int>(kPageFinished);
            }
        return static_cast<int>(kPageFinished);
    };

    // 6 to 12: the kind pages.
    const char* dateText = "Now, we need to know what date to run your new job on...";
    const char* timeText = "Also, specify what time of day you want to run your job...";
    auto kindPage = [&](int id, const char* title, bool asksDate,
                        std::initializer_list<std::pair<const char*, QWidget*>> rows,
                        std::initializer_list<int> ids) {
        TWizardPage* pg = page(id, title);
        pg->next = [] { return static_cast<int>(kPageFinished); };
        auto* l = new QVBoxLayout(pg);
        if (asksDate) l->addWidget(Text(dateText));
        l->addWidget(Text(timeText));
        auto* f = new QFormLayout;
        auto idIt = ids.begin();
        for (auto [label, w] : rows) {
            f->addRow(QString::fromUtf8(label), w);
            SetControlIds({{*idIt++, w}});
        }
        l->addLayout(f);
    };
    const int minute = t.minute;
    auto hours = [&](QComboBox* box) { FillHours(box, t.hour); };
    auto minutes = [&](QComboBox* box) { FillMinutes(box, minute, false); };

    p.onceMonth = List();
    FillMonths(p.onceMonth, t);
    p.onceDay = List();
    FillDays(p.onceDay, t);
    p.onceYear = List();
    const int thisYear = ToCivil(now_).year;
    for (int y = thisYear; y < thisYear + 5; ++y) p.onceYear->addItem(QString::number(y));
    p.onceYear->setCurrentIndex(t.year >= thisYear && t.year < thisYear + 5 ? t.year - thisYear
                                                                            : -1);
    hours(p.onceHour = List());
    minutes(p.onceMinute = List(true));
    kindPage(kPageOnce, "Job Wizard -- Step 5 (Run Once)", true,
             {{"Month:", p.onceMonth},
              {"Day:", p.onceDay},
              {"Year:", p.onceYear},
              {"Hour:", p.onceHour},
              {"Minute:", p.onceMinute}},
             {20701, 20702, 20703, 20704, 20705});

    p.monthlyDay = List();
    FillDays(p.monthlyDay, t);
    hours(p.monthlyHour = List());
    minutes(p.monthlyMinute = List(true));
    kindPage(kPageMonthly, "Job Wizard -- Step 5 (Run Monthly)", true,
             {{"Day:", p.monthlyDay}, {"Hour:", p.monthlyHour}, {"Minute:", p.monthlyMinute}},
             {20801, 20802, 20803});

    p.weekday = List();
    for (int d = 1; d <= 7; ++d) p.weekday->addItem(WeekdayName(d));
    p.weekday->setCurrentIndex(Weekday(s.Time) - 1);
    hours(p.weeklyHour = List());
    minutes(p.weeklyMinute = List(true));
    kindPage(kPageWeekly, "Job Wizard -- Step 5 (Run Weekly)", true,
             {{"Day Of Week:", p.weekday}, {"Hour:", p.weeklyHour}, {"Minute:", p.weeklyMinute}},
             {20901, 20902, 20903});

    hours(p.dailyHour = List());
    minutes(p.dailyMinute = List(true));
    kindPage(kPageDaily, "Job Wizard -- Step 5 (Run Daily)", false,
             {{"Hour:", p.dailyHour}, {"Minute:", p.dailyMinute}}, {21001, 21002});

    minutes(p.hourlyMinute = List(true));
    kindPage(kPageHourly, "Job Wizard -- Step 5 (Run Hourly)", false, {{"Minute:", p.hourlyMinute}},
             {21101});

    p.everyHours = new QLineEdit(QString::number(s.Hour));
    p.everyHours->setMaxLength(3);
    p.everyHours->setValidator(new QIntValidator(0, 999, p.everyHours));
    p.everyMinutes = new QLineEdit(QString::number(s.Minute));
    p.everyMinutes->setMaxLength(2);
    p.everyMinutes->setValidator(new QIntValidator(0, 99, p.everyMinutes));
    kindPage(kPageEvery, "Job Wizard -- Step 5 (Run Every...)", false,
             {{"Hours:", p.everyHours}, {"Minutes:", p.everyMinutes}}, {21201, 21202});

    p.yearlyMonth = List();
    FillMonths(p.yearlyMonth, t);
    p.yearlyDay = List();
    FillDays(p.yearlyDay, t);
    hours(p.yearlyHour = List());
    minutes(p.yearlyMinute = List(true));
    kindPage(kPageYearly, "Job Wizard -- Step 5 (Run Yearly)", true,
             {{"Month:", p.yearlyMonth},
              {"Day:", p.yearlyDay},
              {"Hour:", p.yearlyHour},
              {"Minute:", p.yearlyMinute}},
             {21301, 21302, 21303, 21304});

    // 99: finished.
    p.finished = page(kPageFinished, "Job Wizard -- Finished");
    p.summary = new QLabel(QStringLiteral("[SCHEDULE]"));
    p.summary->setWordWrap(true);
    SetControlIds({{21401, p.summary}});
    {
        auto* l = new QVBoxLayout(p.finished);
        l->addWidget(
            Text("We are now ready to create and schedule your new job according to the "
                 "options you specified."));
        l->addWidget(p.summary);
    }
    p.finished->next = [] { return -1; };

    setStartId(p.intro ? kPageIntro : kPageDescription);
    connect(this, &QWizard::currentIdChanged, this, [this](int id) {
        if (id != kPageFinished) return;
        QString text = Summary(working_);
        if (!text.isEmpty()) p_->summary->setText(text);
    });
}

TNewJobWizard::~TNewJobWizard() = default;

int TNewJobWizard::nextId() const { return QWizard::nextId(); }

bool TNewJobWizard::validateCurrentPage() {
    const int id = currentId();
    if (id == kPageFinished) {
        // Refuse what the job operations would refuse while the choices
        // can still be changed.
        std::string why = Result().Validate(otherNames_);
        if (!why.empty()) {
            ShowMessage(this, QString::fromStdString(why));
            return false;
        }
    }
    LeavePage(id);
    return QWizard::validateCurrentPage();
}

void TNewJobWizard::LeavePage(int id) {
    Pages& p = *p_;
    if (id == kPageIntro) {
        app_.SetFlagBit(kFlagUseWizard, p.useWizard->isChecked());
        app_.SetFlagBit(kFlagWizardOption, !p.skipIntro->isChecked());
    }
    // The working copy follows the pages left so far; the summary shows it.
    working_ = Result();
}

JobSettings TNewJobWizard::Result(QString* note) const {
    const Pages& p = *p_;
    JobSettings s = settings_;
    s.Name = p.name->text().toStdString();
    s.QuickList = p.quickYes->isChecked();
    s.StopOnError = p.stopYes->isChecked();
    s.Password = p.passYes->isChecked() ? p.pass->text().toStdString() : std::string();
    if (p.manual->isChecked()) {
        s.SchedType = kSchedManually;
    } else {
        // In the order the kinds are tested: startup first, yearly last.
        for (int id : {20612, 20605, 20606, 20607, 20608, 20609, 20610, 20611})
            for (int i = 0; i < 8; ++i)
                if (kKindRadios[i].id == id && p.kinds[i]->isChecked()) {
                    s.SchedType = kKindRadios[i].kind;
                    goto chosen;
                }
    chosen:;
    }
    // The choices of the kind's page; the date and time they stand for are
    // worked out as the form and zk40 work out theirs.
    ScheduleChoice c;
    c.kind = s.SchedType;
    auto number = [](const QComboBox* box) {
        return static_cast<int>(LeadingInt(box->currentText()));
    };
    auto clock = [&c](const QComboBox* hour, const QComboBox* minute) {
        c.hour = SelectedHour(hour);
        c.minute = Minute(minute);
    };
    bool anchored = true;
    switch (s.SchedType) {
        case kSchedOnce:
            c.year = p.onceYear->currentIndex() >= 0 ? number(p.onceYear) : 0;
            c.month = p.onceMonth->currentIndex() + 1;
            c.day = number(p.onceDay);
            clock(p.onceHour, p.onceMinute);
            break;
        case kSchedMonthly:
            c.day = number(p.monthlyDay);
            clock(p.monthlyHour, p.monthlyMinute);
            break;
        case kSchedWeekly:
            c.weekday = p.weekday->currentIndex() + 1;
            clock(p.weeklyHour, p.weeklyMinute);
            break;
        case kSchedDaily:
            clock(p.dailyHour, p.dailyMinute);
            break;
        case kSchedHourly:
            c.minute = Minute(p.hourlyMinute);
            break;
        case kSchedYearly:
            c.month = p.yearlyMonth->currentIndex() + 1;
            c.day = number(p.yearlyDay);
            clock(p.yearlyHour, p.yearlyMinute);
            break;
        case kSchedEvery:
            s.Hour = static_cast<uint32_t>(std::max(0L, LeadingInt(p.everyHours->text())));
            s.Minute = static_cast<uint32_t>(std::max(0L, LeadingInt(p.everyMinutes->text())));
            anchored = false;
            break;
        default:
            anchored = false;
            break;
    }
    QString said;
    if (anchored) {
        const ScheduleAnchor a = AnchorOfChoice(c, now_);
        s.Time = a.time;
        said = AnchorNote(a);
    }
    if (note) *note = said;
    return s;
}

QString TNewJobWizard::Summary(const JobSettings& s) {
    const CivilTime t = ToCivil(s.Time);
    const QString clock = ClockText(t.hour, t.minute);
    switch (s.SchedType) {
        case kSchedManually:
            return QStringLiteral("You have scheduled this job to run manually, on demand.");
        case kSchedOnStartup:
            return QStringLiteral(
                "You have scheduled this job to run once, whenever Zarkell'40 is started up.");
        case kSchedOnce:
            return QStringLiteral("You have scheduled this job to run once, on %1 %2, %3 at %4.")
                .arg(MonthName(t.month))
                .arg(t.day)
                .arg(t.year)
                .arg(clock);
        case kSchedMonthly:
            return QStringLiteral(
                       "You have scheduled this job to run monthly, on day %1 of each month at %2.")
                .arg(t.day)
                .arg(clock);
        case kSchedWeekly:
            return QStringLiteral(
                       "You have scheduled this job to run weekly, on %1 of each week at %2.")
                .arg(WeekdayName(Weekday(s.Time)), clock);
        case kSchedDaily:
            return QStringLiteral("You have scheduled this job to run daily, at %1.").arg(clock);
        case kSchedHourly:
            return QStringLiteral(
                       "You have scheduled this job to run hourly, at %1 minutes after the hour.")
                .arg(t.minute);
        case kSchedEvery:
            return QStringLiteral(
                       "You have scheduled this job to run every %1 hours and %2 minutes.")
                .arg(s.Hour)
                .arg(s.Minute);
        case kSchedYearly:
            return QStringLiteral("You have scheduled this job to run yearly, on %1 %2 at %3.")
                .arg(MonthName(t.month))
                .arg(t.day)
                .arg(clock);
        default:
            return {};
    }
}

std::string UntitledName(const std::vector<std::string>& otherNames) {
    auto taken = [&](const std::string& n) {
        return std::find(otherNames.begin(), otherNames.end(), n) != otherNames.end();
    };
    std::string name = "(untitled)";
    for (int i = 2; taken(name); ++i) name = "(untitled) " + std::to_string(i);
    return name;
}

std::optional<JobSettings> AskNewJob(QWidget* parent, TAppStore& app,
                                     const std::vector<std::string>& others, StoreTime now,
                                     bool* usedForm) {
    JobSettings s;
    s.Name = "(untitled)";
    QString note;
    bool form = !app.FlagBit(kFlagUseWizard);
    if (!form) {
        TNewJobWizard wizard(parent, app, s, now, others);
        if (wizard.exec() != QDialog::Accepted) return std::nullopt;
        s = wizard.Result(&note);
        // The first page turned the wizard off: the form takes over at once
        // and its answer replaces the wizard's.
        form = !app.FlagBit(kFlagUseWizard);
    }
    if (usedForm) *usedForm = form;
    if (form) {
        if (s.Name == "(untitled)") s.Name = UntitledName(others);
        TNewJobDlg dlg(parent, s, now);
        if (dlg.exec() != QDialog::Accepted) return std::nullopt;
        s = dlg.Result(&note);
    }
    app.SaveFlagBits();
    if (!note.isEmpty()) ShowMessage(parent, note);
    return s;
}

}  // namespace zk40::dialogs
