#pragma once
// The dialogs the window's commands open. The window calls them through
// these hooks; src/dialogs fills them in (see WindowShape), and
// tests may put their own in. A hook left empty makes its command say that
// the dialog is not part of this build.
#include <functional>
#include <optional>
#include <string>

#include "jobs/Action.h"
#include "jobs/JobSettings.h"

class QWidget;

namespace zk40 {
class TZarkellClient;
class TAppStore;
class TJob;
struct ConnectionSettings;
}  // namespace zk40

namespace zk40::ui {

struct DialogHooks {
    // New Job: the settings of a job to make; nothing on Cancel. *usedForm
    // tells whether the single form was used in the end (the window then
    // starts renaming the new job). The window makes the job.
    std::function<std::optional<JobSettings>(QWidget*, TZarkellClient&, bool* usedForm)> newJob;
    // Properties of an existing job: the edited settings on OK, which the
    // window applies; nothing on Cancel.
    std::function<std::optional<JobSettings>(QWidget*, TZarkellClient&, const JobSettings& current)>
        jobProperties;
    // The action type to insert; true with *chosen filled on OK.
    std::function<bool(QWidget*, TZarkellClient&, ActionIdentity* chosen)> chooseActionType;
    // Load Action Types, Application Properties, Debug Properties, the
    // connection choice, Release Notes, About.
    std::function<void(QWidget*, TZarkellClient&)> loadActionTypes;
    std::function<bool(QWidget*, TZarkellClient&)> appProperties;
    std::function<void(QWidget*, TZarkellClient&)> debugProperties;
    std::function<bool(QWidget*, TZarkellClient&)> connection;
    std::function<void(QWidget*, TZarkellClient&)> releaseNotes;
    std::function<void(QWidget*, TZarkellClient&)> about;
    // The first windowed start's question how the machine reaches the
    // Internet; true on OK with the answer in the settings. Empty: the
    // first start settles on no connection, as headless.
    std::function<bool(QWidget*, ConnectionSettings&)> firstConnection;
};

}  // namespace zk40::ui
