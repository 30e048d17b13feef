#include "store/RegValue.h"

#include <functional>
#include <mutex>
#include <unordered_set>

namespace zk40 {

// ---- TSharedText ----

struct TSharedText::Entry {
    std::string text;
    mutable uint32_t holders;  // guarded by the pool's mutex
};

namespace {

// Hash and equality that take the entries and plain text alike, so a text
// is looked up without making a string of it first.
struct EntryHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const noexcept {
        return std::hash<std::string_view>()(s);
    }
    size_t operator()(const TSharedText::Entry& e) const noexcept { return (*this)(e.text); }
};

struct EntryEqual {
    using is_transparent = void;
    static std::string_view Text(std::string_view s) { return s; }
    static std::string_view Text(const TSharedText::Entry& e) { return e.text; }
    template <typename A, typename B>
    bool operator()(const A& a, const B& b) const noexcept {
        return Text(a) == Text(b);
    }
};

// Entries live in the set's nodes, which never move, so holders point at
// them directly.
struct TextPool {
    std::mutex mutex;
    std::unordered_set<TSharedText::Entry, EntryHash, EntryEqual> entries;
};

// Never destroyed: bound strings of static objects may outlive any other
// static.
TextPool& Pool() {
    static TextPool* pool = new TextPool();
    return *pool;
}

const std::string& EmptyText() {
    static const std::string* empty = new std::string();
    return *empty;
}

}  // namespace

TSharedText::TSharedText(const TSharedText& other) noexcept : entry_(other.entry_) {
    if (entry_) {
        std::lock_guard<std::mutex> lock(Pool().mutex);
        ++entry_->holders;
    }
}

TSharedText& TSharedText::operator=(const TSharedText& other) noexcept {
    if (entry_ != other.entry_) {
        TSharedText copy(other);
        std::swap(entry_, copy.entry_);
    }
    return *this;
}

TSharedText& TSharedText::operator=(TSharedText&& other) noexcept {
    if (this != &other) {
        Release(entry_);
        entry_ = other.entry_;
        other.entry_ = nullptr;
    }
    return *this;
}

void TSharedText::Assign(std::string_view text) {
    const Entry* next = nullptr;
    if (!text.empty()) {
        TextPool& pool = Pool();
        std::lock_guard<std::mutex> lock(pool.mutex);
        auto it = pool.entries.find(text);
        if (it == pool.entries.end()) it = pool.entries.insert(Entry{std::string(text), 0}).first;
        next = &*it;
        ++next->holders;
    }
    // Only now: text may be a view of the very text being let go.
    Release(entry_);
    entry_ = next;
}

const std::string& TSharedText::Get() const { return entry_ ? entry_->text : EmptyText(); }

void TSharedText::Release(const Entry* entry) noexcept {
    if (!entry) return;
    TextPool& pool = Pool();
    std::lock_guard<std::mutex> lock(pool.mutex);
    if (--entry->holders == 0) pool.entries.erase(pool.entries.find(entry->text));
}

// ---- bound values ----

void TRegDword::Bind(const TRegKey& key, const char* name, uint32_t def) {
    key_ = &key;
    name_ = name;
    default_ = def;
    value_ = def;
    RegValueData d;
    if (key.QueryCached(name, &d) == kRegOk) {
        // Data too short for a number (say a string under the same name)
        // reads as the default and is left as it is.
        if (!DecodeDword(d.data, &value_)) value_ = def;
        return;
    }
    key.SetDword(name, def);
}

uint32_t TRegDword::Reload() {
    if (!key_) return value_;
    RegValueData d;
    if (key_->Query(name_, &d) == kRegOk) {
        if (!DecodeDword(d.data, &value_)) value_ = default_;
    }
    return value_;
}

long TRegDword::Set(uint32_t v) {
    if (!key_) return kRegInvalidHandle;
    long rc = key_->SetDword(name_, v);
    if (rc == kRegOk) value_ = v;
    return rc;
}

void TRegString::Bind(const TRegKey& key, const char* name, std::string_view def) {
    key_ = &key;
    name_ = name;
    RegValueData d;
    if (key.QueryCached(name, &d) == kRegOk) {
        value_.Assign(DecodeRegString(d.data));
        return;
    }
    // A key that cannot be written still leaves the default in memory.
    value_.Assign(def);
    key.SetString(name, def);
}

const std::string& TRegString::Reload() {
    if (!key_) return value_.Get();
    RegValueData d;
    if (key_->Query(name_, &d) == kRegOk) value_.Assign(DecodeRegString(d.data));
    return value_.Get();
}

long TRegString::Set(std::string_view v) {
    if (!key_) return kRegInvalidHandle;
    long rc = key_->SetString(name_, v);
    if (rc == kRegOk) value_.Assign(v);
    return rc;
}

long TRegBool::Set(bool on) {
    if (!number_) return kRegInvalidHandle;
    uint32_t n = (number_->Get() & ~(1u << bit_)) | (static_cast<uint32_t>(on) << bit_);
    long rc = number_->Set(n);
    Refresh();
    return rc;
}

}  // namespace zk40
