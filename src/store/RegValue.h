#pragma once
// Bound values: one named value of a key with a type and a default. Binding
// writes the default when the value is missing and never overwrites a value
// that exists; reads come from a cached copy; writes go straight through.
//
// Jobs and actions hold dozens of bound values each, and ten thousand jobs
// are loaded at once, so every byte of a binding counts many times over: a
// binding is two words, its key's address with the number of its value name
// in the top bits, and the value (value names are few and kept once for the
// life of the process).
#include <cstdint>
#include <string>
#include <string_view>

#include "store/Store.h"
#include "support/StoreTime.h"

namespace zk40 {

// A key's address and a value name in one word. User-space addresses on the
// 64-bit platforms we run on fit in 48 bits, which leaves the top 16 for the
// name's number.
class TBoundName {
public:
    TBoundName() = default;
    TBoundName(const TRegKey& key, std::string_view name);
    const TRegKey* Key() const { return reinterpret_cast<const TRegKey*>(bits_ & kAddressMask); }
    // Good for the life of the process.
    std::string_view Name() const;
    // One bit for the value's own use (keys are aligned, so the lowest bit
    // of their address is always free).
    bool Flag() const { return (bits_ & 1u) != 0; }
    void SetFlag(bool on) { bits_ = (bits_ & ~uintptr_t{1}) | uintptr_t{on}; }

private:
    static constexpr uintptr_t kAddressMask = ((uintptr_t{1} << 48) - 1) & ~uintptr_t{1};
    uintptr_t bits_ = 0;
};
static_assert(alignof(TRegKey) >= 2);
static_assert(sizeof(void*) == 8, "bound values keep a name number in the top bits of an address");

class TRegDword {
public:
    TRegDword() = default;
    TRegDword(const TRegKey& key, const char* name, uint32_t def) { Bind(key, name, def); }
    void Bind(const TRegKey& key, const char* name, uint32_t def);
    // Re-reads the stored value (another thread or process may have written it).
    uint32_t Reload();

    uint32_t Get() const { return value_; }
    operator uint32_t() const { return value_; }
    // Writes through; the cache follows only when the store took the value.
    long Set(uint32_t v);
    TRegDword& operator=(uint32_t v) {
        Set(v);
        return *this;
    }
    std::string_view Name() const { return bound_.Name(); }

private:
    TBoundName bound_;
    // What Reload falls back to when the stored data is too short.
    uint32_t default_ = 0;
    uint32_t value_ = 0;
};

class TRegTime : public TRegDword {
public:
    TRegTime() = default;
    TRegTime(const TRegKey& key, const char* name, StoreTime def) : TRegDword(key, name, def) {}
    TRegTime& operator=(StoreTime t) {
        Set(t);
        return *this;
    }
};

// A text held once for every holder of the same characters. Most bound
// strings of the many actions loaded repeat a few texts (their vendor,
// module and action identifiers, "Action Completed.", ""), so each holder
// keeps a pointer to a shared, counted copy instead of a string of its own.
// A held text never changes: assigning another text moves the holder to
// that text's copy. Holders on different threads may come and go freely;
// reading one holder while another thread assigns to it is a race, as it is
// for a std::string.
class TSharedText {
public:
    TSharedText() = default;
    TSharedText(const TSharedText& other) noexcept;
    TSharedText(TSharedText&& other) noexcept : entry_(other.entry_) { other.entry_ = nullptr; }
    TSharedText& operator=(const TSharedText& other) noexcept;
    TSharedText& operator=(TSharedText&& other) noexcept;
    ~TSharedText() { Release(entry_); }

    void Assign(std::string_view text);
    // Good until this holder is assigned or destroyed.
    const std::string& Get() const;

    struct Entry;

private:
    static void Release(const Entry* entry) noexcept;
    const Entry* entry_ = nullptr;  // nullptr for ""
};

class TRegString {
public:
    TRegString() = default;
    TRegString(const TRegKey& key, const char* name, std::string_view def) { Bind(key, name, def); }
    void Bind(const TRegKey& key, const char* name, std::string_view def);
    // Binds as Bind does, but a stored text is not read yet: the first Get
    // reads it. For the texts of records that are many and seldom looked
    // at (the names and status lines of actions, which only a window shows
    // and a run reads). Like every read, that Get needs the owner's lock.
    void BindDeferred(const TRegKey& key, const char* name, std::string_view def);
    const std::string& Reload();

    // Good until the value is next set, reloaded or bound, as for any cached
    // value; copy it to keep it longer.
    const std::string& Get() const {
        if (bound_.Flag()) ReadDeferred();
        return value_.Get();
    }
    operator const std::string&() const { return Get(); }
    long Set(std::string_view v);
    TRegString& operator=(std::string_view v) {
        Set(v);
        return *this;
    }
    std::string_view Name() const { return bound_.Name(); }

private:
    void ReadDeferred() const;
    // The flag: the stored text has not been read yet.
    mutable TBoundName bound_;
    mutable TSharedText value_;
};

// One bit of a bound number. Writing a bit rewrites the whole number.
class TRegBool {
public:
    TRegBool() = default;
    TRegBool(TRegDword& number, uint16_t bit) { Bind(number, bit); }
    void Bind(TRegDword& number, uint16_t bit) {
        bits_ = reinterpret_cast<uintptr_t>(&number) | uintptr_t{static_cast<uint8_t>(bit & 31)}
                                                           << kBitShift;
        Refresh();
    }
    // Takes the bit from the number's cached value.
    bool Refresh() {
        const TRegDword* n = Number();
        const bool on = n && ((n->Get() >> Bit()) & 1u);
        bits_ = (bits_ & ~kValueFlag) | (on ? kValueFlag : 0);
        return on;
    }
    bool Get() const { return (bits_ & kValueFlag) != 0; }
    operator bool() const { return Get(); }
    long Set(bool on);
    TRegBool& operator=(bool on) {
        Set(on);
        return *this;
    }

private:
    // The number's address, the bit's place and the cached bit in one word,
    // like TBoundName: nine of these in each of ten thousand jobs.
    static constexpr int kBitShift = 48;
    static constexpr uintptr_t kValueFlag = uintptr_t{1} << 56;
    static constexpr uintptr_t kAddressMask = (uintptr_t{1} << 48) - 1;
    TRegDword* Number() const { return reinterpret_cast<TRegDword*>(bits_ & kAddressMask); }
    uint32_t Bit() const { return static_cast<uint32_t>((bits_ >> kBitShift) & 31); }
    uintptr_t bits_ = 0;
};

}  // namespace zk40
