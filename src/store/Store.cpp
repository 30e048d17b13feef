#include "store/Store.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace zk40 {

namespace {

const char* kSchema =
    "CREATE TABLE IF NOT EXISTS keys("
    "  id INTEGER PRIMARY KEY,"
    "  parent INTEGER REFERENCES keys(id) ON DELETE CASCADE,"
    "  name TEXT NOT NULL COLLATE NOCASE);"
    "CREATE UNIQUE INDEX IF NOT EXISTS keys_by_parent ON keys(parent, name);"
    "CREATE TABLE IF NOT EXISTS vals("
    "  id INTEGER PRIMARY KEY,"
    "  key INTEGER NOT NULL REFERENCES keys(id) ON DELETE CASCADE,"
    "  name TEXT NOT NULL COLLATE NOCASE,"
    "  type INTEGER NOT NULL,"
    "  data BLOB NOT NULL);"
    "CREATE UNIQUE INDEX IF NOT EXISTS vals_by_key ON vals(key, name);";

// Makes every folder of path (not the last component) with mode 0700.
void MakeParents(const std::string& path) {
    for (size_t i = 1; i < path.size(); ++i) {
        if (path[i] == '/') {
            std::string dir = path.substr(0, i);
            mkdir(dir.c_str(), 0700);
        }
    }
}

bool ValidKeyName(std::string_view n) {
    return !n.empty() && n.size() <= 255 && n.find('\\') == std::string_view::npos;
}

class Reset {
public:
    explicit Reset(sqlite3_stmt* s) : s_(s) {}
    ~Reset() {
        if (s_) {
            sqlite3_reset(s_);
            sqlite3_clear_bindings(s_);
        }
    }

private:
    sqlite3_stmt* s_;
};

void BindText(sqlite3_stmt* s, int i, std::string_view t) {
    sqlite3_bind_text(s, i, t.data(), static_cast<int>(t.size()), SQLITE_TRANSIENT);
}

std::string ColumnText(sqlite3_stmt* s, int i) {
    const void* p = sqlite3_column_blob(s, i);
    int n = sqlite3_column_bytes(s, i);
    return p ? std::string(static_cast<const char*>(p), static_cast<size_t>(n)) : std::string();
}

long MapSqlError(int rc) {
    switch (rc & 0xff) {
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return kRegBusy;
        case SQLITE_CONSTRAINT:
            return kRegKeyDeleted;
        case SQLITE_READONLY:
        case SQLITE_PERM:
            return kRegAccessDenied;
        default:
            return kRegStoreError;
    }
}

}  // namespace

std::string TStore::DefaultPath() {
    const char* xdg = std::getenv("XDG_DATA_HOME");
    std::string base;
    if (xdg && *xdg) {
        base = xdg;
    } else {
        const char* home = std::getenv("HOME");
        base = std::string(home ? home : "/tmp") + "/.local/share";
    }
    return base + "/zarkell40/store.db";
}

std::unique_ptr<TStore> TStore::Open(const std::string& path, std::string* error) {
    std::unique_ptr<TStore> s(new TStore());
    if (!s->Init(path, error)) return nullptr;
    return s;
}

bool TStore::Init(const std::string& path, std::string* error) {
    path_ = path;
    MakeParents(path);
    // The store holds passwords: create it readable by its owner only, and
    // tighten a file that some earlier tool left open to others.
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (error) *error = "cannot open " + path + ": " + strerror(errno);
        return false;
    }
    fchmod(fd, 0600);
    ::close(fd);
    int rc =
        sqlite3_open_v2(path.c_str(), &db_,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        if (error) *error = "cannot open store " + path + ": " + sqlite3_errstr(rc);
        return false;
    }
    sqlite3_busy_timeout(db_, 10000);
    // WAL lets a second process read while we write; NORMAL sync keeps each
    // commit intact across a killed process without an fsync per write.
    if (!Exec("PRAGMA journal_mode=WAL") || !Exec("PRAGMA synchronous=NORMAL") ||
        !Exec("PRAGMA foreign_keys=ON") || !Exec("PRAGMA cache_size=-4096")) {
        if (error) *error = "cannot set up store " + path + ": " + sqlite3_errmsg(db_);
        return false;
    }
    for (const char* f : {"-wal", "-shm"}) chmod((path + f).c_str(), 0600);
    if (!Transaction([&] {
            if (!Exec(kSchema)) return false;
            sqlite3_stmt* q = Prepare("SELECT id FROM keys WHERE parent IS NULL");
            Reset r(q);
            if (sqlite3_step(q) == SQLITE_ROW) {
                rootId_ = sqlite3_column_int64(q, 0);
                return true;
            }
            if (!Exec("INSERT INTO keys(parent, name) VALUES(NULL, 'HKEY_CURRENT_USER')"))
                return false;
            rootId_ = sqlite3_last_insert_rowid(db_);
            return true;
        })) {
        if (error) *error = "cannot initialise store " + path + ": " + sqlite3_errmsg(db_);
        return false;
    }
    return true;
}

TStore::~TStore() {
    for (auto& e : stmts_) sqlite3_finalize(e.stmt);
    if (db_) sqlite3_close(db_);
}

sqlite3_stmt* TStore::Prepare(const char* sql) {
    for (auto& e : stmts_)
        if (e.sql == sql) return e.stmt;
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr) != SQLITE_OK)
        return nullptr;
    stmts_.push_back({sql, s});
    return s;
}

bool TStore::Exec(const char* sql) {
    return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool TStore::ExecOnce(const char* sql) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (std::find(execOnce_.begin(), execOnce_.end(), sql) != execOnce_.end()) return true;
    if (!Exec(sql)) return false;
    execOnce_.push_back(sql);
    return true;
}

void TStore::ForgetOnce(const char* sql) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    execOnce_.erase(std::remove(execOnce_.begin(), execOnce_.end(), sql), execOnce_.end());
}

bool TStore::BeginTx() {
    bool ok;
    if (txDepth_ == 0) {
        // IMMEDIATE takes the write lock up front, so a second process can
        // never make us fail half-way when we go from reading to writing.
        ok = Exec("BEGIN IMMEDIATE");
    } else {
        ok = Exec("SAVEPOINT nested");
    }
    if (ok) ++txDepth_;
    return ok;
}

bool TStore::EndTx(bool commit) {
    --txDepth_;
    if (txDepth_ == 0) {
        if (commit && Exec("COMMIT")) return true;
        Exec("ROLLBACK");
        // Our in-memory caches may describe rows that never got committed.
        KeysChanged();
        ValuesChanged(true);
        return false;
    }
    if (commit) return Exec("RELEASE nested");
    Exec("ROLLBACK TO nested");
    Exec("RELEASE nested");
    KeysChanged();
    ValuesChanged(true);
    return false;
}

int64_t TStore::DataVersion() {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    sqlite3_stmt* s = Prepare("PRAGMA data_version");
    Reset r(s);
    return s && sqlite3_step(s) == SQLITE_ROW ? sqlite3_column_int64(s, 0) : -1;
}

uint64_t TStore::ChangeStamp() {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return (static_cast<uint64_t>(DataVersion()) << 40) ^ (valueGen_ + (keyGen_ << 20));
}

KeyId TStore::FindChild(KeyId parent, std::string_view name) {
    sqlite3_stmt* s = Prepare("SELECT id FROM keys WHERE parent=?1 AND name=?2");
    if (!s) return 0;
    Reset r(s);
    sqlite3_bind_int64(s, 1, parent);
    BindText(s, 2, name);
    return sqlite3_step(s) == SQLITE_ROW ? sqlite3_column_int64(s, 0) : 0;
}

KeyId TStore::OpenKey(KeyId parent, std::string_view path, bool create, uint32_t* subkeys,
                      uint32_t* values, long* result, bool* created) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (created) *created = false;
    auto fail = [&](long code) {
        if (result) *result = code;
        if (subkeys) *subkeys = 0;
        if (values) *values = 0;
        return KeyId(0);
    };
    if (parent == 0) return fail(kRegInvalidHandle);
    // Split first, so a bad name anywhere is refused before anything is made.
    std::vector<std::string_view> parts;
    size_t pos = 0;
    while (pos <= path.size() && !path.empty()) {
        size_t end = path.find('\\', pos);
        if (end == std::string_view::npos) end = path.size();
        std::string_view part = path.substr(pos, end - pos);
        if (part.empty()) {
            // A trailing backslash is harmless; an empty name inside is not.
            if (end != path.size()) return fail(kRegInvalidName);
        } else {
            if (!ValidKeyName(part)) return fail(kRegInvalidName);
            parts.push_back(part);
        }
        pos = end + 1;
    }
    KeyId id = parent;
    if (parts.empty()) {
        if (!KeyExists(parent)) return fail(kRegKeyDeleted);
    }
    for (size_t i = 0; i < parts.size(); ++i) {
        KeyId child = FindChild(id, parts[i]);
        if (child == 0) {
            if (!create) return fail(kRegNotFound);
            bool ok = Transaction([&] {
                for (; i < parts.size(); ++i) {
                    sqlite3_stmt* s = Prepare("INSERT INTO keys(parent, name) VALUES(?1, ?2)");
                    if (!s) return false;
                    Reset r(s);
                    sqlite3_bind_int64(s, 1, id);
                    BindText(s, 2, parts[i]);
                    if (sqlite3_step(s) != SQLITE_DONE) {
                        // Another process may have made it in between.
                        KeyId again = FindChild(id, parts[i]);
                        if (again == 0) return false;
                        id = again;
                        continue;
                    }
                    id = sqlite3_last_insert_rowid(db_);
                }
                return true;
            });
            KeysChanged();
            if (!ok) return fail(MapSqlError(sqlite3_extended_errcode(db_)));
            if (subkeys) *subkeys = 0;
            if (values) *values = 0;
            if (result) *result = kRegOk;
            if (created) *created = true;
            return id;
        }
        id = child;
    }
    if (subkeys) *subkeys = SubKeyCount(id);
    if (values) *values = ValueCount(id);
    if (result) *result = kRegOk;
    return id;
}

bool TStore::KeyExists(KeyId id) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    sqlite3_stmt* s = Prepare("SELECT 1 FROM keys WHERE id=?1");
    if (!s) return false;
    Reset r(s);
    sqlite3_bind_int64(s, 1, id);
    return sqlite3_step(s) == SQLITE_ROW;
}

std::string TStore::KeyName(KeyId id) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    sqlite3_stmt* s = Prepare("SELECT name FROM keys WHERE id=?1");
    if (!s) return {};
    Reset r(s);
    sqlite3_bind_int64(s, 1, id);
    return sqlite3_step(s) == SQLITE_ROW ? ColumnText(s, 0) : std::string();
}

KeyId TStore::ParentOf(KeyId id) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    sqlite3_stmt* s = Prepare("SELECT parent FROM keys WHERE id=?1");
    if (!s) return 0;
    Reset r(s);
    sqlite3_bind_int64(s, 1, id);
    return sqlite3_step(s) == SQLITE_ROW ? sqlite3_column_int64(s, 0) : 0;
}

uint32_t TStore::SubKeyCount(KeyId id) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    sqlite3_stmt* s = Prepare("SELECT count(*) FROM keys WHERE parent=?1");
    if (!s) return 0;
    Reset r(s);
    sqlite3_bind_int64(s, 1, id);
    return sqlite3_step(s) == SQLITE_ROW ? static_cast<uint32_t>(sqlite3_column_int64(s, 0)) : 0;
}

uint32_t TStore::ValueCount(KeyId id) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    sqlite3_stmt* s = Prepare("SELECT count(*) FROM vals WHERE key=?1");
    if (!s) return 0;
    Reset r(s);
    sqlite3_bind_int64(s, 1, id);
    return sqlite3_step(s) == SQLITE_ROW ? static_cast<uint32_t>(sqlite3_column_int64(s, 0)) : 0;
}

long TStore::QueryValue(KeyId key, std::string_view name, RegValueData* out) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (key == 0) return kRegInvalidHandle;
    sqlite3_stmt* s = Prepare("SELECT type, data FROM vals WHERE key=?1 AND name=?2");
    if (!s) return kRegStoreError;
    Reset r(s);
    sqlite3_bind_int64(s, 1, key);
    BindText(s, 2, name);
    int rc = sqlite3_step(s);
    if (rc == SQLITE_ROW) {
        if (out) {
            out->type = static_cast<uint32_t>(sqlite3_column_int64(s, 0));
            out->data = ColumnText(s, 1);
        }
        return kRegOk;
    }
    return rc == SQLITE_DONE ? kRegNotFound : MapSqlError(rc);
}

long TStore::SetValue(KeyId key, std::string_view name, uint32_t type, std::string_view data) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (key == 0) return kRegInvalidHandle;
    if (name.size() > 16383) return kRegInvalidName;
    // Updating in place keeps the value's position among its siblings, so
    // enumeration order stays the order in which values were first made.
    sqlite3_stmt* u = Prepare("UPDATE vals SET type=?3, data=?4 WHERE key=?1 AND name=?2");
    if (!u) return kRegStoreError;
    {
        Reset r(u);
        sqlite3_bind_int64(u, 1, key);
        BindText(u, 2, name);
        sqlite3_bind_int64(u, 3, type);
        sqlite3_bind_blob(u, 4, data.data(), static_cast<int>(data.size()), SQLITE_TRANSIENT);
        int rc = sqlite3_step(u);
        if (rc != SQLITE_DONE) return MapSqlError(rc);
        if (sqlite3_changes(db_) > 0) {
            ValuesChanged(false);
            return kRegOk;
        }
    }
    sqlite3_stmt* s = Prepare("INSERT INTO vals(key, name, type, data) VALUES(?1, ?2, ?3, ?4)");
    if (!s) return kRegStoreError;
    Reset r(s);
    sqlite3_bind_int64(s, 1, key);
    BindText(s, 2, name);
    sqlite3_bind_int64(s, 3, type);
    sqlite3_bind_blob(s, 4, data.data(), static_cast<int>(data.size()), SQLITE_TRANSIENT);
    int rc = sqlite3_step(s);
    if (rc != SQLITE_DONE) {
        // A value made by another process between the two statements.
        if ((rc & 0xff) == SQLITE_CONSTRAINT && KeyExists(key)) {
            sqlite3_reset(s);
            return SetValue(key, name, type, data);
        }
        return MapSqlError(rc);
    }
    ValuesChanged(true);
    return kRegOk;
}

long TStore::DeleteValue(KeyId key, std::string_view name) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (key == 0) return kRegInvalidHandle;
    sqlite3_stmt* s = Prepare("DELETE FROM vals WHERE key=?1 AND name=?2");
    if (!s) return kRegStoreError;
    Reset r(s);
    sqlite3_bind_int64(s, 1, key);
    BindText(s, 2, name);
    int rc = sqlite3_step(s);
    if (rc != SQLITE_DONE) return MapSqlError(rc);
    if (sqlite3_changes(db_) == 0) return kRegNotFound;
    ValuesChanged(true);
    return kRegOk;
}

long TStore::DeleteKey(KeyId parent, std::string_view name) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (parent == 0) return kRegInvalidHandle;
    long result = kRegOk;
    bool ok = Transaction([&] {
        KeyId id = OpenKey(parent, name, false, nullptr, nullptr, &result);
        if (id == 0) return false;
        if (id == rootId_ || SubKeyCount(id) > 0) {
            result = kRegKeyHasSubkeys;
            return false;
        }
        result = StepById("DELETE FROM keys WHERE id=?1", id);
        return result == kRegOk;
    });
    KeysChanged();
    ValuesChanged(true);
    if (!ok && result == kRegOk) result = kRegStoreError;
    return ok ? kRegOk : result;
}

long TStore::StepById(const char* sql, KeyId id) {
    sqlite3_stmt* s = Prepare(sql);
    if (!s) return kRegStoreError;
    Reset r(s);
    sqlite3_bind_int64(s, 1, id);
    int rc = sqlite3_step(s);
    return rc == SQLITE_DONE ? kRegOk : MapSqlError(rc);
}

long TStore::DeleteTreeById(KeyId id) {
    // The foreign keys cascade the deletion to every subkey and value below.
    long rc = StepById("DELETE FROM keys WHERE id=?1", id);
    KeysChanged();
    ValuesChanged(true);
    return rc;
}

long TStore::DeleteKeyTree(KeyId parent, std::string_view name) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (parent == 0) return kRegInvalidHandle;
    long result = kRegOk;
    KeyId id = OpenKey(parent, name, false, nullptr, nullptr, &result);
    if (id == 0) return result;
    if (id == rootId_) return kRegAccessDenied;
    return DeleteTreeById(id);
}

long TStore::ClearKey(KeyId key) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (key == 0) return kRegInvalidHandle;
    long result = kRegOk;
    Transaction([&] {
        result = StepById("DELETE FROM keys WHERE parent=?1", key);
        if (result == kRegOk) result = StepById("DELETE FROM vals WHERE key=?1", key);
        return result == kRegOk;
    });
    KeysChanged();
    ValuesChanged(true);
    return result;
}

TStore::NameCache* TStore::CachedNames(bool values, KeyId key) {
    NameCache* slots = values ? valueCache_ : subkeyCache_;
    uint64_t gen = values ? valueStructGen_ : keyGen_;
    int64_t dv = DataVersion();
    NameCache* victim = &slots[0];
    for (int i = 0; i < kCacheSlots; ++i) {
        NameCache& c = slots[i];
        if (c.key == key && c.gen == gen && c.dataVersion == dv) {
            c.lastUse = ++useCounter_;
            return &c;
        }
        if (c.lastUse < victim->lastUse) victim = &c;
    }
    NameCache& c = *victim;
    c.key = key;
    c.gen = gen;
    c.dataVersion = dv;
    c.lastUse = ++useCounter_;
    c.names.clear();
    c.types.clear();
    sqlite3_stmt* s = values ? Prepare("SELECT name, type FROM vals WHERE key=?1 ORDER BY id")
                             : Prepare("SELECT name FROM keys WHERE parent=?1 ORDER BY name");
    if (!s) {
        c.key = 0;
        return nullptr;
    }
    Reset r(s);
    sqlite3_bind_int64(s, 1, key);
    while (sqlite3_step(s) == SQLITE_ROW) {
        c.names.push_back(ColumnText(s, 0));
        if (values) c.types.push_back(static_cast<uint32_t>(sqlite3_column_int64(s, 1)));
    }
    return &c;
}

long TStore::EnumSubKey(KeyId key, uint32_t index, std::string* name) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (key == 0) return kRegInvalidHandle;
    NameCache* c = CachedNames(false, key);
    if (!c) return kRegStoreError;
    if (index >= c->names.size()) return kRegNoMoreItems;
    if (name) *name = c->names[index];
    return kRegOk;
}

long TStore::EnumValue(KeyId key, uint32_t index, std::string* name, uint32_t* type) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (key == 0) return kRegInvalidHandle;
    NameCache* c = CachedNames(true, key);
    if (!c) return kRegStoreError;
    if (index >= c->names.size()) return kRegNoMoreItems;
    if (name) *name = c->names[index];
    if (type) *type = c->types[index];
    return kRegOk;
}

long TStore::LoadValues(KeyId key, std::vector<RegNamedValue>* out) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    out->clear();
    if (key == 0) return kRegInvalidHandle;
    sqlite3_stmt* s = Prepare("SELECT name, type, data FROM vals WHERE key=?1 ORDER BY id");
    if (!s) return kRegStoreError;
    Reset r(s);
    sqlite3_bind_int64(s, 1, key);
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
        RegNamedValue v;
        v.name = ColumnText(s, 0);
        v.value.type = static_cast<uint32_t>(sqlite3_column_int64(s, 1));
        v.value.data = ColumnText(s, 2);
        out->push_back(std::move(v));
    }
    return rc == SQLITE_DONE ? kRegOk : MapSqlError(rc);
}

long TStore::ListSubKeys(KeyId key, std::vector<std::string>* out) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    out->clear();
    if (key == 0) return kRegInvalidHandle;
    NameCache* c = CachedNames(false, key);
    if (!c) return kRegStoreError;
    *out = c->names;
    return kRegOk;
}

void TStore::ReleaseMemory() {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (db_) sqlite3_db_release_memory(db_);
}

long TStore::LoadTwoLevels(KeyId key, std::vector<RegKeyValues>* out) {
    return LoadLevels(key, true, out);
}

long TStore::LoadOneLevel(KeyId key, std::vector<RegKeyValues>* out) {
    return LoadLevels(key, false, out);
}

long TStore::LoadLevels(KeyId key, bool two, std::vector<RegKeyValues>* out) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    out->clear();
    if (key == 0) return kRegInvalidHandle;
    sqlite3_stmt* s =
        Prepare(two ? "SELECT c.id, c.parent, c.name, v.name, v.type, v.data FROM keys c "
                      "LEFT JOIN vals v ON v.key=c.id "
                      "WHERE c.parent=?1 OR c.parent IN (SELECT id FROM keys WHERE "
                      "parent=?1) ORDER BY c.id, v.id"
                    : "SELECT c.id, c.parent, c.name, v.name, v.type, v.data FROM keys c "
                      "LEFT JOIN vals v ON v.key=c.id "
                      "WHERE c.parent=?1 ORDER BY c.id, v.id");
    if (!s) return kRegStoreError;
    Reset r(s);
    sqlite3_bind_int64(s, 1, key);
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
        KeyId id = sqlite3_column_int64(s, 0);
        if (out->empty() || out->back().id != id) {
            RegKeyValues k;
            k.id = id;
            k.parent = sqlite3_column_int64(s, 1);
            k.name = ColumnText(s, 2);
            out->push_back(std::move(k));
        }
        if (sqlite3_column_type(s, 3) == SQLITE_NULL) continue;
        RegNamedValue v;
        v.name = ColumnText(s, 3);
        v.value.type = static_cast<uint32_t>(sqlite3_column_int64(s, 4));
        v.value.data = ColumnText(s, 5);
        out->back().values.push_back(std::move(v));
    }
    return rc == SQLITE_DONE ? kRegOk : MapSqlError(rc);
}

// ---- encodings ----

std::string EncodeRegString(std::string_view text) {
    // The store keeps no terminator, but a value is never empty: an empty
    // string is one zero byte.
    if (text.empty()) return std::string(1, '\0');
    return std::string(text);
}

std::string DecodeRegString(std::string_view data) {
    size_t z = data.find('\0');
    return std::string(z == std::string_view::npos ? data : data.substr(0, z));
}

std::string EncodeDword(uint32_t v) {
    char b[4] = {static_cast<char>(v & 0xff), static_cast<char>((v >> 8) & 0xff),
                 static_cast<char>((v >> 16) & 0xff), static_cast<char>((v >> 24) & 0xff)};
    return std::string(b, 4);
}

bool DecodeDword(std::string_view data, uint32_t* out) {
    if (data.size() < 4) return false;
    const auto* p = reinterpret_cast<const unsigned char*>(data.data());
    *out = p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
    return true;
}

// ---- TRegKey ----

TRegKey::TRegKey(TStore* store, KeyId parent, std::string_view path, bool create) : store_(store) {
    bool created = false;
    if (store_) id_ = store_->OpenKey(parent, path, create, nullptr, nullptr, nullptr, &created);
    if (id_ == 0) {
        store_ = nullptr;
        subkeys_ = values_ = 0;
    } else if (created) {
        subkeys_ = values_ = 0;
    }
}

uint32_t TRegKey::SubKeyCount() const {
    if (subkeys_ == kUnread) subkeys_ = IsValid() ? store_->SubKeyCount(id_) : 0;
    return subkeys_;
}

uint32_t TRegKey::ValueCount() const {
    if (values_ == kUnread) values_ = IsValid() ? store_->ValueCount(id_) : 0;
    return values_;
}

TRegKey::TRegKey(const TRegKey& parent, std::string_view path, bool create)
    : TRegKey(parent.store_, parent.id_, path, create) {}

TRegKey::TRegKey(TStore* store, std::string_view path, bool create)
    : TRegKey(store, store ? store->RootId() : 0, path, create) {}

TRegKey::TRegKey(TRegKey&& o) noexcept
    : store_(o.store_),
      id_(o.id_),
      subkeys_(o.subkeys_),
      values_(o.values_),
      snapshot_(std::move(o.snapshot_)) {
    o.store_ = nullptr;
    o.id_ = 0;
}

TRegKey& TRegKey::operator=(TRegKey&& o) noexcept {
    if (this != &o) {
        store_ = o.store_;
        id_ = o.id_;
        subkeys_ = o.subkeys_;
        values_ = o.values_;
        snapshot_ = std::move(o.snapshot_);
        o.store_ = nullptr;
        o.id_ = 0;
    }
    return *this;
}

void TRegKey::Close() {
    store_ = nullptr;
    id_ = 0;
    subkeys_ = values_ = 0;
    snapshot_.reset();
}

long TRegKey::Query(std::string_view name, RegValueData* out) const {
    return IsValid() ? store_->QueryValue(id_, name, out) : kRegInvalidHandle;
}

namespace {
RegNamedValue* FindNamed(std::vector<RegNamedValue>& values, std::string_view name) {
    for (auto& v : values)
        if (v.name.size() == name.size() &&
            strncasecmp(v.name.data(), name.data(), name.size()) == 0)
            return &v;
    return nullptr;
}
}  // namespace

long TRegKey::QueryCached(std::string_view name, RegValueData* out) const {
    if (!IsValid()) return kRegInvalidHandle;
    std::lock_guard<std::recursive_mutex> lock(store_->Mutex());
    if (!CachedValues()) return store_->QueryValue(id_, name, out);
    const RegNamedValue* v = FindNamed(snapshot_->values, name);
    if (!v) return kRegNotFound;
    if (out) *out = v->value;
    return kRegOk;
}

const std::vector<RegNamedValue>* TRegKey::CachedValues() const {
    if (!IsValid()) return nullptr;
    std::lock_guard<std::recursive_mutex> lock(store_->Mutex());
    uint64_t stamp = store_->ChangeStamp();
    if (!snapshot_ || snapshot_->stamp != stamp) {
        if (!snapshot_) snapshot_ = std::make_unique<Snapshot>();
        if (store_->LoadValues(id_, &snapshot_->values) != kRegOk) {
            snapshot_.reset();
            return nullptr;
        }
        snapshot_->stamp = stamp;
    }
    return &snapshot_->values;
}

long TRegKey::Set(std::string_view name, uint32_t type, std::string_view data) const {
    if (!IsValid()) return kRegInvalidHandle;
    std::lock_guard<std::recursive_mutex> lock(store_->Mutex());
    // Keep the snapshot current for our own write instead of dropping it, so
    // a run of binds on a new key does not reload the key after each one.
    bool fresh = snapshot_ && snapshot_->stamp == store_->ChangeStamp();
    long rc = store_->SetValue(id_, name, type, data);
    if (fresh && rc == kRegOk) {
        if (RegNamedValue* v = FindNamed(snapshot_->values, name)) {
            v->value.type = type;
            v->value.data.assign(data);
        } else {
            snapshot_->values.push_back({std::string(name), {type, std::string(data)}});
        }
        snapshot_->stamp = store_->ChangeStamp();
    }
    return rc;
}

long TRegKey::SetString(std::string_view name, std::string_view text) const {
    return Set(name, REG_SZ, EncodeRegString(text));
}

long TRegKey::SetDword(std::string_view name, uint32_t value) const {
    return Set(name, REG_DWORD, EncodeDword(value));
}

std::string TRegKey::GetString(std::string_view name, std::string_view def) const {
    RegValueData d;
    if (Query(name, &d) != kRegOk) return std::string(def);
    return DecodeRegString(d.data);
}

uint32_t TRegKey::GetDword(std::string_view name, uint32_t def) const {
    RegValueData d;
    uint32_t v = def;
    if (Query(name, &d) == kRegOk && DecodeDword(d.data, &v)) return v;
    return def;
}

bool TRegKey::HasValue(std::string_view name) const { return Query(name, nullptr) == kRegOk; }

long TRegKey::DeleteValue(std::string_view name) const {
    return IsValid() ? store_->DeleteValue(id_, name) : kRegInvalidHandle;
}

long TRegKey::DeleteSubKey(std::string_view name) const {
    return IsValid() ? store_->DeleteKey(id_, name) : kRegInvalidHandle;
}

long TRegKey::DeleteSubKeyTree(std::string_view name) const {
    return IsValid() ? store_->DeleteKeyTree(id_, name) : kRegInvalidHandle;
}

long TRegKey::EnumSubKey(uint32_t index, std::string* name, size_t room) const {
    if (!IsValid()) return kRegInvalidHandle;
    std::string n;
    long rc = store_->EnumSubKey(id_, index, &n);
    if (rc != kRegOk) return rc;
    if (n.size() + 1 > room) return kRegMoreData;
    if (name) *name = std::move(n);
    return kRegOk;
}

long TRegKey::EnumValue(uint32_t index, std::string* name, uint32_t* type, size_t room) const {
    if (!IsValid()) return kRegInvalidHandle;
    std::string n;
    long rc = store_->EnumValue(id_, index, &n, type);
    if (rc != kRegOk) return rc;
    if (n.size() + 1 > room) return kRegMoreData;
    if (name) *name = std::move(n);
    return kRegOk;
}

uint32_t TRegKey::CurrentSubKeyCount() const { return IsValid() ? store_->SubKeyCount(id_) : 0; }
uint32_t TRegKey::CurrentValueCount() const { return IsValid() ? store_->ValueCount(id_) : 0; }

}  // namespace zk40
