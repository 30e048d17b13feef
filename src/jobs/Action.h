#pragma once
// TAction: one step of a job, in memory and in the store at once. Its key is
// <job key>\A%08.8X of its index; every persistent member is a bound value
// that writes through. Besides its identity (the catalogue triple) it keeps
// the run status a module reports, a small per-action property store (the
// RID subkey) and child items shown under it in the tree (the CHILDREN
// subkey).
//
// Locking: the action derives from TSync and its lock guards every member
// below. Take it only around single member reads and writes, after the
// job's lock when both are needed, and never across a call into a module.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "store/RegValue.h"
#include "store/Store.h"
#include "support/Sync.h"

namespace zk40 {

class TJob;

// The catalogue triple that ties an action to its module.
struct ActionIdentity {
    std::string vendor, module, action;
};

// A property value travelling between a module and the host. Code 1..8
// picks the value type (odd: number, even: text) and the scope (the action,
// its vendor, its module or its action type).
struct TPropertyRequest {
    int16_t Id = 0;
    int16_t Code = 0;
    uint32_t Number = 0;
    std::string Text{};
};

// Final and without virtual functions, like TJob: no table pointer in each
// of tens of thousands of actions.
class TAction final : public TSync {
public:
    static constexpr uint32_t kMarker = 0x5A5AA5A5;
    // Child numbers beyond this are refused rather than grow the arrays
    // without end on a module's say-so.
    static constexpr uint32_t kMaxChildItems = 65536;

    // A second-level child node of the tree.
    struct ZK40TreeItem {
        uint32_t Item = 0;
    };
    // A first-level child node and the nodes of its own children. Only the
    // tree handles live here; the texts are in the store.
    struct ZK40Child {
        uint32_t Item = 0;
        std::vector<ZK40TreeItem> Items;
    };

    // Opens or creates <jobKey>\A%08.8X of index and binds the values; the
    // identity strings are bound with the given values as defaults.
    TAction(TJob* job, uint32_t index, const TRegKey& jobKey, std::string_view vendorId,
            std::string_view moduleId, std::string_view actionId);
    // The same on a key the caller has already opened (the loader has it at
    // hand and so saves opening it twice).
    TAction(TJob* job, uint32_t index, TRegKey&& actionKey, std::string_view vendorId,
            std::string_view moduleId, std::string_view actionId);
    // The stored action is kept; only the object goes.
    ~TAction();
    TAction(const TAction&) = delete;
    TAction& operator=(const TAction&) = delete;

    static std::string KeyName(uint32_t index);        // "A%08.8X"
    static std::string PropertyValueName(int16_t id);  // "RID-%04.4X"
    static std::string ChildValueName(uint32_t n);     // "CHILD-%05.5d"

    // The handle stays the same for the life of the object, also when the
    // job moves the action to another index.
    uint32_t Handle() const { return handle_; }
    bool IsAlive() const { return marker_ == kMarker; }
    TJob* Job() const { return job_; }
    uint32_t Index() const;
    // Guarded like the members: hold the action's lock while using it.
    const TRegKey& Key() const { return key_; }

    // The identity, read under the action's lock.
    ActionIdentity Identity() const;

    // Writes Name, Status, Status2, Percent, LastStat and the identity from
    // memory; true when the store took every value.
    bool Save();

    // Tree handles of child n and of its child m (both from 1). Reading past
    // what was set gives 0; setting grows the arrays up to kMaxChildItems.
    uint32_t ChildItem(uint32_t n) const;
    bool SetChildItem(uint32_t n, uint32_t item);
    uint32_t GrandchildItem(uint32_t n, uint32_t m) const;
    bool SetGrandchildItem(uint32_t n, uint32_t m, uint32_t item);
    size_t ChildItemCount() const;
    void ClearChildItems();

private:
    friend class TJob;
    // Points the object at another index of the same job without making a
    // new one, so handles held by the tree and the modules stay valid.
    // Returns the key it was bound to before.
    TRegKey Rebind(uint32_t index, TRegKey&& key);
    // Reads the texts bound deferred, so that they belong to the object
    // before its key's values are overwritten (an exchange with a
    // neighbour writes the other action's values there).
    void ReadTexts() const;
    void BindValues(std::string_view vendorId, std::string_view moduleId,
                    std::string_view actionId);

    // Members in the order the record has always had them.
    uint32_t marker_ = kMarker;
    uint32_t handle_ = 0;  // beside the marker, where it fills what would be padding
    TJob* job_;
    uint32_t index_;

public:
    uint32_t TreeItem = 0;    // the action's node in the main window's tree
    uint32_t StatusNode = 0;  // the node that shows its status line
    uint8_t Running = 0;      // 1 while the job thread runs it
    uint8_t Ready = 0;        // 0 while its properties are edited or it is not shown yet
    // Set on the main thread when a first status line arrives, cleared when
    // a run begins: tells whether Status belongs to the run that ended.
    uint8_t StatusReported = 0;

private:
    // Whether the child-item table holds entries for this action (fills
    // what would be padding).
    uint8_t hasChildren_ = 0;
    TRegKey key_;

public:
    TRegString Name;
    TRegString Status;
    TRegString Status2;
    TRegDword Percent;
    TRegDword LastStat;
    TRegString VendorID;
    TRegString ModuleID;
    TRegString ActionID;
};
// Tens of thousands of actions are loaded at once: keep each one within the
// allocator's 208-byte class.
static_assert(sizeof(TAction) <= 200);

}  // namespace zk40
