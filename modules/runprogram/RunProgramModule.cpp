// The "Run Program" action module: runs a program with arguments, reports
// how it ended, and keeps the last lines of its output as the action's
// child items. Everything the host sees is the C entry points below; no C++
// exception may cross them.
#include <dlfcn.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "CommandText.h"
#include "ProgramRun.h"
#include "RunProgramDialog.h"
#include "RunProgramSettings.h"
#include "zk40/module.h"

using namespace zk40::runprogram;

namespace {

// Copied at ZKSetHost, which the host calls before ZKStart and so before
// any thread can run an action.
ZKHostFunctions g_host{};
bool g_hasHost = false;

// Status lines are one line of the tree; a long command line is cut.
constexpr size_t kStatusBytes = 200;
// Date codes can make a text longer than the stored property.
constexpr size_t kExpandBytes = 4096;

const char* StringResource(uint32_t id) {
    switch (id) {
        case ZK_STR_MODULE_ID:
            return "RUNPROG";
        case ZK_STR_MODULE_NAME:
            return "Run Program";
        case ZK_STR_VERSION:
            return "1";
        case ZK_STR_VENDOR_ID:
            return "DNTRX-14";
        case ZK_STR_VENDOR_NAME:
            return "Dentrax-14";
        case ZK_STR_VENDOR_WEB:
            return "";
        case ZK_STR_LEGAL:
            return "";
        case ZK_STR_DATA:
            return "Runs a program and keeps the last lines of its output";
        default:
            return nullptr;
    }
}

std::string Trim(const std::string& s) {
    const char* blanks = " \t\r\n";
    size_t b = s.find_first_not_of(blanks);
    if (b == std::string::npos) return "";
    return s.substr(b, s.find_last_not_of(blanks) - b + 1);
}

// The requests of one action to the host, from the run thread.
class ActionHost {
public:
    ActionHost(ZKHwnd hwnd, ZKActionHandle handle) : hwnd_(hwnd), handle_(handle) {}

    std::string Text(int16_t rid, const char* fallback) const {
        ZKPropertyRequest request{};
        request.id = rid;
        request.code = ZK_PROP_ACTION_TEXT;
        std::strncpy(request.text, fallback, sizeof request.text - 1);
        if (!Send(ZKM_GET_PROPERTY, handle_, reinterpret_cast<intptr_t>(&request))) return fallback;
        request.text[sizeof request.text - 1] = '\0';
        return request.text;
    }

    uint32_t Number(int16_t rid, uint32_t fallback) const {
        ZKPropertyRequest request{};
        request.id = rid;
        request.code = ZK_PROP_ACTION_NUMBER;
        request.number = fallback;
        if (!Send(ZKM_GET_PROPERTY, handle_, reinterpret_cast<intptr_t>(&request))) return fallback;
        return request.number;
    }

    std::string ExpandDate(const std::string& text) const {
        if (text.find('$') == std::string::npos) return text;
        std::vector<char> buffer(kExpandBytes, '\0');
        std::memcpy(buffer.data(), text.data(), std::min(text.size(), kExpandBytes - 1));
        if (!Send(ZKM_EXPAND_DATE, kExpandBytes, reinterpret_cast<intptr_t>(buffer.data())))
            return text;
        buffer.back() = '\0';
        return buffer.data();
    }

    // Status texts are sent, not posted: the job thread reads the action's
    // status right after ZKRunAction returns, so the last one must have
    // arrived by then.
    void Status(const std::string& text) const {
        if (char* copy = Copy(text))
            Send(ZKM_ACTION_STATUS, handle_, reinterpret_cast<intptr_t>(copy));
    }

    void Percent(int percent) const { Send(ZKM_ACTION_PERCENT, handle_, percent); }
    void ProcessGroup(pid_t group, bool running) const {
        Send(ZKM_PROCESS_GROUP, handle_, running ? group : -static_cast<intptr_t>(group));
    }

    void ReplaceChildren(const std::vector<std::string>& lines) const {
        Send(ZKM_DELETE_CHILDREN, handle_, 0);
        for (size_t i = 0; i < lines.size(); ++i) {
            const std::string& line = lines[i];
            auto* block = static_cast<ZKChildText*>(
                g_host.Alloc(offsetof(ZKChildText, text) + line.size() + 1));
            if (!block) return;
            block->child = static_cast<uint32_t>(i + 1);
            std::memcpy(block->text, line.c_str(), line.size() + 1);
            // A refused block (the action is gone) is still ours to release.
            if (!Send(ZKM_SET_CHILD, handle_, reinterpret_cast<intptr_t>(block))) {
                g_host.Free(block);
                return;
            }
        }
    }

private:
    intptr_t Send(uint32_t msg, uintptr_t wparam, intptr_t lparam) const {
        return g_host.Send(hwnd_, msg, wparam, lparam);
    }

    static char* Copy(const std::string& text) {
        auto* copy = static_cast<char*>(g_host.Alloc(text.size() + 1));
        if (copy) std::memcpy(copy, text.c_str(), text.size() + 1);
        return copy;
    }

    ZKHwnd hwnd_;
    ZKActionHandle handle_;
};

struct Settings {
    std::string program;
    std::string arguments;
    std::string folder;
    std::string acceptedExitCodes;
    uint32_t timeLimitSeconds = 0;
    uint32_t outputLines = kDefaultOutputLines;
};

// Every setting is read with its default, so a new action gets all of them
// written to the store where the settings dialog will find them.
Settings ReadSettings(const ActionHost& host) {
    Settings s;
    s.program = Trim(host.ExpandDate(host.Text(kProgramRid, "")));
    s.arguments = host.ExpandDate(host.Text(kArgumentsRid, ""));
    s.folder = Trim(host.ExpandDate(host.Text(kWorkingFolderRid, "")));
    s.timeLimitSeconds = host.Number(kTimeLimitRid, 0);
    s.acceptedExitCodes = host.Text(kAcceptedExitCodesRid, kDefaultAcceptedExitCodes);
    s.outputLines = host.Number(kOutputLinesRid, kDefaultOutputLines);
    return s;
}

std::string HomeFolder() {
    const char* home = std::getenv("HOME");
    if (home && *home) return home;
    // A service may run without HOME; the password database still knows.
    passwd pw{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (getpwuid_r(getuid(), &pw, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_dir && *found->pw_dir)
        return found->pw_dir;
    return "/";
}

bool CheckFolder(const std::string& folder, std::string* error) {
    struct stat st {};
    if (stat(folder.c_str(), &st) != 0) {
        *error = "working folder " + folder + ": " + ErrorText(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        *error = "working folder " + folder + " is not a folder";
        return false;
    }
    return true;
}

std::string RunningText(const Settings& s) {
    std::string text = "Running " + s.program;
    if (!Trim(s.arguments).empty()) text += " " + Trim(s.arguments);
    if (text.size() <= kStatusBytes) return text;
    return CutUtf8(text, kStatusBytes - 3) + "...";
}

struct Outcome {
    bool ok = false;
    std::string status;
    std::vector<std::string> lines;
};

Outcome Failed(const std::string& why) { return {false, "Failed: " + why, {}}; }

Outcome Execute(RunSlot& slot, const Settings& s, const ActionHost& host) {
    if (s.program.empty()) return Failed("no program is set");
    std::string error;
    ExitCodeList accepted;
    if (!accepted.Parse(s.acceptedExitCodes, &error)) return Failed(error);
    ProgramRequest request;
    request.program = s.program;
    if (!SplitArguments(s.arguments, &request.arguments, &error)) return Failed(error);
    request.folder = s.folder.empty() ? HomeFolder() : s.folder;
    if (!CheckFolder(request.folder, &error)) return Failed(error);
    request.timeLimitSeconds = s.timeLimitSeconds;
    request.keepLines = std::min(s.outputLines, kMaxOutputLines);
    // The host keeps the group in the run record, so that a crash of the
    // program does not leave it running unnoticed.
    request.onGroup = [&host](pid_t group, bool running) { host.ProcessGroup(group, running); };

    ProgramResult r = slot.Run(request);
    Outcome o;
    o.lines = std::move(r.lines);
    switch (r.end) {
        case ProgramEnd::Exited:
            o.ok = accepted.Accepts(r.code);
            o.status =
                (o.ok ? "Completed: exit code " : "Failed: exit code ") + std::to_string(r.code);
            break;
        case ProgramEnd::Signalled:
            o.status = "Failed: killed by signal " + std::to_string(r.code);
            break;
        case ProgramEnd::TimedOut:
            o.status =
                "Failed: time limit of " + std::to_string(request.timeLimitSeconds) + " s reached";
            break;
        case ProgramEnd::Stopped:
            o.status = "Stopped";
            break;
        case ProgramEnd::StartFailed:
        case ProgramEnd::Lost:
            o.status = "Failed: " + r.message;
            break;
    }
    return o;
}

int RunProgramAction(ZKHwnd hwnd, ZKActionHandle handle) {
    // Registered first, so that a stop during the set-up is not lost.
    RunSlot slot(handle);
    ActionHost host(hwnd, handle);
    Settings settings = ReadSettings(host);
    host.Status(RunningText(settings));
    host.Percent(0);
    Outcome outcome;
    try {
        outcome = Execute(slot, settings, host);
    } catch (const std::exception& e) {
        outcome =
            Failed(std::string("the Run Program module ran into an internal error: ") + e.what());
    }
    // The children always show this run's output, so a failed start does not
    // leave the previous run's lines looking current.
    host.ReplaceChildren(outcome.lines);
    host.Status(outcome.status);
    host.Percent(100);
    return outcome.ok ? 1 : 0;
}

bool IsOurAction(const char* action) { return action && std::strcmp(action, kActionId) == 0; }

std::string FolderOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

// Where the settings dialog library may be: the folder ZK40_MODULE_LIBDIR
// names, the program's library folder (installed: <prefix>/<libdir>/zarkell40/dialogs
// beside <prefix>/bin; built: the modules folder beside the executable), and
// the folder of this module file.
std::vector<std::string> DialogCandidates() {
    std::vector<std::string> out;
    if (const char* dir = std::getenv("ZK40_MODULE_LIBDIR"); dir && *dir)
        out.push_back(std::string(dir) + "/" + ZK_RUNPROGRAM_DIALOG_FILE);
    std::vector<char> exe(4096, '\0');
    ssize_t n = readlink("/proc/self/exe", exe.data(), exe.size() - 1);
    if (n > 0) {
        std::string bin = FolderOf(std::string(exe.data(), static_cast<size_t>(n)));
        out.push_back(FolderOf(bin) + "/" ZK_RUNPROGRAM_DIALOG_SUBDIR "/" + ZK_RUNPROGRAM_DIALOG_FILE);
        out.push_back(bin + "/modules/" + ZK_RUNPROGRAM_DIALOG_FILE);
    }
    Dl_info self{};
    if (dladdr(reinterpret_cast<void*>(&FolderOf), &self) && self.dli_fname)
        out.push_back(FolderOf(self.dli_fname) + "/" + ZK_RUNPROGRAM_DIALOG_FILE);
    return out;
}

// Loaded at the first request for the settings and kept: unloading a
// library that made widget classes known to Qt is not safe.
ZKRunProgramSettingsFn SettingsDialog() {
    static ZKRunProgramSettingsFn fn = []() -> ZKRunProgramSettingsFn {
        for (const std::string& path : DialogCandidates()) {
            if (access(path.c_str(), R_OK) != 0) continue;
            void* lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
            if (!lib) continue;
            if (void* sym = dlsym(lib, ZK_RUNPROGRAM_SETTINGS_ENTRY))
                return reinterpret_cast<ZKRunProgramSettingsFn>(sym);
            dlclose(lib);
        }
        return nullptr;
    }();
    return fn;
}

}  // namespace

extern "C" {

ZK_EXPORT void ZKSetHost(const ZKHostFunctions* host) {
    g_hasHost = host && host->size >= sizeof(ZKHostFunctions) && host->version == ZK_HOST_VERSION &&
                host->Send && host->Alloc && host->Free;
    if (g_hasHost) g_host = *host;
}

ZK_EXPORT int ZKLoadString(uint32_t id, char* buffer, int size) {
    if (!buffer || size <= 0) return 0;
    const char* text = StringResource(id);
    size_t n = text ? std::min(std::strlen(text), static_cast<size_t>(size - 1)) : 0;
    if (n) std::memcpy(buffer, text, n);
    buffer[n] = '\0';
    return static_cast<int>(n);
}

// Without the host table the module could neither read its settings nor
// report, so it refuses to start.
ZK_EXPORT int ZKStart(int16_t) { return g_hasHost ? 1 : 0; }

ZK_EXPORT int ZKEnableAction(const char* action) { return IsOurAction(action) ? 1 : 0; }

ZK_EXPORT int ZKDisableAction(const char*) { return 1; }

ZK_EXPORT int ZKInitAction(ZKHwnd, const char*, ZKActionHandle) { return 1; }

ZK_EXPORT int ZKDeinitAction(ZKHwnd, const char*, ZKActionHandle) { return 1; }

ZK_EXPORT int ZKRunAction(ZKHwnd hwnd, const char* action, ZKActionHandle handle) {
    if (!g_hasHost || !IsOurAction(action)) return 0;
    try {
        return RunProgramAction(hwnd, handle);
    } catch (...) {
        // Out of memory while talking to the host; the action simply fails.
        return 0;
    }
}

ZK_EXPORT int ZKStopAction(ZKHwnd, const char*, ZKActionHandle handle) {
    try {
        return StopRuns(handle) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

// The dialog lives in a library of its own that links the widget toolkit;
// it is loaded here, on the first request, so a headless host never maps
// it. Without it (or without windows) the host is told no dialog was shown,
// and the settings stay editable as the action's RID values in the store.
ZK_EXPORT int ZKPreferences(ZKHwnd hwnd, const char* action, ZKActionHandle handle) {
    if (!g_hasHost || !IsOurAction(action)) return 0;
    try {
        ZKRunProgramSettingsFn dialog = SettingsDialog();
        return dialog ? dialog(&g_host, hwnd, handle) : 0;
    } catch (...) {
        return 0;
    }
}

ZK_EXPORT int ZKCleanupAction(ZKHwnd, const char*, ZKActionHandle) { return 1; }

ZK_EXPORT int ZKGetActionData(const char* action, char* buffer) {
    static const char kData[] =
        "Runs a program with arguments (no shell) in a working folder, with an optional time "
        "limit";
    static_assert(sizeof kData <= ZK_ACTION_DATA_SIZE);
    if (!buffer || !IsOurAction(action)) return 0;
    std::memcpy(buffer, kData, sizeof kData);
    return 1;
}

ZK_EXPORT int ZKTrayCallback(ZKHwnd, const char*, ZKActionHandle, uint32_t) { return 0; }

}  // extern "C"
