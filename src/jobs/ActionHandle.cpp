#include "jobs/ActionHandle.h"

#include <algorithm>
#include <mutex>
#include <utility>
#include <vector>

#include "jobs/Action.h"

namespace zk40 {

namespace {

// (handle, action) pairs in handle order. Handles come from a counter, so a
// new one goes at the end; a removed one leaves a hole (nullptr) until holes
// make up half the table, when it is compacted. That is 16 to 32 bytes per
// live action, well under what a node-based hash map costs, which matters
// with tens of thousands of actions loaded.
struct HandleTable {
    using Entry = std::pair<uint32_t, TAction*>;
    std::mutex mutex;
    std::vector<Entry> entries;
    size_t holes = 0;
    uint32_t next = kFirstActionHandle;

    std::vector<Entry>::iterator Find(uint32_t handle) {
        return std::lower_bound(entries.begin(), entries.end(), handle,
                                [](const Entry& e, uint32_t h) { return e.first < h; });
    }
};

// Function-local so that actions made during static initialisation of some
// other file still find a constructed table; never destroyed, so that it
// outlives every action, including those of static objects.
HandleTable& Table() {
    static HandleTable* table = new HandleTable();
    return *table;
}

}  // namespace

uint32_t RegisterActionHandle(TAction* action) {
    HandleTable& t = Table();
    std::lock_guard<std::mutex> lock(t.mutex);
    for (;;) {
        const uint32_t h = t.next++;
        // Four billion actions would have to be made before the counter
        // wraps; if it ever does, it skips 0, 1 and every handle still alive.
        if (t.next < kFirstActionHandle) t.next = kFirstActionHandle;
        auto it = t.Find(h);
        if (it != t.entries.end() && it->first == h) {
            if (it->second) continue;
            it->second = action;
            --t.holes;
            return h;
        }
        t.entries.insert(it, {h, action});
        return h;
    }
}

void UnregisterActionHandle(uint32_t handle) {
    HandleTable& t = Table();
    std::lock_guard<std::mutex> lock(t.mutex);
    auto it = t.Find(handle);
    if (it == t.entries.end() || it->first != handle || !it->second) return;
    it->second = nullptr;
    if (++t.holes > 64 && t.holes * 2 > t.entries.size()) {
        std::erase_if(t.entries, [](const HandleTable::Entry& e) { return e.second == nullptr; });
        t.holes = 0;
        if (t.entries.capacity() > 2 * t.entries.size() + 64) t.entries.shrink_to_fit();
    }
}

TAction* ResolveActionHandle(uint32_t handle) {
    if (handle == 0) return nullptr;
    HandleTable& t = Table();
    std::lock_guard<std::mutex> lock(t.mutex);
    auto it = t.Find(handle);
    if (it == t.entries.end() || it->first != handle || !it->second) return nullptr;
    return it->second->IsAlive() ? it->second : nullptr;
}

uint32_t LiveActionHandleCount() {
    HandleTable& t = Table();
    std::lock_guard<std::mutex> lock(t.mutex);
    return static_cast<uint32_t>(t.entries.size() - t.holes);
}

}  // namespace zk40
