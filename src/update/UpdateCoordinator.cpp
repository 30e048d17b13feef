#include "update/UpdateCoordinator.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "modules/ModuleFile.h"
#include "modules/ModuleHost.h"
#include "store/RegValue.h"
#include "store/Trace.h"
#include "update/ConfigParser.h"
#include "update/ModuleInstall.h"

namespace zk40 {

namespace {

// Made once and kept: the update server counts installations by it.
std::string InstallId(const TRegKey& base) {
    TRegString id(base, "InstallID", "");
    if (id.Get().empty()) {
        char buf[40];
        snprintf(buf, sizeof buf, "%08X%08X", static_cast<unsigned>(rand()) ^ getpid(),
                 static_cast<unsigned>(rand()));
        id = buf;
    }
    return id.Get();
}

}  // namespace

TUpdateCoordinator::TUpdateCoordinator(const TRegKey& base, const TRegKey& product,
                                       const TRegKey& actionsKey, TModuleHost& modules,
                                       IUpdateView& view, const IClock& clock, IUpdateOwner& owner)
    : base_(base),
      product_(product),
      actionsKey_(actionsKey),
      modules_(modules),
      view_(view),
      clock_(clock),
      owner_(owner) {}

TUpdateCoordinator::~TUpdateCoordinator() = default;

void TUpdateCoordinator::QueueCrashReport(StoreTime now) {
    std::string url = ConfigurationUrl(TRegString(base_, "UpdateServer", "").Get(),
                                       TRegString(base_, "URLADDON", "?CURVER=[CURVER]").Get());
    if (url.empty()) {
        owner_.Status("SysUpd:  No crash report sent: no update server is set.");
        return;
    }
    CivilTime c = ToCivil(now);
    char when[64];
    snprintf(when, sizeof when, "&TIME=%02d/%02d/%04d-%02d:%02d", c.month, c.day, c.year, c.hour,
             c.minute);
    QueueRequest(TQueueURL::MakeCrashReport(url + "&CRASH=" + InstallId(base_) + when));
}

void TUpdateCoordinator::QueueRequest(TQueueURL request) {
    view_.QueueBranchAdd(request.Text);
    if (worker_)
        worker_->Enqueue(std::move(request));
    else
        pending_.push_back(std::move(request));
}

TUpdateThread& TUpdateCoordinator::EnsureWorker(bool* created) {
    *created = !worker_;
    if (!worker_)
        worker_ = std::make_unique<TUpdateThread>(owner_, product_, settings_);
    return *worker_;
}

void TUpdateCoordinator::StartWorkerWithPending() {
    bool created;
    TUpdateThread& w = EnsureWorker(&created);
    for (TQueueURL& q : pending_) w.Enqueue(std::move(q));
    pending_.clear();
    if (created) {
        w.Start();
        w.SetPriorityLevel(-1);
    }
}

void TUpdateCoordinator::StartUpdate(const std::string& source) {
    bool created;
    TUpdateThread& w = EnsureWorker(&created);
    // Provisional: the configuration run sets the real date.
    base_.SetDword("NextUpdate", clock_.Now() + 3600);
    w.SetLocalSource(source);
    if (created) {
        w.Start();
        w.SetPriorityLevel(-1);
    }
}

void TUpdateCoordinator::ReapWorker() {
    if (!worker_ || worker_->CurrentStatus() == TThread::Running) return;
    worker_->StopAndWait(-1);
    // A request queued while the worker was finishing waits for the next.
    for (TQueueURL& q : worker_->TakeQueued()) pending_.push_back(std::move(q));
    worker_.reset();
    // The run that just ended may have installed the shipped modules.
    if (awaitShipped_) CheckShippedInstalled();
    if (selectShipped_) SelectShippedModules();
}

void TUpdateCoordinator::Timing(StoreTime now) {
    TRegString localUpdate(base_, "LocalUpdate", "");
    TRegTime nextUpdate(base_, "NextUpdate", 0);
    uint32_t connType = base_.GetDword("ConnType", 3);
    if (!localUpdate.Get().empty()) {
        nextUpdate = 0;
        StartUpdate(localUpdate.Get());
        localUpdate = "";
    } else if (connType != 0 && nextUpdate.Get() != 0 && now >= nextUpdate.Get()) {
        if (connection_.UpdatesAllowed()) {
            nextUpdate = 0;
            StartUpdate("");
        } else {
            nextUpdate = now + 30;
            owner_.Status("SysUpd:  Connection Not Available, Delaying...");
            view_.UpdateProgress(0);
        }
    } else if (!pending_.empty() && (connType == 0 || connection_.UpdatesAllowed())) {
        StartWorkerWithPending();
    }
}

bool TUpdateCoordinator::NeedsPassNow(StoreTime* due) const {
    if (!base_.GetString("LocalUpdate").empty()) return true;
    uint32_t connType = base_.GetDword("ConnType", 3);
    if (connType != 0) {
        StoreTime next = base_.GetDword("NextUpdate", 0);
        if (next != 0 && next < *due) *due = next;
        // Without link notifications the dial-up state is only known by
        // looking, pass by pass.
        if (connType == kConnDialUp && !connection_.Watching()) return true;
    }
    return !pending_.empty() && (connType == 0 || connection_.UpdatesAllowed());
}

bool TUpdateCoordinator::Stop(const std::function<bool(const std::function<bool()>&, int)>& wait,
                              int ms) {
    bool stuck = false;
    if (worker_) {
        worker_->RequestTermination();
        wait([this] { return worker_->CurrentStatus() != TThread::Running; }, ms);
        if (worker_->CurrentStatus() != TThread::Running)
            worker_.reset();
        else
            stuck = true;
    }
    // A stop right after the shipped modules were installed, before a tick
    // reaped the worker, still counts them as done.
    if (awaitShipped_ && !stuck) CheckShippedInstalled();
    return !stuck;
}

void TUpdateCoordinator::ForceUpdate() {
    base_.SetDword("LastBaseUpdate", 1);
    base_.SetDword("LastBaseUpdateVer", 0);
    StoreTime now = clock_.Now();
    base_.SetDword("NextUpdate", now);
    owner_.Status("SysUpd:  Next Update = " + FormatStoreTime(now));
    view_.UpdateProgress(0);
}

void TUpdateCoordinator::ResolveShippedUrls(
    const std::vector<ActionType>& types) {
    // The shipped configuration names its archives relative to its own
    // folder, which is known only here, at run time.
    for (const auto& [v, m, a] : types) {
        TRegKey mk(actionsKey_, v + "\\" + m);
        std::string url = mk.GetString("URL");
        if (!url.empty() && url.find("://") == std::string::npos && url[0] != '/')
            mk.SetString("URL", "file://" + shippedDir_ + "/" + url);
    }
}

namespace {
std::vector<TUpdateCoordinator::ActionType> ActionTypesIn(const std::string& path) {
    std::vector<TUpdateCoordinator::ActionType> out;
    for (ConfigContext& c : FindActionTypes(path))
        out.emplace_back(std::move(c.vendor), std::move(c.module), std::move(c.action));
    return out;
}
}  // namespace

void TUpdateCoordinator::PrepareShippedModules() {
    // The catalogue is read from the configuration that comes with the
    // program, through the ordinary local update, and its action types are
    // then loaded as a user would load them. ShippedModules is set only
    // once they are installed: a first start that ends before (killed,
    // stopped, a damaged archive) is repeated by the next.
    if (shippedDir_.empty()) return;
    TRegDword done(base_, "ShippedModules", 0);
    std::vector<ActionType> types =
        ActionTypesIn(shippedDir_ + "/update.cfg");
    if (done.Get()) {
        // A shipped type still selected whose file has gone is installed
        // again from the shipped archive, before the start-up load gives
        // it up. Types the user unloaded stay unloaded.
        std::vector<ActionType> missing;
        for (const auto& [v, m, a] : types) {
            TRegKey mk(actionsKey_, v + "\\" + m, false);
            if (TRegKey(mk, a, false).GetDword("LOADED", 0) != 1) continue;
            std::string fileName = mk.GetString("FILENAME");
            if (!IsPlainFileName(fileName) ||
                access((modules_.ActionPath() + fileName).c_str(), R_OK) != 0)
                missing.emplace_back(v, m, a);
        }
        if (missing.empty()) return;
        types = std::move(missing);
        done = 0;
    }
    shippedTypes_ = std::move(types);
    base_.SetString("LocalUpdate", "file://" + shippedDir_ + "/update.cfg");
    selectShipped_ = true;
}

void TUpdateCoordinator::SelectShippedModules() {
    selectShipped_ = false;
    // The local update just wrote the shipped entries, archives named
    // relative to the shipped folder.
    ResolveShippedUrls(ActionTypesIn(shippedDir_ + "/update.cfg"));
    SelectActionTypes(shippedTypes_);
    awaitShipped_ = true;
    CheckShippedInstalled();
}

void TUpdateCoordinator::CheckShippedInstalled() {
    for (const auto& [v, m, a] : shippedTypes_)
        if (!modules_.IsActionTypePresent(v, m, a)) return;
    awaitShipped_ = false;
    base_.SetDword("ShippedModules", 1);
}

std::vector<TUpdateCoordinator::TypeOutcome> TUpdateCoordinator::SelectActionTypes(
    const std::vector<ActionType>& types) {
    std::vector<TypeOutcome> outcomes;
    for (const auto& [v, m, a] : types) {
        TRegKey mk(actionsKey_, v + "\\" + m);
        TRegKey ak(mk, a);
        ak.SetDword("LOADED", 1);
        TRegString fileName(mk, "FILENAME", "");
        if (fileName.Get().empty()) fileName = modules_.FreshFileName();
        std::string path = modules_.ActionPath() + fileName.Get();
        std::string label =
            TRegKey(actionsKey_, v).GetString("VENDOR") + ":" + ak.GetString("DESC");
        if (access(path.c_str(), R_OK) != 0) {
            QueueRequest(
                TQueueURL::MakeModuleArchive(mk.GetString("URL"), path, v, m, a, false, label));
            outcomes.push_back(TypeOutcome::Queued);
        } else if (!modules_.InstallOrLoad(path, v, m, a)) {
            ak.SetDword("LOADED", 0);
            outcomes.push_back(TypeOutcome::Failed);
        } else {
            outcomes.push_back(TypeOutcome::Loaded);
        }
        uint16_t have =
            static_cast<uint16_t>(strtoul(ak.GetString("ADVERSION").c_str(), nullptr, 10));
        uint16_t want =
            static_cast<uint16_t>(strtoul(ak.GetString("ACTDATAVER").c_str(), nullptr, 10));
        std::string dataUrl = ak.GetString("ACTDATAURL");
        if (have < want && !dataUrl.empty()) {
            QueueRequest(TQueueURL::MakeActionData(dataUrl, v, m, a, label));
        }
    }
    return outcomes;
}

void TUpdateCoordinator::UnselectActionTypes(
    const std::vector<ActionType>& types) {
    for (const auto& [v, m, a] : types) {
        TRegKey ak(actionsKey_, v + "\\" + m + "\\" + a, false);
        if (!ak.IsValid()) continue;
        // A job thread inside the module keeps it until its action returns.
        if (ak.GetDword("LOADED", 0) == 1) modules_.UnloadActionType(v, m, a);
        ak.SetDword("LOADED", 0);
        ak.DeleteValue(kLoadPendingValue);
    }
}

void TUpdateCoordinator::SelectPendingActionTypes() {
    std::vector<ActionType> pending;
    TStore* store = actionsKey_.Store();
    if (!store) return;
    std::vector<std::string> vendors, modules, actions;
    store->ListSubKeys(actionsKey_.Id(), &vendors);
    for (const std::string& v : vendors) {
        TRegKey vk(actionsKey_, v, false);
        store->ListSubKeys(vk.Id(), &modules);
        for (const std::string& m : modules) {
            TRegKey mk(vk, m, false);
            store->ListSubKeys(mk.Id(), &actions);
            for (const std::string& a : actions) {
                TRegKey ak(mk, a, false);
                if (!ak.HasValue(kLoadPendingValue)) continue;
                ak.DeleteValue(kLoadPendingValue);
                // The start-up load took in those whose module was on disk.
                if (!modules_.IsActionTypePresent(v, m, a)) pending.emplace_back(v, m, a);
            }
        }
    }
    if (!pending.empty()) SelectActionTypes(pending);
}

TUpdateCoordinator::Answer TUpdateCoordinator::LoadTypes(bool load, const std::vector<std::string>& names) {
    if (updating_)
        return Answer{false, "a module is being replaced just now; try again when it is done"};
    std::vector<ActionType> types;
    for (const std::string& t : names) {
        size_t c1 = t.find(':'), c2 = c1 == std::string::npos ? c1 : t.find(':', c1 + 1);
        if (c2 == std::string::npos)
            return Answer{false, "an action type is VENDOR:MODULE:ACTION, not \"" + t + "\""};
        std::string v = t.substr(0, c1), m = t.substr(c1 + 1, c2 - c1 - 1), a = t.substr(c2 + 1);
        if (!TRegKey(actionsKey_, v + "\\" + m + "\\" + a, false).IsValid())
            return Answer{false, "the catalogue has no action type " + t};
        types.emplace_back(v, m, a);
    }
    auto join = [](const std::vector<std::string>& list) {
        std::string out;
        for (const std::string& x : list) out += (out.empty() ? "" : ", ") + x;
        return out;
    };
    if (!load) {
        UnselectActionTypes(types);
        return Answer{true, "Unloaded " + join(names)};
    }
    std::vector<ActionType> todo;
    std::vector<std::string> already, loaded, queued, failed;
    for (size_t i = 0; i < types.size(); ++i) {
        const auto& [v, m, a] = types[i];
        if (modules_.IsActionTypePresent(v, m, a))
            already.push_back(names[i]);
        else
            todo.push_back(types[i]);
    }
    std::vector<TypeOutcome> outcomes = SelectActionTypes(todo);
    for (size_t i = 0; i < todo.size(); ++i) {
        const auto& [v, m, a] = todo[i];
        const std::string name = v + ":" + m + ":" + a;
        switch (outcomes[i]) {
            case TypeOutcome::Loaded: loaded.push_back(name); break;
            case TypeOutcome::Queued: queued.push_back(name); break;
            case TypeOutcome::Failed: {
                std::string why = modules_.WhyNotLoaded(v, m);
                failed.push_back(name + (why.empty() ? "" : " (" + why + ")"));
                break;
            }
        }
    }
    std::string text;
    auto part = [&text](const std::string& p) { text += (text.empty() ? "" : "; ") + p; };
    if (!loaded.empty()) part("Loaded " + join(loaded));
    if (!queued.empty())
        part("Queued for download: " + join(queued) +
             " (they load when the download ends, and cannot run before)");
    if (!already.empty()) part("Already loaded: " + join(already));
    if (!failed.empty()) part("Could not be loaded: " + join(failed));
    return Answer{failed.empty(), text};
}

TUpdateCoordinator::Answer TUpdateCoordinator::InstallFile(const std::string& file) {
    // One replacement at a time: the update worker may be about to install
    // the same module.
    if (updating_ || worker_)
        return Answer{false,
                          "a system update is running; install the module when it has ended"};
    if (file.empty() || file[0] != '/')
        return Answer{false, "the module file must be named by its full path"};
    ModuleInstallResult r =
        InstallModuleFromFile(file, modules_, actionsKey_, settings_.helpDir, owner_);
    owner_.Status("SysUpd:  " + r.text);
    return Answer{r.ok, r.text};
}

}  // namespace zk40
