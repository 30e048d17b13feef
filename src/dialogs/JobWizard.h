#pragma once
// "New Job Wizard": description, options, password and schedule, one step
// at a time, then a summary. It works on a copy of the settings and hands
// them back on Finish; creating the job is the new-job command's part.
#include <QWizard>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "jobs/JobSettings.h"
#include "support/StoreTime.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QRadioButton;

namespace zk40 {
class TAppStore;
class TJob;
class TRegKey;
}  // namespace zk40

namespace zk40::dialogs {

// Page ids, as the pages' resources are numbered.
enum WizardPage : int {
    kPageIntro = 20200,
    kPageDescription = 20300,
    kPageOptions = 20400,
    kPagePassword = 20500,
    kPageKind = 20600,
    kPageOnce = 20700,
    kPageMonthly = 20800,
    kPageWeekly = 20900,
    kPageDaily = 21000,
    kPageHourly = 21100,
    kPageEvery = 21200,
    kPageYearly = 21300,
    kPageFinished = 21400,
};

class TNewJobWizard : public QWizard {
    Q_OBJECT
public:
    // The two application flags it offers on its first page are the
    // in-memory bits of app (show the introduction, use the wizard); they
    // change as that page is left and are stored only by the caller.
    // otherNames: the names a new job must not repeat.
    TNewJobWizard(QWidget* parent, TAppStore& app, const JobSettings& settings, StoreTime now,
                  std::vector<std::string> otherNames = {});
    ~TNewJobWizard() override;

    // The settings the pages stand for now, and what had to be adjusted to
    // make a date of the choices (empty when nothing was).
    JobSettings Result(QString* note = nullptr) const;
    // The schedule in words, as the last page shows it.
    static QString Summary(const JobSettings& s);

    int nextId() const override;
    bool validateCurrentPage() override;

    struct Pages;

private:
    void LeavePage(int id);

    TAppStore& app_;
    JobSettings settings_;  // what the pages were built from
    JobSettings working_;   // updated as pages are left
    StoreTime now_;
    std::vector<std::string> otherNames_;
    std::unique_ptr<Pages> p_;
};

// The new-job command: the wizard or the single form, as the use-wizard
// flag says (the form follows at once when the wizard's first page turned
// the flag off). On the final OK the application flags are stored and the
// settings given back; the caller makes the job through the job
// operations. Nothing when the user cancelled. otherNames: the names the
// new job may not take. *usedForm tells whether the single form had the
// last word.
std::optional<JobSettings> AskNewJob(QWidget* parent, TAppStore& app,
                                     const std::vector<std::string>& otherNames, StoreTime now,
                                     bool* usedForm = nullptr);

// "(untitled)", or "(untitled) 2", 3, ... when a job has that name already.
std::string UntitledName(const std::vector<std::string>& otherNames);

}  // namespace zk40::dialogs
