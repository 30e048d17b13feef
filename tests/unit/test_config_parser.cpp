#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "TestEnv.h"
#include "store/AppStore.h"
#include "store/Store.h"
#include "support/StoreTime.h"
#include "update/ConfigParser.h"

using namespace zk40;
using zk40test::TempDir;
using zk40test::WriteFile;

namespace {

// Keeps every report in order: "S:text" and "P:number".
struct EventLog : IUpdateProgress {
    std::vector<std::string> events;
    void Status(const std::string& text) override { events.push_back("S:" + text); }
    void Progress(int percent) override { events.push_back("P:" + std::to_string(percent)); }
    void TimeRemaining(int) override {}
};

struct UpdateFileParser : ::testing::Test {
    TempDir dir;
    std::unique_ptr<TStore> store = TStore::Open(dir / "store.db");
    TRegKey product{store.get(), kProductKeyPath};
    EventLog log;

    void Parse(const std::string& text, ConfigContext ctx = {},
               std::vector<ConfigInclude>* includes = nullptr) {
        std::string path = dir / "config.txt";
        WriteFile(path, text);
        ASSERT_TRUE(ParseConfigFile(path, product, ctx, log, includes));
    }
    void ParseActionData(const std::string& text) {
        std::string path = dir / "actdata.txt";
        WriteFile(path, text);
        ASSERT_TRUE(ParseActionDataFile(path, product, "V", "M", "A", log));
    }
    // The stored string, or nullopt when the key or value is missing.
    std::optional<std::string> Value(const std::string& key, const std::string& name) {
        TRegKey k(product, key, false);
        if (!k.HasValue(name)) return std::nullopt;
        return k.GetString(name);
    }
    std::vector<std::string> ValueNames(const std::string& key) {
        TRegKey k(product, key, false);
        std::vector<std::string> names;
        std::string n;
        for (uint32_t i = 0; k.EnumValue(i, &n) == kRegOk; ++i) names.push_back(n);
        return names;
    }
};

struct Expect {
    const char* key;
    const char* name;
    std::optional<std::string> value;
};

struct LineCase {
    const char* name;
    std::string before;  // parsed first, when not empty
    std::string text;
    std::vector<Expect> expect;
};

TEST(ConfigParser, LinesLandWhereTheirContextSays) {
    const std::string longValue(1100, 'x');
    const std::string fullLine = "DESC:" + std::string(1024 - 5, 'y');
    const std::vector<LineCase> cases = {
        {"append joins with nothing between",
         "",
         "VENDORID:V\nMODULEID:M\nACTIONID:A\nDESC:text\n+DESC:more\n",
         {{"actions\\V\\M\\A", "DESC", "textmore"}}},
        {"append to a value from an earlier file",
         "VENDORID:V\nDESC:old\n",
         "VENDORID:V\n+ DESC : new\n+NEW:first\n",
         {{"actions\\V", "DESC", "oldnew"}, {"actions\\V", "NEW", "first"}}},
        {"empty value deletes at the current level only",
         "VENDORID:V\nURL:vendor\nMODULEID:M\nURL:module\nAVAILVER:3\n",
         "VENDORID:V\nMODULEID:M\nURL:\n+AVAILVER:\n",
         {{"actions\\V\\M", "URL", std::nullopt},
          {"actions\\V\\M", "AVAILVER", std::nullopt},
          {"actions\\V", "URL", "vendor"}}},
        {"backslash is a line break",
         "",
         "VENDORID:V\nDESC:two\\words\n",
         {{"actions\\V", "DESC", "two\r\nwords"}}},
        {"lower-case keys work",
         "",
         "vendorid:V\n moduleId :M\nurl:http://host/x.zkz\n",
         {{"actions\\V\\M", "URL", "http://host/x.zkz"}}},
        {"no vendor writes to config",
         "",
         "AVAILVER: 1234 \nURL:http://host:8080/zk40\n",
         {{"config", "AVAILVER", "1234"}, {"config", "URL", "http://host:8080/zk40"}}},
        {"NEXT-UPDATE after a vendor belongs to the vendor",
         "",
         "VENDORID:V\nNEXT-UPDATE:01/02/2030 03:04\n",
         {{"actions\\V", "NEXT-UPDATE", "01/02/2030 03:04"}, {"config", "NEXT-UPDATE", {}}}},
        {"MODULEID clears the action, VENDORID clears both",
         "",
         "VENDORID:V\nMODULEID:M\nACTIONID:A\nMODULEID:N\nDESC:n\n"
         "ACTIONID:B\nVENDORID:W\nDESC:w\nVENDORID:\nDESC:c\n",
         {{"actions\\V\\N", "DESC", "n"},
          {"actions\\V\\N\\A", "DESC", {}},
          {"actions\\W", "DESC", "w"},
          {"config", "DESC", "c"}}},
        {"an action without a module stays at the vendor",
         "",
         "VENDORID:V\nACTIONID:A\nDESC:d\n",
         {{"actions\\V", "DESC", "d"}}},
        {"comments, blank lines, CRs and lines without a colon",
         "",
         "# URL:a\n// URL:b\n\n  \t \n\r  KEY  :  val  \r\nNOCOLON\n  #AVAILVER:1\n:nameless\n",
         {{"config", "URL", {}},
          {"config", "KEY", "val"},
          {"config", "NOCOLON", {}},
          {"config", "AVAILVER", {}},
          {"config", "", {}}}},
        {"INCLUDE is never stored",
         "",
         "VENDORID:V\nINCLUDE:http://x\n",
         {{"actions\\V", "INCLUDE", {}}}},
        {"an over-long line is skipped whole, a full one is kept",
         "",
         "DESC:" + longValue + "\n" + fullLine + "\r\nURL:after\n",
         {{"config", "DESC", fullLine.substr(5)}, {"config", "URL", "after"}}},
    };
    for (const LineCase& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        auto store = TStore::Open(dir / "store.db");
        TRegKey product(store.get(), kProductKeyPath);
        TRecordingProgress progress;
        for (const std::string* text : {&c.before, &c.text}) {
            if (text->empty()) continue;
            WriteFile(dir / "c.txt", *text);
            ASSERT_TRUE(ParseConfigFile(dir / "c.txt", product, {}, progress));
        }
        for (const Expect& e : c.expect) {
            TRegKey k(product, e.key, false);
            std::optional<std::string> got;
            if (k.HasValue(e.name)) got = k.GetString(e.name);
            EXPECT_EQ(got, e.value) << e.key << " / " << e.name;
        }
    }
}

TEST_F(UpdateFileParser, KeysAreUpperCasedInConfigurationButKeptAsWrittenInActionData) {
    Parse("vendorid:V\nmoduleid:M\nactionid:A\nDesc:d\n");
    EXPECT_EQ(ValueNames("actions\\V\\M\\A"), std::vector<std::string>{"DESC"});
    ParseActionData("Version:1\nMixedCase:x\n");
    EXPECT_EQ(ValueNames("actions\\V\\M\\A\\ACTDATA"),
              (std::vector<std::string>{"Version", "MixedCase"}));
    EXPECT_EQ(Value("actions\\V\\M\\A", "ADVERSION"), std::nullopt);
}

TEST_F(UpdateFileParser, IncludesCarryTheirContextAndNeedAVendor) {
    const std::string text =
        "INCLUDE:http://early\nVENDORID:V\nINCLUDE:http://v\nMODULEID:M\nINCLUDE:http://m\n"
        "ACTIONID:A\ninclude : http://a\nINCLUDE:\nVENDORID:\nINCLUDE:http://late\n";
    std::vector<ConfigInclude> collected;
    Parse(text, {}, &collected);
    const std::vector<ConfigInclude> found = FindIncludes(dir / "config.txt");

    const std::vector<std::pair<std::string, std::string>> want = {
        {"http://v", "[SYSTEM UPDATE] V"},
        {"http://m", "[SYSTEM UPDATE] V:M"},
        {"http://a", "[SYSTEM UPDATE] V:M:A"},
    };
    for (const std::vector<ConfigInclude>* list : {&std::as_const(collected), &found}) {
        ASSERT_EQ(list->size(), want.size());
        for (size_t i = 0; i < want.size(); ++i) {
            EXPECT_EQ((*list)[i].url, want[i].first);
            EXPECT_EQ(IncludeDisplayText((*list)[i]), want[i].second);
        }
    }
    EXPECT_EQ(found[2].vendor, "V");
    EXPECT_EQ(found[2].module, "M");
    EXPECT_EQ(found[2].action, "A");

    // An included file starts in the context of its INCLUDE line.
    Parse("DESC:module text\nACTIONID:B\nURL:u\n", {found[1].vendor, found[1].module, ""});
    EXPECT_EQ(Value("actions\\V\\M", "DESC"), "module text");
    EXPECT_EQ(Value("actions\\V\\M\\B", "URL"), "u");
    EXPECT_EQ(Value("config", "DESC"), std::nullopt);
}

TEST_F(UpdateFileParser, ReportsProgressEveryFiveHundredCharacters) {
    std::string text;
    for (int i = 0; text.size() < 2600; ++i) text += "VENDORID:V" + std::to_string(i) + "\n";
    Parse(text);
    const std::string size = std::to_string(text.size());

    ASSERT_GE(log.events.size(), 4u);
    EXPECT_EQ(log.events[0], "S:SysUpd:  Parsing configuration data...");
    EXPECT_EQ(log.events[1], "P:95");
    EXPECT_EQ(log.events[log.events.size() - 2],
              "S:SysUpd:  Parsing configuration data completed.");
    EXPECT_EQ(log.events.back(), "P:100");

    // Each running report comes with the first line end more than 499
    // characters after the one before (no line here is longer than 14), with
    // the matching percentage right after it; none is left out at the end.
    const long kLongestLine = 14;
    long last = 0;
    for (size_t i = 2; i + 2 < log.events.size(); i += 2) {
        long chars = 0, total = 0;
        ASSERT_EQ(std::sscanf(log.events[i].c_str(),
                              "S:SysUpd:  Parsing configuration data (%ld of %ld bytes)...", &chars,
                              &total),
                  2)
            << log.events[i];
        EXPECT_EQ(std::to_string(total), size);
        EXPECT_GT(chars - last, 499);
        EXPECT_LE(chars - last, 499 + kLongestLine);
        EXPECT_EQ(text[chars - 1], '\n');
        EXPECT_EQ(log.events[i + 1], "P:" + std::to_string(chars * 100 / total));
        last = chars;
    }
    EXPECT_GE(last, 2000);
    EXPECT_LE(static_cast<long>(text.size()) - last, 499);
}

TEST_F(UpdateFileParser, MissingFileParsesAsEmpty) {
    ASSERT_TRUE(ParseConfigFile(dir / "no such file", product, {}, log));
    EXPECT_EQ(log.events,
              (std::vector<std::string>{"S:SysUpd:  Parsing configuration data...", "P:95",
                                        "S:SysUpd:  Parsing configuration data "
                                        "completed.",
                                        "P:100"}));
    EXPECT_FALSE(TRegKey(product, "config", false).IsValid());
}

// Sets TZ for one scope.
class ScopedTz {
public:
    explicit ScopedTz(const char* tz) {
        if (const char* old = std::getenv("TZ")) saved_ = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~ScopedTz() {
        if (saved_)
            setenv("TZ", saved_->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    std::optional<std::string> saved_;
};

// The server's text for a local wall-clock time: converted to UTC the way
// the server would do it, with mktime and gmtime.
std::string UtcText(int y, int mo, int d, int h, int mi) {
    struct tm local {};
    local.tm_year = y - 1900;
    local.tm_mon = mo - 1;
    local.tm_mday = d;
    local.tm_hour = h;
    local.tm_min = mi;
    local.tm_isdst = -1;
    time_t t = mktime(&local);
    struct tm utc {};
    gmtime_r(&t, &utc);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%02d/%02d/%04d %02d:%02d", utc.tm_mon + 1, utc.tm_mday,
                  utc.tm_year + 1900, utc.tm_hour, utc.tm_min);
    return buf;
}

TEST(NextUpdate, IsTheServersUtcTimeInLocalTimeButAtLeastADayAhead) {
    // Zones west, east and off the hour, so a conversion left out or run the
    // wrong way shows.
    for (const char* tz : {"UTC0", "EST5EDT,M3.2.0,M11.1.0", "<+0530>-5:30"}) {
        SCOPED_TRACE(tz);
        ScopedTz zone(tz);
        const StoreTime now = ToStoreTime(2026, 3, 10, 12, 34, 56);
        const StoreTime dayAhead = ToStoreTime(2026, 3, 11, 12, 34, 0);
        const struct {
            std::string text;
            StoreTime want;
        } cases[] = {
            {"", dayAhead},
            {UtcText(2026, 3, 12, 12, 34), ToStoreTime(2026, 3, 12, 12, 34, 0)},
            {UtcText(2026, 4, 1, 7, 5), ToStoreTime(2026, 4, 1, 7, 5, 0)},
            {UtcText(2026, 3, 11, 11, 30), dayAhead},  // less than a day ahead
            {UtcText(2020, 1, 1, 0, 0), dayAhead},     // in the past
            {"soon", dayAhead},
            {"02/30/2027 10:00", dayAhead},
            {"13/01/2027 10:00", dayAhead},
            {"01/01/2027 24:00", dayAhead},
            {"01/01/2027", dayAhead},
            {"01/01/2099 10:00", dayAhead},  // beyond what a store time holds
        };
        for (const auto& c : cases)
            EXPECT_EQ(FormatStoreTime(NextUpdateFrom(c.text, now)), FormatStoreTime(c.want))
                << "'" << c.text << "'";
    }
    EXPECT_EQ(CompletedText(ToStoreTime(2026, 3, 12, 9, 5, 0)),
              "SysUpd:  Completed.  Next Update = 2026-03-12 09:05:00.");
}

TEST_F(UpdateFileParser, ActionDataReplacesTheWholeSubtree) {
    ParseActionData(
        "VERSION: 7 \n  Name : First\nSUBKEY:Sub1\nkey: v \nEmpty:\nversion:lower\n"
        "SUBKEY:\nBack:b\nno colon here\nPath:c:\\dir\\file\n#Note:kept\n\r\n");
    EXPECT_EQ(log.events.front(), "S:SysUpd:  Parsing action data...");
    EXPECT_EQ(log.events[log.events.size() - 2], "S:SysUpd:  Parsing action data completed.");
    EXPECT_EQ(log.events.back(), "P:100");

    EXPECT_EQ(Value("actions\\V\\M\\A", "ADVERSION"), "7");
    EXPECT_EQ(Value("actions\\V\\M\\A\\ACTDATA", "Name"), "First");
    EXPECT_EQ(Value("actions\\V\\M\\A\\ACTDATA\\Sub1", "key"), "v");
    EXPECT_EQ(Value("actions\\V\\M\\A\\ACTDATA\\Sub1", "Empty"), "");
    EXPECT_EQ(Value("actions\\V\\M\\A\\ACTDATA\\Sub1", "version"), "lower");
    EXPECT_EQ(Value("actions\\V\\M\\A\\ACTDATA", "Back"), "b");
    EXPECT_EQ(Value("actions\\V\\M\\A\\ACTDATA", "Path"), "c:\\dir\\file");
    EXPECT_EQ(Value("actions\\V\\M\\A\\ACTDATA", "#Note"), "kept");

    ParseActionData("Name:Second\n");
    EXPECT_EQ(Value("actions\\V\\M\\A\\ACTDATA", "Name"), "Second");
    EXPECT_EQ(Value("actions\\V\\M\\A\\ACTDATA", "Back"), std::nullopt);
    EXPECT_FALSE(TRegKey(product, "actions\\V\\M\\A\\ACTDATA\\Sub1", false).IsValid());
    // The version lives beside ACTDATA, not in it.
    EXPECT_EQ(Value("actions\\V\\M\\A", "ADVERSION"), "7");
}

TEST_F(UpdateFileParser, ActionDataNeedsAllThreeIdsAndTouchesNothingElse) {
    WriteFile(dir / "a.txt", "Name:x\n");
    for (const auto& ids : std::vector<std::vector<std::string>>{
             {"V", "", "A"}, {"", "M", "A"}, {"V", "M", ""}, {"V", "M\\..", "A"}}) {
        EXPECT_FALSE(ParseActionDataFile(dir / "a.txt", product, ids[0], ids[1], ids[2], log));
    }
    EXPECT_FALSE(TRegKey(product, "actions", false).IsValid());
}

}  // namespace
