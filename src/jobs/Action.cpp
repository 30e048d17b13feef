#include "jobs/Action.h"

#include <cstdio>
#include <mutex>
#include <unordered_map>

#include "jobs/ActionHandle.h"

namespace zk40 {

TAction::TAction(TJob* job, uint32_t index, const TRegKey& jobKey, std::string_view vendorId,
                 std::string_view moduleId, std::string_view actionId)
    : TAction(job, index, TRegKey(jobKey, KeyName(index)), vendorId, moduleId, actionId) {}

TAction::TAction(TJob* job, uint32_t index, TRegKey&& actionKey, std::string_view vendorId,
                 std::string_view moduleId, std::string_view actionId)
    : job_(job), index_(index), key_(std::move(actionKey)) {
    BindValues(vendorId, moduleId, actionId);
    // Registered last: a handle must never name a half-built action.
    handle_ = RegisterActionHandle(this);
}

TAction::~TAction() {
    UnregisterActionHandle(handle_);
    ClearChildItems();
    marker_ = 0;
}

void TAction::BindValues(std::string_view vendorId, std::string_view moduleId,
                         std::string_view actionId) {
    // Read when first asked for: only a window shows them, and a run reads
    // them once, while tens of thousands of actions may be loaded.
    Name.BindDeferred(key_, "Name", "");
    Status.BindDeferred(key_, "Status", "Action Created.");
    Status2.BindDeferred(key_, "Status2", "");
    Percent.Bind(key_, "Percent", 0);
    LastStat.Bind(key_, "LastStat", 0);
    VendorID.Bind(key_, "VendorID", vendorId);
    ModuleID.Bind(key_, "ModuleID", moduleId);
    ActionID.Bind(key_, "ActionID", actionId);
    // The values now live in the bound members; thousands of actions must
    // not each keep a second copy of them.
    key_.DropSnapshot();
}

void TAction::ReadTexts() const {
    TLock lock(*this);
    for (const TRegString* text : {&Name, &Status, &Status2}) text->Get();
}

std::string TAction::KeyName(uint32_t index) {
    char buf[16];
    snprintf(buf, sizeof buf, "A%.8X", index);
    return buf;
}

std::string TAction::PropertyValueName(int16_t id) {
    // A negative identifier widens to 32 bits and so shows eight digits.
    char buf[16];
    snprintf(buf, sizeof buf, "RID-%.4X", static_cast<unsigned>(static_cast<int32_t>(id)));
    return buf;
}

std::string TAction::ChildValueName(uint32_t n) {
    char buf[24];
    snprintf(buf, sizeof buf, "CHILD-%.5d", static_cast<int>(n));
    return buf;
}

uint32_t TAction::Index() const {
    TLock lock(*this);
    return index_;
}

bool TAction::Save() {
    TLock lock(*this);
    TStore* store = key_.Store();
    if (!store) return false;
    // One transaction: eight commits for one action would be slow, and a
    // half-saved action is worth nothing.
    return store->Transaction([&] {
        return Name.Set(Name.Get()) == kRegOk && Status.Set(Status.Get()) == kRegOk &&
               Status2.Set(Status2.Get()) == kRegOk && Percent.Set(Percent.Get()) == kRegOk &&
               LastStat.Set(LastStat.Get()) == kRegOk && VendorID.Set(VendorID.Get()) == kRegOk &&
               ModuleID.Set(ModuleID.Get()) == kRegOk && ActionID.Set(ActionID.Get()) == kRegOk;
    });
}

TRegKey TAction::Rebind(uint32_t index, TRegKey&& key) {
    TLock lock(*this);
    ReadTexts();
    TRegKey old = std::move(key_);
    // The bound values refer to the member key_, so they follow it.
    key_ = std::move(key);
    index_ = index;
    return old;
}

namespace {
// The window's nodes for the lines an action's module shows below it. Few
// actions have any, so they live in a table beside the actions rather than
// in each of them. Taken after the action's lock.
std::mutex gChildMutex;
std::unordered_map<const TAction*, std::vector<TAction::ZK40Child>>& ChildTable() {
    static auto* table = new std::unordered_map<const TAction*, std::vector<TAction::ZK40Child>>;
    return *table;
}
const std::vector<TAction::ZK40Child>* FindChildren(const TAction* a) {
    auto it = ChildTable().find(a);
    return it == ChildTable().end() ? nullptr : &it->second;
}
}  // namespace

uint32_t TAction::ChildItem(uint32_t n) const {
    TLock lock(*this);
    if (!hasChildren_) return 0;
    std::lock_guard<std::mutex> table(gChildMutex);
    const auto* children = FindChildren(this);
    return children && n >= 1 && n <= children->size() ? (*children)[n - 1].Item : 0;
}

bool TAction::SetChildItem(uint32_t n, uint32_t item) {
    if (n < 1 || n > kMaxChildItems) return false;
    TLock lock(*this);
    std::lock_guard<std::mutex> table(gChildMutex);
    auto& children = ChildTable()[this];
    hasChildren_ = 1;
    if (children.size() < n) children.resize(n);
    children[n - 1].Item = item;
    return true;
}

uint32_t TAction::GrandchildItem(uint32_t n, uint32_t m) const {
    TLock lock(*this);
    if (!hasChildren_) return 0;
    std::lock_guard<std::mutex> table(gChildMutex);
    const auto* children = FindChildren(this);
    if (!children || n < 1 || n > children->size()) return 0;
    const auto& items = (*children)[n - 1].Items;
    return m >= 1 && m <= items.size() ? items[m - 1].Item : 0;
}

bool TAction::SetGrandchildItem(uint32_t n, uint32_t m, uint32_t item) {
    if (n < 1 || n > kMaxChildItems || m < 1 || m > kMaxChildItems) return false;
    TLock lock(*this);
    std::lock_guard<std::mutex> table(gChildMutex);
    auto& children = ChildTable()[this];
    hasChildren_ = 1;
    if (children.size() < n) children.resize(n);
    auto& items = children[n - 1].Items;
    if (items.size() < m) items.resize(m);
    items[m - 1].Item = item;
    return true;
}

size_t TAction::ChildItemCount() const {
    TLock lock(*this);
    if (!hasChildren_) return 0;
    std::lock_guard<std::mutex> table(gChildMutex);
    const auto* children = FindChildren(this);
    return children ? children->size() : 0;
}

void TAction::ClearChildItems() {
    TLock lock(*this);
    if (!hasChildren_) return;
    std::lock_guard<std::mutex> table(gChildMutex);
    ChildTable().erase(this);
    hasChildren_ = 0;
}

ActionIdentity TAction::Identity() const {
    TLock lock(*this);
    return {VendorID.Get(), ModuleID.Get(), ActionID.Get()};
}

}  // namespace zk40
