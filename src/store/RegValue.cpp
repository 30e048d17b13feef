#include "store/RegValue.h"

#include <atomic>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <vector>

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

// ---- value names ----

namespace {

// Every value name ever bound, each once, numbered from 1 (0 is "no name").
// Names are few (the members of jobs and actions and a few dozen settings),
// so only the first page of the table is ever touched. Entries are written
// once and never change, so reading one needs no lock.
constexpr size_t kMaxNames = size_t{UINT16_MAX} + 1;
std::atomic<const std::string*> gNames[kMaxNames];

struct NameNumbers {
    std::mutex mutex;
    std::unordered_map<std::string_view, uint16_t> numbers;
    uint32_t next = 1;
};

// Never destroyed: static objects may bind values until the very end.
NameNumbers& Numbers() {
    static NameNumbers* table = new NameNumbers();
    return *table;
}

uint16_t NameNumber(std::string_view name) {
    NameNumbers& t = Numbers();
    std::lock_guard<std::mutex> lock(t.mutex);
    auto it = t.numbers.find(name);
    if (it != t.numbers.end()) return it->second;
    if (t.next >= kMaxNames) abort();  // tens of thousands of distinct names: a bug
    const auto* kept = new std::string(name);
    const auto number = static_cast<uint16_t>(t.next++);
    gNames[number].store(kept, std::memory_order_release);
    t.numbers.emplace(*kept, number);
    return number;
}

}  // namespace

TBoundName::TBoundName(const TRegKey& key, std::string_view name) {
    const auto address = reinterpret_cast<uintptr_t>(&key);
    // Never true on the platforms we build for; better a clear stop than a
    // write to the wrong key.
    if (address & ~kAddressMask) abort();
    bits_ = address | uintptr_t{NameNumber(name)} << 48;
}

std::string_view TBoundName::Name() const {
    const std::string* name = gNames[bits_ >> 48].load(std::memory_order_acquire);
    return name ? std::string_view(*name) : std::string_view();
}

// ---- bound values ----

void TRegDword::Bind(const TRegKey& key, const char* name, uint32_t def) {
    bound_ = TBoundName(key, name);
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
    const TRegKey* key = bound_.Key();
    if (!key) return value_;
    RegValueData d;
    if (key->Query(bound_.Name(), &d) == kRegOk) {
        if (!DecodeDword(d.data, &value_)) value_ = default_;
    }
    return value_;
}

long TRegDword::Set(uint32_t v) {
    const TRegKey* key = bound_.Key();
    if (!key) return kRegInvalidHandle;
    long rc = key->SetDword(bound_.Name(), v);
    if (rc == kRegOk) value_ = v;
    return rc;
}

void TRegString::Bind(const TRegKey& key, const char* name, std::string_view def) {
    bound_ = TBoundName(key, name);
    RegValueData d;
    if (key.QueryCached(name, &d) == kRegOk) {
        value_.Assign(DecodeRegString(d.data));
        return;
    }
    // A key that cannot be written still leaves the default in memory.
    value_.Assign(def);
    key.SetString(name, def);
}

void TRegString::BindDeferred(const TRegKey& key, const char* name, std::string_view def) {
    bound_ = TBoundName(key, name);
    if (key.QueryCached(name, nullptr) == kRegOk) {
        value_.Assign({});
        bound_.SetFlag(true);
        return;
    }
    value_.Assign(def);
    key.SetString(name, def);
}

void TRegString::ReadDeferred() const {
    const TRegKey* key = bound_.Key();
    RegValueData d;
    const long rc = key ? key->Query(bound_.Name(), &d) : kRegInvalidHandle;
    if (rc == kRegOk)
        value_.Assign(DecodeRegString(d.data));
    else if (rc != kRegNotFound && rc != kRegInvalidHandle && rc != kRegKeyDeleted)
        return;  // a store that is busy for long: read it again next time
    else
        value_.Assign({});
    bound_.SetFlag(false);
}

const std::string& TRegString::Reload() {
    const TRegKey* key = bound_.Key();
    if (!key) return value_.Get();
    RegValueData d;
    if (key->Query(bound_.Name(), &d) == kRegOk) {
        value_.Assign(DecodeRegString(d.data));
        bound_.SetFlag(false);
    }
    return Get();
}

long TRegString::Set(std::string_view v) {
    const TRegKey* key = bound_.Key();
    if (!key) return kRegInvalidHandle;
    long rc = key->SetString(bound_.Name(), v);
    if (rc == kRegOk) {
        value_.Assign(v);
        bound_.SetFlag(false);
    }
    return rc;
}

long TRegBool::Set(bool on) {
    TRegDword* number = Number();
    if (!number) return kRegInvalidHandle;
    const uint32_t bit = Bit();
    uint32_t n = (number->Get() & ~(1u << bit)) | (static_cast<uint32_t>(on) << bit);
    long rc = number->Set(n);
    Refresh();
    return rc;
}

}  // namespace zk40
