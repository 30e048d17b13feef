// A module whose behaviour the tests choose through the action's
// properties, so that the host (job thread, scheduler, crash log, host
// services, loader) can be tested end to end against a real shared object.
//
// Properties of the action (RID ids; code 1 = number, code 2 = text):
//   RID 1 (number) mode:
//     0 succeed; 1 fail;
//     2 sleep RID 2 milliseconds (0 = until stopped), polling for a stop
//       every 10 ms; a stop ends the run with failure unless RID 3 is 1
//       ("ignore stop"), in which case it sleeps on;
//     3 report: status RID 4, second status "second", percent 50, succeed;
//     4 host services from the run thread (results in RID 0x12..0x15, see
//       RunServices), succeed when the host answered every request.
// Environment:
//   ZK40_TEST_MODULE_LOG   file that gets "<handle> <action id>\n" (decimal
//                          handle) at the start of every run
//   ZK40_TEST_FAIL_START=1 ZKStart refuses
//   ZK40_TEST_FAIL_ENABLE=1 ZKEnableAction refuses
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "zk40/module.h"

#ifndef ZK40_TESTMODULE_ID
#define ZK40_TESTMODULE_ID "TESTMOD"
#endif
#ifndef ZK40_TESTMODULE_VENDOR
#define ZK40_TESTMODULE_VENDOR "ZKTEST"
#endif
#ifndef ZK40_TESTMODULE_VERSION
#define ZK40_TESTMODULE_VERSION "1"
#endif

namespace {

ZKHostFunctions g_host{};
bool g_hasHost = false;

std::mutex g_mutex;
std::map<ZKActionHandle, bool> g_stopFlags;  // runs in progress → stop asked

bool IsOurAction(const char* action) {
    return action && (std::strcmp(action, "TESTACT") == 0 || std::strcmp(action, "TESTACT2") == 0);
}

bool EnvIsOne(const char* name) {
    const char* v = std::getenv(name);
    return v && std::strcmp(v, "1") == 0;
}

void LogRun(ZKActionHandle handle, const char* action) {
    const char* path = std::getenv("ZK40_TEST_MODULE_LOG");
    if (!path || !*path) return;
    std::string line = std::to_string(handle) + " " + action + "\n";
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) return;
    // One write with O_APPEND, so lines of concurrent runs never interleave.
    ssize_t written = write(fd, line.data(), line.size());
    (void)written;
    close(fd);
}

class Host {
public:
    Host(ZKHwnd hwnd, ZKActionHandle handle) : hwnd_(hwnd), handle_(handle) {}

    intptr_t Send(uint32_t msg, uintptr_t wparam, intptr_t lparam) const {
        return g_host.Send(hwnd_, msg, wparam, lparam);
    }
    intptr_t Send(uint32_t msg, const void* block) const {
        return Send(msg, handle_, reinterpret_cast<intptr_t>(block));
    }

    bool Property(uint32_t msg, int16_t code, int16_t id, ZKPropertyRequest* r) const {
        r->code = code;
        r->id = id;
        return Send(msg, r) != 0;
    }
    uint32_t Number(int16_t id, uint32_t fallback) const {
        ZKPropertyRequest r{};
        r.number = fallback;
        return Property(ZKM_GET_PROPERTY, ZK_PROP_ACTION_NUMBER, id, &r) ? r.number : fallback;
    }
    std::string Text(int16_t id, int16_t code, const char* fallback) const {
        ZKPropertyRequest r{};
        std::strncpy(r.text, fallback, sizeof r.text - 1);
        if (!Property(ZKM_GET_PROPERTY, code, id, &r)) return fallback;
        r.text[sizeof r.text - 1] = '\0';
        return r.text;
    }
    bool SetNumber(int16_t id, uint32_t value) const {
        ZKPropertyRequest r{};
        r.number = value;
        return Property(ZKM_SET_PROPERTY, ZK_PROP_ACTION_NUMBER, id, &r);
    }
    bool SetText(int16_t id, const std::string& value) const {
        ZKPropertyRequest r{};
        std::strncpy(r.text, value.c_str(), sizeof r.text - 1);
        return Property(ZKM_SET_PROPERTY, ZK_PROP_ACTION_TEXT, id, &r);
    }

    char* Copy(const std::string& text, size_t offset = 0) const {
        auto* block = static_cast<char*>(g_host.Alloc(offset + text.size() + 1));
        if (block) std::memcpy(block + offset, text.c_str(), text.size() + 1);
        return block;
    }
    void Status(uint32_t msg, const std::string& text) const {
        if (char* copy = Copy(text)) Send(msg, copy);
    }

    // Sends a block for the host to keep; releases it when refused.
    bool Hand(uint32_t msg, void* block) const {
        if (!block) return false;
        if (Send(msg, block)) return true;
        g_host.Free(block);
        return false;
    }

private:
    ZKHwnd hwnd_;
    ZKActionHandle handle_;
};

// Mode 4. Every service a module may use from its run thread:
//   RID 0x10 (text)   set to "set-from-run"
//   RID 0x12 (text)   what a vendor-wide get (code 4) of RID 0x11 with the
//                     default "vendor-default" returned
//   child 1 "child one", sub-item (1,1) "sub one"
//   RID 0x13 (number) the child count read back afterwards
//   RID 0x14 (text)   "$Y" after date expansion
//   RID 0x15 (text)   the error text of code 2 (64-byte buffer)
bool RunServices(const Host& host) {
    bool ok = host.SetText(0x10, "set-from-run");
    ok = host.SetText(0x12, host.Text(0x11, ZK_PROP_VENDOR_TEXT, "vendor-default")) && ok;

    auto* child = reinterpret_cast<ZKChildText*>(host.Copy("child one", sizeof(uint32_t)));
    if (child) child->child = 1;
    ok = host.Hand(ZKM_SET_CHILD, child) && ok;
    auto* sub = reinterpret_cast<ZKSubItemText*>(host.Copy("sub one", 2 * sizeof(uint32_t)));
    if (sub) sub->child = sub->subItem = 1;
    ok = host.Hand(ZKM_SET_SUBITEM, sub) && ok;
    uint32_t count = 0;
    ok = host.Send(ZKM_CHILD_COUNT, &count) && ok;
    ok = host.SetNumber(0x13, count) && ok;

    char date[64] = "$Y";
    ok = host.Send(ZKM_EXPAND_DATE, sizeof date, reinterpret_cast<intptr_t>(date)) && ok;
    date[sizeof date - 1] = '\0';
    ok = host.SetText(0x14, date) && ok;

    char error[64] = {};
    uint32_t size = sizeof error;
    std::memcpy(error, &size, sizeof size);
    ok = host.Send(ZKM_ERROR_TEXT, 2, reinterpret_cast<intptr_t>(error)) && ok;
    ok = host.SetText(0x15, std::string(error, strnlen(error, sizeof error))) && ok;
    return ok;
}

bool StopAsked(ZKActionHandle handle) {
    std::lock_guard lock(g_mutex);
    auto it = g_stopFlags.find(handle);
    return it != g_stopFlags.end() && it->second;
}

int Run(ZKHwnd hwnd, const char* action, ZKActionHandle handle) {
    LogRun(handle, action);
    Host host(hwnd, handle);
    switch (host.Number(1, 0)) {
        case 0:
            return 1;
        case 1:
            return 0;
        case 2: {
            const uint32_t ms = host.Number(2, 0);
            const bool ignoreStop = host.Number(3, 0) == 1;
            const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
            while (ms == 0 || std::chrono::steady_clock::now() < end) {
                if (!ignoreStop && StopAsked(handle)) return 0;
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            return 1;
        }
        case 3:
            host.Status(ZKM_ACTION_STATUS, host.Text(4, ZK_PROP_ACTION_TEXT, ""));
            host.Status(ZKM_ACTION_STATUS2, "second");
            host.Send(ZKM_ACTION_PERCENT, handle, 50);
            return 1;
        case 4:
            return RunServices(host) ? 1 : 0;
        default:
            return 0;
    }
}

const char* StringResource(uint32_t id) {
    switch (id) {
        case ZK_STR_MODULE_ID:
            return ZK40_TESTMODULE_ID;
        case ZK_STR_MODULE_NAME:
            return "Test Module";
        case ZK_STR_VERSION:
            return ZK40_TESTMODULE_VERSION;
        case ZK_STR_VENDOR_ID:
            return ZK40_TESTMODULE_VENDOR;
        case ZK_STR_VENDOR_NAME:
            return "Zarkell Tests";
        case ZK_STR_VENDOR_WEB:
        case ZK_STR_LEGAL:
            return "";
        case ZK_STR_DATA:
            return "Module for the tests of the host";
        default:
            return nullptr;
    }
}

}  // namespace

extern "C" {

ZK_EXPORT void ZKSetHost(const ZKHostFunctions* host) {
    g_hasHost =
        host && host->size >= sizeof(ZKHostFunctions) && host->Send && host->Alloc && host->Free;
    if (g_hasHost) g_host = *host;
}

ZK_EXPORT int ZKLoadString(uint32_t id, char* buffer, int size) {
    if (!buffer || size <= 0) return 0;
    const char* text = StringResource(id);
    size_t n = text ? std::min(std::strlen(text), static_cast<size_t>(size - 1)) : 0;
    std::memcpy(buffer, text ? text : "", n);
    buffer[n] = '\0';
    return static_cast<int>(n);
}

ZK_EXPORT int ZKStart(int16_t) { return g_hasHost && !EnvIsOne("ZK40_TEST_FAIL_START") ? 1 : 0; }

ZK_EXPORT int ZKEnableAction(const char* action) {
    return IsOurAction(action) && !EnvIsOne("ZK40_TEST_FAIL_ENABLE") ? 1 : 0;
}

ZK_EXPORT int ZKDisableAction(const char*) { return 1; }
ZK_EXPORT int ZKInitAction(ZKHwnd, const char*, ZKActionHandle) { return 1; }
ZK_EXPORT int ZKDeinitAction(ZKHwnd, const char*, ZKActionHandle) { return 1; }
ZK_EXPORT int ZKPreferences(ZKHwnd, const char*, ZKActionHandle) { return 1; }
ZK_EXPORT int ZKCleanupAction(ZKHwnd, const char*, ZKActionHandle) { return 1; }
ZK_EXPORT int ZKTrayCallback(ZKHwnd, const char*, ZKActionHandle, uint32_t) { return 0; }

ZK_EXPORT int ZKRunAction(ZKHwnd hwnd, const char* action, ZKActionHandle handle) {
    if (!g_hasHost || !IsOurAction(action)) return 0;
    try {
        {
            std::lock_guard lock(g_mutex);
            g_stopFlags[handle] = false;
        }
        int result = Run(hwnd, action, handle);
        std::lock_guard lock(g_mutex);
        g_stopFlags.erase(handle);
        return result;
    } catch (...) {
        std::lock_guard lock(g_mutex);
        g_stopFlags.erase(handle);
        return 0;
    }
}

ZK_EXPORT int ZKStopAction(ZKHwnd, const char*, ZKActionHandle handle) {
    std::lock_guard lock(g_mutex);
    auto it = g_stopFlags.find(handle);
    if (it == g_stopFlags.end()) return 0;
    it->second = true;
    return 1;
}

ZK_EXPORT int ZKGetActionData(const char* action, char* buffer) {
    if (!buffer || !IsOurAction(action)) return 0;
    std::snprintf(buffer, ZK_ACTION_DATA_SIZE, "test data %s", action);
    return 1;
}

}  // extern "C"
