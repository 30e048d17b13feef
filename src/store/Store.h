#pragma once
// The persistent store: a hierarchical key/value tree with registry
// semantics (case-insensitive, case-preserving names; typed raw values),
// kept in one SQLite file per user. Every write is its own committed
// transaction, so a killed process loses nothing it had written.
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace zk40 {

enum RegType : uint32_t {
    REG_NONE = 0,
    REG_SZ = 1,
    REG_EXPAND_SZ = 2,
    REG_BINARY = 3,
    REG_DWORD = 4,
    REG_DWORD_BIG_ENDIAN = 5,
    REG_LINK = 6,
    REG_MULTI_SZ = 7,
};

// Results follow the platform's error numbers so that they read the same in
// status texts as any other failure.
enum RegResult : long {
    kRegOk = 0,
    kRegNotFound = 2,
    kRegAccessDenied = 5,
    kRegInvalidHandle = 6,
    kRegInvalidName = 123,
    kRegKeyHasSubkeys = 1020,
    kRegMoreData = 234,
    kRegNoMoreItems = 259,
    kRegBusy = 170,
    kRegKeyDeleted = 1018,
    kRegStoreError = 1009,
};

using KeyId = int64_t;

struct RegValueData {
    uint32_t type = REG_NONE;
    std::string data;
};

struct RegNamedValue {
    std::string name;
    RegValueData value;
};

// One key with its values, as a bulk read returns it.
struct RegKeyValues {
    KeyId id = 0;
    KeyId parent = 0;
    std::string name;
    std::vector<RegNamedValue> values;
};

class TStore {
public:
    // Opens the store file, creating it (mode 0600, folder 0700) when missing.
    static std::unique_ptr<TStore> Open(const std::string& path, std::string* error = nullptr);
    // $XDG_DATA_HOME/zarkell40/store.db, default ~/.local/share/zarkell40/store.db
    static std::string DefaultPath();

    ~TStore();
    TStore(const TStore&) = delete;
    TStore& operator=(const TStore&) = delete;

    const std::string& Path() const { return path_; }
    // HKEY_CURRENT_USER.
    KeyId RootId() const { return rootId_; }

    // Opens (and with create, makes) the key at a '\'-separated path below
    // parent. Returns 0 when it cannot. Counts are those at open time.
    // Counts are read only when asked for; `created` tells that the key was
    // made by this call.
    KeyId OpenKey(KeyId parent, std::string_view path, bool create, uint32_t* subkeys = nullptr,
                  uint32_t* values = nullptr, long* result = nullptr, bool* created = nullptr);
    bool KeyExists(KeyId id);
    std::string KeyName(KeyId id);
    KeyId ParentOf(KeyId id);
    uint32_t SubKeyCount(KeyId id);
    uint32_t ValueCount(KeyId id);

    long QueryValue(KeyId key, std::string_view name, RegValueData* out);
    long SetValue(KeyId key, std::string_view name, uint32_t type, std::string_view data);
    long DeleteValue(KeyId key, std::string_view name);
    // Plain deletion: the key and its values go unless it still has subkeys.
    long DeleteKey(KeyId parent, std::string_view name);
    long DeleteKeyTree(KeyId parent, std::string_view name);
    // Empties a key: its values and every subkey below it go, the key stays.
    long ClearKey(KeyId key);

    // Enumeration by index. A run of calls with growing indices costs
    // constant time each: the names are read once and kept until the
    // key's children change.
    long EnumSubKey(KeyId key, uint32_t index, std::string* name);
    long EnumValue(KeyId key, uint32_t index, std::string* name, uint32_t* type);
    long LoadValues(KeyId key, std::vector<RegNamedValue>* out);
    long ListSubKeys(KeyId key, std::vector<std::string>* out);
    // The subkeys of key and their subkeys (two levels), each with its
    // values, in one read: comparing thousands of jobs with what is stored
    // must not cost a statement per key.
    long LoadTwoLevels(KeyId key, std::vector<RegKeyValues>* out);
    // The same for the subkeys of key alone.
    long LoadOneLevel(KeyId key, std::vector<RegKeyValues>* out);

    // Changes whenever any value or key changes, in this process or another.
    uint64_t ChangeStamp();
    // Changes only when another process (or another connection) committed a
    // write; our own writes leave it as it is.
    int64_t DataVersion();
    // Hands back the page cache's memory (the pages are read again when
    // needed). For after a large load, when the cache holds pages that
    // will not be read again soon.
    void ReleaseMemory();

    // Runs work inside one transaction (nested calls become savepoints).
    // work returns false to roll everything back.
    template <typename F>
    bool Transaction(F&& work) {
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        if (!BeginTx()) return false;
        bool ok = false;
        try {
            ok = work();
        } catch (...) {
            EndTx(false);
            throw;
        }
        return EndTx(ok) && ok;
    }

    // Runs a statement text (a schema of tables kept beside the key tree)
    // the first time it is asked for on this connection; later calls with
    // the same text (the same pointer) cost nothing. ForgetOnce makes the
    // next call run it again, for when its tables turn out to be missing.
    bool ExecOnce(const char* sql);
    void ForgetOnce(const char* sql);

    std::recursive_mutex& Mutex() { return mutex_; }
    // The connection, for tables of their own kept beside the key tree (the
    // run history); use it only while holding Mutex(). What is written
    // through it is this process's own write, like any other.
    sqlite3* Handle() { return db_; }

private:
    TStore() = default;
    bool Init(const std::string& path, std::string* error);
    sqlite3_stmt* Prepare(const char* sql);
    bool Exec(const char* sql);
    bool BeginTx();
    bool EndTx(bool commit);
    KeyId FindChild(KeyId parent, std::string_view name);
    long LoadLevels(KeyId key, bool two, std::vector<RegKeyValues>* out);
    long DeleteTreeById(KeyId id);
    // Runs a one-parameter statement on a key id; the store's result.
    long StepById(const char* sql, KeyId id);
    void KeysChanged() { ++keyGen_; }
    void ValuesChanged(bool structural) {
        ++valueGen_;
        if (structural) ++valueStructGen_;
    }
    struct NameCache {
        KeyId key = 0;
        uint64_t gen = 0;
        int64_t dataVersion = -1;
        std::vector<std::string> names;
        std::vector<uint32_t> types;
        uint64_t lastUse = 0;
    };
    NameCache* CachedNames(bool values, KeyId key);

    std::string path_;
    sqlite3* db_ = nullptr;
    KeyId rootId_ = 0;
    std::recursive_mutex mutex_;
    int txDepth_ = 0;
    uint64_t keyGen_ = 1, valueGen_ = 1, valueStructGen_ = 1, useCounter_ = 0;
    struct StmtEntry {
        const char* sql;
        sqlite3_stmt* stmt;
    };
    std::vector<StmtEntry> stmts_;
    std::vector<const char*> execOnce_;
    static constexpr int kCacheSlots = 8;
    NameCache subkeyCache_[kCacheSlots];
    NameCache valueCache_[kCacheSlots];
};

// An open key. Owns nothing but its place in the tree; the key stays in the
// store when the handle goes away. An empty handle (no store, or a key that
// could not be opened) makes every operation do nothing.
class TRegKey {
public:
    TRegKey() = default;
    TRegKey(TStore* store, KeyId parent, std::string_view path, bool create = true);
    TRegKey(const TRegKey& parent, std::string_view path, bool create = true);
    // Opens below HKEY_CURRENT_USER.
    TRegKey(TStore* store, std::string_view path, bool create = true);
    TRegKey(TRegKey&& other) noexcept;
    TRegKey& operator=(TRegKey&& other) noexcept;
    TRegKey(const TRegKey&) = delete;
    TRegKey& operator=(const TRegKey&) = delete;

    bool IsValid() const { return store_ != nullptr && id_ != 0; }
    TStore* Store() const { return store_; }
    KeyId Id() const { return id_; }
    // The counts as they were when first asked for after opening (a key this
    // handle created has none). Reading them lazily keeps the many opens
    // that never ask cheap.
    uint32_t SubKeyCount() const;
    uint32_t ValueCount() const;
    void Close();

    long Query(std::string_view name, RegValueData* out) const;
    long Set(std::string_view name, uint32_t type, std::string_view data) const;
    // Writes a string with the store's encoding (no terminator; "" as one zero byte).
    long SetString(std::string_view name, std::string_view text) const;
    long SetDword(std::string_view name, uint32_t value) const;
    std::string GetString(std::string_view name, std::string_view def = {}) const;
    uint32_t GetDword(std::string_view name, uint32_t def = 0) const;
    bool HasValue(std::string_view name) const;
    long DeleteValue(std::string_view name) const;
    long DeleteSubKey(std::string_view name) const;
    long DeleteSubKeyTree(std::string_view name) const;
    // room: the longest name the caller accepts plus one, as the platform counts it.
    long EnumSubKey(uint32_t index, std::string* name, size_t room = 1024) const;
    long EnumValue(uint32_t index, std::string* name, uint32_t* type = nullptr,
                   size_t room = 16384) const;
    uint32_t CurrentSubKeyCount() const;
    uint32_t CurrentValueCount() const;
    long SetDefaultValue(std::string_view text) const { return SetString("", text); }

    // Reads one value through a snapshot of all the key's values, taken once
    // and kept while nothing in the store changes. Binding the many values of
    // a freshly opened key then costs one query.
    long QueryCached(std::string_view name, RegValueData* out) const;
    void DropSnapshot() const { snapshot_.reset(); }
    // All values of that snapshot (taken or refreshed as QueryCached does),
    // or nullptr when the key cannot be read. Good until the next call on
    // this key; lets a reader look at the values and bind them with one query.
    const std::vector<RegNamedValue>* CachedValues() const;

private:
    struct Snapshot {
        uint64_t stamp;
        std::vector<RegNamedValue> values;
    };
    // A count that was not read yet. A key with this many subkeys or values
    // only has them counted again on each call.
    static constexpr uint32_t kUnread = UINT32_MAX;
    TStore* store_ = nullptr;
    KeyId id_ = 0;
    mutable uint32_t subkeys_ = kUnread;
    mutable uint32_t values_ = kUnread;
    mutable std::unique_ptr<Snapshot> snapshot_;
};

// Encodes text as the store keeps strings.
std::string EncodeRegString(std::string_view text);
// A string is the data up to its first zero byte.
std::string DecodeRegString(std::string_view data);
std::string EncodeDword(uint32_t v);
// Numbers need four bytes; shorter data reads as missing.
bool DecodeDword(std::string_view data, uint32_t* out);

}  // namespace zk40
