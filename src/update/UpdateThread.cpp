#include "update/UpdateThread.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "store/RegValue.h"
#include "support/ErrorText.h"
#include "update/Archive.h"
#include "update/ConfigParser.h"

extern char** environ;

namespace zk40 {

namespace {
StoreTime DropSeconds(StoreTime t) { return t - t % 60; }

bool Readable(const std::string& path) { return !path.empty() && access(path.c_str(), R_OK) == 0; }

bool CopyOver(const std::string& from, const std::string& to) {
    FILE* in = fopen(from.c_str(), "rb");
    if (!in) return false;
    std::string tmp = to + ".part";
    FILE* out = fopen(tmp.c_str(), "wb");
    if (!out) {
        fclose(in);
        return false;
    }
    char buf[65536];
    size_t n;
    bool ok = true;
    while ((n = fread(buf, 1, sizeof buf, in)) > 0)
        if (fwrite(buf, 1, n, out) != n) ok = false;
    ok = ok && !ferror(in);
    fclose(in);
    ok = fclose(out) == 0 && ok;
    if (ok && rename(tmp.c_str(), to.c_str()) == 0) return true;
    unlink(tmp.c_str());
    return false;
}
}  // namespace

TQueueURL TQueueURL::MakeActionData(std::string source, std::string vendor, std::string module,
                                    std::string action, const std::string& label) {
    TQueueURL q;
    q.Source = std::move(source);
    q.VendorID = std::move(vendor);
    q.ModuleID = std::move(module);
    q.ActionID = std::move(action);
    q.Refetch = 1;
    q.ActionDataFlag = 1;
    q.Text = "[ACTION-DATA] " + label;
    return q;
}

TQueueURL TQueueURL::MakeModuleArchive(std::string source, std::string target, std::string vendor,
                                       std::string module, std::string action, bool refetch,
                                       const std::string& label) {
    TQueueURL q;
    q.Source = std::move(source);
    q.Target = std::move(target);
    q.VendorID = std::move(vendor);
    q.ModuleID = std::move(module);
    q.ActionID = std::move(action);
    q.Refetch = refetch ? 1 : 0;
    q.ModuleArchiveFlag = 1;
    q.Text = "[ACTION] " + label;
    return q;
}

TQueueURL TQueueURL::MakeExecutableUpgrade(std::string source, std::string target) {
    TQueueURL q;
    q.Source = std::move(source);
    q.Target = std::move(target);
    q.Refetch = 1;
    q.Text = "[BASE] Zarkell'40 Executable";
    return q;
}

TQueueURL TQueueURL::MakeCrashReport(std::string source) {
    TQueueURL q;
    q.Source = std::move(source);
    q.Refetch = 1;
    q.CrashReportFlag = 1;
    q.Text = "[CRASH-REPORT] Sending Crash Report";
    return q;
}

std::string ConfigurationUrl(const std::string& server, const std::string& urlAddon) {
    if (server.empty()) return {};
    std::string s = server;
    std::string scheme = "httpz://";
    if (s.rfind("https://", 0) == 0) {
        scheme = "httpsz://";
        s = s.substr(8);
    } else if (s.rfind("http://", 0) == 0) {
        s = s.substr(7);
    }
    while (!s.empty() && s.back() == '/') s.pop_back();
    return scheme + s + "/cgi-bin/zk40.update.pl" + urlAddon;
}

TUpdateThread::TUpdateThread(IUpdateOwner& owner, const TRegKey& productKey,
                             UpdateSettings settings)
    : owner_(owner), product_(productKey), settings_(std::move(settings)) {
    settings_.fetch.stop = &stop_;
}

TUpdateThread::~TUpdateThread() {
    if (CurrentStatus() == Running) StopAndWait(-1);
}

void TUpdateThread::Enqueue(TQueueURL request) {
    TLock lock(*this);
    queue_.push_back(std::move(request));
}

size_t TUpdateThread::QueueSize() const {
    TLock lock(*this);
    return queue_.size();
}

void TUpdateThread::SetLocalSource(const std::string& source) {
    TLock lock(*this);
    localSource_ = source;
}

void TUpdateThread::RequestTermination() {
    stop_ = true;
    TThread::RequestTermination();
}

std::string TUpdateThread::TempFile() {
    std::string error;
    std::string f = MakeTempFile(settings_.tempDir, &error);
    if (f.empty()) owner_.Status("SysUpd:  " + error);
    return f;
}

bool TUpdateThread::Fetch(const std::string& url, const std::string& destination) {
    return FetchUrl(url, destination, owner_, settings_.fetch);
}

int TUpdateThread::Run() {
    bool configure;
    {
        TLock lock(*this);
        configure = queue_.empty() || !localSource_.empty();
    }
    if (configure) {
        ConfigurationRun();
        if (!TerminationRequested())
            RunStartupChecks(
                product_, owner_,
                [this](TQueueURL q) {
                    owner_.QueueBranchAdd(q.Text);
                    Enqueue(std::move(q));
                },
                owner_.Now(), settings_.buildNumber, settings_.tempDir);
    }
    while (!TerminationRequested() && !endRun_) {
        TQueueURL q;
        {
            TLock lock(*this);
            if (queue_.empty()) break;
            q = std::move(queue_.front());
            queue_.pop_front();
        }
        Process(q);
        owner_.QueueBranchRemoveFirst();
    }
    if (!lastInstallFailed_ && !endRun_) {
        TRegKey base(product_, "base");
        uint32_t conn = base.GetDword("ConnType", 3);
        if (conn == 0)
            owner_.Status("SysUpd:  Local Update Mode.");
        else if (conn == 1 || conn == 2)
            owner_.Status(
                "SysUpd:  Next Update = " + FormatStoreTime(base.GetDword("NextUpdate", 0)) + ".");
    }
    owner_.Progress(0);
    return 0;
}

void TUpdateThread::ConfigurationRun() {
    TRegKey base(product_, "base");
    std::string url;
    {
        TLock lock(*this);
        url = localSource_;
        localSource_.clear();
    }
    if (url.empty())
        url = ConfigurationUrl(TRegString(base, "UpdateServer", "").Get(),
                               TRegString(base, "URLADDON", "?CURVER=[CURVER]").Get());
    owner_.QueueBranchAdd("[SYSTEM UPDATE] System Configuration File");
    std::string temp = url.empty() ? std::string() : TempFile();
    bool ok = false;
    if (url.empty()) {
        owner_.Status("SysUpd:  No update server is set (base value UpdateServer).");
    } else if (!temp.empty() && Fetch(url, temp)) {
        ok = ParseConfigFile(temp, product_, {}, owner_);
    }
    owner_.QueueBranchRemoveFirst();
    if (!ok) {
        if (!temp.empty()) unlink(temp.c_str());
        StoreTime next = DropSeconds(owner_.Now() + 3600);
        base.SetDword("NextUpdate", next);
        owner_.Status("SysUpd:  Aborted.  Next Update = " + FormatStoreTime(next) + ".");
        owner_.Progress(0);
        return;
    }
    for (const ConfigInclude& inc : FindIncludes(temp)) {
        if (TerminationRequested()) break;
        owner_.QueueBranchAdd(IncludeDisplayText(inc));
        std::string part = TempFile();
        if (!part.empty() && Fetch(inc.url, part))
            ParseConfigFile(part, product_, {inc.vendor, inc.module, inc.action}, owner_);
        if (!part.empty()) unlink(part.c_str());
        owner_.QueueBranchRemoveFirst();
    }
    unlink(temp.c_str());
    TRegKey config(product_, "config");
    StoreTime next = NextUpdateFrom(config.GetString("NEXT-UPDATE"), owner_.Now());
    base.SetDword("NextUpdate", next);
    owner_.Status(CompletedText(next));
    owner_.Progress(0);
}

bool TUpdateThread::Download(const TQueueURL& q, const std::string& downloadFile) {
    if (Readable(downloadFile) && !q.Refetch) return true;
    for (int attempt = 0; attempt < 3 && !TerminationRequested(); ++attempt) {
        std::string temp = TempFile();
        if (temp.empty()) return false;
        bool ok = Fetch(q.Source, temp) && CopyOver(temp, downloadFile);
        unlink(temp.c_str());
        if (ok) return true;
    }
    return false;
}

void TUpdateThread::Process(const TQueueURL& q) {
    switch (q.GetKind()) {
        case TQueueURL::CrashReport: {
            std::string temp = TempFile();
            if (!temp.empty()) {
                Fetch(q.Source, temp);
                unlink(temp.c_str());
            }
            return;
        }
        case TQueueURL::ActionData: {
            std::string temp = TempFile();
            if (temp.empty()) return;
            if (Fetch(q.Source, temp))
                ParseActionDataFile(temp, product_, q.VendorID, q.ModuleID, q.ActionID, owner_);
            unlink(temp.c_str());
            return;
        }
        case TQueueURL::ModuleArchive: {
            std::string archive = ReplaceExtension(q.Target, ".ZKZ");
            if (!Download(q, archive)) return;
            InstallArchive(q, archive);
            return;
        }
        case TQueueURL::ExecutableUpgrade:
            if (!Download(q, q.Target)) return;
            InstallUpgrade(q.Target);
            return;
    }
}

void TUpdateThread::InstallArchive(const TQueueURL& q, const std::string& archive) {
    ArchiveResult r = ExtractModuleArchive(archive, q.Target, settings_.helpDir, owner_);
    if (!r.ok) {
        // Archive errors end the run; the rest of the queue waits for the next.
        lastInstallFailed_ = true;
        endRun_ = true;
        return;
    }
    owner_.Status("SysUpd:  Loading Action...");
    bool ok = owner_.InstallModule(q.Target, q.VendorID, q.ModuleID, q.ActionID);
    owner_.Status(ok ? "SysUpd:  Action Loaded." : "SysUpd:  Error Loading Action...");
    lastInstallFailed_ = !ok;
}

void TUpdateThread::InstallUpgrade(const std::string& program) {
    owner_.Status("SysUpd:  Installing Base Upgrade...");
    owner_.SetUpdating(true);
    while (owner_.JobsRunning() && !SleepFor(settings_.retryPollMs)) {
    }
    chmod(program.c_str(), 0700);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addchdir_np(&fa, "/");
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // Its own session: the upgrade outlives this program, which it replaces.
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
    char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
    pid_t pid;
    int err = posix_spawn(&pid, program.c_str(), &fa, &attr, argv, environ);
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    if (err == 0) {
        owner_.Status("SysUpd:  Base Upgrade Completed.");
        lastInstallFailed_ = false;
        owner_.QuitForUpgrade();
        endRun_ = true;
        return;
    }
    owner_.Status("System Initialization:  " + ErrorText(PlatformErrorFromErrno(err)));
    owner_.SetUpdating(false);
    owner_.Status("SysUpd:  Error Installing Update...");
    owner_.Progress(0);
    lastInstallFailed_ = true;
}

void RunStartupChecks(const TRegKey& productKey, IUpdateProgress& progress,
                      const std::function<void(TQueueURL)>& queue, StoreTime now,
                      uint32_t buildNumber, const std::string& tempDir) {
    progress.Status("System Initialization:  Checking For Updated Base Version...");
    TRegKey base(productKey, "base");
    TRegKey config(productKey, "config");
    TRegString leftover(config, "TEMPFILE", "");
    if (!leftover.Get().empty()) {
        unlink(leftover.Get().c_str());
        config.DeleteValue("TEMPFILE");
    }
    TRegTime lastBase(base, "LastBaseUpdate", 1);
    TRegDword lastBaseVer(base, "LastBaseUpdateVer", 0);
    uint32_t avail =
        static_cast<uint32_t>(strtoul(config.GetString("AVAILVER").c_str(), nullptr, 10));
    if (buildNumber < avail && (lastBaseVer.Get() < avail || now - lastBase.Get() > 3600)) {
        lastBase = now;
        lastBaseVer = avail;
        std::string url = config.GetString("URL");
        std::string temp = MakeTempFile(tempDir);
        if (!temp.empty()) {
            unlink(temp.c_str());
            std::string target = temp.substr(0, temp.size() - 3) + "EXE";
            config.SetString("TEMPFILE", target);
            queue(TQueueURL::MakeExecutableUpgrade(url, target));
        }
    }
    progress.Status("System Initialization:  Checking For Updated Action Versions...");
    TRegKey actions(productKey, "actions");
    if (!actions.IsValid()) return;
    TStore& store = *actions.Store();
    std::vector<std::string> vendors, modules, acts;
    store.ListSubKeys(actions.Id(), &vendors);
    for (const std::string& vendor : vendors) {
        TRegKey vk(actions, vendor);
        std::string vendorName = TRegString(vk, "VENDOR", "").Get();
        store.ListSubKeys(vk.Id(), &modules);
        for (const std::string& module : modules) {
            TRegKey mk(vk, module);
            store.ListSubKeys(mk.Id(), &acts);
            std::string lastLoaded, lastDesc;
            for (const std::string& action : acts) {
                TRegKey ak(mk, action);
                if (ak.GetDword("LOADED", 0) != 1) continue;
                lastLoaded = action;
                std::string desc = TRegString(ak, "DESC", "").Get();
                lastDesc = desc;
                uint16_t have = static_cast<uint16_t>(
                    strtoul(TRegString(ak, "ADVERSION", "").Get().c_str(), nullptr, 10));
                uint16_t want = static_cast<uint16_t>(
                    strtoul(TRegString(ak, "ACTDATAVER", "").Get().c_str(), nullptr, 10));
                std::string dataUrl = TRegString(ak, "ACTDATAURL", "").Get();
                if (have < want && !dataUrl.empty())
                    queue(TQueueURL::MakeActionData(dataUrl, vendor, module, action,
                                                    vendorName + ":" + desc));
            }
            if (lastLoaded.empty()) continue;
            // Read without writing a default: a module that was refused at
            // start-up keeps no VERSION of its own.
            uint32_t version = mk.GetDword("VERSION", 0);
            uint32_t availVer =
                static_cast<uint32_t>(strtoul(mk.GetString("AVAILVER").c_str(), nullptr, 10));
            if (version < availVer) {
                std::string url = mk.GetString("URL");
                std::string temp = MakeTempFile(tempDir);
                if (temp.empty()) continue;
                mk.SetString("TEMPFILE", temp);
                queue(TQueueURL::MakeModuleArchive(url, temp, vendor, module, lastLoaded, true,
                                                   vendorName + ":" + lastDesc));
            }
        }
    }
}

}  // namespace zk40
