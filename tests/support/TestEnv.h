#pragma once
// Per-test scratch folders. Each test that touches the file system makes a
// TempDir; ScopedXdg points XDG_DATA_HOME, XDG_STATE_HOME, XDG_RUNTIME_DIR and
// TMPDIR into it so that nothing leaks into the user's own folders.
#include <string>
#include <utility>
#include <vector>

namespace zk40test {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

class ScopedXdg {
public:
    explicit ScopedXdg(const TempDir& dir);
    ~ScopedXdg();
    std::string dataHome() const;
    std::string stateHome() const;
    std::string runtimeDir() const;
    std::string storePath() const { return dataHome() + "/zarkell40/store.db"; }

private:
    std::string root_;
    std::string saved_[4];
    bool had_[4];
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& data);
bool FileExists(const std::string& path);
// The bytes of a zip archive of the given (name, contents) entries, as an
// update server would send it.
std::string ZipBytes(const std::vector<std::pair<std::string, std::string>>& entries);

}  // namespace zk40test
