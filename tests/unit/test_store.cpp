#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <thread>
#include <vector>

#include "TestEnv.h"
#include "store/AppStore.h"
#include "store/RegValue.h"
#include "store/Store.h"

using namespace zk40;
using zk40test::TempDir;

namespace {

struct StoreFixture : ::testing::Test {
    TempDir dir;
    std::unique_ptr<TStore> store = TStore::Open(dir / "store.db");
    TRegKey Key(std::string_view path) { return TRegKey(store.get(), path); }
};

TEST_F(StoreFixture, EmptyStringIsOneZeroByteAndReadsBackEmpty) {
    TRegKey k = Key("Software\\Test");
    TRegString s(k, "Text", "initial");
    ASSERT_EQ(s.Get(), "initial");
    s = "";
    RegValueData d;
    ASSERT_EQ(k.Query("Text", &d), kRegOk);
    EXPECT_EQ(d.type, REG_SZ);
    EXPECT_EQ(d.data, std::string(1, '\0'));
    TRegString again(k, "Text", "other default");
    EXPECT_EQ(again.Get(), "");
    // Non-empty strings carry no terminator.
    s = "abc";
    ASSERT_EQ(k.Query("Text", &d), kRegOk);
    EXPECT_EQ(d.data, "abc");
}

TEST_F(StoreFixture, BindingWritesDefaultOnceAndNeverOverwrites) {
    TRegKey k = Key("Software\\Test");
    {
        TRegDword n(k, "Count", 15);
        EXPECT_EQ(n.Get(), 15u);
        n = 3;
    }
    TRegDword n2(k, "Count", 99);
    EXPECT_EQ(n2.Get(), 3u);
    RegValueData d;
    ASSERT_EQ(k.Query("Count", &d), kRegOk);
    EXPECT_EQ(d.type, REG_DWORD);
    EXPECT_EQ(d.data, std::string("\x03\0\0\0", 4));
    // A string under a number's name is read as the default and left alone.
    k.SetString("Mixed", "x");
    TRegDword m(k, "Mixed", 7);
    EXPECT_EQ(m.Get(), 7u);
    EXPECT_EQ(k.GetString("Mixed"), "x");
}

TEST_F(StoreFixture, DeferredTextIsReadWhenFirstAskedForAndThenBehavesAsBound) {
    TRegKey k = Key("Software\\Test");
    k.SetString("Stored", "on disk");
    TRegString stored, missing;
    stored.BindDeferred(k, "Stored", "default");
    missing.BindDeferred(k, "Missing", "default");
    // A missing value gets its default written at once, as Bind does.
    EXPECT_EQ(k.GetString("Missing"), "default");
    EXPECT_EQ(missing.Get(), "default");
    // A stored one is read on the first Get, and kept from then on.
    k.SetString("Stored", "written before the first look");
    EXPECT_EQ(stored.Get(), "written before the first look");
    k.SetString("Stored", "written after");
    EXPECT_EQ(stored.Get(), "written before the first look");
    EXPECT_EQ(stored.Name(), "Stored");
    // Set goes through whether or not the text was read.
    TRegString fresh;
    fresh.BindDeferred(k, "Stored", "default");
    ASSERT_EQ(fresh.Set("set"), kRegOk);
    EXPECT_EQ(fresh.Get(), "set");
    EXPECT_EQ(k.GetString("Stored"), "set");
}

TEST(SharedText, EqualTextsShareOneCopyWhileHoldersStayIndependent) {
    TSharedText a, b;
    a.Assign("DNTRX-14");
    b.Assign(std::string("DNTRX-") + "14");
    EXPECT_EQ(&a.Get(), &b.Get());
    b.Assign("RUNPROG");
    EXPECT_EQ(a.Get(), "DNTRX-14");
    EXPECT_EQ(b.Get(), "RUNPROG");
    TSharedText c(a);
    a.Assign("");
    EXPECT_EQ(a.Get(), "");
    EXPECT_EQ(c.Get(), "DNTRX-14");
    // Its own text as the new one: the copy must not go before it is taken.
    c.Assign(c.Get());
    EXPECT_EQ(c.Get(), "DNTRX-14");
    b = c;
    c.Assign("x");
    EXPECT_EQ(b.Get(), "DNTRX-14");
}

TEST(SharedText, HoldersOnManyThreadsKeepWhatTheyWereGiven) {
    // Threads take and drop the same few texts; a count that went wrong
    // would free a text still held, and the holder would read another one.
    const char* const texts[] = {"Action Created.", "Action Completed.", "", "RUNPROGRAM"};
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            TSharedText held[3];
            for (int i = 0; i < 5000; ++i) {
                TSharedText& h = held[i % 3];
                const std::string before = h.Get();
                const TSharedText copy(h);  // keeps the old text alive
                const char* text = texts[(i + t) % 4];
                h.Assign(text);
                if (h.Get() != text || copy.Get() != before) wrong.fetch_add(1);
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST_F(StoreFixture, NamesAreCaseInsensitiveAndCasePreserving) {
    TRegKey a = Key("Software\\MixedCase\\Child");
    TRegKey b = Key("SOFTWARE\\mixedcase\\CHILD");
    EXPECT_EQ(a.Id(), b.Id());
    a.SetDword("LastRun", 5);
    EXPECT_EQ(b.GetDword("LASTRUN"), 5u);
    std::string name;
    TRegKey sw = Key("Software");
    ASSERT_EQ(sw.EnumSubKey(0, &name), kRegOk);
    EXPECT_EQ(name, "MixedCase");
    ASSERT_EQ(b.EnumValue(0, &name), kRegOk);
    EXPECT_EQ(name, "LastRun");
}

TEST_F(StoreFixture, PlainDeleteKeepsKeyWithSubkeysTreeDeleteRemovesAll) {
    TRegKey p = Key("Software\\P");
    TRegKey c = Key("Software\\P\\Parent\\Child\\Grandchild");
    c.SetString("v", "x");
    EXPECT_EQ(p.DeleteSubKey("Parent"), kRegKeyHasSubkeys);
    EXPECT_TRUE(TRegKey(store.get(), "Software\\P\\Parent\\Child", false).IsValid());
    EXPECT_EQ(p.DeleteSubKeyTree("Parent"), kRegOk);
    EXPECT_FALSE(TRegKey(store.get(), "Software\\P\\Parent", false).IsValid());
    // A handle to a deleted key writes nothing anywhere.
    EXPECT_NE(c.SetString("v", "y"), kRegOk);
    TRegKey leaf = Key("Software\\P\\Leaf");
    leaf.SetString("a", "b");
    EXPECT_EQ(p.DeleteSubKey("Leaf"), kRegOk);
    EXPECT_FALSE(TRegKey(store.get(), "Software\\P\\Leaf", false).IsValid());
}

TEST_F(StoreFixture, OpenReportsCountsAtOpenTime) {
    TRegKey k = Key("Software\\Counts");
    TRegKey(k, "A");
    TRegKey(k, "B");
    k.SetDword("x", 1);
    TRegKey again = Key("Software\\Counts");
    EXPECT_EQ(again.SubKeyCount(), 2u);
    EXPECT_EQ(again.ValueCount(), 1u);
    TRegKey(k, "C");
    EXPECT_EQ(again.SubKeyCount(), 2u);
    EXPECT_EQ(again.CurrentSubKeyCount(), 3u);
}

TEST_F(StoreFixture, EnumerationSeesChangesAndOrdersCaseInsensitively) {
    TRegKey k = Key("Software\\Enum");
    for (const char* n : {"b", "C", "a"}) TRegKey(k, n);
    std::vector<std::string> names;
    std::string n;
    for (uint32_t i = 0; k.EnumSubKey(i, &n) == kRegOk; ++i) names.push_back(n);
    EXPECT_EQ(names, (std::vector<std::string>{"a", "b", "C"}));
    k.DeleteSubKey("a");
    ASSERT_EQ(k.EnumSubKey(0, &n), kRegOk);
    EXPECT_EQ(n, "b");
    EXPECT_EQ(k.EnumSubKey(2, &n), kRegNoMoreItems);
    // A name longer than the caller's room is refused, not cut.
    TRegKey(k, "LongerName");
    EXPECT_EQ(k.EnumSubKey(2, &n, 5), kRegMoreData);
    // Values enumerate in the order they were made, also after updates.
    k.SetDword("z", 1);
    k.SetDword("y", 2);
    k.SetDword("z", 3);
    ASSERT_EQ(k.EnumValue(0, &n), kRegOk);
    EXPECT_EQ(n, "z");
}

TEST_F(StoreFixture, SecondConnectionSeesWritesAndEnumerationNotices) {
    auto other = TStore::Open(dir / "store.db");
    TRegKey mine = Key("Software\\Shared");
    TRegKey theirs(other.get(), "Software\\Shared");
    std::string n;
    EXPECT_EQ(mine.EnumSubKey(0, &n), kRegNoMoreItems);
    TRegKey(theirs, "FromOther");
    theirs.SetString("CommandLine", "/runjob:x");
    ASSERT_EQ(mine.EnumSubKey(0, &n), kRegOk);
    EXPECT_EQ(n, "FromOther");
    TRegString cl(mine, "CommandLine", "");
    EXPECT_EQ(cl.Get(), "/runjob:x");
    theirs.SetString("CommandLine", "/runjob:y");
    EXPECT_EQ(cl.Reload(), "/runjob:y");
}

TEST_F(StoreFixture, BitViewRewritesWholeNumber) {
    TRegKey k = Key("Software\\Bits");
    TRegDword flags(k, "Flags", 0x104);
    TRegBool sunday(flags, 2), quick(flags, 0);
    EXPECT_TRUE(sunday);
    EXPECT_FALSE(quick);
    quick = true;
    EXPECT_EQ(k.GetDword("Flags"), 0x105u);
    sunday = false;
    EXPECT_EQ(k.GetDword("Flags"), 0x101u);
}

TEST_F(StoreFixture, FirstOpenCreatesTheFixedKeysWithTheirDefaults) {
    TAppStore app(std::move(store));
    TStore* s = app.Store();
    for (const char* k : {"base", "jobs", "crash"})
        EXPECT_TRUE(TRegKey(s, std::string(kProductKeyPath) + "\\" + k, false).IsValid()) << k;
    EXPECT_EQ(app.base.GetDword("Flags", 99), 15u);
    EXPECT_EQ(app.base.GetDword("ConnType", 99), 3u);
    EXPECT_EQ(app.crash.GetDword("Flags", 99), 0u);
    EXPECT_EQ(app.crash.GetDword("StartupTime", 99), 0u);
    EXPECT_EQ(app.crash.GetDword("ShutdownTime", 99), 0u);
    EXPECT_EQ(app.base.GetString("URLADDON"), "?CURVER=[CURVER]");
    EXPECT_EQ(app.base.GetDword("LastBaseUpdate", 99), 1u);
    EXPECT_EQ(app.base.GetDword("NextUpdate", 99), 0u);
    EXPECT_EQ(app.base.GetString("ActionPath").back(), '/');
    EXPECT_FALSE(app.base.HasValue("RunJob"));
    store = nullptr;
}

TEST_F(StoreFixture, FileIsPrivateToItsOwner) {
    struct stat st {};
    ASSERT_EQ(stat((dir / "store.db").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(StoreFixture, ConcurrentWritersLoseNothing) {
    auto other = TStore::Open(dir / "store.db");
    auto work = [](TStore* s, const char* prefix) {
        TRegKey k(s, "Software\\Concurrent");
        for (int i = 0; i < 200; ++i) k.SetDword(std::string(prefix) + std::to_string(i), i);
    };
    std::thread t1(work, store.get(), "a"), t2(work, store.get(), "b"), t3(work, other.get(), "c");
    t1.join();
    t2.join();
    t3.join();
    EXPECT_EQ(Key("Software\\Concurrent").CurrentValueCount(), 600u);
}

}  // namespace
