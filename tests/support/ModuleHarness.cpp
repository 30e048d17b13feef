#include "ModuleHarness.h"

#include <dlfcn.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zk40test {

namespace {

std::atomic<long> g_outstanding{0};

void* HostAlloc(size_t bytes) {
    void* block = std::malloc(bytes ? bytes : 1);
    if (block) ++g_outstanding;
    return block;
}

void HostFree(void* block) {
    if (!block) return;
    --g_outstanding;
    std::free(block);
}

char* HostCopy(const std::string& text) {
    auto* copy = static_cast<char*>(HostAlloc(text.size() + 1));
    std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

}  // namespace

long OutstandingHostBlocks() { return g_outstanding.load(); }

ModuleHarness::ModuleHarness(const std::string& path) {
    table_.size = sizeof table_;
    table_.version = ZK_HOST_VERSION;
    table_.Send = &ModuleHarness::SendThunk;
    table_.Post = &ModuleHarness::PostThunk;
    table_.Alloc = &HostAlloc;
    table_.Free = &HostFree;
    lib_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!lib_) {
        const char* why = dlerror();
        error_ = "cannot load " + path + ": " + (why ? why : "unknown reason");
        return;
    }
    auto setHost = reinterpret_cast<ZKSetHostFn>(Symbol("ZKSetHost"));
    if (!setHost) {
        error_ = path + " has no ZKSetHost";
        dlclose(lib_);
        lib_ = nullptr;
        return;
    }
    setHost(&table_);
}

ModuleHarness::~ModuleHarness() {
    if (lib_) dlclose(lib_);
}

void* ModuleHarness::Symbol(const char* name) const { return lib_ ? dlsym(lib_, name) : nullptr; }

bool ModuleHarness::HasExport(const char* name) const { return Symbol(name) != nullptr; }

std::string ModuleHarness::LoadString(uint32_t id, int size) {
    auto fn = reinterpret_cast<ZKLoadStringFn>(Symbol("ZKLoadString"));
    if (!fn || size <= 0) return "";
    // One byte more than the module is told, as a guard it must not touch.
    std::vector<char> buffer(static_cast<size_t>(size) + 1, 'x');
    int n = fn(id, buffer.data(), size);
    if (n < 0 || n >= size || buffer[static_cast<size_t>(n)] != '\0' || buffer.back() != 'x')
        return "<bad ZKLoadString result>";
    return std::string(buffer.data(), static_cast<size_t>(n));
}

int ModuleHarness::Start(int16_t moduleId) {
    auto fn = reinterpret_cast<ZKStartFn>(Symbol("ZKStart"));
    return fn ? fn(moduleId) : 0;
}

int ModuleHarness::EnableAction(const std::string& action) {
    auto fn = reinterpret_cast<ZKEnableActionFn>(Symbol("ZKEnableAction"));
    return fn ? fn(action.c_str()) : 0;
}

int ModuleHarness::GetActionData(const std::string& action, std::string* data) {
    auto fn = reinterpret_cast<ZKGetActionDataFn>(Symbol("ZKGetActionData"));
    data->clear();
    if (!fn) return 0;
    char buffer[ZK_ACTION_DATA_SIZE + 1];
    std::memset(buffer, 0, sizeof buffer);
    buffer[ZK_ACTION_DATA_SIZE] = '#';  // a guard the module must not touch
    int result = fn(action.c_str(), buffer);
    if (buffer[ZK_ACTION_DATA_SIZE] != '#') {
        *data = "<ZKGetActionData wrote past its buffer>";
        return result;
    }
    *data = std::string(buffer, strnlen(buffer, ZK_ACTION_DATA_SIZE));
    return result;
}

int ModuleHarness::RunAction(const std::string& action, ZKActionHandle handle) {
    auto fn = reinterpret_cast<ZKActionFn>(Symbol("ZKRunAction"));
    if (!fn) return 0;
    {
        std::lock_guard lock(mutex_);
        actionOf_[handle] = action;
    }
    return fn(this, action.c_str(), handle);
}

int ModuleHarness::StopAction(const std::string& action, ZKActionHandle handle) {
    auto fn = reinterpret_cast<ZKActionFn>(Symbol("ZKStopAction"));
    return fn ? fn(this, action.c_str(), handle) : 0;
}

std::string ModuleHarness::Scope(ZKActionHandle h, int code) const {
    switch (code) {
        case ZK_PROP_ACTION_NUMBER:
        case ZK_PROP_ACTION_TEXT:
            return "action " + std::to_string(h);
        case ZK_PROP_VENDOR_NUMBER:
        case ZK_PROP_VENDOR_TEXT:
            return "vendor";
        case ZK_PROP_MODULE_NUMBER:
        case ZK_PROP_MODULE_TEXT:
            return "module";
        default: {
            auto it = actionOf_.find(h);
            return "type " + (it == actionOf_.end() ? std::string() : it->second);
        }
    }
}

void ModuleHarness::SetNumber(ZKActionHandle h, int16_t id, uint32_t value, int code) {
    std::lock_guard lock(mutex_);
    numbers_[{Scope(h, code), id}] = value;
}

void ModuleHarness::SetText(ZKActionHandle h, int16_t id, const std::string& value, int code) {
    std::lock_guard lock(mutex_);
    texts_[{Scope(h, code), id}] = value;
}

std::optional<uint32_t> ModuleHarness::Number(ZKActionHandle h, int16_t id, int code) const {
    std::lock_guard lock(mutex_);
    auto it = numbers_.find({Scope(h, code), id});
    if (it == numbers_.end()) return std::nullopt;
    return it->second;
}

std::optional<std::string> ModuleHarness::Text(ZKActionHandle h, int16_t id, int code) const {
    std::lock_guard lock(mutex_);
    auto it = texts_.find({Scope(h, code), id});
    if (it == texts_.end()) return std::nullopt;
    return it->second;
}

std::map<uint32_t, std::string> ModuleHarness::Children(ZKActionHandle h) const {
    std::lock_guard lock(mutex_);
    auto it = children_.find(h);
    return it == children_.end() ? std::map<uint32_t, std::string>{} : it->second;
}

void ModuleHarness::SetChildren(ZKActionHandle h, const std::map<uint32_t, std::string>& c) {
    std::lock_guard lock(mutex_);
    children_[h] = c;
}

std::map<std::pair<uint32_t, uint32_t>, std::string> ModuleHarness::SubItems(
    ZKActionHandle h) const {
    std::lock_guard lock(mutex_);
    auto it = subItems_.find(h);
    return it == subItems_.end() ? std::map<std::pair<uint32_t, uint32_t>, std::string>{}
                                 : it->second;
}

std::vector<std::string> ModuleHarness::Statuses(ZKActionHandle h, uint32_t msg) const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    auto it = statuses_.find(h);
    if (it != statuses_.end())
        for (const auto& [m, text] : it->second)
            if (m == msg) out.push_back(text);
    return out;
}

std::vector<int> ModuleHarness::Percents(ZKActionHandle h) const {
    std::lock_guard lock(mutex_);
    auto it = percents_.find(h);
    return it == percents_.end() ? std::vector<int>{} : it->second;
}

void ModuleHarness::SetDate(int year, int month, int day) {
    std::lock_guard lock(mutex_);
    year_ = year;
    month_ = month;
    day_ = day;
}

void ModuleHarness::DropHandle(ZKActionHandle h) {
    std::lock_guard lock(mutex_);
    dropped_.insert(h);
}

void ModuleHarness::OnRequest(std::function<void(uint32_t, uintptr_t)> hook) {
    std::lock_guard lock(mutex_);
    hook_ = std::move(hook);
}

intptr_t ModuleHarness::SendThunk(ZKHwnd hwnd, uint32_t msg, uintptr_t wparam, intptr_t lparam) {
    return static_cast<ModuleHarness*>(hwnd)->Answer(msg, wparam, lparam);
}

// Posted requests are answered at once on the caller's thread; the order of
// a module's requests is what the tests look at, not their timing.
int ModuleHarness::PostThunk(ZKHwnd hwnd, uint32_t msg, uintptr_t wparam, intptr_t lparam) {
    return static_cast<ModuleHarness*>(hwnd)->Answer(msg, wparam, lparam) ? 1 : 0;
}

// Only $Y, $m, $d and $$; any other code is removed as the real expansion
// removes unknown ones, and a lone "$" at the end stays.
std::string ModuleHarness::Expand(const std::string& text) const {
    std::string out;
    char buf[16];
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '$' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        switch (text[++i]) {
            case 'Y':
                std::snprintf(buf, sizeof buf, "%d", year_);
                out += buf;
                break;
            case 'm':
                std::snprintf(buf, sizeof buf, "%02d", month_);
                out += buf;
                break;
            case 'd':
                std::snprintf(buf, sizeof buf, "%02d", day_);
                out += buf;
                break;
            case '$':
                out += '$';
                break;
            default:
                break;
        }
    }
    return out;
}

intptr_t ModuleHarness::Property(bool set, ZKActionHandle h, ZKPropertyRequest* r) {
    if (r->code < 1 || r->code > 8) return 0;
    const bool isNumber = r->code % 2 == 1;
    const Key key{Scope(h, r->code), r->id};
    if (isNumber) {
        auto it = numbers_.find(key);
        if (set || it == numbers_.end())
            numbers_[key] = r->number;
        else
            r->number = it->second;
    } else {
        r->text[ZK_PROPERTY_TEXT_SIZE - 1] = '\0';
        auto it = texts_.find(key);
        if (set || it == texts_.end()) {
            texts_[key] = r->text;
        } else {
            std::string value = it->second.substr(0, ZK_PROPERTY_TEXT_SIZE - 1);
            std::memcpy(r->text, value.c_str(), value.size() + 1);
        }
    }
    return 1;
}

intptr_t ModuleHarness::Answer(uint32_t msg, uintptr_t wparam, intptr_t lparam) {
    std::function<void(uint32_t, uintptr_t)> hook;
    {
        std::lock_guard lock(mutex_);
        hook = hook_;
    }
    if (hook) hook(msg, wparam);

    std::lock_guard lock(mutex_);
    const auto h = static_cast<ZKActionHandle>(wparam);
    void* block = reinterpret_cast<void*>(lparam);
    switch (msg) {
        case ZKM_ACTION_NAME:
        case ZKM_ACTION_STATUS:
        case ZKM_ACTION_STATUS2: {
            // The host owns a status text in every case.
            if (Live(h)) statuses_[h].emplace_back(msg, static_cast<const char*>(block));
            HostFree(block);
            return Live(h) ? 1 : 0;
        }
        case ZKM_ACTION_PERCENT:
            if (!Live(h)) return 0;
            percents_[h].push_back(static_cast<int>(lparam));
            return 1;
        case ZKM_ERROR_TEXT: {
            uint32_t size;
            std::memcpy(&size, block, sizeof size);
            std::string text = "Error text " + std::to_string(static_cast<int32_t>(wparam));
            std::strncpy(static_cast<char*>(block), text.c_str(), size);
            return 1;
        }
        case ZKM_EXPAND_DATE: {
            const size_t size = wparam;
            if (size == 0) return 1;
            auto* buffer = static_cast<char*>(block);
            std::string out = Expand(std::string(buffer, strnlen(buffer, size)));
            size_t n = std::min(out.size(), size - 1);
            std::memcpy(buffer, out.data(), n);
            buffer[n] = '\0';
            return 1;
        }
        default:
            break;
    }

    if (!Live(h)) return 0;
    switch (msg) {
        case ZKM_SET_PROPERTY:
        case ZKM_GET_PROPERTY:
            return Property(msg == ZKM_SET_PROPERTY, h, static_cast<ZKPropertyRequest*>(block));
        case ZKM_CHILD_COUNT:
            *static_cast<uint32_t*>(block) = static_cast<uint32_t>(children_[h].size());
            return 1;
        case ZKM_GET_CHILD: {
            auto** cell = static_cast<void**>(block);
            uint32_t child = *static_cast<const uint32_t*>(*cell);
            *cell = HostCopy(children_[h][child]);
            return 1;
        }
        case ZKM_SET_CHILD: {
            auto* b = static_cast<ZKChildText*>(block);
            children_[h][b->child] = b->text;
            HostFree(block);
            return 1;
        }
        case ZKM_DELETE_CHILDREN:
            children_.erase(h);
            subItems_.erase(h);
            return 1;
        case ZKM_SUBITEM_COUNT: {
            auto* b = static_cast<ZKSubItemCount*>(block);
            b->count = 0;
            for (const auto& [key, text] : subItems_[h])
                if (key.first == b->child) ++b->count;
            return 1;
        }
        case ZKM_GET_SUBITEM: {
            auto** cell = static_cast<void**>(block);
            auto* ref = static_cast<const ZKSubItemRef*>(*cell);
            *cell = HostCopy(subItems_[h][{ref->child, ref->subItem}]);
            return 1;
        }
        case ZKM_SET_SUBITEM: {
            auto* b = static_cast<ZKSubItemText*>(block);
            subItems_[h][{b->child, b->subItem}] = b->text;
            HostFree(block);
            return 1;
        }
        default:
            return 0;
    }
}

AsyncRun::AsyncRun(ModuleHarness& host, std::string action, ZKActionHandle handle) {
    thread_ = std::thread([this, &host, action = std::move(action), handle] {
        int result = host.RunAction(action, handle);
        std::lock_guard lock(mutex_);
        result_ = result;
        finished_ = true;
        done_.notify_all();
    });
}

AsyncRun::~AsyncRun() {
    if (thread_.joinable()) thread_.join();
}

bool AsyncRun::Wait(int timeoutMs) {
    std::unique_lock lock(mutex_);
    return done_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return finished_; });
}

int AsyncRun::Result() const {
    std::lock_guard lock(mutex_);
    return result_;
}

}  // namespace zk40test
