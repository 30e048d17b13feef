#pragma once
// The single-form job editor, "Job Properties": options, password, retries
// and the schedule on nine tabs. It edits a copy of the job's settings and
// hands that to the job operations only on OK; Cancel leaves the job as it
// was.
#include <QDialog>
#include <array>
#include <optional>
#include <vector>

#include "jobs/JobSettings.h"
#include "support/StoreTime.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTabBar;

namespace zk40 {
class TJob;
}

namespace zk40::dialogs {

class TNewJobDlg : public QDialog {
    Q_OBJECT
public:
    // settings: what the form starts from; now: "today" for the lists and
    // for the dates OK stores.
    TNewJobDlg(QWidget* parent, const JobSettings& settings, StoreTime now);

    // The settings the controls stand for now, and what had to be adjusted
    // to make a date of them (empty when nothing was).
    JobSettings Result(QString* note = nullptr) const;
    // The tab shown: 0 "Manually" ... 8 "On Startup"; -1 before the first.
    int ShownTab() const { return shownTab_; }

    void accept() override;

private:
    void Build();
    void Load();
    void ApplyOkRule();
    void EnableRetry();
    void SwitchTab();
    QList<QWidget*> TabControls(int tab) const;

    JobSettings settings_;
    StoreTime now_;
    int shownTab_ = -1;

    QCheckBox *password_ = nullptr, *quickList_ = nullptr, *stopOnError_ = nullptr,
              *retry_ = nullptr;
    QLineEdit *passwordEdit_ = nullptr, *confirmEdit_ = nullptr, *retryCount_ = nullptr,
              *retryDelay_ = nullptr;
    QTabBar* tabs_ = nullptr;
    std::array<QLabel*, 9> headings_{};
    QLabel *colon_ = nullptr, *hourLabel_ = nullptr, *minuteLabel_ = nullptr,
           *monthLabel_ = nullptr, *dayLabel_ = nullptr, *yearLabel_ = nullptr,
           *startLabel_ = nullptr, *stopLabel_ = nullptr;
    QComboBox *hour_ = nullptr, *minute_ = nullptr, *month_ = nullptr, *day_ = nullptr,
              *year_ = nullptr, *everyHours_ = nullptr, *everyMinutes_ = nullptr,
              *startHour_ = nullptr, *stopHour_ = nullptr;
    std::array<QCheckBox*, 7> weekdays_{};  // Sunday first
    QPushButton *ok_ = nullptr, *cancel_ = nullptr, *help_ = nullptr;
};

// The tab of a schedule kind, in tab order; -1 for an unknown kind.
int TabOfSchedType(uint32_t schedType);
uint32_t SchedTypeOfTab(int tab);

// The job properties command: shows the form with the job's current
// settings. On OK it gives the edited settings back (after saying what it
// stored where that differs from what was typed); the caller applies them
// through the job operations. Nothing for Cancel.
std::optional<JobSettings> AskJobProperties(QWidget* parent, const JobSettings& current,
                                            StoreTime now);

}  // namespace zk40::dialogs
