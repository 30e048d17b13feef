#include "store/AppStore.h"

namespace zk40 {

TAppStore::TAppStore(const AppPaths& paths) {
    store_ = TStore::Open(paths.storeFile, &openError_);
    Bind(paths);
}

TAppStore::TAppStore(std::unique_ptr<TStore> store) : store_(std::move(store)) {
    Bind(AppPaths::FromEnvironment());
}

void TAppStore::Bind(const AppPaths& paths) {
    TStore* s = store_.get();
    maker = TRegKey(s, kMakerKeyPath);
    product = TRegKey(s, kProductKeyPath);
    base = TRegKey(product, "base");
    jobs = TRegKey(product, "jobs");
    crash = TRegKey(product, "crash");

    Flags.Bind(base, "Flags", 15);
    for (uint16_t i = 0; i < 5; ++i) FlagBits[i].Bind(Flags, i);
    ConnType.Bind(base, "ConnType", 3);
    CrashFlags.Bind(crash, "Flags", 0);
    StartupTime.Bind(crash, "StartupTime", 0);
    ShutdownTime.Bind(crash, "ShutdownTime", 0);
    // The rest of the application values are read where they are used, but
    // a fresh store gets every one with its default now, so what a user
    // finds in the store is the whole set from the first start on.
    for (auto [name, def] : {std::pair{"CommandLine", ""},
                             {"DebugCode", ""},
                             {"LocalUpdate", ""},
                             {"URLADDON", "?CURVER=[CURVER]"},
                             {"DunEntry", ""},
                             {"DunUsername", ""},
                             {"DunPassword", ""},
                             {"UpdateServer", ""}})
        TRegString(base, name, def);
    TRegString(base, "ActionPath", paths.actionsDir);
    TRegString(base, "HelpPath", paths.helpDir);
    for (auto [name, def] : {std::pair{"DebugFlags", 0u},
                             {"NextUpdate", 0u},
                             {"LastBaseUpdate", 1u},
                             {"LastBaseUpdateVer", 0u}})
        TRegDword(base, name, def);
    for (TRegKey* k : {&maker, &product, &base, &jobs, &crash}) k->DropSnapshot();
    LoadFlagBits();
}

void TAppStore::LoadFlagBits() {
    for (int i = 0; i < 5; ++i) bits_[i] = FlagBits[i].Refresh();
}

void TAppStore::SaveFlagBits() {
    uint32_t v = Flags.Get() & ~0x1fu;
    for (int i = 0; i < 5; ++i) v |= static_cast<uint32_t>(bits_[i]) << i;
    Flags = v;
    for (auto& b : FlagBits) b.Refresh();
}

}  // namespace zk40
