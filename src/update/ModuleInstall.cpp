#include "update/ModuleInstall.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "modules/ActionTypeModule.h"
#include "modules/ModuleFile.h"
#include "modules/ModuleHost.h"
#include "store/RegValue.h"
#include "update/Archive.h"
#include "update/Fetch.h"

namespace zk40 {

namespace {

bool IsZipArchive(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char head[4] = {};
    bool zip = ::read(fd, head, sizeof head) == 4 && memcmp(head, "PK\x03\x04", 4) == 0;
    ::close(fd);
    return zip;
}

// A private folder for the unpacked files, gone with everything in it at
// the end whatever happened.
class StagingFolder {
public:
    explicit StagingFolder(std::string* error) {
        std::string base = PrivateTempDir(error);
        if (base.empty()) return;
        std::string tmpl = base + "/ZKTTXXXXXX";
        if (!mkdtemp(tmpl.data())) {
            if (error) *error = "cannot make a folder in " + base + ": " + strerror(errno);
            return;
        }
        path_ = tmpl;
    }
    ~StagingFolder() {
        if (path_.empty()) return;
        if (DIR* d = opendir(path_.c_str())) {
            while (dirent* e = readdir(d))
                if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                    unlink((path_ + "/" + e->d_name).c_str());
            closedir(d);
        }
        rmdir(path_.c_str());
    }
    StagingFolder(const StagingFolder&) = delete;
    StagingFolder& operator=(const StagingFolder&) = delete;
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

}  // namespace

ModuleInstallResult InstallModuleFromFile(const std::string& file, TModuleHost& host,
                                          const TRegKey& actionsKey, const std::string& helpDir,
                                          IUpdateProgress& progress) {
    ModuleInstallResult r;
    auto fail = [&r](std::string why) {
        r.text = std::move(why);
        return r;
    };
    struct stat st;
    if (stat(file.c_str(), &st) != 0) return fail("cannot read " + file + ": " + strerror(errno));
    if (!S_ISREG(st.st_mode)) return fail(file + " is not a file");
    if (access(file.c_str(), R_OK) != 0) return fail("cannot read " + file + ": " + strerror(errno));
    std::string error;
    StagingFolder stage(&error);
    if (stage.Path().empty()) return fail("nowhere to unpack the module: " + error);

    const bool archive = IsZipArchive(file);
    // The module file of `file` at `to`: unpacked from the archive exactly as
    // a downloaded one is (its help beside the module's name in helpDir), or
    // copied as it is.
    auto unpack = [&](const std::string& to, const std::string& help) {
        if (!archive) return ReplaceFile(file, to, &error);
        // The unpacking deletes the archive it was given; the user's stays.
        const std::string copy = stage.Path() + "/archive.zkz";
        if (!ReplaceFile(file, copy, &error)) return false;
        ArchiveResult a = ExtractModuleArchive(copy, to, help, progress);
        unlink(copy.c_str());
        if (!a.ok) {
            error = a.error;
            return false;
        }
        if (access(to.c_str(), F_OK) != 0) {
            error = "the archive holds no ACTION.DLL";
            return false;
        }
        return true;
    };

    // What the file is, read from a copy before anything installed changes.
    const std::string probe = stage.Path() + "/probe.dll";
    if (!unpack(probe, "")) return fail(file + ": " + error);
    if (CheckModuleFile(probe) != ModuleFileCheck::Passes)
        return fail(archive ? file + ": its ACTION.DLL has no valid module trailer; it is not a "
                                     "signed module (zk40-sign signs a module file)"
                            : file + " is neither a module archive nor a signed module file "
                                     "(zk40-sign signs a module file)");
    ModuleIdentity id;
    if (!ReadModuleIdentity(probe, &id, &error))
        return fail(file + " does not load as a module: " + error);
    if (id.vendorId.empty() || id.moduleId.empty())
        return fail(file + " does not name its vendor and module, so it cannot be installed");
    r.vendor = id.vendorId;
    r.module = id.moduleId;
    const std::string label = r.vendor + ":" + r.module;

    TRegKey mk(actionsKey, r.vendor + "\\" + r.module, false);
    std::vector<std::string> all;
    if (mk.IsValid()) mk.Store()->ListSubKeys(mk.Id(), &all);
    if (all.empty())
        return fail("the catalogue has no action types of the module " + label + " (the file " +
                    file + " names itself so); an update configuration describes a module's "
                    "action types before it can be installed (see zk40 types)");
    const uint32_t minBase = static_cast<uint32_t>(strtoul(mk.GetString("MINBASE").c_str(), nullptr, 10));
    if (kBuildNumber < minBase)
        return fail("the module " + label + " needs build " + std::to_string(minBase) +
                    " of Zarkell'40; this is build " + std::to_string(kBuildNumber));
    std::vector<std::string> types;
    for (const std::string& a : all)
        if (TRegKey(mk, a, false).GetDword("LOADED", 0) == 1) types.push_back(a);
    if (types.empty()) types = all;

    TRegString fileName(mk, "FILENAME", host.FreshFileName());
    if (!IsPlainFileName(fileName.Get()))
        return fail("the catalogue's FILENAME \"" + fileName.Get() + "\" of " + label +
                    " is not a plain file name");
    const std::string installed = host.ActionPath() + fileName.Get();

    // A module that is loaded is replaced as an update replaces it: from a
    // file beside the download folder named in TEMPFILE. One that is not is
    // unpacked straight to its place and loaded, as a first download is.
    const bool replacing = host.FindModule(r.vendor, r.module) != nullptr;
    const std::string target = replacing ? stage.Path() + "/" + fileName.Get() : installed;
    if (!unpack(target, helpDir)) return fail(file + ": " + error);
    bool restart = false, ok;
    if (replacing) {
        // Every loaded type lets go of its actions before the library goes.
        for (size_t i = 1; i < types.size(); ++i) host.DisableActionType(r.vendor, r.module, types[i]);
        mk.SetString("TEMPFILE", target);
        ok = host.InstallOrLoad(target, r.vendor, r.module, types[0], &restart);
        if (!ok) {
            TRegString tempFile(mk, "TEMPFILE", "");
            if (tempFile.Get() == target) tempFile = "";
        }
    } else {
        ok = host.InstallOrLoad(installed, r.vendor, r.module, types[0], &restart);
    }
    if (!ok) {
        std::string why = host.WhyNotLoaded(r.vendor, r.module);
        return fail("the module " + label + " from " + file + " was not installed" +
                    (why.empty() ? std::string(" (see the program's status)") : ": " + why));
    }
    r.types.push_back(types[0]);
    TRegKey(mk, types[0]).SetDword("LOADED", 1);
    for (size_t i = 1; i < types.size(); ++i) {
        const bool loaded = host.InstallOrLoad(installed, r.vendor, r.module, types[i]);
        TRegKey(mk, types[i]).SetDword("LOADED", loaded ? 1 : 0);
        if (loaded) r.types.push_back(types[i]);
    }
    r.ok = true;
    r.restartNeeded = restart;
    r.version = id.version;
    std::string list;
    for (const std::string& t : r.types) list += (list.empty() ? "" : ", ") + t;
    r.text = "Installed " + label + " version " + std::to_string(r.version) + " from " + file +
             " as " + installed + "; action types loaded: " + list;
    if (restart)
        r.text += "; version " + std::to_string(mk.GetDword("VERSION", 0)) +
                  " keeps running until Zarkell'40 is restarted";
    return r;
}

}  // namespace zk40
