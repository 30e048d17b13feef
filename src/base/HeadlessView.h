#pragma once
// The view of the program without a window: every status text becomes one
// readable line on standard error (which systemd puts into the journal).
#include "base/ProgramView.h"

namespace zk40 {

class THeadlessView final : public IProgramView {
public:
    void ShowStatus(const std::string& text) override;
    void StartupError(const std::string& text) override;
    void QueueBranchAdd(const std::string& text) override;
    void ConnectionState(const std::string& text) override;
    void ActionChanged(uint32_t handle, ActionField field) override;
};

}  // namespace zk40
