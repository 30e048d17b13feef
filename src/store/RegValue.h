#pragma once
// Bound values: one named value of a key with a type and a default. Binding
// writes the default when the value is missing and never overwrites a value
// that exists; reads come from a cached copy; writes go straight through.
//
// The value name is held as a view: bind with a literal or with a string
// that outlives the binding.
#include <cstdint>
#include <string>
#include <string_view>

#include "store/Store.h"
#include "support/StoreTime.h"

namespace zk40 {

class TRegDword {
public:
    TRegDword() = default;
    TRegDword(const TRegKey& key, std::string_view name, uint32_t def) { Bind(key, name, def); }
    void Bind(const TRegKey& key, std::string_view name, uint32_t def);
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
    std::string_view name_;
    uint32_t default_ = 0;
    uint32_t value_ = 0;
};

class TRegTime : public TRegDword {
public:
    TRegTime() = default;
    TRegTime(const TRegKey& key, std::string_view name, StoreTime def) : TRegDword(key, name, def) {}
    TRegTime& operator=(StoreTime t) {
        Set(t);
        return *this;
    }
};

class TRegString {
public:
    TRegString() = default;
    TRegString(const TRegKey& key, std::string_view name, std::string_view def) {
        Bind(key, name, def);
    }
    void Bind(const TRegKey& key, std::string_view name, std::string_view def);
    const std::string& Reload();

    const std::string& Get() const { return value_; }
    operator const std::string&() const { return value_; }
    long Set(std::string_view v);
    TRegString& operator=(std::string_view v) {
        Set(v);
        return *this;
    }
    std::string_view Name() const { return name_; }

private:
    const TRegKey* key_ = nullptr;
    std::string_view name_;
    std::string value_;
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
