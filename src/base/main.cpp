// The program's entry. It links no Qt Gui or Widgets: a headless program
// (the service, a machine without a display) never maps them. When it shows
// a window it loads the window object, which brings them in.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/Application.h"
#include "base/WindowEntry.h"
#include "store/AppPaths.h"

namespace {

// True when a window can be shown: a display is set, or a Qt platform is
// chosen explicitly, and ZK40_HEADLESS is not set.
bool DisplayAvailable() {
    auto set = [](const char* name) {
        const char* v = std::getenv(name);
        return v && *v;
    };
    if (set("ZK40_HEADLESS")) return false;
    return set("DISPLAY") || set("WAYLAND_DISPLAY") || set("QT_QPA_PLATFORM");
}

// Installed: <prefix>/<libdir>/zarkell40/window beside <prefix>/bin, a
// private folder the package needs no ldconfig for. Built: beside the
// executable.
std::vector<std::string> WindowObjectCandidates() {
    std::string exe = zk40::ExecutablePath();
    std::string bin = exe.substr(0, exe.rfind('/'));
    return {bin + "/" ZK40_WINDOW_FROM_BIN "/" + zk40::kWindowObjectFile,
            bin + "/" + zk40::kWindowObjectFile};
}

// Loads the window object once; null, with the reason in `why`, when it
// cannot. It is never unloaded: Qt keeps the classes it registered.
zk40::WindowShapeEntry LoadWindowEntry(std::string& why) {
    std::vector<std::string> tried;
    for (const std::string& path : WindowObjectCandidates()) {
        if (access(path.c_str(), F_OK) != 0) {
            tried.push_back(path);
            continue;
        }
        void* object = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!object) {
            // The loader's text names the file only when the file itself
            // is at fault, not a library it needs.
            std::string err = dlerror() ?: "unknown error";
            if (err.rfind(path + ": ", 0) == 0) err.erase(0, path.size() + 2);
            why = "cannot load " + path + ": " + err;
            return nullptr;
        }
        if (void* entry = dlsym(object, zk40::kWindowShapeEntryName))
            return reinterpret_cast<zk40::WindowShapeEntry>(entry);
        why = path + " has no " + zk40::kWindowShapeEntryName;
        dlclose(object);
        return nullptr;
    }
    why = "the window library is missing (looked for";
    for (size_t i = 0; i < tried.size(); ++i) why += (i ? " and " : " ") + tried[i];
    why += ")";
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    return zk40::ZarkellMain(argc, argv, [](int& ac, char** av, bool windowAllowed) {
        if (!windowAllowed || !DisplayAvailable()) return zk40::HeadlessShape(ac, av);
        std::string why;
        zk40::WindowShapeEntry entry = LoadWindowEntry(why);
        zk40::TProgramShape shape;
        if (entry)
            entry(ac, av, shape);
        else
            // A start that would show a window and cannot says so and ends
            // (RunApplication ends on an empty shape) rather than run unseen.
            fprintf(stderr,
                    "Zarkell'40: cannot show the window: %s\n"
                    "Set ZK40_HEADLESS=1 to run without a window.\n",
                    why.c_str());
        return shape;
    });
}
