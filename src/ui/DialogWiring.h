#pragma once
#include "dialogs/ActionTypeDialogs.h"
#include "ui/DialogHooks.h"

namespace zk40::ui {

// Puts the real dialogs into every hook.
void InstallDialogs(DialogHooks& hooks);

// The action type dialogs' view of a running program: its catalogue, its
// module host, and its update coordinator for loading and unloading.
class TClientActionTypes final : public dialogs::IActionTypeSource {
public:
    explicit TClientActionTypes(TZarkellClient& client) : client_(client) {}
    const TRegKey& Catalogue() const override;
    bool ModuleLoaded(const std::string& vendor, const std::string& module) const override;
    bool SelectType(const dialogs::ActionTypeId& type) override;
    void UnselectType(const dialogs::ActionTypeId& type) override;

private:
    TZarkellClient& client_;
};

}  // namespace zk40::ui
