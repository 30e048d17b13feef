#include <gtest/gtest.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "TestEnv.h"
#include "update/Archive.h"

using namespace zk40;
using zk40test::FileExists;
using zk40test::ReadFile;
using zk40test::TempDir;
using zk40test::WriteFile;

namespace {

namespace fs = std::filesystem;

struct Entry {
    std::string name;
    std::string data;
    bool stored = false;  // no compression, so the bytes appear as they are
};

// Builds a real zip file with libzip.
void MakeZip(const std::string& path, const std::vector<Entry>& entries) {
    int err = 0;
    zip_t* za = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
    ASSERT_NE(za, nullptr) << "zip_open " << err;
    for (const Entry& e : entries) {
        zip_source_t* src = zip_source_buffer(za, e.data.data(), e.data.size(), 0);
        ASSERT_NE(src, nullptr);
        zip_int64_t i = zip_file_add(za, e.name.c_str(), src, ZIP_FL_ENC_UTF_8);
        ASSERT_GE(i, 0) << zip_strerror(za);
        if (e.stored) zip_set_file_compression(za, static_cast<zip_uint64_t>(i), ZIP_CM_STORE, 0);
    }
    ASSERT_EQ(zip_close(za), 0) << zip_strerror(za);
}

std::set<std::string> Listing(const std::string& root) {
    std::set<std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(root))
        out.insert(fs::relative(e.path(), root).string());
    return out;
}

std::vector<std::string> SysUpdTexts(const TRecordingProgress& p) {
    std::vector<std::string> out;
    for (const std::string& s : p.all)
        if (s.starts_with("SysUpd:")) out.push_back(s);
    return out;
}

bool Contains(const std::vector<std::string>& v, const std::string& s) {
    return std::find(v.begin(), v.end(), s) != v.end();
}

struct ModuleArchive : ::testing::Test {
    TempDir dir;
    std::string archive = dir / "ZKTT0001.ZKZ";
    std::string module = dir / "actions/ZKA00012.dll";
    std::string helpDir = dir / "help/";
    std::string helpFile = dir / "help/ZKA00012.hlp";
    TRecordingProgress progress;
    ModuleArchive() { fs::create_directories(dir / "actions"); }
};

const std::string kDll(20000, 'D');  // compresses well: its size and ratio differ
const std::string kHlp = "help text\r\n";

TEST_F(ModuleArchive, ModuleAndHelpGoToTheirFixedPaths) {
    MakeZip(archive, {{"readme.txt", "not for us"},
                      {"ACTION.DLL", kDll},
                      {"sub/ACTION.HLP", "in a folder: not for us"},
                      {"ACTION.HLP", kHlp}});
    ArchiveResult r = ExtractModuleArchive(archive, module, helpDir, progress);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.extracted, 2);
    EXPECT_EQ(r.marked, 2);
    EXPECT_EQ(ReadFile(module), kDll);
    EXPECT_EQ(ReadFile(helpFile), kHlp);  // the help folder was made
    EXPECT_FALSE(FileExists(archive));
    EXPECT_EQ(Listing(dir.path()), (std::set<std::string>{"actions", "actions/ZKA00012.dll", "help",
                                                          "help/ZKA00012.hlp"}));
    EXPECT_EQ(SysUpdTexts(progress), (std::vector<std::string>{
                                         "SysUpd:  Opening Archive '" + archive + "'...",
                                         "SysUpd:  Marking File (1) '" + module + "'...",
                                         "SysUpd:  Marking File (2) '" + module + "'...",
                                         "SysUpd:  Extracting Files...",
                                         "SysUpd:  Removing Archive '" + archive + "'...",
                                         "SysUpd:  2 Files Extracted.",
                                     }));
    for (const std::string& monitor : std::vector<std::string>{
             "Opening " + archive, "Reading directory", "Extracting ACTION.DLL",
             "Extracting ACTION.HLP", "Closing " + archive, "Done"})
        EXPECT_TRUE(Contains(progress.all, monitor)) << monitor;
    EXPECT_EQ(progress.progress, 0);
}

TEST_F(ModuleArchive, TakesWhatIsThereAndLeavesTheRestAlone) {
    const struct {
        const char* name;
        std::vector<Entry> entries;
        int extracted;
        std::string module;  // content afterwards
        bool help;
    } cases[] = {
        {"DLL only, any case", {{"action.dll", kDll}}, 1, kDll, false},
        {"neither", {{"ACTION.EXE", "x"}, {"ACTION.DLL.bak", "y"}}, 0, "old module", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WriteFile(module, "old module");
        fs::remove_all(dir / "help");
        MakeZip(archive, c.entries);
        TRecordingProgress p;
        ArchiveResult r = ExtractModuleArchive(archive, module, helpDir, p);
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.extracted, c.extracted);
        EXPECT_EQ(p.last, "SysUpd:  " + std::to_string(c.extracted) + " Files Extracted.");
        EXPECT_EQ(ReadFile(module), c.module);
        EXPECT_EQ(FileExists(helpFile), c.help);
        EXPECT_FALSE(FileExists(archive));
    }
}

// Replaces the first occurrence of `what` in a file.
void Patch(const std::string& path, const std::string& what, const std::string& with) {
    std::string bytes = ReadFile(path);
    size_t at = bytes.find(what);
    ASSERT_NE(at, std::string::npos);
    bytes.replace(at, with.size(), with);
    WriteFile(path, bytes);
}

// Sets the uncompressed size of the (only) entry in both headers, keeping
// the archive self-consistent: the entry then claims less than it holds.
void LieAboutSize(const std::string& path, uint32_t size) {
    std::string bytes = ReadFile(path);
    const char le[4] = {char(size), char(size >> 8), char(size >> 16), char(size >> 24)};
    size_t local = bytes.find("PK\x03\x04");
    size_t central = bytes.find("PK\x01\x02");
    ASSERT_NE(local, std::string::npos);
    ASSERT_NE(central, std::string::npos);
    std::memcpy(&bytes[local + 22], le, 4);
    std::memcpy(&bytes[central + 24], le, 4);
    WriteFile(path, bytes);
}

TEST_F(ModuleArchive, ABadArchiveChangesNothingAndIsKept) {
    const std::string hlpMarker = "HELP-PAYLOAD-0123456789";
    const struct {
        const char* name;
        std::function<void(const std::string&)> make;
        uint64_t cap;
        const char* text;  // start of the error status
    } cases[] = {
        {"missing", [](const std::string& p) { fs::remove(p); }, kMaxArchiveEntryBytes,
         "SysUpd:  Error Reading Directory -- "},
        {"random bytes",
         [](const std::string& p) { WriteFile(p, std::string(3000, '\x5a') + "garbage"); },
         kMaxArchiveEntryBytes, "SysUpd:  Error Reading Directory -- "},
        {"truncated",
         [](const std::string& p) {
             MakeZip(p, {{"ACTION.DLL", kDll}, {"ACTION.HLP", kHlp}});
             std::string bytes = ReadFile(p);
             WriteFile(p, bytes.substr(0, bytes.size() / 2));
         },
         kMaxArchiveEntryBytes, "SysUpd:  Error Reading Directory -- "},
        {"help entry fails its CRC after the module came out",
         [&](const std::string& p) {
             MakeZip(p, {{"ACTION.DLL", kDll}, {"ACTION.HLP", hlpMarker, true}});
             Patch(p, hlpMarker, "X");
         },
         kMaxArchiveEntryBytes, "SysUpd:  Error Extracting Files -- "},
        {"entry larger than the cap",
         [](const std::string& p) {
             MakeZip(p, {{"ACTION.DLL", kDll}});
         },
         1000, "SysUpd:  Error Extracting Files -- "},
        {"entry unpacks to more than it declares",
         [](const std::string& p) {
             MakeZip(p, {{"ACTION.DLL", kDll}});
             LieAboutSize(p, 100);
         },
         kMaxArchiveEntryBytes, "SysUpd:  Error Extracting Files -- "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WriteFile(module, "old module");
        fs::create_directories(helpDir);
        WriteFile(helpFile, "old help");
        c.make(archive);
        const std::string archiveBytes = ReadFile(archive);
        const std::set<std::string> before = Listing(dir.path());

        TRecordingProgress p;
        ArchiveResult r = ExtractModuleArchive(archive, module, helpDir, p, c.cap);
        EXPECT_FALSE(r.ok);
        EXPECT_LT(r.code, 0);
        EXPECT_FALSE(r.error.empty());
        EXPECT_TRUE(p.last.starts_with(c.text)) << p.last;
        EXPECT_TRUE(p.last.ends_with(" [" + std::to_string(r.code) + "]")) << p.last;
        EXPECT_EQ(ReadFile(module), "old module");
        EXPECT_EQ(ReadFile(helpFile), "old help");
        // Kept for the next attempt, and no temporary file left behind.
        EXPECT_EQ(ReadFile(archive), archiveBytes);
        EXPECT_EQ(Listing(dir.path()), before);
    }
}

TEST_F(ModuleArchive, NamesInTheArchiveAreNeverPaths) {
    // Run from a folder two levels down, so that a relative name that climbs
    // out would land inside the test folder where we can see it.
    fs::create_directories(dir / "a/b");
    const std::string cwd = fs::current_path().string();
    ASSERT_EQ(chdir((dir / "a/b").c_str()), 0);
    MakeZip(archive, {{"../../evil", "x"},
                      {dir / "abs-evil", "x"},
                      {"../../actions/ACTION.DLL", "x"},
                      {"..\\..\\evil2", "x"},
                      {"ACTION.DLL/../../evil3", "x"}});
    const std::set<std::string> before = Listing(dir.path());
    ArchiveResult r = ExtractModuleArchive(archive, module, helpDir, progress);
    ASSERT_EQ(chdir(cwd.c_str()), 0);

    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.extracted, 0);
    std::set<std::string> after = Listing(dir.path());
    after.insert("ZKTT0001.ZKZ");  // the archive itself went, as after any success
    EXPECT_EQ(after, before);
}

TEST_F(ModuleArchive, SingleFileArchiveWritesEveryEntryToTheDestinationLastOneWins) {
    const std::string dest = dir / "download.bin";
    WriteFile(dest, "old");
    MakeZip(archive, {{"first.txt", "first"}, {"folder/", ""}, {"second.txt", "second"}});
    ArchiveResult r = ExtractSingleFileArchive(archive, dest, progress);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.extracted, 2);
    EXPECT_EQ(ReadFile(dest), "second");
    EXPECT_TRUE(Contains(progress.all, "SysUpd:  Marking File (2) '" + dest + "'..."));
    EXPECT_FALSE(FileExists(archive));
}

}  // namespace
