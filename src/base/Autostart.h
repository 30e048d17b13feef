#pragma once
// Starting the program at login: an XDG autostart entry,
// $XDG_CONFIG_HOME/autostart/zarkell40.desktop (default ~/.config/...),
// that desktop sessions read when the user logs in. The application
// properties offer it as a check box.
#include <string>

namespace zk40 {

std::string AutostartFilePath();
// True when our entry is there and the session would start it (the user may
// have switched it off in the desktop's own settings with Hidden=true).
bool AutostartEnabled();
// Writes the entry, starting exePath, or removes it. Removing an entry that
// is not there is fine. False with a reason on failure.
bool SetAutostart(bool enable, const std::string& exePath, std::string* error);
// The text of the entry for exePath.
std::string AutostartEntry(const std::string& exePath);

}  // namespace zk40
