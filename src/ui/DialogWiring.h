#pragma once
#include "ui/DialogHooks.h"

namespace zk40::ui {

// Puts the real dialogs into every hook.
void InstallDialogs(DialogHooks& hooks);

}  // namespace zk40::ui
