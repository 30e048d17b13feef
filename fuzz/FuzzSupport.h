#pragma once
// Shared pieces of the fuzz targets: a private scratch folder (on tmpfs
// where there is one, since several targets write a file per input), file
// helpers, and a walk over a whole store tree for checks of where writes
// landed.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "store/Store.h"

namespace zk40fuzz {

// Stops the run with a message; libFuzzer keeps the input that got here.
[[noreturn]] inline void Fail(const std::string& why) {
    std::fprintf(stderr, "FUZZ CHECK FAILED: %s\n", why.c_str());
    std::fflush(stderr);
    std::abort();
}

inline void Check(bool ok, const std::string& why) {
    if (!ok) Fail(why);
}

// Made once per process, removed at exit.
inline const std::string& ScratchDir() {
    static const std::string dir = [] {
        const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : nullptr;
        if (!base) base = std::getenv("TMPDIR");
        if (!base || !*base) base = "/tmp";
        std::string tmpl = std::string(base) + "/zk40-fuzz-XXXXXX";
        if (!mkdtemp(tmpl.data())) Fail("cannot make a scratch folder under " + std::string(base));
        static std::string removeAtExit;
        removeAtExit = tmpl;
        std::atexit([] {
            std::string cmd = "rm -rf '" + removeAtExit + "'";
            if (std::system(cmd.c_str()) != 0) {
            }
        });
        return tmpl;
    }();
    return dir;
}

inline void WriteFile(const std::string& path, const void* data, size_t size) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) Fail("cannot write " + path);
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = ::write(fd, p, size);
        if (n <= 0) Fail("cannot write " + path);
        p += n;
        size -= static_cast<size_t>(n);
    }
    ::close(fd);
}

inline bool ReadFile(const std::string& path, std::string* out) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    out->clear();
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out->append(buf, n);
    std::fclose(f);
    return true;
}

inline bool Exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

inline std::vector<std::string> ListDir(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d)) {
            std::string n = e->d_name;
            if (n != "." && n != "..") names.push_back(n);
        }
        ::closedir(d);
    }
    return names;
}

// Every key below `key` as a '\'-joined path relative to it, parents first.
inline void WalkKeys(zk40::TStore& store, zk40::KeyId key, const std::string& prefix,
                     std::vector<std::string>* out) {
    std::vector<std::string> subkeys;
    if (store.ListSubKeys(key, &subkeys) != zk40::kRegOk) Fail("cannot list subkeys");
    for (const auto& name : subkeys) {
        zk40::KeyId child = store.OpenKey(key, name, false);
        if (child == 0) Fail("cannot open listed subkey " + name);
        std::string path = prefix.empty() ? name : prefix + "\\" + name;
        out->push_back(path);
        WalkKeys(store, child, path, out);
    }
}

}  // namespace zk40fuzz
