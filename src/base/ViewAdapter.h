#pragma once
// The client's view as the host services and the update coordinator see it.
// IClientView is declared in the jobs layer, below both of them, so it cannot
// take their interfaces as bases; this passes their calls on to it instead.
#include <cstdint>
#include <string>

#include "jobs/ClientView.h"
#include "modules/HostServices.h"
#include "update/UpdateCoordinator.h"

namespace zk40 {

class TViewAdapter final : public IHostServicesView, public IUpdateView {
public:
    explicit TViewAdapter(IClientView& view) : view_(view) {}

    void ActionChanged(uint32_t handle, ActionField field) override {
        view_.ActionChanged(handle, field);
    }
    void ChildrenChanged(uint32_t handle) override { view_.ChildrenChanged(handle); }
    void ModulesChanged() override { view_.ModulesChanged(); }
    bool TrayIcon(uint32_t op, const ZKTrayIcon& icon) override { return view_.TrayIcon(op, icon); }

    void QueueBranchAdd(const std::string& text) override { view_.QueueBranchAdd(text); }
    void UpdateProgress(int percent) override { view_.UpdateProgress(percent); }

private:
    IClientView& view_;
};

}  // namespace zk40
