#pragma once
// The one entry of the Run Program settings dialog library. The module
// loads that library only when the user asks for the settings, so a host
// without windows never maps the widget libraries.
#include "zk40/module.h"

#ifdef __cplusplus
extern "C" {
#endif

// Shows the settings of the action behind handle, reading and writing them
// through the host's property requests. 1 when the user pressed OK (and
// the settings were stored), 0 for Cancel or when no window can be shown.
typedef int (*ZKRunProgramSettingsFn)(const ZKHostFunctions* host, ZKHwnd hwnd,
                                      ZKActionHandle handle);
#define ZK_RUNPROGRAM_SETTINGS_ENTRY "ZKRunProgramSettings"
#define ZK_RUNPROGRAM_DIALOG_FILE "zk40_runprogram_dialog.so"
#ifndef ZK_RUNPROGRAM_DIALOG_SUBDIR
#define ZK_RUNPROGRAM_DIALOG_SUBDIR "lib/zarkell40/dialogs"
#endif

#ifdef __cplusplus
}
#endif
