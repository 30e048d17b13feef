// Fills the window's dialog hooks with the dialogs of src/dialogs. Kept apart
// from the window so that its tests can run it with hooks of their own.
#include "ui/DialogWiring.h"

#include <QApplication>

#include "base/Client.h"
#include "dialogs/ActionTypeDialogs.h"
#include "dialogs/ConnectionDialog.h"
#include "dialogs/DialogCommon.h"
#include "dialogs/InfoDialogs.h"
#include "dialogs/JobPropertiesDialog.h"
#include "dialogs/JobWizard.h"
#include "dialogs/SettingsDialogs.h"
#include "store/AppStore.h"
#include "ui/Prompt.h"

namespace zk40::ui {

const TRegKey& TClientActionTypes::Catalogue() const { return client_.ActionsKey(); }

bool TClientActionTypes::ModuleLoaded(const std::string& vendor, const std::string& module) const {
    return client_.Modules().FindModule(vendor, module) != nullptr;
}

bool TClientActionTypes::SelectType(const dialogs::ActionTypeId& type) {
    const auto outcomes =
        client_.Updates().SelectActionTypes({{type.vendor, type.module, type.action}});
    return !outcomes.empty() && outcomes[0] == TUpdateCoordinator::TypeOutcome::Queued;
}

void TClientActionTypes::UnselectType(const dialogs::ActionTypeId& type) {
    client_.Updates().UnselectActionTypes({{type.vendor, type.module, type.action}});
}

void InstallDialogs(DialogHooks& hooks) {
    using namespace zk40::dialogs;
    // The dialogs' own notices go through the window's prompt, which tests
    // can answer.
    SetMessageHook([](const QString& text) {
        Prompt::Message(QApplication::activeWindow(), QStringLiteral("Zarkell'40"), text,
                        QMessageBox::Information);
    });
    hooks.newJob = [](QWidget* parent, TZarkellClient& client, bool* usedForm) {
        // The dialog reads the wizard flag itself: its first page can turn
        // it off and go on with the form.
        return AskNewJob(parent, client.App(), jobops::OtherNames(client.AllJobs(), nullptr),
                         client.Clock().Now(), usedForm);
    };
    hooks.jobProperties = [](QWidget* parent, TZarkellClient& client, const JobSettings& current) {
        return AskJobProperties(parent, current, client.Clock().Now());
    };
    hooks.chooseActionType = [](QWidget* parent, TZarkellClient& client, ActionIdentity* chosen) {
        TClientActionTypes types(client);
        std::optional<ActionTypeId> type = SelectActionType(parent, types);
        if (!type) return false;
        chosen->vendor = type->vendor;
        chosen->module = type->module;
        chosen->action = type->action;
        return true;
    };
    hooks.loadActionTypes = [](QWidget* parent, TZarkellClient& client) {
        TClientActionTypes types(client);
        LoadActionTypes(parent, types);
    };
    hooks.appProperties = [](QWidget* parent, TZarkellClient& client) {
        return EditAppProperties(parent, client.App());
    };
    hooks.debugProperties = [](QWidget* parent, TZarkellClient& client) {
        EditDebugSettings(parent, client.App().base, client.Clock());
    };
    hooks.connection = [](QWidget* parent, TZarkellClient& client) {
        ConnectionSettings settings = ReadConnectionSettings(client.App().base);
        if (!ChooseConnection(parent, settings)) return false;
        StoreConnectionSettings(client.App().base, settings);
        return true;
    };
    hooks.releaseNotes = [](QWidget* parent, TZarkellClient& client) {
        ShowReleaseNotes(parent, TRegKey(client.App().product, "config"));
    };
    hooks.about = [](QWidget* parent, TZarkellClient&) { ShowAbout(parent); };
    hooks.firstConnection = [](QWidget* parent, ConnectionSettings& settings) {
        return ChooseConnection(parent, settings);
    };
}

}  // namespace zk40::ui
