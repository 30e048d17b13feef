#include "store/RegValue.h"

namespace zk40 {

void TRegDword::Bind(const TRegKey& key, std::string_view name, uint32_t def) {
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

void TRegString::Bind(const TRegKey& key, std::string_view name, std::string_view def) {
    key_ = &key;
    name_ = name;
    RegValueData d;
    if (key.QueryCached(name, &d) == kRegOk) {
        value_ = DecodeRegString(d.data);
        return;
    }
    // A key that cannot be written still leaves the default in memory.
    value_.assign(def);
    key.SetString(name, def);
}

const std::string& TRegString::Reload() {
    if (!key_) return value_;
    RegValueData d;
    if (key_->Query(name_, &d) == kRegOk) value_ = DecodeRegString(d.data);
    return value_;
}

long TRegString::Set(std::string_view v) {
    if (!key_) return kRegInvalidHandle;
    long rc = key_->SetString(name_, v);
    if (rc == kRegOk) value_.assign(v);
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
