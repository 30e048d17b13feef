#include <gtest/gtest.h>

#include <cstdio>

#include "TestEnv.h"
#include "store/RegValue.h"
#include "store/Trace.h"

using namespace zk40;
using zk40test::ReadFile;
using zk40test::TempDir;

namespace {

struct TraceFixture : ::testing::Test {
    TempDir dir;
    std::unique_ptr<TStore> store = TStore::Open(dir / "store.db");
    TRegKey base{store.get(), "Software\\Test\\base"};
    FixedClock clock{ToStoreTime(2026, 12, 10, 9, 30, 15)};
    StoreTime now = clock.Now();
    void SetUp() override {
        trace::SetFlagsInEffect(0);
        trace::SetFile(dir / "zk40.trace.log");
        trace::SetClock(&clock);
    }
    void TearDown() override {
        trace::SetFlagsInEffect(0);
        trace::SetFile("");
        trace::SetClock(nullptr);
    }
};

TEST_F(TraceFixture, FlagsWithoutCodeAreDroppedAndWrittenBack) {
    base.SetDword("DebugFlags", 0xFF);
    EXPECT_EQ(trace::LoadFlags(base, now), 0u);
    EXPECT_EQ(base.GetDword("DebugFlags"), 0u);
    ZK40_TRACE(0xFF, "nothing");
    EXPECT_FALSE(zk40test::FileExists(dir / "zk40.trace.log"));
}

TEST_F(TraceFixture, CodeLimitsFlagsAndOnlyPermittedLinesAreWritten) {
    base.SetDword("DebugFlags", 0x09);
    base.SetString("DebugCode", debugcode::Issue(0x08, now + 30 * kSecondsPerDay));
    EXPECT_EQ(trace::LoadFlags(base, now), 0x08u);
    EXPECT_EQ(base.GetDword("DebugFlags"), 0x08u);
    ZK40_TRACE(kTraceGeneral, "general line");
    int line = __LINE__ + 1;
    ZK40_TRACE(kTraceTimer, "::EvTimer()");
    EXPECT_EQ(ReadFile(dir / "zk40.trace.log"),
              "2026-12-10 09:30:15 test_trace.cpp(" + std::to_string(line) + "): ::EvTimer()\n");
    // A deleted log is made again by the next line.
    std::remove((dir / "zk40.trace.log").c_str());
    ZK40_TRACE(kTraceTimer, "again");
    EXPECT_NE(ReadFile(dir / "zk40.trace.log").find("again"), std::string::npos);
}

TEST_F(TraceFixture, CodeValidThroughItsLastDayThenEmpty) {
    StoreTime lastDay = StartOfDay(now);
    base.SetString("DebugCode", debugcode::Issue(0xFF, lastDay));
    base.SetDword("DebugFlags", 0x05);
    EXPECT_EQ(trace::LoadFlags(base, lastDay + kSecondsPerDay - 1), 0x05u);
    base.SetDword("DebugFlags", 0x05);
    EXPECT_EQ(trace::LoadFlags(base, lastDay + kSecondsPerDay), 0u);
}

TEST_F(TraceFixture, InvalidCodeCanOnlyKeepOrDropFlags) {
    trace::SetFlagsInEffect(0x0C);
    base.SetString("DebugCode", "not a code");
    base.SetDword("DebugFlags", 0xFF);
    EXPECT_EQ(trace::LoadFlags(base, now), 0x0Cu);
    base.SetDword("DebugFlags", 0x04);
    EXPECT_EQ(trace::LoadFlags(base, now), 0x04u);
}

TEST(DebugCode, RoundTripsAndRejectsTampering) {
    StoreTime day = ToStoreTime(2027, 1, 31);
    for (uint32_t mask : {0u, 0x08u, 0xFFu, 0xFFFFFFFFu}) {
        std::string code = debugcode::Issue(mask, day);
        ASSERT_EQ(code.size(), debugcode::kLength);
        debugcode::Decoded d = debugcode::Decode(code);
        ASSERT_TRUE(d.valid) << code;
        EXPECT_EQ(d.mask, mask);
        EXPECT_EQ(d.lastValidDay, day);
        // Codes are read case-insensitively, as people type them.
        for (char& c : code) c = static_cast<char>(tolower(c));
        EXPECT_TRUE(debugcode::Decode(code).valid);
    }
    std::string code = debugcode::Issue(0x08, day);
    for (size_t i = 0; i < code.size(); ++i) {
        std::string bad = code;
        bad[i] = bad[i] == '7' ? '8' : '7';
        EXPECT_FALSE(debugcode::Decode(bad).valid) << "changed symbol " << i;
    }
    EXPECT_FALSE(debugcode::Decode(code.substr(1)).valid);
    EXPECT_FALSE(debugcode::Decode(code + "0").valid);
}

}  // namespace
