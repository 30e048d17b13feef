#include "update/UpdateThread.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

// Replaces `to` with the content of `from` through a new file beside it
// (made with O_EXCL, so never through a planted link) and a rename.
bool CopyOver(const std::string& from, const std::string& to) {
    int in = ::open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (in < 0) return false;
    size_t slash = to.rfind('/');
    std::string tmp = (slash == std::string::npos ? std::string(".") : to.substr(0, slash)) +
                      "/.ZKTTXXXXXX";
    int out = ::mkstemp(tmp.data());
    if (out < 0) {
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
        for (ssize_t done = 0; ok && done < n;) {
            ssize_t w = ::write(out, buf + done, static_cast<size_t>(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w < 0) ok = false;
            else done += w;
        }
        if (!ok) break;
    }
    ::close(in);
    ok = ::close(out) == 0 && ok;
    if (ok && rename(tmp.c_str(), to.c_str()) == 0) return true;
    unlink(tmp.c_str());
    return false;
}

bool IsLocalFileUrl(const std::string& url) { return url.starts_with("file://"); }
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

std::vector<TQueueURL> TUpdateThread::TakeQueued() {
    TLock lock(*this);
    std::vector<TQueueURL> out(std::make_move_iterator(queue_.begin()),
                               std::make_move_iterator(queue_.end()));
    queue_.clear();
    return out;
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

bool TUpdateThread::Fetch(const std::string& url, const std::string& destination,
                          FetchKind kind) {
    FetchOptions opt = settings_.fetch;
    // Catalogue addresses came through the parser, which keeps file://
    // addresses out of everything but local configurations.
    opt.allowLocalFiles = kind != FetchKind::NetworkConfiguration;
    if (kind != FetchKind::Queued) {
        // Configurations and action data are parsed into the store; nothing
        // we publish comes near this size.
        opt.maxBytes = std::min<uint64_t>(opt.maxBytes, kMaxConfigurationBytes);
        opt.limitName = "configuration limit";
    }
    return FetchUrl(url, destination, owner_, opt);
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
    // A source the user (or the program's own first start) set may be a
    // local file; only a configuration read from a local file may in turn
    // name local files.
    const bool fromLocalSource = !url.empty();
    if (url.empty())
        url = ConfigurationUrl(TRegString(base, "UpdateServer", "").Get(),
                               TRegString(base, "URLADDON", "?CURVER=[CURVER]").Get());
    const bool localFile = fromLocalSource && IsLocalFileUrl(url);
    owner_.QueueBranchAdd("[SYSTEM UPDATE] System Configuration File");
    std::string temp = url.empty() ? std::string() : TempFile();
    bool ok = false;
    if (url.empty()) {
        owner_.Status("SysUpd:  No update server is set (base value UpdateServer).");
    } else if (!temp.empty() &&
               Fetch(url, temp,
                     fromLocalSource ? FetchKind::LocalConfiguration
                                     : FetchKind::NetworkConfiguration)) {
        ok = ParseConfigFile(temp, product_, {}, owner_, nullptr, localFile);
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
        const bool includeIsLocal = IsLocalFileUrl(inc.url);
        if (includeIsLocal && !localFile) {
            owner_.Status("SysUpd:  INCLUDE " + inc.url +
                          " refused: only a local configuration may name local files.");
            owner_.QueueBranchRemoveFirst();
            continue;
        }
        std::string part = TempFile();
        if (!part.empty() &&
            Fetch(inc.url, part,
                  localFile ? FetchKind::LocalConfiguration : FetchKind::NetworkConfiguration))
            ParseConfigFile(part, product_, {inc.vendor, inc.module, inc.action}, owner_, nullptr,
                            includeIsLocal);
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
        bool ok = Fetch(q.Source, temp, FetchKind::Queued) && CopyOver(temp, downloadFile);
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
                Fetch(q.Source, temp, FetchKind::Queued);
                unlink(temp.c_str());
            }
            return;
        }
        case TQueueURL::ActionData: {
            std::string temp = TempFile();
            if (temp.empty()) return;
            if (Fetch(q.Source, temp, FetchKind::QueuedData))
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
    IUpdateOwner::Install installed = owner_.InstallModule(q.Target, q.VendorID, q.ModuleID, q.ActionID);
    if (installed == IUpdateOwner::Install::Loaded)
        owner_.Status("SysUpd:  Action Loaded.");
    else if (installed == IUpdateOwner::Install::RestartNeeded)
        owner_.Status("SysUpd:  Action Installed; Restart Zarkell'40 To Load It.");
    else
        owner_.Status("SysUpd:  Error Loading Action...");
    lastInstallFailed_ = installed == IUpdateOwner::Install::Failed;
}

void TUpdateThread::InstallUpgrade(const std::string& program) {
    owner_.Status("SysUpd:  Installing Base Upgrade...");
    owner_.SetUpdating(true);
    while (owner_.JobsRunning() && !SleepFor(settings_.retryPollMs)) {
    }
    if (TerminationRequested()) {
        // Stopping while jobs still ran: starting the upgrade now would
        // replace the program under a job that has not ended. The download
        // is deleted at the next start, which checks for the upgrade again.
        owner_.SetUpdating(false);
        owner_.Status("SysUpd:  Base Upgrade Abandoned: the program is stopping.");
        owner_.Progress(0);
        lastInstallFailed_ = true;
        endRun_ = true;
        return;
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
        // Only a file of ours is deleted, whatever the store says.
        if (IsPrivateTempFile(leftover.Get())) unlink(leftover.Get().c_str());
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
        // Made (empty) under its final name, so nobody can take the name
        // between now and the download.
        std::string target = MakeTempFile(tempDir, nullptr, ".EXE");
        if (!target.empty()) {
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
                // A download kept from a failed attempt is reused (and
                // fetched afresh), so failed attempts leave nothing behind.
                std::string temp = mk.GetString("TEMPFILE");
                if (temp.empty() || !IsPrivateTempFile(temp) || access(temp.c_str(), F_OK) != 0)
                    temp = MakeTempFile(tempDir);
                if (temp.empty()) continue;
                mk.SetString("TEMPFILE", temp);
                queue(TQueueURL::MakeModuleArchive(url, temp, vendor, module, lastLoaded, true,
                                                   vendorName + ":" + lastDesc));
            }
        }
    }
}

}  // namespace zk40
