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
