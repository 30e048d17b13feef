// Loads an action module file as the program would check it and runs one of
// its actions through the stand-in host:
//   zk40-module-check FILE ACTION [TEXT]
// prints the module's identity strings, the run's result, its status lines
// and child items; exit 0 only when the trailer passes and every entry
// point answered.
#include <cstdio>

#include "ModuleHarness.h"
#include "modules/ModuleFile.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: zk40-module-check FILE ACTION [TEXT]\n");
        return 2;
    }
    if (zk40::CheckModuleFile(argv[1]) != zk40::ModuleFileCheck::Passes) {
        printf("trailer: fails\n");
        return 1;
    }
    printf("trailer: passes\n");
    zk40test::ModuleHarness host(argv[1]);
    if (!host.Loaded()) {
        printf("load: %s\n", host.LoadError().c_str());
        return 1;
    }
    printf("vendor: %s\nmodule: %s\nversion: %s\n", host.LoadString(ZK_STR_VENDOR_ID).c_str(),
           host.LoadString(ZK_STR_MODULE_ID).c_str(), host.LoadString(ZK_STR_VERSION).c_str());
    const ZKActionHandle h = 7;
    if (argc > 3) host.SetText(h, 1, argv[3]);
    int started = host.Start(1), enabled = host.EnableAction(argv[2]);
    int ran = host.RunAction(argv[2], h);
    printf("start: %d\nenable: %d\nrun: %d\n", started, enabled, ran);
    for (const std::string& s : host.Statuses(h)) printf("status: %s\n", s.c_str());
    for (const auto& [n, text] : host.Children(h)) printf("child %u: %s\n", n, text.c_str());
    return started && enabled && ran ? 0 : 1;
}
