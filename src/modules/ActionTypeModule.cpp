#include "modules/ActionTypeModule.h"

#include <dlfcn.h>

#include <cstdlib>
#include <vector>

namespace zk40 {

namespace {
const char* const kEntryNames[] = {"ZKStart",         "ZKEnableAction",  "ZKDisableAction",
                                   "ZKRunAction",     "ZKStopAction",    "ZKPreferences",
                                   "ZKCleanupAction", "ZKGetActionData", "ZKInitAction",
                                   "ZKDeinitAction",  "ZKTrayCallback",  "ZKLoadString"};
}

TActionTypeModule::TActionTypeModule(const ZKHostFunctions* host, int16_t moduleId,
                                     std::string path, bool loadNow)
    : host_(host), moduleId_(moduleId), path_(std::move(path)) {
    if (loadNow) Load();
}

TActionTypeModule::~TActionTypeModule() {
    TLock lock(*this);
    UnloadLocked(false);
    // Nothing can still be inside the module: its owner destroys it only
    // when no job runs it. Close what waited for calls to return.
    for (void* h : closeLater_) dlclose(h);
    closeLater_.clear();
}

bool TActionTypeModule::LoadLocked() {
    if (library_) return true;
    if (held_) return false;
    void* h = dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!h) {
        const char* e = dlerror();
        loadError_ = e ? e : "cannot load " + path_;
        return false;
    }
    library_ = h;
    loadError_.clear();
    if (auto setHost = reinterpret_cast<ZKSetHostFn>(dlsym(h, "ZKSetHost"))) setHost(host_);
    auto start = reinterpret_cast<ZKStartFn>(dlsym(h, "ZKStart"));
    entries_[kStart] = reinterpret_cast<void*>(start);
    // ZKStart runs with our lock held: it is called once, right after
    // loading, before anything else can reach the module.
    if (!start || !start(moduleId_)) {
        loadError_ = start ? "the module refused to start" : "the module has no ZKStart";
        UnloadLocked();
        return false;
    }
    return true;
}

void TActionTypeModule::UnloadLocked(bool keepResident) {
    for (void*& e : entries_) e = nullptr;
    if (!library_) return;
    if (inFlight_ > 0) {
        closeLater_.push_back(library_);
        library_ = nullptr;
        return;
    }
    dlclose(library_);
    library_ = nullptr;
    if (!keepResident) return;
    // Whether the code really went: a new file at the same path would
    // otherwise be "loaded" as the old library still mapped under that name.
    // The probe's reference takes the place of the one just closed; the
    // module was started once and is not started again.
    if (void* still = dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD)) library_ = still;
}

bool TActionTypeModule::Load() {
    TLock lock(*this);
    return LoadLocked();
}

bool TActionTypeModule::Unload() {
    TLock lock(*this);
    UnloadLocked();
    return library_ == nullptr;
}

void TActionTypeModule::Hold() {
    TLock lock(*this);
    UnloadLocked();
    held_ = true;
}

void TActionTypeModule::Release() {
    TLock lock(*this);
    held_ = false;
}

bool TActionTypeModule::IsLoaded() const {
    TLock lock(*this);
    return library_ != nullptr;
}

std::string TActionTypeModule::LoadError() const {
    TLock lock(*this);
    return loadError_;
}

void* TActionTypeModule::Enter(Entry e) {
    TLock lock(*this);
    if (!LoadLocked()) return nullptr;
    if (!entries_[e]) entries_[e] = dlsym(library_, kEntryNames[e]);
    if (!entries_[e]) return nullptr;
    ++inFlight_;
    return entries_[e];
}

void TActionTypeModule::Leave() {
    TLock lock(*this);
    if (--inFlight_ == 0) {
        for (void* h : closeLater_) dlclose(h);
        closeLater_.clear();
    }
}

std::string TActionTypeModule::LoadString(uint32_t id, int maxLen) {
    auto fn = reinterpret_cast<ZKLoadStringFn>(Enter(kLoadString));
    if (!fn) return {};
    std::vector<char> buf(static_cast<size_t>(maxLen) + 1, '\0');
    int n = 0;
    try {
        n = fn(id, buf.data(), maxLen + 1);
    } catch (...) {
        n = 0;
    }
    Leave();
    buf[static_cast<size_t>(maxLen)] = '\0';
    if (n <= 0) return {};
    return std::string(buf.data());
}

uint32_t TActionTypeModule::Version() {
    std::string v = LoadString(ZK_STR_VERSION, 10);
    return static_cast<uint32_t>(strtoul(v.c_str(), nullptr, 10));
}

bool TActionTypeModule::CallAction(Entry e, ZKHwnd hwnd, const std::string& action,
                                   ZKActionHandle handle) {
    auto fn = reinterpret_cast<ZKActionFn>(Enter(e));
    if (!fn) return false;
    int r = 0;
    try {
        r = fn(hwnd, action.c_str(), handle);
    } catch (...) {
        r = 0;
    }
    Leave();
    return r != 0;
}

bool TActionTypeModule::EnableAction(const std::string& action) {
    auto fn = reinterpret_cast<ZKEnableActionFn>(Enter(kEnable));
    if (!fn) return false;
    int r = fn(action.c_str());
    Leave();
    return r != 0;
}

bool TActionTypeModule::DisableAction(const std::string& action) {
    auto fn = reinterpret_cast<ZKDisableActionFn>(Enter(kDisable));
    if (!fn) return false;
    int r = fn(action.c_str());
    Leave();
    return r != 0;
}

bool TActionTypeModule::InitAction(ZKHwnd hwnd, const std::string& action, ZKActionHandle handle) {
    return CallAction(kInit, hwnd, action, handle);
}
bool TActionTypeModule::DeinitAction(ZKHwnd hwnd, const std::string& action,
                                     ZKActionHandle handle) {
    return CallAction(kDeinit, hwnd, action, handle);
}
bool TActionTypeModule::RunAction(ZKHwnd hwnd, const std::string& action, ZKActionHandle handle) {
    return CallAction(kRun, hwnd, action, handle);
}
bool TActionTypeModule::StopAction(ZKHwnd hwnd, const std::string& action, ZKActionHandle handle) {
    return CallAction(kStop, hwnd, action, handle);
}
bool TActionTypeModule::Preferences(ZKHwnd hwnd, const std::string& action, ZKActionHandle handle) {
    return CallAction(kPreferences, hwnd, action, handle);
}
bool TActionTypeModule::CleanupAction(ZKHwnd hwnd, const std::string& action,
                                      ZKActionHandle handle) {
    return CallAction(kCleanup, hwnd, action, handle);
}

bool TActionTypeModule::GetActionData(const std::string& action, std::string* data) {
    data->clear();
    auto fn = reinterpret_cast<ZKGetActionDataFn>(Enter(kGetData));
    if (!fn) return false;
    char buf[ZK_ACTION_DATA_SIZE + 1] = {};
    int r = fn(action.c_str(), buf);
    Leave();
    buf[ZK_ACTION_DATA_SIZE - 1] = '\0';
    if (!r) return false;
    *data = buf;
    return true;
}

bool TActionTypeModule::TrayCallback(ZKHwnd hwnd, const std::string& action, ZKActionHandle handle,
                                     uint32_t mouseMessage) {
    auto fn = reinterpret_cast<ZKTrayCallbackFn>(Enter(kTray));
    if (!fn) return false;
    int r = fn(hwnd, action.c_str(), handle, mouseMessage);
    Leave();
    return r != 0;
}

bool ReadModuleIdentity(const std::string& path, ModuleIdentity* out, std::string* error) {
    void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!h) {
        const char* e = dlerror();
        if (error) *error = e ? e : "cannot load " + path;
        return false;
    }
    auto fn = reinterpret_cast<ZKLoadStringFn>(dlsym(h, "ZKLoadString"));
    if (!fn) {
        dlclose(h);
        if (error) *error = path + " has no ZKLoadString, so it cannot say what module it is";
        return false;
    }
    auto text = [fn](uint32_t id, int maxLen) {
        std::vector<char> buf(static_cast<size_t>(maxLen) + 1, '\0');
        int n = 0;
        try {
            n = fn(id, buf.data(), maxLen + 1);
        } catch (...) {
            n = 0;
        }
        buf[static_cast<size_t>(maxLen)] = '\0';
        return n <= 0 ? std::string() : std::string(buf.data());
    };
    out->vendorId = text(ZK_STR_VENDOR_ID, 8);
    out->moduleId = text(ZK_STR_MODULE_ID, 16);
    out->name = text(ZK_STR_MODULE_NAME, 50);
    out->version = static_cast<uint32_t>(strtoul(text(ZK_STR_VERSION, 10).c_str(), nullptr, 10));
    dlclose(h);
    return true;
}

}  // namespace zk40
