#pragma once
// Bound values: one named value of a key with a type and a default. Binding
// writes the default when the value is missing and never overwrites a value
// that exists; reads come from a cached copy; writes go straight through.
//
// The value name is held as a plain pointer, not copied: bind with a literal
// or with a string that outlives the binding. Jobs and actions hold dozens
// of bound values each, so every byte of a binding counts many times over.
#include <cstdint>
#include <string>
#include <string_view>

#include "store/Store.h"
#include "support/StoreTime.h"

namespace zk40 {

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
    std::string_view Name() const { return name_; }

private:
    const TRegKey* key_ = nullptr;
    const char* name_ = "";
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
    const std::string& Reload();

    // Good until the value is next set, reloaded or bound, as for any cached
    // value; copy it to keep it longer.
    const std::string& Get() const { return value_.Get(); }
    operator const std::string&() const { return value_.Get(); }
    long Set(std::string_view v);
    TRegString& operator=(std::string_view v) {
        Set(v);
        return *this;
    }
    std::string_view Name() const { return name_; }

private:
    const TRegKey* key_ = nullptr;
    const char* name_ = "";
    TSharedText value_;
};

// One bit of a bound number. Writing a bit rewrites the whole number.
class TRegBool {
public:
    TRegBool() = default;
    TRegBool(TRegDword& number, uint16_t bit) { Bind(number, bit); }
    void Bind(TRegDword& number, uint16_t bit) {
        number_ = &number;
        bit_ = bit;
        Refresh();
    }
    // Takes the bit from the number's cached value.
    bool Refresh() {
        value_ = number_ && ((number_->Get() >> bit_) & 1u);
        return value_;
    }
    bool Get() const { return value_; }
    operator bool() const { return value_; }
    long Set(bool on);
    TRegBool& operator=(bool on) {
        Set(on);
        return *this;
    }

private:
    TRegDword* number_ = nullptr;
    uint16_t bit_ = 0;
    bool value_ = false;
};

}  // namespace zk40
