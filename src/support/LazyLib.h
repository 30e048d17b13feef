#pragma once
// Libraries that are loaded on first use rather than at start-up. The HTTP
// and archive libraries are needed only while an update runs, yet linking
// them would map them (and the thirty-odd libraries they pull in: TLS,
// Kerberos, LDAP, compressors) into a program that mostly idles. Each is
// opened by its versioned name the first time it is wanted and stays
// loaded after that.
#include <dlfcn.h>

#include <mutex>
#include <string>

namespace zk40 {

// One library and its table of entry points (a struct of function
// pointers, filled by Fill). Get() loads it once; the table stays valid for
// the life of the process.
template <typename Table>
class TLazyLib {
public:
    using FillFn = bool (*)(void* handle, Table* table, std::string* missing);
    TLazyLib(const char* soname, FillFn fill) : soname_(soname), fill_(fill) {}

    // The table, or nullptr when the library cannot be loaded; error then
    // says why.
    const Table* Get(std::string* error = nullptr) {
        std::call_once(once_, [this] {
            void* h = dlopen(soname_, RTLD_NOW | RTLD_LOCAL);
            if (!h) {
                const char* e = dlerror();
                error_ = std::string("cannot load ") + soname_ + ": " + (e ? e : "unknown error");
                return;
            }
            std::string missing;
            if (!fill_(h, &table_, &missing)) {
                error_ = std::string(soname_) + " lacks " + missing;
                return;
            }
            ok_ = true;
        });
        if (!ok_ && error) *error = error_;
        return ok_ ? &table_ : nullptr;
    }

private:
    const char* soname_;
    FillFn fill_;
    std::once_flag once_;
    Table table_{};
    bool ok_ = false;
    std::string error_;
};

// Looks up one symbol into a function pointer; false (and its name in
// missing) when the library does not have it.
template <typename Fn>
bool LazySymbol(void* handle, const char* name, Fn* out, std::string* missing) {
    *out = reinterpret_cast<Fn>(dlsym(handle, name));
    if (*out) return true;
    if (missing && missing->empty()) *missing = name;
    return false;
}

}  // namespace zk40
