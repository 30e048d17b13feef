#pragma once
#include <string>

#include "base/ProgramView.h"
#include "store/AppPaths.h"

namespace zk40 {

class TAppStore;
class TService;
class TInstanceLock;

struct AppContext {
    AppPaths paths;
    TAppStore* app = nullptr;
    TService* service = nullptr;  // set while running as a service or under /debug
    int argc = 0;
    char** argv = nullptr;
    // The single-instance lock, tried once at entry.
    TInstanceLock* lock = nullptr;
    int claim = 0;  // TInstanceLock::Claim
    std::string claimError;
    ProgramShapeFactory shape;
};

// The running instance from claim to exit, or the hand-over of a second
// instance. Returns the event loop's result; for a hand-over 0 when the
// running instance carried it out, 1 when it refused or did not answer.
int RunApplication(AppContext& ctx);

// The entry routine: the random start delay, the service switches, then
// RunApplication. Returns its result, 1 when the program cannot start or a
// service switch failed, or 2 for a usage error (an unknown switch).
int ZarkellMain(int argc, char** argv, const ProgramShapeFactory& shape);

}  // namespace zk40
