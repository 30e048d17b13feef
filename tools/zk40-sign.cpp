// Appends the module trailer to built action modules:  zk40-sign FILE...
#include <cstdio>
#include <string>

#include "modules/ModuleFile.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: zk40-sign MODULE-FILE...\n");
        return 1;
    }
    int rc = 0;
    for (int i = 1; i < argc; ++i) {
        std::string error;
        if (!zk40::SignModuleFile(argv[i], &error)) {
            fprintf(stderr, "ERROR: %s\n", error.c_str());
            rc = 1;
        }
    }
    return rc;
}
