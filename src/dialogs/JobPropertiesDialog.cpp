#include "dialogs/JobPropertiesDialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDate>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabBar>
#include <QVBoxLayout>

#include "dialogs/DialogCommon.h"
#include "jobs/NextRun.h"

namespace zk40::dialogs {

namespace {
// Tabs in their order on the form, with the kind each stands for.
struct TabInfo {
    const char* caption;
    uint32_t schedType;
    const char* heading;
    int headingId;
};
constexpr TabInfo kTabs[9] = {
    {"Manually", kSchedManually, "Schedule This Job To Run Manually...", 21510},
    {"Once", kSchedOnce, "Schedule This Job To Run Once At:", 21511},
    {"Monthly", kSchedMonthly, "Schedule This Job To Run Monthly At:", 21593},
    {"Weekly", kSchedWeekly, "Schedule This Job To Run Weekly At:", 21594},
    {"Daily", kSchedDaily, "Schedule This Job To Run Daily At:", 21595},
    {"Hourly", kSchedHourly, "Schedule This Job To Run Hourly At:", 21596},
    {"Every", kSchedEvery, "Schedule This Job To Run Every:", 21597},
    {"Yearly", kSchedYearly, "Schedule This Job To Run Yearly At:", 21598},
    {"On Startup", kSchedOnStartup, "Schedule This Job To Run On Startup...", 21599},
};
constexpr const char* kWeekdayCaptions[7] = {"Sun", "Mon", "Tues", "Wed", "Thur", "Fri", "Sat"};

// Sunday first, as the check boxes stand, to the job's 1 = Monday ... 7 = Sunday.
int WeekdayOfBox(int box) { return box == 0 ? 7 : box; }

QComboBox* DropDown(bool editable = false) {
    auto* box = new QComboBox;
    box->setEditable(editable);
    if (editable) box->setInsertPolicy(QComboBox::NoInsert);
    return box;
}
}  // namespace

int TabOfSchedType(uint32_t schedType) {
    for (int i = 0; i < 9; ++i)
        if (kTabs[i].schedType == schedType) return i;
    return -1;
}

uint32_t SchedTypeOfTab(int tab) { return tab >= 0 && tab < 9 ? kTabs[tab].schedType : 0; }

TNewJobDlg::TNewJobDlg(QWidget* parent, const JobSettings& settings, StoreTime now)
    : QDialog(parent), settings_(settings), now_(now) {
    setWindowTitle(QStringLiteral("Job Properties"));
    setObjectName(QStringLiteral("21500"));
    Build();
    Load();
}

void TNewJobDlg::Build() {
    password_ = new QCheckBox(QStringLiteral("Password Protect?"));
    passwordEdit_ = new QLineEdit;
    confirmEdit_ = new QLineEdit;
    for (QLineEdit* e : {passwordEdit_, confirmEdit_}) e->setEchoMode(QLineEdit::Password);
    quickList_ = new QCheckBox(QStringLiteral("Quick List?"));
    stopOnError_ = new QCheckBox(QStringLiteral("Stop On Error?"));
    retry_ = new QCheckBox(QStringLiteral("Retry Job On Failure?"));
    retryCount_ = new QLineEdit;
    retryCount_->setMaxLength(2);
    retryCount_->setValidator(new QIntValidator(0, 99, retryCount_));
    retryDelay_ = new QLineEdit;
    retryDelay_->setMaxLength(4);
    retryDelay_->setValidator(new QIntValidator(0, 9999, retryDelay_));
    tabs_ = new QTabBar;
    for (int i = 0; i < 9; ++i) headings_[i] = new QLabel(QString::fromUtf8(kTabs[i].heading));
    colon_ = new QLabel(QStringLiteral(":"));
    hourLabel_ = new QLabel(QStringLiteral("Hour:"));
    minuteLabel_ = new QLabel(QStringLiteral("Minute:"));
    monthLabel_ = new QLabel(QStringLiteral("Month:"));
    dayLabel_ = new QLabel(QStringLiteral("Day:"));
    yearLabel_ = new QLabel(QStringLiteral("Year:"));
    startLabel_ = new QLabel(QStringLiteral("Start Time:"));
    stopLabel_ = new QLabel(QStringLiteral("Stop Time:"));
    hour_ = DropDown();
    minute_ = DropDown(true);
    month_ = DropDown();
    day_ = DropDown();
    year_ = DropDown();
    everyHours_ = DropDown(true);
    everyMinutes_ = DropDown(true);
    startHour_ = DropDown();
    stopHour_ = DropDown();
    for (int d = 0; d < 7; ++d)
        weekdays_[d] = new QCheckBox(QString::fromUtf8(kWeekdayCaptions[d]));
    ok_ = new QPushButton(QStringLiteral("OK"));
    cancel_ = new QPushButton(QStringLiteral("Cancel"));
    help_ = new QPushButton(QStringLiteral("Help"));
    ok_->setDefault(true);

    SetControlIds({{21501, password_},
                   {21502, passwordEdit_},
                   {21503, confirmEdit_},
                   {21504, quickList_},
                   {21505, stopOnError_},
                   {21507, retry_},
                   {21508, retryCount_},
                   {21509, retryDelay_},
                   {21506, tabs_},
                   {21512, colon_},
                   {21516, hour_},
                   {21521, hourLabel_},
                   {21517, minute_},
                   {21522, minuteLabel_},
                   {21513, month_},
                   {21518, monthLabel_},
                   {21514, day_},
                   {21519, dayLabel_},
                   {21515, year_},
                   {21520, yearLabel_},
                   {21523, everyHours_},
                   {21524, everyMinutes_},
                   {21534, startHour_},
                   {21533, startLabel_},
                   {21536, stopHour_},
                   {21535, stopLabel_},
                   {1, ok_},
                   {2, cancel_},
                   {9, help_}});
    for (int i = 0; i < 9; ++i) SetControlIds({{kTabs[i].headingId, headings_[i]}});
    for (int d = 0; d < 7; ++d) SetControlIds({{21525 + d, weekdays_[d]}});

    auto* options = new QGridLayout;
    options->addWidget(password_, 0, 0);
    options->addWidget(new QLabel(QStringLiteral("Password:")), 0, 1);
    options->addWidget(passwordEdit_, 0, 2);
    options->addWidget(new QLabel(QStringLiteral("Confirm:")), 0, 3);
    options->addWidget(confirmEdit_, 0, 4);
    options->addWidget(quickList_, 1, 0);
    options->addWidget(stopOnError_, 1, 1);
    options->addWidget(retry_, 2, 0);
    auto* retryRow = new QHBoxLayout;
    retryRow->addWidget(retryCount_);
    retryRow->addWidget(new QLabel(QStringLiteral("times every")));
    retryRow->addWidget(retryDelay_);
    retryRow->addWidget(new QLabel(QStringLiteral("secs.")));
    retryRow->addStretch();
    options->addLayout(retryRow, 2, 1, 1, 4);
    // Created hidden and never shown: the option is kept as loaded.
    stopOnError_->setVisible(false);

    auto* page = new QGridLayout;
    for (QLabel* h : headings_) page->addWidget(h, 0, 0, 1, 6);
    page->addWidget(monthLabel_, 1, 0);
    page->addWidget(month_, 1, 1);
    page->addWidget(dayLabel_, 1, 2);
    page->addWidget(day_, 1, 3);
    page->addWidget(yearLabel_, 1, 4);
    page->addWidget(year_, 1, 5);
    page->addWidget(hourLabel_, 2, 0);
    page->addWidget(hour_, 2, 1);
    page->addWidget(everyHours_, 2, 1);
    page->addWidget(colon_, 2, 2);
    page->addWidget(minuteLabel_, 2, 3);
    page->addWidget(minute_, 2, 4);
    page->addWidget(everyMinutes_, 2, 4);
    page->addWidget(startLabel_, 3, 0);
    page->addWidget(startHour_, 3, 1);
    page->addWidget(stopLabel_, 3, 3);
    page->addWidget(stopHour_, 3, 4);
    auto* days = new QHBoxLayout;
    for (QCheckBox* c : weekdays_) days->addWidget(c);
    page->addLayout(days, 4, 0, 1, 6);
    page->setRowStretch(5, 1);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ok_);
    buttons->addWidget(cancel_);
    buttons->addWidget(help_);

    auto* top = new QVBoxLayout(this);
    top->addLayout(options);
    top->addWidget(tabs_);
    top->addLayout(page);
    top->addLayout(buttons);

    connect(password_, &QCheckBox::clicked, this, [this] {
        passwordEdit_->setEnabled(password_->isChecked());
        confirmEdit_->setEnabled(password_->isChecked());
        ApplyOkRule();
    });
    connect(passwordEdit_, &QLineEdit::textChanged, this, &TNewJobDlg::ApplyOkRule);
    connect(confirmEdit_, &QLineEdit::textChanged, this, &TNewJobDlg::ApplyOkRule);
    connect(retry_, &QCheckBox::clicked, this, &TNewJobDlg::EnableRetry);
    connect(ok_, &QPushButton::clicked, this, &TNewJobDlg::accept);
    connect(cancel_, &QPushButton::clicked, this, &TNewJobDlg::reject);
    connect(help_, &QPushButton::clicked, this, [this] { OpenHelp(this, "job-properties"); });
}

void TNewJobDlg::Load() {
    const JobSettings& s = settings_;
    password_->setChecked(!s.Password.empty());
    passwordEdit_->setText(QString::fromStdString(s.Password));
    confirmEdit_->setText(QString::fromStdString(s.Password));
    quickList_->setChecked(s.QuickList);
    stopOnError_->setChecked(s.StopOnError);
    retry_->setChecked(s.RetryCount > 0);
    retryCount_->setText(QString::number(s.RetryCount));
    retryDelay_->setText(QString::number(s.RetryDelay));

    const CivilTime t = ToCivil(s.Time);
    for (int m = 1; m <= 12; ++m) month_->addItem(MonthName(m), m);
    month_->setCurrentIndex(t.month - 1);
    for (int d = 1; d <= DaysInMonth(t.year, t.month); ++d) day_->addItem(QString::number(d), d);
    day_->setCurrentIndex(t.day - 1);
    const int thisYear = ToCivil(now_).year;
    for (int y = thisYear; y < thisYear + 5; ++y) year_->addItem(QString::number(y), y);
    year_->setCurrentIndex(t.year >= thisYear && t.year < thisYear + 5 ? t.year - thisYear : -1);
    FillHours(hour_, t.hour);
    FillMinutes(minute_, t.minute, true);
    for (int h = 0; h < 24; ++h) everyHours_->addItem(QString::number(h));
    everyHours_->setCurrentIndex(s.Hour < 24 ? static_cast<int>(s.Hour) : -1);
    if (s.Hour >= 24) everyHours_->setEditText(QString::number(s.Hour));
    FillMinutes(everyMinutes_, static_cast<int>(s.Minute % 60), true);
    if (s.Minute >= 60) everyMinutes_->setEditText(QString::number(s.Minute));
    FillHours(startHour_, static_cast<int>(s.WindowStart / 3600 % 24));
    FillHours(stopHour_, static_cast<int>(s.WindowStop / 3600 % 24), true);
    for (int d = 0; d < 7; ++d) weekdays_[d]->setChecked(!s.DayExcluded(WeekdayOfBox(d)));

    passwordEdit_->setEnabled(password_->isChecked());
    confirmEdit_->setEnabled(password_->isChecked());
    ApplyOkRule();
    EnableRetry();

    for (const TabInfo& t : kTabs) tabs_->addTab(QString::fromUtf8(t.caption));
    int tab = TabOfSchedType(s.SchedType);
    // An unknown kind selects nothing, so the first tab stays current.
    tabs_->setCurrentIndex(tab >= 0 ? tab : 0);
    connect(tabs_, &QTabBar::currentChanged, this, &TNewJobDlg::SwitchTab);
    SwitchTab();
}

void TNewJobDlg::ApplyOkRule() {
    ok_->setEnabled(!password_->isChecked() || passwordEdit_->text() == confirmEdit_->text());
}

void TNewJobDlg::EnableRetry() {
    retryCount_->setEnabled(retry_->isChecked());
    retryDelay_->setEnabled(retry_->isChecked());
}

QList<QWidget*> TNewJobDlg::TabControls(int tab) const {
    QList<QWidget*> days;
    for (QCheckBox* c : weekdays_) days << c;
    const QList<QWidget*> window{startLabel_, startHour_, stopLabel_, stopHour_};
    QList<QWidget*> out{headings_[tab]};
    switch (SchedTypeOfTab(tab)) {
        case kSchedOnce:
            out << colon_ << hourLabel_ << hour_ << minuteLabel_ << minute_ << monthLabel_ << month_
                << dayLabel_ << day_ << yearLabel_ << year_;
            break;
        case kSchedMonthly:
            out << colon_ << hourLabel_ << hour_ << minuteLabel_ << minute_ << dayLabel_ << day_;
            break;
        case kSchedWeekly:
            out << colon_ << hourLabel_ << hour_ << minuteLabel_ << minute_;
            break;
        case kSchedDaily:
            out << colon_ << hourLabel_ << hour_ << minuteLabel_ << minute_ << days;
            break;
        case kSchedHourly:
            out << minuteLabel_ << minute_ << window << days;
            break;
        case kSchedEvery:
            out << colon_ << hourLabel_ << everyHours_ << minuteLabel_ << everyMinutes_ << window
                << days;
            break;
        case kSchedYearly:
            out << colon_ << hourLabel_ << hour_ << minuteLabel_ << minute_ << monthLabel_ << month_
                << dayLabel_ << day_;
            break;
        case kSchedOnStartup:
            out << window << days;
            break;
        default:
            break;
    }
    return out;
}

void TNewJobDlg::SwitchTab() {
    int selected = tabs_->currentIndex();
    if (selected == shownTab_ || selected < 0) return;
    auto show = [](QWidget* w, bool on) {
        w->setEnabled(on);
        w->setVisible(on);
    };
    if (shownTab_ == -1) {
        for (int t = 0; t < 9; ++t)
            for (QWidget* w : TabControls(t)) show(w, false);
    } else {
        for (QWidget* w : TabControls(shownTab_)) show(w, false);
    }
    shownTab_ = selected;
    for (QWidget* w : TabControls(shownTab_)) show(w, true);
}

JobSettings TNewJobDlg::Result(QString* note) const {
    JobSettings s = settings_;
    s.QuickList = quickList_->isChecked();
    s.StopOnError = stopOnError_->isChecked();
    s.RetryCount = retry_->isChecked()
                       ? static_cast<uint32_t>(std::max(0L, LeadingInt(retryCount_->text())))
                       : 0;
    s.RetryDelay = static_cast<uint32_t>(std::max(0L, LeadingInt(retryDelay_->text())));
    s.WindowStart = static_cast<uint32_t>(SelectedHour(startHour_)) * 3600;
    s.WindowStop = static_cast<uint32_t>(SelectedHour(stopHour_)) * 3600 + 3599;
    s.Password = password_->isChecked() ? passwordEdit_->text().toStdString() : std::string();
    s.SchedType = SchedTypeOfTab(tabs_->currentIndex());

    // Once, monthly and yearly jobs take their date from the date lists,
    // hidden ones too (the month and year of a monthly job, the year of a
    // yearly one), which hold the date the job has; other kinds start today.
    ScheduleChoice c;
    c.kind = s.SchedType;
    if (s.SchedType == kSchedOnce || s.SchedType == kSchedMonthly || s.SchedType == kSchedYearly) {
        c.year =
            year_->currentIndex() >= 0 ? static_cast<int>(LeadingInt(year_->currentText())) : 0;
        c.month = month_->currentIndex() + 1;
        c.day = static_cast<int>(LeadingInt(day_->currentText()));
    }
    c.hour = s.SchedType == kSchedHourly ? 0 : SelectedHour(hour_);
    c.minute = static_cast<int>(std::clamp(LeadingInt(minute_->currentText()), 0L, 59L));
    QString said;
    switch (s.SchedType) {
        case kSchedOnce:
        case kSchedMonthly:
        case kSchedWeekly:
        case kSchedDaily:
        case kSchedHourly:
        case kSchedYearly: {
            const ScheduleAnchor a = AnchorOfChoice(c, now_);
            s.Time = a.time;
            said = AnchorNote(a);
            break;
        }
        case kSchedEvery:
            s.Hour = static_cast<uint32_t>(std::max(0L, LeadingInt(everyHours_->currentText())));
            s.Minute =
                static_cast<uint32_t>(std::max(0L, LeadingInt(everyMinutes_->currentText())));
            break;
        default:
            break;
    }
    if (s.SchedType == kSchedDaily || s.SchedType == kSchedHourly || s.SchedType == kSchedEvery ||
        s.SchedType == kSchedOnStartup)
        for (int d = 0; d < 7; ++d) s.SetDayExcluded(WeekdayOfBox(d), !weekdays_[d]->isChecked());
    if (note) *note = said;
    return s;
}

void TNewJobDlg::accept() {
    if (!ok_->isEnabled()) return;
    const uint32_t kind = SchedTypeOfTab(tabs_->currentIndex());
    const bool usesMinute =
        kind != kSchedManually && kind != kSchedOnStartup && kind != kSchedEvery;
    long typed = LeadingInt(minute_->currentText());
    if (usesMinute && (typed < 0 || typed > 59)) {
        ShowMessage(this, QStringLiteral("The minute must be a number from 0 to 59."));
        return;
    }
    std::string refusal = Result().Validate();
    if (!refusal.empty()) {
        ShowMessage(this, QString::fromStdString(refusal));
        return;
    }
    QDialog::accept();
}

std::optional<JobSettings> AskJobProperties(QWidget* parent, const JobSettings& current,
                                            StoreTime now) {
    TNewJobDlg dlg(parent, current, now);
    if (dlg.exec() != QDialog::Accepted) return std::nullopt;
    QString note;
    JobSettings s = dlg.Result(&note);
    if (!note.isEmpty()) ShowMessage(parent, note);
    return s;
}

}  // namespace zk40::dialogs
