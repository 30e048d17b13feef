#include <dirent.h>
#include <sys/stat.h>
#include <gtest/gtest.h>

#include "TestEnv.h"
#include "store/RegFile.h"
#include "store/Store.h"

using namespace zk40;
using zk40test::ReadFile;
using zk40test::TempDir;
using zk40test::WriteFile;

namespace {

const std::string kProduct = "Software\\DENTRAX-14\\Zarkell'40";
const std::string kProductFull = "HKEY_CURRENT_USER\\" + kProduct;

std::string Hex(std::string_view data) {
    static const char d[] = "0123456789abcdef";
    std::string s;
    for (unsigned char c : data) s += {d[c >> 4], d[c & 15]};
    return s;
}

// Every key below `key` with every value as raw type and bytes, so that two
// trees compare exactly, names' case included.
void Dump(TStore& s, KeyId key, const std::string& path, std::vector<std::string>* out) {
    out->push_back("[" + path + "]");
    std::vector<RegNamedValue> values;
    s.LoadValues(key, &values);
    for (const auto& v : values)
        out->push_back(v.name + "|" + std::to_string(v.value.type) + "|" + Hex(v.value.data));
    std::vector<std::string> subkeys;
    s.ListSubKeys(key, &subkeys);
    for (const auto& n : subkeys) Dump(s, s.OpenKey(key, n, false), path + "\\" + n, out);
}

std::vector<std::string> DirEntries(const std::string& path) {
    std::vector<std::string> names;
    DIR* d = opendir(path.c_str());
    while (dirent* e = d ? readdir(d) : nullptr) {
        std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
    }
    if (d) closedir(d);
    return names;
}

struct RegFileTest : ::testing::Test {
    TempDir dir;
    std::unique_ptr<TStore> store = TStore::Open(dir / "store.db");
    TRegKey product{store.get(), kProduct};

    std::string Text(TStore& s, KeyId key) {
        std::string text, error;
        EXPECT_TRUE(FormatKeyTree(s, key, kProductFull, &text, &error)) << error;
        return text;
    }
    std::string Text() { return Text(*store, product.Id()); }
};

TEST_F(RegFileTest, SaveAndRestoreKeepEveryValueByteForByte) {
    std::string binary;
    for (int i = 0; i < 200; ++i) binary.push_back(static_cast<char>(i * 7));
    const struct {
        const char* name;
        uint32_t type;
        std::string data;
        const char* line;  // how the value must appear in the file, or null
    } values[] = {
        {"", REG_SZ, "Default text", "@=\"Default text\""},
        {"Quote", REG_SZ, "say \"hi\" in C:\\dir\\",
         "\"Quote\"=\"say \\\"hi\\\" in C:\\\\dir\\\\\""},
        {"we\"ird\\name", REG_SZ, "x", "\"we\\\"ird\\\\name\"=\"x\""},
        {"Utf8", REG_SZ, "Z\xc3\xbcrich \xe6\x9d\xb1\xe4\xba\xac", nullptr},
        {"Empty", REG_SZ, std::string(1, '\0'), "\"Empty\"=\"\""},
        {"EmbeddedZero", REG_SZ, std::string("a\0b", 3), "\"EmbeddedZero\"=hex(1):61,00,62"},
        {"ZeroLength", REG_SZ, "", "\"ZeroLength\"=hex(1):"},
        {"Tab", REG_SZ, "a\tb", "\"Tab\"=hex(1):61,09,62"},
        {"CrLf", REG_SZ, "1\r\n2", "\"CrLf\"=hex(1):31,0d,0a,32"},
        {"BadUtf8", REG_SZ, "\xff\xc3", "\"BadUtf8\"=hex(1):ff,c3"},
        {"Overlong", REG_SZ, "\xc0\xaf", "\"Overlong\"=hex(1):c0,af"},
        {"Dword", REG_DWORD, EncodeDword(0xdeadbeef), "\"Dword\"=dword:deadbeef"},
        {"ShortDword", REG_DWORD, "\x01\x02", "\"ShortDword\"=hex(4):01,02"},
        {"LongDword", REG_DWORD, "12345", "\"LongDword\"=hex(4):31,32,33,34,35"},
        {"Binary", REG_BINARY, binary, nullptr},
        {"EmptyBinary", REG_BINARY, "", "\"EmptyBinary\"=hex:"},
        {"Multi", REG_MULTI_SZ, std::string("a\0b\0\0", 5), "\"Multi\"=hex(7):61,00,62,00,00"},
        {"Expand", REG_EXPAND_SZ, "%HOME%", "\"Expand\"=hex(2):25,48,4f,4d,45,25"},
        {"None", REG_NONE, "", "\"None\"=hex(0):"},
        {"Odd", 0x12345, "\x7f", "\"Odd\"=hex(12345):7f"},
    };
    for (const auto& v : values) product.Set(v.name, v.type, v.data);
    // Names whose case-insensitive order differs from their byte order.
    for (const char* k : {"jobs\\0000000b", "jobs\\0000000A", "jobs\\00000009", "b", "A", "_x"})
        TRegKey(product, k).SetString("Name", k);
    TRegKey(product, "base\\deep\\deeper").SetDword("Flags", 15);

    std::string file = dir / "saved.reg";
    std::string error;
    ASSERT_TRUE(SaveKeyToFile(*store, product.Id(), kProductFull, file, false, &error)) << error;
    std::string saved = ReadFile(file);
    ASSERT_EQ(saved.rfind("REGEDIT4\r\n\r\n[" + kProductFull + "]\r\n", 0), 0u) << saved;
    for (const auto& v : values) {
        if (!v.line) continue;
        EXPECT_NE(saved.find("\r\n" + std::string(v.line) + "\r\n"), std::string::npos) << v.line;
    }
    // Long hex data wraps regedit-style and no line grows past 80 columns.
    EXPECT_NE(saved.find(",\\\r\n  "), std::string::npos);
    for (size_t b = 0, e; (e = saved.find("\r\n", b)) != std::string::npos; b = e + 2)
        EXPECT_LE(e - b, 80u) << saved.substr(b, e - b);
    // Sections come key first, then subkeys depth first in enumeration order.
    const char* order[] = {"]",
                           "\\_x]",
                           "\\A]",
                           "\\b]",
                           "\\base]",
                           "\\base\\deep]",
                           "\\base\\deep\\deeper]",
                           "\\jobs]",
                           "\\jobs\\00000009]",
                           "\\jobs\\0000000A]",
                           "\\jobs\\0000000b]"};
    size_t at = 0;
    for (const char* o : order) {
        size_t next = saved.find("[" + kProductFull + o + "\r\n", at);
        ASSERT_NE(next, std::string::npos) << o;
        at = next + 1;
    }

    // Restore into a fresh store whose key already holds other things, and
    // name the target in another spelling: the result must equal the source.
    TempDir other;
    auto store2 = TStore::Open(other / "store.db");
    TRegKey target(store2.get(), kProduct);
    target.SetString("Stale", "old");
    TRegKey(target, "jobs\\OldJob").SetDword("x", 1);
    ASSERT_TRUE(RestoreKeyFromFile(*store2, target.Id(), "hkcu\\SOFTWARE\\dentrax-14\\zarkell'40",
                                   file, &error))
        << error;
    std::string again = dir / "again.reg";
    ASSERT_TRUE(SaveKeyToFile(*store2, target.Id(), kProductFull, again, false, &error)) << error;
    EXPECT_EQ(ReadFile(again), saved);
    std::vector<std::string> a, b;
    Dump(*store, product.Id(), "", &a);
    Dump(*store2, target.Id(), "", &b);
    EXPECT_EQ(a, b);
}

TEST_F(RegFileTest, ImportReadsRegeditStyleInputAndMerges) {
    TRegKey hand(store.get(), "Software\\Hand");
    hand.SetString("Keep", "kept");
    hand.SetString("Dup", "overwritten");
    std::string file = dir / "hand.reg";
    WriteFile(file,
              "\xef\xbb\xbfREGEDIT4\n"
              "; made by hand, with LF line ends\n"
              "\n"
              "[HKCU\\Software\\Hand]\n"
              "@=\"def\"\n"
              "\"Wrapped\"=hex:01,02,\\\n"
              "    03,04\n"
              "\"Break\"=hex(3):\\\n"
              "  AB\n"
              "  \"Dup\" = \"first\"\n"
              "\"DUP\"=\"second\"\n"
              "\"Short\"=dword:1F\n"
              "\n"
              "[hkey_current_user\\Software\\Hand\\Sub]   \n"
              "\"Expand\"=hex(2):41,42,00\n"
              "\"Qword\"=hex(b):01,00,00,00,00,00,00,00\n"
              "\"Path\"=\"C:\\\\x\"\n");
    std::string error;
    ASSERT_TRUE(ImportRegFile(*store, file, &error)) << error;
    const struct {
        const char* key;
        const char* name;
        uint32_t type;
        std::string data;
    } expected[] = {
        {"Software\\Hand", "", REG_SZ, "def"},
        {"Software\\Hand", "Keep", REG_SZ, "kept"},
        {"Software\\Hand", "Wrapped", REG_BINARY, "\x01\x02\x03\x04"},
        {"Software\\Hand", "Break", REG_BINARY, "\xab"},
        {"Software\\Hand", "Dup", REG_SZ, "second"},
        {"Software\\Hand", "Short", REG_DWORD, EncodeDword(0x1f)},
        {"Software\\Hand\\Sub", "Expand", REG_EXPAND_SZ, std::string("AB\0", 3)},
        {"Software\\Hand\\Sub", "Qword", 11, std::string("\x01\0\0\0\0\0\0\0", 8)},
        {"Software\\Hand\\Sub", "Path", REG_SZ, "C:\\x"},
    };
    for (const auto& e : expected) {
        RegValueData d;
        ASSERT_EQ(TRegKey(store.get(), e.key, false).Query(e.name, &d), kRegOk) << e.name;
        EXPECT_EQ(d.type, e.type) << e.name;
        EXPECT_EQ(d.data, e.data) << e.name;
    }
    EXPECT_EQ(hand.CurrentValueCount(), 6u);
}

// Valid lines first, so a reader that applied lines as it went would leave
// visible traces before reaching the fault.
const std::string kGood =
    "REGEDIT4\r\n"
    "\r\n"
    "[" +
    kProductFull +
    "]\r\n"
    "\"Fresh\"=\"new\"\r\n"
    "[" +
    kProductFull + "\\jobs\\NewJob]\r\n";  // lines 1 to 5

TEST_F(RegFileTest, MalformedFilesAreRefusedWithTheLineAndChangeNothing) {
    const struct {
        std::string text;
        std::string message;
    } cases[] = {
        {"", "line 1: missing REGEDIT4 header"},
        {"Windows Registry Editor Version 5.00\r\n", "line 1: unknown header"},
        {"\r\nREGEDIT5\r\n", "line 2: unknown header"},
        {std::string("\xff\xfeR\0E\0", 6), "line 1: the file is UTF-16 text"},
        {"REGEDIT4\r\n\r\n\"a\"=\"b\"\r\n", "line 3: value before any key"},
        {kGood + "\"a\"=\"b\r\n", "line 6: unterminated string"},
        {kGood + "\"a\\\"=\"b\"\r\n", "line 6: missing '='"},
        {kGood + "\"a\"=\"b\\n\"\r\n", "line 6: bad escape '\\n'"},
        {kGood + "\"a\"=\"b\" c\r\n", "line 6: unexpected text after the string"},
        {kGood + "\"a\"=\r\n", "line 6: missing data"},
        {kGood + "\"a\"=hex:01,zz\r\n", "line 6: bad hex byte 'zz'"},
        {kGood + "\"a\"=hex:123\r\n", "line 6: bad hex byte '123'"},
        {kGood + "\"a\"=hex:01,,02\r\n", "line 6: missing hex byte"},
        {kGood + "\"a\"=hex:01,02,\r\n", "line 6: missing hex byte after ','"},
        {kGood + "\"a\"=hex:01,\\\r\n  02,\\\r\n  0g\r\n", "line 8: bad hex byte '0g'"},
        {kGood + "\"a\"=hex:01,\\\r\n", "line 6: the file ends inside a continued hex value"},
        {kGood + "\"a\"=hex(zz):00\r\n", "line 6: bad value type"},
        {kGood + "\"a\"=hex(2)00\r\n", "line 6: bad value type"},
        {kGood + "\"a\"=dword:123456789\r\n", "line 6: bad dword"},
        {kGood + "\"a\"=dword:\r\n", "line 6: bad dword"},
        {kGood + "\"a\"=qword:1\r\n", "line 6: unknown value type"},
        {kGood + "\"a\"=-\r\n", "line 6: deleting a value (\"name\"=-) is not supported"},
        {kGood + "[-" + kProductFull + "\\jobs]\r\n", "line 6: deleting a key ([-key])"},
        {kGood + "[HKEY_LOCAL_MACHINE\\Software]\r\n",
         "line 6: key 'HKEY_LOCAL_MACHINE\\Software' "
         "is outside HKEY_CURRENT_USER"},
        {kGood + "[" + kProductFull + "\\jobs\r\n", "line 6: missing ']'"},
        {kGood + "[" + kProductFull + "\\\\jobs]\r\n",
         "line 6: key '" + kProductFull + "\\\\jobs' has an empty key name"},
        {kGood + "[" + kProductFull + "\\" + std::string(256, 'k') + "]\r\n",
         "line 6: key '" + kProductFull + "\\" + std::string(256, 'k') +
             "' has a key name longer than 255 characters"},
        {kGood + "\"" + std::string(16384, 'v') + "\"=\"x\"\r\n", "line 6: value name longer"},
        {kGood + "jobs=1\r\n", "line 6: unrecognised line 'jobs=1'"},
    };
    product.SetString("Existing", "value");
    TRegKey(product, "jobs\\0000000A").SetDword("State", 2);
    const std::string before = Text();
    std::string file = dir / "bad.reg";
    for (const auto& c : cases) {
        WriteFile(file, c.text);
        std::string error;
        EXPECT_FALSE(RestoreKeyFromFile(*store, product.Id(), kProductFull, file, &error));
        EXPECT_NE(error.find(file + ": " + c.message), std::string::npos)
            << "expected: " << c.message << "\ngot: " << error;
        error.clear();
        EXPECT_FALSE(ImportRegFile(*store, file, &error));
        EXPECT_NE(error.find(c.message), std::string::npos) << error;
        EXPECT_EQ(Text(), before) << c.message;
    }
}

TEST_F(RegFileTest, RestoreRefusesKeysOutsideTheTarget) {
    const char* outside[] = {
        "HKEY_CURRENT_USER\\Software\\DENTRAX-14",               // the parent
        "HKEY_CURRENT_USER\\Software\\DENTRAX-14\\Zarkell'40x",  // same prefix, other key
        "HKCU\\Software\\Other\\Zarkell'40",
    };
    product.SetString("Existing", "value");
    const std::string before = Text();
    std::string file = dir / "outside.reg";
    for (const char* key : outside) {
        WriteFile(file, kGood + "[" + key + "]\r\n\"x\"=\"y\"\r\n");
        std::string error;
        EXPECT_FALSE(RestoreKeyFromFile(*store, product.Id(), kProductFull, file, &error));
        EXPECT_NE(error.find("line 6: key '" + std::string(key) + "' is not " + kProductFull),
                  std::string::npos)
            << error;
        EXPECT_EQ(Text(), before);
    }
    // A file without any key would empty the target; it did not come from a save.
    WriteFile(file, "REGEDIT4\r\n\r\n");
    std::string error;
    EXPECT_FALSE(RestoreKeyFromFile(*store, product.Id(), kProductFull, file, &error));
    EXPECT_NE(error.find("holds no keys"), std::string::npos) << error;
    EXPECT_EQ(Text(), before);
    // A pipe given as the file is refused at once, not waited on: the
    // running program reads the files its clients name.
    const std::string pipe = dir / "pipe.reg";
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    EXPECT_FALSE(RestoreKeyFromFile(*store, product.Id(), kProductFull, pipe, &error));
    EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
    EXPECT_EQ(Text(), before);
}

TEST_F(RegFileTest, SaveNeverReplacesOrHalfWritesAFile) {
    product.SetString("v", "x");
    TempDir out;
    std::string file = out / "jobs.reg";
    WriteFile(file, "keep me");
    std::string error;
    EXPECT_FALSE(SaveKeyToFile(*store, product.Id(), kProductFull, file, false, &error));
    EXPECT_NE(error.find(file + ": the file already exists"), std::string::npos) << error;
    EXPECT_EQ(ReadFile(file), "keep me");
    ASSERT_TRUE(SaveKeyToFile(*store, product.Id(), kProductFull, file, true, &error)) << error;
    EXPECT_EQ(ReadFile(file), Text());
    EXPECT_EQ(DirEntries(out.path()), std::vector<std::string>{"jobs.reg"});

    std::string missing = out / "no-such-folder/jobs.reg";
    EXPECT_FALSE(SaveKeyToFile(*store, product.Id(), kProductFull, missing, false, &error));
    EXPECT_NE(error.find(missing), std::string::npos) << error;
    EXPECT_NE(error.find("No such file or directory"), std::string::npos) << error;

    // A name that cannot stay on one line would not read back: refuse it.
    product.SetString("two\nlines", "x");
    std::string broken = out / "broken.reg";
    EXPECT_FALSE(SaveKeyToFile(*store, product.Id(), kProductFull, broken, false, &error));
    EXPECT_NE(error.find("line break"), std::string::npos) << error;
    EXPECT_EQ(DirEntries(out.path()), std::vector<std::string>{"jobs.reg"});
}

}  // namespace
