// Runs the real zk40-reg binary against a store in a scratch XDG_DATA_HOME.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "TestEnv.h"
#include "store/RegFile.h"
#include "store/Store.h"

using namespace zk40;
using zk40test::ReadFile;
using zk40test::ScopedXdg;
using zk40test::TempDir;
using zk40test::WriteFile;

namespace {

struct ToolRun {
    int code = -1;
    std::string out, err;
};

ToolRun RunReg(const TempDir& dir, const std::vector<std::string>& args) {
    std::string outPath = dir / "reg.out", errPath = dir / "reg.err";
    pid_t pid = fork();
    if (pid == 0) {
        int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(out, 1);
        dup2(err, 2);
        std::vector<char*> argv{const_cast<char*>(ZK40_REG_BIN)};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(ZK40_REG_BIN, argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ToolRun r;
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = ReadFile(outPath);
    r.err = ReadFile(errPath);
    return r;
}

std::ostream& operator<<(std::ostream& os, const ToolRun& r) {
    return os << "exit " << r.code << "\nstdout:\n" << r.out << "stderr:\n" << r.err;
}

struct RegTool : ::testing::Test {
    TempDir dir;
    ScopedXdg xdg{dir};
    std::unique_ptr<TStore> store = TStore::Open(xdg.storePath());

    ToolRun Reg(const std::vector<std::string>& args) { return RunReg(dir, args); }
    // The whole store as text, to show that a refused request changed nothing.
    std::string Everything() {
        std::string text, error;
        EXPECT_TRUE(FormatKeyTree(*store, store->RootId(), "HKEY_CURRENT_USER", &text, &error))
            << error;
        return text;
    }
    RegValueData Raw(const char* key, const std::string& name) {
        RegValueData d;
        EXPECT_EQ(TRegKey(store.get(), key, false).Query(name, &d), kRegOk) << key << " " << name;
        return d;
    }
};

TEST_F(RegTool, AddedValuesQueryBackWithTheirTypeAndBytes) {
    const struct {
        const char* type;
        std::string data;
        uint32_t storedType;
        std::string stored;
        std::string shown;
    } cases[] = {
        {"REG_SZ", "hello world", REG_SZ, "hello world", "hello world"},
        {"REG_SZ", "", REG_SZ, std::string(1, '\0'), ""},
        {"reg_expand_sz", "%HOME%/bin", REG_EXPAND_SZ, "%HOME%/bin", "%HOME%/bin"},
        {"REG_DWORD", "42", REG_DWORD, EncodeDword(42), "0x2a"},
        {"REG_DWORD", "4294967295", REG_DWORD, EncodeDword(0xffffffff), "0xffffffff"},
        {"REG_DWORD", "0x1F", REG_DWORD, EncodeDword(0x1f), "0x1f"},
        {"REG_BINARY", "00ff10", REG_BINARY, std::string("\0\xff\x10", 3), "00FF10"},
        {"REG_BINARY", "", REG_BINARY, "", ""},
        {"REG_MULTI_SZ", "one\\0two", REG_MULTI_SZ, std::string("one\0two\0\0", 9), "one\\0two"},
        {"REG_NONE", "abcd", REG_NONE, "\xab\xcd", "ABCD"},
    };
    int i = 0;
    for (const auto& c : cases) {
        std::string name = "V" + std::to_string(i++);
        ToolRun add = Reg({"add", "HKCU\\Software\\T", "/v", name, "/t", c.type, "/d", c.data});
        ASSERT_EQ(add.code, 0) << add;
        EXPECT_EQ(add.out, "The operation completed successfully.\n");
        RegValueData d = Raw("Software\\T", name);
        EXPECT_EQ(d.type, c.storedType) << c.type << " " << c.data;
        EXPECT_EQ(d.data, c.stored) << c.type << " " << c.data;
        ToolRun q = Reg({"query", "HKEY_CURRENT_USER\\Software\\T", "/v", name});
        ASSERT_EQ(q.code, 0) << q;
        std::string typeName = c.type;
        for (char& ch : typeName) ch = static_cast<char>(toupper(ch));
        EXPECT_EQ(q.out, "\nHKEY_CURRENT_USER\\Software\\T\n    " + name + "    " + typeName +
                             "    " + c.shown + "\n\n");
    }
    // Switches in either form and any case; the default value by /ve.
    ASSERT_EQ(Reg({"ADD", "hkcu\\Software\\T", "-VE", "-T", "REG_DWORD", "-d", "7"}).code, 0);
    ToolRun q = Reg({"query", "HKCU\\SOFTWARE\\t", "/ve"});
    EXPECT_EQ(q.out, "\nHKEY_CURRENT_USER\\Software\\T\n    (Default)    REG_DWORD    0x7\n\n")
        << q;
    // /f overwrites; the value keeps its place among its siblings.
    ASSERT_EQ(Reg({"add", "HKCU\\Software\\T", "/v", "V0", "/d", "new", "/f"}).code, 0);
    EXPECT_EQ(Raw("Software\\T", "V0").data, "new");
}

TEST_F(RegTool, QueryShowsValuesAndSubkeysAndRecursesWithS) {
    TRegKey t(store.get(), "Software\\Q");
    t.SetString("", "top");
    t.SetDword("Count", 3);
    TRegKey(t, "b").SetString("Name", "bee");
    TRegKey(t, "A\\Deep").Set("Bin", REG_BINARY, "\x01\x02");
    ToolRun q = Reg({"query", "HKCU\\Software\\Q"});
    ASSERT_EQ(q.code, 0) << q;
    EXPECT_EQ(q.out,
              "\nHKEY_CURRENT_USER\\Software\\Q\n"
              "    (Default)    REG_SZ    top\n"
              "    Count    REG_DWORD    0x3\n"
              "\n"
              "HKEY_CURRENT_USER\\Software\\Q\\A\n"
              "HKEY_CURRENT_USER\\Software\\Q\\b\n");
    ToolRun s = Reg({"query", "HKCU\\Software\\Q", "/s"});
    ASSERT_EQ(s.code, 0) << s;
    EXPECT_EQ(s.out,
              "\nHKEY_CURRENT_USER\\Software\\Q\n"
              "    (Default)    REG_SZ    top\n"
              "    Count    REG_DWORD    0x3\n"
              "\n"
              "HKEY_CURRENT_USER\\Software\\Q\\A\n"
              "\n"
              "HKEY_CURRENT_USER\\Software\\Q\\A\\Deep\n"
              "    Bin    REG_BINARY    0102\n"
              "\n"
              "HKEY_CURRENT_USER\\Software\\Q\\b\n"
              "    Name    REG_SZ    bee\n"
              "\n"
              "End of search: 8 match(es) found.\n");
    ToolRun found = Reg({"query", "HKCU\\Software\\Q", "/v", "name", "/s"});
    ASSERT_EQ(found.code, 0) << found;
    EXPECT_NE(found.out.find("HKEY_CURRENT_USER\\Software\\Q\\b\n    Name    REG_SZ    bee\n"),
              std::string::npos)
        << found;
}

TEST_F(RegTool, BadRequestsFailWithAMessageAndChangeNothing) {
    TRegKey t(store.get(), "Software\\T");
    t.SetString("Existing", "keep");
    TRegKey(t, "Child").SetDword("x", 1);
    std::string existing = dir / "existing.reg";
    WriteFile(existing, "not ours");
    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{}, "Invalid syntax: no command given"},
        {{"frob", "HKCU\\Software"}, "unknown command 'frob'"},
        {{"query"}, "missing KEY"},
        {{"query", "HKCU\\Software\\T", "/bogus"}, "extra argument '/bogus'"},
        {{"add", "HKCU\\Software\\T", "/v"}, "/v needs a value"},
        {{"add", "HKCU\\Software\\T", "/v", "a", "/ve"}, "exclude each other"},
        {{"query", "HKCU\\Software\\Missing"}, "The key HKCU\\Software\\Missing does not exist"},
        {{"query", "HKLM\\Software\\T"},
         "Invalid key name: key 'HKLM\\Software\\T' is outside HKEY_CURRENT_USER"},
        {{"query", "Software\\T"}, "Invalid key name"},
        {{"add", "HKCU\\Software\\\\T"}, "empty key name"},
        {{"query", "HKCU\\Software\\T", "/v", "Nope"}, "Value 'Nope' was not found"},
        {{"add", "HKCU\\Software\\T", "/v", "n", "/t", "REG_DWORD", "/d", "4294967296"},
         "Invalid REG_DWORD data '4294967296'"},
        {{"add", "HKCU\\Software\\T", "/v", "n", "/t", "REG_DWORD", "/d", "-1"},
         "Invalid REG_DWORD"},
        {{"add", "HKCU\\Software\\T", "/v", "n", "/t", "REG_DWORD", "/d", "0x"},
         "Invalid REG_DWORD"},
        {{"add", "HKCU\\Software\\T", "/v", "n", "/t", "REG_DWORD", "/d", "12abc"},
         "Invalid REG_DWORD"},
        {{"add", "HKCU\\Software\\T", "/v", "n", "/t", "REG_BINARY", "/d", "abc"},
         "Invalid REG_BINARY data 'abc'"},
        {{"add", "HKCU\\Software\\T", "/v", "n", "/t", "REG_BINARY", "/d", "zz"},
         "Invalid REG_BINARY"},
        {{"add", "HKCU\\Software\\T", "/v", "n", "/t", "REG_MULTI_SZ", "/d", "a\\0\\0b"},
         "item between separators is empty"},
        {{"add", "HKCU\\Software\\T", "/v", "n", "/t", "REG_QWORD", "/d", "1"},
         "Unsupported type 'REG_QWORD'"},
        {{"add", "HKCU\\Software\\T", "/v", "existing", "/d", "lost"},
         "exists already; add /f to overwrite it"},
        {{"delete", "HKCU\\Software\\T"}, "add /f to delete it"},
        {{"delete", "HKCU\\Software\\T", "/v", "Existing"}, "add /f to delete it"},
        {{"delete", "HKCU\\Software\\T", "/v", "Nope", "/f"}, "there is no such value"},
        {{"delete", "HKCU\\Software\\Missing", "/f"}, "does not exist"},
        {{"delete", "HKCU", "/f"}, "HKEY_CURRENT_USER itself cannot be deleted"},
        {{"export", "HKCU\\Software\\T", existing}, "exists already; add /y to overwrite it"},
        {{"import", dir / "missing.reg"}, "cannot read " + std::string(dir / "missing.reg")},
    };
    const std::string before = Everything();
    for (const auto& c : cases) {
        ToolRun r = Reg(c.args);
        std::string shown;
        for (const auto& a : c.args) shown += a + " ";
        EXPECT_EQ(r.code, 1) << shown << "\n" << r;
        EXPECT_EQ(r.err.rfind("ERROR: ", 0), 0u) << shown << "\n" << r;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << shown << "\n" << r;
        EXPECT_EQ(Everything(), before) << shown;
    }
    EXPECT_EQ(ReadFile(existing), "not ours");
    ToolRun help = Reg({"/?"});
    EXPECT_EQ(help.code, 0) << help;
    EXPECT_NE(help.out.find("zk40-reg query  KEY"), std::string::npos) << help;
}

TEST_F(RegTool, DeleteWithForceRemovesValuesOrTheWholeTree) {
    TRegKey t(store.get(), "Software\\D");
    t.SetString("", "default");
    t.SetString("a", "1");
    t.SetString("b", "2");
    TRegKey(t, "Sub\\Deeper").SetDword("x", 1);
    ASSERT_EQ(Reg({"delete", "HKCU\\Software\\D", "/v", "A", "/f"}).code, 0);
    EXPECT_FALSE(t.HasValue("a"));
    ASSERT_EQ(Reg({"delete", "HKCU\\Software\\D", "/ve", "/f"}).code, 0);
    EXPECT_FALSE(t.HasValue(""));
    EXPECT_TRUE(t.HasValue("b"));
    ASSERT_EQ(Reg({"delete", "HKCU\\Software\\D", "/va", "-F"}).code, 0);
    EXPECT_EQ(t.CurrentValueCount(), 0u);
    EXPECT_TRUE(TRegKey(store.get(), "Software\\D\\Sub\\Deeper", false).IsValid());
    ToolRun del = Reg({"delete", "HKCU\\Software\\D", "/f"});
    ASSERT_EQ(del.code, 0) << del;
    EXPECT_FALSE(TRegKey(store.get(), "Software\\D", false).IsValid());
    EXPECT_TRUE(TRegKey(store.get(), "Software", false).IsValid());
    EXPECT_EQ(Reg({"query", "HKCU\\Software\\D"}).code, 1);
}

TEST_F(RegTool, ExportThenImportIntoAnEmptyStoreGivesTheSameFile) {
    TRegKey p(store.get(), "Software\\DENTRAX-14\\Zarkell'40");
    p.SetString("", "C:/zk40,1");
    p.SetString("Quote", "a \"b\" \\c");
    p.Set("Zero", REG_SZ, std::string("a\0b", 3));
    p.Set("Empty", REG_SZ, std::string(1, '\0'));
    p.SetDword("Flags", 15);
    p.Set("Short", REG_DWORD, "\x01");
    p.Set("Bin", REG_BINARY, std::string(100, '\x5a'));
    p.Set("Multi", REG_MULTI_SZ, std::string("x\0y\0\0", 5));
    TRegKey(p, "jobs\\0000000A").SetString("Name", "Backup");
    TRegKey(p, "jobs\\00000009\\0").SetDword("Type", 2);
    std::string first = dir / "first.reg";
    ToolRun ex = Reg({"export", "HKCU\\software\\dentrax-14\\zarkell'40", first});
    ASSERT_EQ(ex.code, 0) << ex;
    // The file names the key as the store spells it, not as typed.
    EXPECT_EQ(ReadFile(first).rfind("REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\DENTRAX-14\\"
                                    "Zarkell'40]\r\n",
                                    0),
              0u);
    ToolRun again = Reg({"export", "HKCU\\Software\\DENTRAX-14\\Zarkell'40", first, "/y"});
    EXPECT_EQ(again.code, 0) << again;

    TempDir other;
    std::string second = dir / "second.reg";
    {
        ScopedXdg elsewhere(other);
        ASSERT_FALSE(zk40test::FileExists(elsewhere.storePath()));
        ToolRun im = RunReg(other, {"import", first});
        ASSERT_EQ(im.code, 0) << im;
        ToolRun ex2 = RunReg(other, {"export", "HKCU\\Software\\DENTRAX-14\\Zarkell'40", second});
        ASSERT_EQ(ex2.code, 0) << ex2;
    }
    EXPECT_EQ(ReadFile(second), ReadFile(first));
}

TEST_F(RegTool, MalformedImportNamesTheLineAndChangesNothing) {
    TRegKey(store.get(), "Software\\Kept").SetString("v", "1");
    const std::string before = Everything();
    std::string file = dir / "bad.reg";
    WriteFile(file,
              "REGEDIT4\r\n"
              "\r\n"
              "[HKEY_CURRENT_USER\\Software\\New]\r\n"
              "\"ok\"=\"fine\"\r\n"
              "\"bin\"=hex:01,02,\\\r\n"
              "  03,xy\r\n");
    ToolRun r = Reg({"import", file});
    EXPECT_EQ(r.code, 1) << r;
    EXPECT_NE(r.err.find(file + ": line 6: bad hex byte 'xy'"), std::string::npos) << r;
    EXPECT_NE(r.err.find("nothing was imported"), std::string::npos) << r;
    EXPECT_EQ(Everything(), before);
}

}  // namespace
