#include "base/Autostart.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "store/AppPaths.h"
#include "support/AtomicFile.h"

namespace zk40 {

namespace {
std::string ConfigHome() {
    const char* c = std::getenv("XDG_CONFIG_HOME");
    if (c && *c == '/') return c;
    const char* h = std::getenv("HOME");
    if (h && *h == '/') return std::string(h) + "/.config";
    if (passwd* pw = getpwuid(geteuid()); pw && pw->pw_dir && *pw->pw_dir == '/')
        return std::string(pw->pw_dir) + "/.config";
    return {};
}

// The Exec key's quoting: a path with characters the launcher treats
// specially goes in double quotes with ", `, $ and \ escaped; % is always
// doubled; and the whole value then escapes its backslashes once more.
std::string ExecValue(const std::string& path) {
    bool plain = !path.empty();
    for (char c : path)
        plain &= (isalnum(static_cast<unsigned char>(c)) || strchr("/._+-,", c)) && c != 0;
    std::string arg;
    if (plain) {
        arg = path;
    } else {
        arg = "\"";
        for (char c : path) {
            if (c == '"' || c == '`' || c == '$' || c == '\\') arg += '\\';
            arg += c;
        }
        arg += '"';
    }
    std::string out;
    for (char c : arg) {
        if (c == '%') out += '%';
        if (c == '\\') out += '\\';
        out += c;
    }
    return out;
}
}  // namespace

std::string AutostartFilePath() {
    std::string config = ConfigHome();
    return config.empty() ? std::string() : config + "/autostart/zarkell40.desktop";
}

std::string AutostartEntry(const std::string& exePath) {
    std::string t;
    t += "[Desktop Entry]\n";
    t += "Type=Application\n";
    t += "Name=Zarkell'40\n";
    t += "Comment=Run programs and other actions on a schedule\n";
    t += "Exec=" + ExecValue(exePath) + "\n";
    t += "Icon=zarkell40\n";
    t += "Terminal=false\n";
    t += "X-GNOME-Autostart-enabled=true\n";
    return t;
}

bool AutostartEnabled() {
    std::ifstream in(AutostartFilePath());
    if (!in) return false;
    std::string line;
    while (std::getline(in, line)) {
        if (line == "Hidden=true" || line == "X-GNOME-Autostart-enabled=false") return false;
    }
    return true;
}

bool SetAutostart(bool enable, const std::string& exePath, std::string* error) {
    const std::string path = AutostartFilePath();
    if (path.empty()) {
        *error = "no configuration folder is known (set HOME or XDG_CONFIG_HOME)";
        return false;
    }
    if (!enable) {
        if (unlink(path.c_str()) == 0 || errno == ENOENT) return true;
        *error = "cannot remove " + path + ": " + strerror(errno);
        return false;
    }
    const std::string dir = path.substr(0, path.rfind('/'));
    if (!MakeDirs(dir, 0755)) {
        *error = "cannot make the folder " + dir + ": " + strerror(errno);
        return false;
    }
    return ReplaceFileAtomically(path, AutostartEntry(exePath), 0644, error);
}

}  // namespace zk40
