#include "modules/ModuleHost.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "jobs/Job.h"
#include "modules/ModuleFile.h"
#include "store/RegValue.h"

namespace zk40 {

namespace {
bool Readable(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }
}  // namespace

bool ReplaceFile(const std::string& src, const std::string& dst, std::string* error) {
    std::string tmp = dst + ".new";
    int in = ::open(src.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        if (error) *error = "cannot read " + src + ": " + strerror(errno);
        return false;
    }
    int out = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0700);
    if (out < 0) {
        if (error) *error = "cannot write " + tmp + ": " + strerror(errno);
        ::close(in);
        return false;
    }
    char buf[65536];
    bool ok = true;
    for (;;) {
        ssize_t n = ::read(in, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false;
        if (n <= 0) break;
        if (::write(out, buf, static_cast<size_t>(n)) != n) {
            ok = false;
            break;
        }
    }
    if (ok && fsync(out) != 0) ok = false;
    std::string why = strerror(errno);
    ::close(in);
    ::close(out);
    if (!ok || rename(tmp.c_str(), dst.c_str()) != 0) {
        if (error) *error = "cannot replace " + dst + ": " + (ok ? strerror(errno) : why);
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

TModuleHost::TModuleHost(IModuleHostOwner& owner, const ZKHostFunctions* host,
                         const TRegKey& actionsKey, std::string actionPath)
    : owner_(owner), host_(host), actionsKey_(actionsKey), actionPath_(std::move(actionPath)) {
    if (!actionPath_.empty() && actionPath_.back() != '/') actionPath_ += '/';
}

TModuleHost::~TModuleHost() { Clear(); }

void TModuleHost::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    modules_.clear();
    ids_.clear();
}

size_t TModuleHost::ModuleCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return modules_.size();
}

std::vector<std::shared_ptr<TActionTypeModule>> TModuleHost::Modules() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return modules_;
}

std::shared_ptr<TActionTypeModule> TModuleHost::FindModule(const std::string& vendor,
                                                           const std::string& module) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t i = 0; i < modules_.size(); ++i)
        if (ids_[i].first == vendor && ids_[i].second == module) return modules_[i];
    return nullptr;
}

bool TModuleHost::IsActionTypePresent(const std::string& vendor, const std::string& module,
                                      const std::string& action) const {
    auto m = FindModule(vendor, module);
    if (!m || !m->IsLoaded()) return false;
    TRegKey a(actionsKey_, vendor + "\\" + module + "\\" + action, false);
    return a.GetDword("LOADED", 0) == 1;
}

std::string TModuleHost::FreshFileName() const {
    char name[32];
    for (int tries = 0; tries < 100000; ++tries) {
        snprintf(name, sizeof name, "ZKA%05X.dll", static_cast<unsigned>(rand() % 0x7FFFF));
        if (!Readable(actionPath_ + name)) break;
    }
    return name;
}

int16_t TModuleHost::DrawModuleId() const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (;;) {
        int16_t id = static_cast<int16_t>(rand() % 0xFFFF);
        bool used = false;
        for (const auto& m : modules_) used |= m->ModuleId() == id;
        if (!used) return id;
    }
}

void TModuleHost::WalkActions(const std::string& vendor, const std::string& module,
                              const std::string& action, bool enable) {
    auto m = FindModule(vendor, module);
    bool loaded = m && m->IsLoaded();
    for (TJob* job : owner_.AllJobs()) {
        for (size_t pos = 0;; ++pos) {
            TAction* act;
            uint32_t handle;
            {
                // The identity as the action holds it; reading it back from
                // the store for every action of every job made loading a
                // module cost seconds with many jobs.
                TSync::TLock jobLock(*job);
                act = job->ActionAt(pos);
                if (!act) break;
                TSync::TLock lock(*act);
                if (act->ActionID.Get() != action || act->ModuleID.Get() != module ||
                    act->VendorID.Get() != vendor)
                    continue;
                handle = act->Handle();
            }
            if (loaded) {
                if (enable)
                    m->InitAction(owner_.Hwnd(), action, handle);
                else
                    m->DeinitAction(owner_.Hwnd(), action, handle);
            }
            owner_.ActionTypeShown(*act, enable);
        }
    }
}

void TModuleHost::EnableActionType(const std::string& vendor, const std::string& module,
                                   const std::string& action) {
    WalkActions(vendor, module, action, true);
}

void TModuleHost::DisableActionType(const std::string& vendor, const std::string& module,
                                    const std::string& action) {
    WalkActions(vendor, module, action, false);
}

void TModuleHost::UnloadActionType(const std::string& vendor, const std::string& module,
                                   const std::string& action) {
    DisableActionType(vendor, module, action);
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t i = 0; i < modules_.size(); ++i) {
        if (ids_[i].first == vendor && ids_[i].second == module) {
            // A job thread still inside the module holds its own reference;
            // the library goes when the last holder lets go.
            modules_[i]->Unload();
            modules_.erase(modules_.begin() + static_cast<long>(i));
            ids_.erase(ids_.begin() + static_cast<long>(i));
            return;
        }
    }
}

void TModuleHost::RecordModuleData(TActionTypeModule& m, const std::string& vendor,
                                   const std::string& module, const std::string& action) {
    TRegKey mk(actionsKey_, vendor + "\\" + module);
    TRegKey ak(mk, action);
    mk.SetDword("VERSION", m.Version());
    mk.SetString("DATA", m.LoadString(ZK_STR_DATA, 80));
    std::string data;
    m.GetActionData(action, &data);
    ak.SetString("DATA", data);
}

std::string TModuleHost::WhyNotLoaded(const std::string& vendor, const std::string& module) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = notLoaded_.find({vendor, module});
    return it == notLoaded_.end() ? std::string() : it->second;
}

bool TModuleHost::Refuse(const std::string& vendor, const std::string& module,
                         const std::string& why) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        notLoaded_[{vendor, module}] = why;
    }
    owner_.ShowStatus("System Initialization:  Module " + Quoted(vendor + ":" + module) +
                      " not loaded: " + why);
    return false;
}

std::string TModuleHost::IdentityMismatch(TActionTypeModule& m, const std::string& vendor,
                                          const std::string& module) {
    // The module's own strings decide what it is; the catalogue key only
    // says what we expect. A file that names another vendor's module must
    // not run that vendor's actions.
    std::string v = m.VendorId(), mod = m.ModuleIdText();
    if (v == vendor && mod == module) return {};
    return "the file " + m.Path() + " is the module " + Quoted(v + ":" + mod) + ", not " +
           Quoted(vendor + ":" + module);
}

void TModuleHost::RemoveModule(const std::string& vendor, const std::string& module) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t i = 0; i < modules_.size(); ++i) {
        if (ids_[i].first == vendor && ids_[i].second == module) {
            modules_[i]->Unload();
            modules_.erase(modules_.begin() + static_cast<long>(i));
            ids_.erase(ids_.begin() + static_cast<long>(i));
            return;
        }
    }
}

bool TModuleHost::InstallOrLoad(const std::string& path, const std::string& vendor,
                                const std::string& module, const std::string& action,
                                bool* restartNeeded) {
    if (restartNeeded) *restartNeeded = false;
    TRegKey mk(actionsKey_, vendor + "\\" + module);
    TRegKey ak(mk, action);
    TRegString tempFile(mk, "TEMPFILE", "");
    if (path != tempFile.Get()) {
        tempFile = "";
        std::shared_ptr<TActionTypeModule> m = FindModule(vendor, module);
        if (!m) {
            if (CheckModuleFile(path) != ModuleFileCheck::Passes) {
                return Refuse(vendor, module,
                              "the file " + path + " is missing or fails its trailer check");
            }
            m = std::make_shared<TActionTypeModule>(host_, DrawModuleId(), path, true);
            if (!m->IsLoaded()) {
                std::string why = m->LoadError();
                m.reset();
                DisableActionType(vendor, module, action);
                return Refuse(vendor, module, why.empty() ? "the library did not load" : why);
            }
            if (std::string why = IdentityMismatch(*m, vendor, module); !why.empty()) {
                m.reset();
                DisableActionType(vendor, module, action);
                return Refuse(vendor, module, why);
            }
            {
                std::lock_guard<std::mutex> lock(mutex_);
                modules_.push_back(m);
                ids_.emplace_back(vendor, module);
                notLoaded_.erase({vendor, module});
            }
            RecordModuleData(*m, vendor, module, action);
        }
        if (m->EnableAction(action)) {
            EnableActionType(vendor, module, action);
            return true;
        }
        DisableActionType(vendor, module, action);
        return false;
    }

    // A downloaded replacement. Jobs are let finish before the old library
    // is let go: an action that began in it ends in it, and no later action
    // of a running job finds its module missing half-way through the job.
    DisableActionType(vendor, module, action);
    if (CheckModuleFile(path) != ModuleFileCheck::Passes) return false;
    TRegString fileName(mk, "FILENAME", FreshFileName());
    if (!IsPlainFileName(fileName.Get())) {
        owner_.ShowStatus("SysUpd:  Module " + Quoted(vendor + ":" + module) +
                          " not installed: its FILENAME " + Quoted(fileName.Get()) +
                          " is not a plain file name");
        return false;
    }
    std::shared_ptr<TActionTypeModule> m = FindModule(vendor, module);
    bool stuck = false;
    if (m) {
        owner_.SetUpdating(true);
        bool waited = owner_.WaitServing(
            [this] { return !owner_.AnyJobRunning() || owner_.StopRequested(); }, -1);
        if (!waited || owner_.StopRequested()) {
            // The program is stopping: the old module keeps its file, and the
            // download (with TEMPFILE) stays for the next start.
            owner_.SetUpdating(false);
            owner_.ShowStatus("SysUpd:  Replacement of module " + Quoted(vendor + ":" + module) +
                              " abandoned: the program is stopping");
            return false;
        }
        m->Hold();
        stuck = m->IsLoaded();
    }
    std::string error;
    if (!ReplaceFile(path, actionPath_ + fileName.Get(), &error)) {
        owner_.ShowStatus("SysUpd:  " + error);
        if (m) {
            // The old file is still in place: let it serve again.
            m->Release();
            owner_.SetUpdating(false);
        }
        return false;
    }
    unlink(path.c_str());
    tempFile = "";
    if (m) {
        m->Release();
        // Read from whatever now runs: the new library, or the old one when
        // it stayed in memory, so VERSION always names the code in use.
        RecordModuleData(*m, vendor, module, action);
        owner_.SetUpdating(false);
        if (stuck) {
            owner_.ShowStatus("SysUpd:  Module " + Quoted(vendor + ":" + module) +
                              " could not be unloaded; its new file is installed, but version " +
                              std::to_string(m->Version()) +
                              " keeps running until Zarkell'40 is restarted");
            if (restartNeeded) *restartNeeded = true;
        } else if (std::string why = IdentityMismatch(*m, vendor, module); !why.empty()) {
            DisableActionType(vendor, module, action);
            RemoveModule(vendor, module);
            return Refuse(vendor, module, why);
        }
        if (!m->EnableAction(action)) {
            DisableActionType(vendor, module, action);
            return false;
        }
    }
    EnableActionType(vendor, module, action);
    return true;
}

void TModuleHost::LoadActionModules() {
    owner_.ShowStatus("System Initialization:  Loading Action Modules");
    // Subkeys are counted once when each key is opened, as the loops below
    // may delete values but never keys.
    uint32_t vendors = actionsKey_.CurrentSubKeyCount();
    for (uint16_t vi = 0; vi < vendors; ++vi) {
        std::string vendor;
        if (actionsKey_.EnumSubKey(vi, &vendor, 1024) != kRegOk) continue;
        owner_.ShowStatus("System Initialization:  Loading Vendor " + Quoted(vendor));
        TRegKey vk(actionsKey_, vendor);
        uint32_t modules = vk.SubKeyCount();
        for (uint16_t mi = 0; mi < modules; ++mi) {
            std::string module;
            if (vk.EnumSubKey(mi, &module, 1024) != kRegOk) continue;
            owner_.ShowStatus("System Initialization:  Loading Module " +
                              Quoted(vendor + ":" + module));
            TRegKey mk(vk, module);
            TRegString fileName(mk, "FILENAME", FreshFileName());
            TRegDword version(mk, "VERSION", 0);
            TRegString minBase(mk, "MINBASE", "");
            bool used = false;
            if (kBuildNumber >= strtoul(minBase.Get().c_str(), nullptr, 10)) {
                uint32_t actions = mk.SubKeyCount();
                for (uint16_t ai = 0; ai < actions; ++ai) {
                    std::string action;
                    if (mk.EnumSubKey(ai, &action, 1024) != kRegOk) continue;
                    owner_.ShowStatus("System Initialization:  Loading Action " +
                                      Quoted(vendor + ":" + module + ":" + action));
                    TRegKey ak(mk, action);
                    TRegDword loaded(ak, "LOADED", 0);
                    if (loaded.Get() != 1) continue;
                    if (!IsPlainFileName(fileName.Get())) {
                        Refuse(vendor, module,
                               "its FILENAME " + Quoted(fileName.Get()) +
                                   " is not a plain file name in " + actionPath_);
                        loaded = 0;
                        continue;
                    }
                    std::string path = actionPath_ + fileName.Get();
                    if (!Readable(path) || !InstallOrLoad(path, vendor, module, action)) {
                        loaded = 0;
                        continue;
                    }
                    used = true;
                }
            }
            if (!used) {
                mk.DeleteValue("FILENAME");
                mk.DeleteValue("VERSION");
                mk.DeleteValue("MINBASE");
            }
        }
    }
}

}  // namespace zk40
