#pragma once
// One loaded action module file. Loads on demand, can be held unloaded while
// its file is replaced, and resolves each entry point once. Its lock guards
// only the library handle and the cached entry points and is never held
// while the module runs.
#include <cstdint>
#include <string>
#include <vector>

#include "support/Sync.h"
#include "zk40/module.h"

namespace zk40 {

class TActionTypeModule : public TSync {
public:
    TActionTypeModule(const ZKHostFunctions* host, int16_t moduleId, std::string path,
                      bool loadNow);
    ~TActionTypeModule();
    TActionTypeModule(const TActionTypeModule&) = delete;
    TActionTypeModule& operator=(const TActionTypeModule&) = delete;

    // Loads the file unless held; calls ZKSetHost and ZKStart, and unloads
    // again when ZKStart refuses. True when the library is present.
    bool Load();
    // False when the library could not be let go: glibc keeps a library
    // mapped after dlclose when it holds a unique symbol or was linked not
    // to be deleted. The module then stays loaded with its old code (and is
    // not started again); only a restart of the program replaces it.
    bool Unload();
    void Hold();
    void Release();
    bool IsLoaded() const;
    int16_t ModuleId() const { return moduleId_; }
    const std::string& Path() const { return path_; }
    // Why the last load failed ("" when it did not).
    std::string LoadError() const;

    // A string resource cut to maxLen characters; "" when not loadable.
    std::string LoadString(uint32_t id, int maxLen);
    std::string VendorId() { return LoadString(ZK_STR_VENDOR_ID, 8); }
    std::string ModuleIdText() { return LoadString(ZK_STR_MODULE_ID, 16); }
    uint32_t Version();

    bool EnableAction(const std::string& action);
    bool DisableAction(const std::string& action);
    bool InitAction(ZKHwnd hwnd, const std::string& action, ZKActionHandle handle);
    bool DeinitAction(ZKHwnd hwnd, const std::string& action, ZKActionHandle handle);
    bool RunAction(ZKHwnd hwnd, const std::string& action, ZKActionHandle handle);
    bool StopAction(ZKHwnd hwnd, const std::string& action, ZKActionHandle handle);
    bool Preferences(ZKHwnd hwnd, const std::string& action, ZKActionHandle handle);
    bool CleanupAction(ZKHwnd hwnd, const std::string& action, ZKActionHandle handle);
    // False (and an empty text) when the module cannot say.
    bool GetActionData(const std::string& action, std::string* data);
    bool TrayCallback(ZKHwnd hwnd, const std::string& action, ZKActionHandle handle,
                      uint32_t mouseMessage);


private:
    enum Entry {
        kStart,
        kEnable,
        kDisable,
        kRun,
        kStop,
        kPreferences,
        kCleanup,
        kGetData,
        kInit,
        kDeinit,
        kTray,
        kLoadString,
        kEntryCount
    };
    // Resolves an entry (loading on demand) and counts the call in flight;
    // null when the module or the entry is missing.
    void* Enter(Entry e);
    void Leave();
    bool LoadLocked();
    // keepResident: when the library survives dlclose, keep it as the
    // loaded one rather than losing track of code still in memory.
    void UnloadLocked(bool keepResident = true);
    bool CallAction(Entry e, ZKHwnd hwnd, const std::string& action, ZKActionHandle handle);

    const ZKHostFunctions* host_;
    int16_t moduleId_;
    std::string path_;
    void* library_ = nullptr;
    bool held_ = false;
    void* entries_[kEntryCount] = {};
    int inFlight_ = 0;
    // Libraries unloaded while calls were still inside them: closed when
    // the last of those calls returns.
    std::vector<void*> closeLater_;
    std::string loadError_;
};

// What a module file says it is, read from its own strings without starting
// it (ZKStart is not called; the library's constructors do run).
struct ModuleIdentity {
    std::string vendorId, moduleId, name;
    uint32_t version = 0;
};
// False with the reason in error when the file does not load as a library
// or has no ZKLoadString.
bool ReadModuleIdentity(const std::string& path, ModuleIdentity* out, std::string* error);

}  // namespace zk40
