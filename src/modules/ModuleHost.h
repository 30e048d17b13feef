#pragma once
// The loaded action modules and the catalogue under `actions`: loading every
// enabled action type at start, installing or replacing a module file, and
// enabling, disabling or unloading an action type.
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "modules/ActionTypeModule.h"
#include "store/Store.h"
#include "zk40/module.h"

namespace zk40 {

class TJob;
class TAction;

// The program's own build number; a module may demand a lowest one.
inline constexpr uint32_t kBuildNumber = 29;

// Set on an action type (beside LOADED) when it was chosen for loading while
// no instance ran: the next start loads it, or queues its module's download
// when the module is not on disk, as the types dialog would have.
inline constexpr char kLoadPendingValue[] = "LOADPENDING";

// What the module host needs from the client that owns it.
class IModuleHostOwner {
public:
    virtual ~IModuleHostOwner() = default;
    virtual std::vector<TJob*> AllJobs() = 0;
    // True while any job thread has not finished.
    virtual bool AnyJobRunning() = 0;
    // While set, no job and no update starts.
    virtual void SetUpdating(bool on) = 0;
    // Waits on the main thread while still answering modules' messages.
    virtual bool WaitServing(const std::function<bool()>& done, int timeoutMs) = 0;
    // True once the program was asked to stop (a signal, the service
    // manager); a wait for running jobs gives up then.
    virtual bool StopRequested() { return false; }
    virtual void ShowStatus(const std::string& text) = 0;
    virtual ZKHwnd Hwnd() = 0;
    // An action's node should show the enabled or disabled image.
    virtual void ActionTypeShown(TAction& action, bool enabled) {
        (void)action;
        (void)enabled;
    }
};

class TModuleHost {
public:
    TModuleHost(IModuleHostOwner& owner, const ZKHostFunctions* host, const TRegKey& actionsKey,
                std::string actionPath);
    ~TModuleHost();

    const std::string& ActionPath() const { return actionPath_; }
    // How long a replacement waits between checks for running jobs.
    void SetReplacementPollMs(int ms) { pollMs_ = ms; }

    // Start-up: loads every action type whose LOADED is 1.
    void LoadActionModules();
    // Loads an installed file, or installs a downloaded replacement when
    // path is the module's TEMPFILE. True on success. restartNeeded, when
    // given, is set when the new file is in place but the old library could
    // not be unloaded: the old code (whose VERSION is recorded) keeps
    // serving until the program is restarted.
    bool InstallOrLoad(const std::string& path, const std::string& vendor,
                       const std::string& module, const std::string& action,
                       bool* restartNeeded = nullptr);
    void EnableActionType(const std::string& vendor, const std::string& module,
                          const std::string& action);
    void DisableActionType(const std::string& vendor, const std::string& module,
                           const std::string& action);
    void UnloadActionType(const std::string& vendor, const std::string& module,
                          const std::string& action);

    // The module serving vendor and module ids; null when none is loaded.
    // Safe from any thread: the module stays alive while the pointer is held.
    std::shared_ptr<TActionTypeModule> FindModule(const std::string& vendor,
                                                  const std::string& module) const;
    // A module is present for an action when it is loaded and the action
    // type's LOADED is 1.
    bool IsActionTypePresent(const std::string& vendor, const std::string& module,
                             const std::string& action) const;
    // Why the module of vendor and module ids was last refused ("" when it
    // was not): a missing or damaged file, a library that would not load or
    // start, or a file that names itself another vendor's or module's.
    std::string WhyNotLoaded(const std::string& vendor, const std::string& module) const;
    size_t ModuleCount() const;
    std::vector<std::shared_ptr<TActionTypeModule>> Modules() const;
    // Drops every module (at shutdown, after the job threads ended).
    void Clear();

    // "ZKA%05.5X.dll" that names no file in the action folder yet.
    std::string FreshFileName() const;

private:
    int16_t DrawModuleId() const;
    void WalkActions(const std::string& vendor, const std::string& module,
                     const std::string& action, bool enable);
    void RecordModuleData(TActionTypeModule& m, const std::string& vendor,
                          const std::string& module, const std::string& action);
    // Notes and shows why a module is not loaded; always false.
    bool Refuse(const std::string& vendor, const std::string& module, const std::string& why);
    // "" when the loaded library's own vendor and module strings are the
    // catalogue's key, else why not.
    static std::string IdentityMismatch(TActionTypeModule& m, const std::string& vendor,
                                        const std::string& module);
    void RemoveModule(const std::string& vendor, const std::string& module);

    IModuleHostOwner& owner_;
    const ZKHostFunctions* host_;
    const TRegKey& actionsKey_;
    std::string actionPath_;
    int pollMs_ = 1000;
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<TActionTypeModule>> modules_;
    // Vendor and module ids of each module, read when it was added.
    std::vector<std::pair<std::string, std::string>> ids_;
    std::map<std::pair<std::string, std::string>, std::string> notLoaded_;
};

// Copies src over dst through a temporary file and a rename, so a library
// that is still mapped from the old file is never overwritten in place.
bool ReplaceFile(const std::string& src, const std::string& dst, std::string* error);

}  // namespace zk40
