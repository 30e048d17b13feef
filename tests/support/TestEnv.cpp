#include "TestEnv.h"

#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace zk40test {

static const char* kVars[4] = {"XDG_DATA_HOME", "XDG_STATE_HOME", "XDG_RUNTIME_DIR", "TMPDIR"};
static const char* kSub[4] = {"data", "state", "run", "tmp"};

TempDir::TempDir() {
    const char* base = std::getenv("ZK40_TEST_TMP");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/zk40test-XXXXXX";
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

ScopedXdg::ScopedXdg(const TempDir& dir) : root_(dir.path()) {
    for (int i = 0; i < 4; ++i) {
        const char* old = std::getenv(kVars[i]);
        had_[i] = old != nullptr;
        if (old) saved_[i] = old;
        std::string p = root_ + "/" + kSub[i];
        mkdir(p.c_str(), 0700);
        setenv(kVars[i], p.c_str(), 1);
    }
}

ScopedXdg::~ScopedXdg() {
    for (int i = 0; i < 4; ++i) {
        if (had_[i])
            setenv(kVars[i], saved_[i].c_str(), 1);
        else
            unsetenv(kVars[i]);
    }
}

std::string ScopedXdg::dataHome() const { return root_ + "/data"; }
std::string ScopedXdg::stateHome() const { return root_ + "/state"; }
std::string ScopedXdg::runtimeDir() const { return root_ + "/run"; }

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
}

bool FileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

std::string ZipBytes(const std::vector<std::pair<std::string, std::string>>& entries) {
    TempDir d;
    std::string path = d / "a.zip";
    int err = 0;
    zip_t* za = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
    if (!za) throw std::runtime_error("zip_open failed");
    for (const auto& [name, data] : entries) {
        zip_source_t* src = zip_source_buffer(za, data.data(), data.size(), 0);
        if (!src || zip_file_add(za, name.c_str(), src, ZIP_FL_OVERWRITE) < 0) {
            zip_source_free(src);
            zip_discard(za);
            throw std::runtime_error("cannot add " + name + " to a zip archive");
        }
    }
    if (zip_close(za) != 0) throw std::runtime_error("zip_close failed");
    return ReadFile(path);
}

}  // namespace zk40test
