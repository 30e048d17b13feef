#include <gtest/gtest.h>

#include "TestEnv.h"
#include "base/CommandLine.h"
#include "store/AppStore.h"

using namespace zk40;
using zk40test::TempDir;

namespace {

struct CommandLineFixture : ::testing::Test {
    TempDir dir;
    TAppStore app{TStore::Open(dir / "store.db")};
    std::string RunJob() { return app.base.GetString("RunJob", "<none>"); }
};

TEST_F(CommandLineFixture, RunJobCases) {
    struct Case {
        const char* args;
        const char* stored;
    } cases[] = {
        {"/runjob:Backup", "Backup"},  {"-RUNJOB=Backup", "Backup"},
        {"/r:Backup", "Backup"},       {"/runjob:\"Nightly Backup\"", "Nightly Backup"},
        {"/runjob Backup", "<none>"},   // a value must be attached
        {"/runjob:", "<none>"},         // no value, nothing stored
        {"/runjob:A /other:B", "A"},    // a later option's value is not a job name
        {"/runjobx:Backup", "<none>"},  // not a prefix of the keyword
        {"/:Backup", "<none>"},         // a bare slash matches nothing
    };
    for (const Case& c : cases) {
        app.base.DeleteValue("RunJob");
        ProcessCommandLine(c.args, app, "/opt/zk/zarkell40");
        EXPECT_EQ(RunJob(), c.stored) << c.args;
    }
}

TEST_F(CommandLineFixture, DefaultIconUnlessUnregistered) {
    ProcessCommandLine("", app, "/opt/zk/zarkell40");
    TRegKey icon(app.product, "DefaultIcon", false);
    ASSERT_TRUE(icon.IsValid());
    EXPECT_EQ(icon.GetString(""), "/opt/zk/zarkell40,1");

    // Unregistering removes DefaultIcon; the product key stays while it has
    // subkeys (the deletion is not recursive), and processing stops there.
    CommandLineOutcome o = ProcessCommandLine("/UNREG /runjob:X", app, "/opt/zk/zarkell40");
    EXPECT_TRUE(o.unregistered);
    EXPECT_FALSE(TRegKey(app.product, "DefaultIcon", false).IsValid());
    EXPECT_TRUE(TRegKey(app.Store(), kProductKeyPath, false).IsValid());
    EXPECT_EQ(RunJob(), "<none>");
}

TEST(CommandLine, JoinQuotesValuesWithBlanksSoTokensComeBack) {
    const char* argv[] = {"zarkell40", "/runjob:Nightly Backup", "plain", "two words"};
    std::string joined = JoinArguments(4, argv);
    EXPECT_EQ(joined, "/runjob:\"Nightly Backup\" plain \"two words\"");
    auto t = TokenizeCommandLine(joined);
    ASSERT_EQ(t.size(), 4u);
    EXPECT_EQ(t[0].kind, CmdToken::Option);
    EXPECT_EQ(t[0].text, "runjob");
    EXPECT_EQ(t[1].kind, CmdToken::Value);
    EXPECT_EQ(t[1].text, "\"Nightly Backup\"");
    EXPECT_EQ(t[3].kind, CmdToken::Name);
}

TEST(CommandLine, KeywordPrefixMatching) {
    EXPECT_TRUE(MatchesKeyword("u", "unregister"));
    EXPECT_TRUE(MatchesKeyword("UNREGISTER", "unregister"));
    EXPECT_FALSE(MatchesKeyword("unregisterx", "unregister"));
    EXPECT_FALSE(MatchesKeyword("", "unregister"));
}

}  // namespace

namespace {

// Arguments as the process got them: each one a word as it stands.
TEST_F(CommandLineFixture, ArgumentsAreTokenisedAsTheyStand) {
    struct Case {
        std::vector<std::string> args;
        const char* stored;
    } cases[] = {
        {{"/runjob:\"Nightly Backup\""}, "Nightly Backup"},  // quotes typed into one argument
        {{"/runjob:Nightly Backup"}, "Nightly Backup"},      // the shell already took them off
        {{"-runjob=\"Nightly\""}, "Nightly"},
        {{"/runjob:a \"quoted\" word"}, "a \"quoted\" word"},  // only the outer ones go
        {{"/runjob", "Backup"}, "<none>"},                     // a value must be attached
        {{"/runjob:\"\""}, "<none>"},
        {{"/runjob:A", "/other:B"}, "A"},
        {{"/:Backup"}, "<none>"},
    };
    for (const Case& c : cases) {
        app.base.DeleteValue("RunJob");
        ProcessCommandLine(c.args, app, "/opt/zk/zarkell40");
        EXPECT_EQ(RunJob(), c.stored) << c.args[0];
    }
    // The stored command line keeps a value that came in quotes as it was.
    EXPECT_EQ(JoinArguments({"/runjob:\"Nightly Backup\"", "x y"}),
              "/runjob:\"Nightly Backup\" \"x y\"");
}

TEST(CommandLine, CheckArgumentsSortsHelpVersionAndMistakes) {
    struct Case {
        std::vector<std::string> args;
        ArgumentCheck::Kind kind;
    } cases[] = {
        {{}, ArgumentCheck::Run},
        {{"/runjob:Backup"}, ArgumentCheck::Run},
        {{"/r:Backup", "/UNREG"}, ArgumentCheck::Run},
        {{"plain", "names"}, ArgumentCheck::Run},
        {{"--help"}, ArgumentCheck::Help},
        {{"/?"}, ArgumentCheck::Help},
        {{"-h"}, ArgumentCheck::Help},
        {{"/runjob:X", "/help"}, ArgumentCheck::Help},
        {{"--version"}, ArgumentCheck::Version},
        {{"/ver"}, ArgumentCheck::Version},
        {{"--frobnicate"}, ArgumentCheck::Bad},
        {{"/"}, ArgumentCheck::Bad},
        {{"/runjobx:Backup"}, ArgumentCheck::Bad},
        {{"/runjob"}, ArgumentCheck::Bad},
        {{"/runjob:"}, ArgumentCheck::Bad},
        {{"/unregister:now"}, ArgumentCheck::Bad},
    };
    for (const Case& c : cases) {
        ArgumentCheck r = CheckArguments(c.args);
        std::string shown = c.args.empty() ? "(none)" : c.args[0];
        EXPECT_EQ(r.kind, c.kind) << shown;
        EXPECT_EQ(r.error.empty(), c.kind != ArgumentCheck::Bad) << shown;
    }
    EXPECT_NE(CheckArguments({"/bogus"}).error.find("\"/bogus\""), std::string::npos);
}

}  // namespace
