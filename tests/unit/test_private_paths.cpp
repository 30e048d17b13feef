// Folders the program keeps its store and modules in must be closed to
// other users; the autostart entry and the service unit text.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <vector>

#include "Process.h"
#include "TestEnv.h"
#include "base/Autostart.h"
#include "base/Service.h"
#include "store/AppPaths.h"

using namespace zk40;
using namespace zk40test;

namespace {

// Sets (or, with nullopt, unsets) one variable for the scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
        if (const char* old = std::getenv(name)) saved_ = old;
        if (value)
            setenv(name, value->c_str(), 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (saved_)
            setenv(name_, saved_->c_str(), 1);
        else
            unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> saved_;
};

void MakeDir(const std::string& path, mode_t mode) {
    ASSERT_EQ(mkdir(path.c_str(), 0700), 0) << path;
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
}

constexpr uid_t kNobody = 65534;

}  // namespace

TEST(PrivatePaths, OnlyFoldersClosedToOtherUsersAreAccepted) {
    TempDir dir;
    struct Case {
        const char* name;
        mode_t parentMode;    // of dir/p
        mode_t mode;          // of dir/p/x
        bool chownNobody;     // x belongs to another user
        bool chgrpOther;      // x's group is one we do not own alone
        const char* refusal;  // empty: accepted
    };
    const Case cases[] = {
        {"own-private", 0700, 0700, false, false, ""},
        {"own-readable", 0755, 0755, false, false, ""},
        {"world-writable", 0755, 0777, false, false, "other users can write to"},
        {"under-world-writable", 0777, 0700, false, false, "so they could replace"},
        {"under-sticky", 01777, 0700, false, false, ""},
        {"group-writable-shared-group", 0755, 0770, false, true, "other users can write to"},
        {"another-owner", 0755, 0700, true, false, "belongs to"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if ((c.chownNobody || c.chgrpOther) && geteuid() != 0) continue;  // needs root to set up
        std::string parent = dir / c.name;
        std::string x = parent + "/x";
        MakeDir(parent, c.parentMode);
        MakeDir(x, c.mode);
        if (c.chownNobody) {
            ASSERT_EQ(chown(x.c_str(), kNobody, static_cast<gid_t>(-1)), 0);
        }
        if (c.chgrpOther) {
            group* users = getgrnam("users");
            ASSERT_NE(users, nullptr);
            ASSERT_EQ(chown(x.c_str(), static_cast<uid_t>(-1), users->gr_gid), 0);
        }
        std::string why = UnsafePathReason(x);
        if (*c.refusal) {
            EXPECT_NE(why.find(c.refusal), std::string::npos) << why;
        } else {
            EXPECT_EQ(why, "");
        }
        // What does not exist yet below an accepted folder is ours to make.
        if (!*c.refusal) {
            EXPECT_EQ(UnsafePathReason(x + "/not/there/yet"), "");
        }
    }
    EXPECT_NE(UnsafePathReason("relative/path"), "");
}

TEST(PrivatePaths, StoreFileOpenToOthersIsRefusedByName) {
    TempDir dir;
    ScopedXdg xdg(dir);
    AppPaths paths = AppPaths::FromEnvironment();
    paths.MakeFolders();
    EXPECT_EQ(CheckPrivateFolders(paths), "");
    WriteFile(paths.storeFile, "");
    ASSERT_EQ(chmod(paths.storeFile.c_str(), 0666), 0);
    std::string why = CheckPrivateFolders(paths);
    EXPECT_NE(why.find("refusing the store " + paths.storeFile), std::string::npos) << why;
    ASSERT_EQ(chmod(paths.storeFile.c_str(), 0600), 0);
    ASSERT_EQ(chmod(paths.stateDir.c_str(), 0777), 0);
    why = CheckPrivateFolders(paths);
    EXPECT_NE(why.find("refusing the state folder"), std::string::npos) << why;
}

TEST(PrivatePaths, WithoutHomeTheFoldersComeFromTheAccountNeverFromTmp) {
    // A system unit starts the program with no HOME.
    ScopedEnv home("HOME", std::nullopt);
    ScopedEnv data("XDG_DATA_HOME", std::nullopt);
    ScopedEnv state("XDG_STATE_HOME", std::nullopt);
    passwd* pw = getpwuid(geteuid());
    ASSERT_NE(pw, nullptr);
    AppPaths paths = AppPaths::FromEnvironment();
    EXPECT_EQ(paths.problem, "");
    EXPECT_EQ(paths.dataDir, std::string(pw->pw_dir) + "/.local/share/zarkell40");
    EXPECT_EQ(paths.stateDir, std::string(pw->pw_dir) + "/.local/state/zarkell40");
    EXPECT_NE(paths.storeFile.rfind("/tmp", 0), 0u) << paths.storeFile;
}

TEST(Autostart, EntryIsWrittenQuotedAndRemoved) {
    TempDir dir;
    ScopedEnv config("XDG_CONFIG_HOME", dir / "config");
    std::string path = AutostartFilePath();
    EXPECT_EQ(path, dir / "config/autostart/zarkell40.desktop");
    EXPECT_FALSE(AutostartEnabled());
    struct Case {
        std::string exe;
        std::string exec;  // the Exec line as it must appear in the file
    };
    const Case cases[] = {
        {"/usr/bin/zarkell40", "Exec=/usr/bin/zarkell40"},
        {"/opt/my apps/zarkell40", "Exec=\"/opt/my apps/zarkell40\""},
        {"/opt/100%/$x\"y", "Exec=\"/opt/100%%/\\\\$x\\\\\"y\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.exe);
        std::string error;
        ASSERT_TRUE(SetAutostart(true, c.exe, &error)) << error;
        std::string text = ReadFile(path);
        EXPECT_NE(text.find("\n" + c.exec + "\n"), std::string::npos) << text;
        EXPECT_TRUE(AutostartEnabled());
        std::string out;
        EXPECT_EQ(RunProcess({"/usr/bin/desktop-file-validate", path}, &out), 0) << out;
    }
    // Switched off in the desktop's own settings: not enabled.
    WriteFile(path, ReadFile(path) + "Hidden=true\n");
    EXPECT_FALSE(AutostartEnabled());
    std::string error;
    ASSERT_TRUE(SetAutostart(false, "", &error)) << error;
    EXPECT_FALSE(FileExists(path));
    EXPECT_TRUE(SetAutostart(false, "", &error)) << "removing twice is fine";
}

// The entry (and the service unit, written the same way) replaces the old
// file whole and never writes through a link planted beside it.
TEST(Autostart, EntryReplacesTheFileWholeAndFollowsNoPlantedLink) {
    TempDir dir;
    ScopedEnv config("XDG_CONFIG_HOME", dir / "config");
    const std::string path = AutostartFilePath();
    const std::string folder = dir / "config/autostart";
    const std::string victim = dir / "victim";
    WriteFile(victim, "precious");
    ASSERT_TRUE(std::filesystem::create_directories(folder));
    ASSERT_EQ(symlink(victim.c_str(), (path + ".tmp").c_str()), 0);
    WriteFile(path, "old entry\n");
    std::string error;
    ASSERT_TRUE(SetAutostart(true, "/usr/bin/zarkell40", &error)) << error;
    EXPECT_EQ(ReadFile(victim), "precious");
    EXPECT_NE(ReadFile(path).find("Exec=/usr/bin/zarkell40\n"), std::string::npos);
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    // Nothing of the write is left beside it.
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(folder))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"zarkell40.desktop", "zarkell40.desktop.tmp"}));

    // When the new file cannot take the old one's place (here a folder is
    // in the way), the write fails by name and leaves nothing behind.
    ASSERT_EQ(unlink(path.c_str()), 0);
    ASSERT_TRUE(std::filesystem::create_directories(path + "/in-the-way"));
    EXPECT_FALSE(SetAutostart(true, "/usr/bin/zarkell40", &error));
    EXPECT_EQ(error.rfind("cannot write " + path + ": ", 0), 0u) << error;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder),
                            std::filesystem::directory_iterator()),
              2);
}

TEST(ServiceUnit, TemplateGetsQuotedExecStartAndUserOnlyWhenAsked) {
    const std::string templ =
        "[Unit]\nDescription=x\n\n[Service]\nType=notify\nExecStart=@ZK40_EXEC@ /service\n";
    std::string plain = TService::UnitText(templ, "/usr/bin/zarkell40", "");
    EXPECT_EQ(plain,
              "[Unit]\nDescription=x\n\n[Service]\nType=notify\nExecStart=\"/usr/bin/zarkell40\" "
              "/service\n");
    std::string user = TService::UnitText(templ, "/opt/a \"b\"\\c/zarkell40", "backup");
    EXPECT_EQ(user,
              "[Unit]\nDescription=x\n\n[Service]\nUser=backup\nType=notify\n"
              "ExecStart=\"/opt/a \\\"b\\\"\\\\c/zarkell40\" /service\n");
}
