#include <gtest/gtest.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "TestEnv.h"
#include "store/AppStore.h"
#include "store/Store.h"
#include "support/StoreTime.h"
#include "update/Connection.h"
#include "update/UpdateProgress.h"

using namespace zk40;
using zk40test::TempDir;
using zk40test::WriteFile;
namespace fs = std::filesystem;

namespace {

struct Iface {
    const char* name;
    const char* type;
    const char* operstate;
    const char* flags;
};

// The interfaces of /sys/class/net that matter here. Flags are the kernel's
// hex text: 0x1 up, 0x40 running; 0x10d1 is a working PPP link.
const Iface kEth0{"eth0", "1", "up", "0x1003"};
const Iface kLo{"lo", "772", "unknown", "0x9"};
const Iface kPppUp{"ppp0", "512", "unknown", "0x10d1"};
const Iface kPppDown{"ppp0", "512", "down", "0x1090"};
const Iface kPppUpNotRunning{"ppp0", "512", "unknown", "0x1091"};
const Iface kPppOperDown{"ppp0", "512", "down", "0x10d1"};
const Iface kPpp1Up{"ppp1", "512", "up", "0x10d1"};
// Named like a PPP link, up and running, but of another type.
const Iface kFakePpp{"ppp9", "5120", "unknown", "0x10d1"};

enum class Net { Missing, NoPpp, PppUp, PppDown, PppNotRunning, PppOperDown, SecondPppUp, FakePpp };

std::vector<Iface> InterfacesOf(Net net) {
    switch (net) {
        case Net::Missing:
            return {};
        case Net::NoPpp:
            return {kEth0, kLo};
        case Net::PppUp:
            return {kEth0, kPppUp};
        case Net::PppDown:
            return {kEth0, kPppDown};
        case Net::PppNotRunning:
            return {kPppUpNotRunning};
        case Net::PppOperDown:
            return {kPppOperDown};
        case Net::SecondPppUp:
            return {kPppDown, kPpp1Up};
        case Net::FakePpp:
            return {kEth0, kFakePpp};
    }
    return {};
}

class ConnectionTest : public ::testing::Test {
protected:
    TempDir dir;
    PppPaths paths{dir / "peers", dir / "net"};

    void MakeNet(Net net) {
        fs::remove_all(paths.netDir);
        if (net == Net::Missing) return;
        fs::create_directories(paths.netDir);
        for (const Iface& i : InterfacesOf(net)) AddInterface(i);
    }
    void AddInterface(const Iface& i) {
        std::string d = paths.netDir + "/" + i.name;
        fs::create_directories(d);
        WriteFile(d + "/type", std::string(i.type) + "\n");
        WriteFile(d + "/operstate", std::string(i.operstate) + "\n");
        WriteFile(d + "/flags", std::string(i.flags) + "\n");
    }
};

// ---------------------------------------------------------------------------
// Polling

struct PollStep {
    Net net;
    uint32_t connType;
    std::vector<std::string> reported;
    bool allowed;
};

struct PollCase {
    const char* name;
    std::vector<PollStep> steps;
};

const std::vector<PollCase> kPollCases = {
    {"DedicatedGoesOnLineOnceAndStays",
     {{Net::Missing, 2, {"On-Line"}, true},
      {Net::Missing, 2, {}, true},
      {Net::Missing, 2, {}, true}}},
    {"NoneLeavesDoubtfulStartOffLine",
     {{Net::PppUp, 0, {"Off-Line"}, false}, {Net::PppUp, 0, {}, false}}},
    {"NoneAfterOnLine",
     {{Net::Missing, 2, {"On-Line"}, true}, {Net::Missing, 0, {"Off-Line"}, false}}},
    {"DialUpWithoutPppFromDoubtful",
     {{Net::NoPpp, 1, {"Off-Line"}, false}, {Net::NoPpp, 1, {}, false}}},
    {"DialUpWithoutPppAfterOnLine",
     {{Net::NoPpp, 2, {"On-Line"}, true}, {Net::NoPpp, 1, {"Off-Line"}, false}}},
    {"DialUpWithPppUp", {{Net::PppUp, 1, {"On-Line"}, true}, {Net::PppUp, 1, {}, true}}},
    {"DialUpLinkDropsAndReturns",
     {{Net::PppUp, 1, {"On-Line"}, true},
      {Net::PppDown, 1, {"Off-Line"}, false},
      {Net::PppUp, 1, {"On-Line"}, true}}},
    {"DialUpUpButNotRunning", {{Net::PppNotRunning, 1, {"Off-Line"}, false}}},
    {"DialUpFlagsUpButOperStateDown", {{Net::PppOperDown, 1, {"Off-Line"}, false}}},
    {"DialUpLooksPastADownLink", {{Net::SecondPppUp, 1, {"On-Line"}, true}}},
    {"DialUpGoesByTypeNotName", {{Net::FakePpp, 1, {"Off-Line"}, false}}},
    {"DialUpListingFailsEveryPoll",
     {{Net::Missing, 1, {"Unknown"}, false},
      {Net::Missing, 1, {"Unknown"}, false},
      {Net::NoPpp, 1, {"Off-Line"}, false}}},
    // On-line stays set while the listing fails, yet updates are held back
    // and the next good look must announce the state again.
    {"DialUpListingFailsWhileOnLine",
     {{Net::PppUp, 1, {"On-Line"}, true},
      {Net::Missing, 1, {"Unknown"}, false},
      {Net::PppUp, 1, {"On-Line"}, true}}},
    {"OtherValuesChangeNothing",
     {{Net::PppUp, 3, {}, false}, {Net::PppUp, 2, {"On-Line"}, true}, {Net::Missing, 7, {}, true}}},
};

TEST_F(ConnectionTest, PollingFollowsConnTypeAndReportsOnlyChanges) {
    for (const PollCase& c : kPollCases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> reported;
        TConnectionMonitor monitor(paths, [&](const std::string& t) { reported.push_back(t); });
        EXPECT_EQ(monitor.StateText(), "Unknown");
        EXPECT_FALSE(monitor.UpdatesAllowed());
        std::string shown = "Unknown";
        for (size_t i = 0; i < c.steps.size(); ++i) {
            const PollStep& s = c.steps[i];
            SCOPED_TRACE("poll " + std::to_string(i + 1));
            MakeNet(s.net);
            reported.clear();
            monitor.Poll(s.connType);
            EXPECT_EQ(reported, s.reported);
            EXPECT_EQ(monitor.UpdatesAllowed(), s.allowed);
            if (!s.reported.empty()) shown = s.reported.back();
            EXPECT_EQ(monitor.StateText(), shown);
        }
    }
}

TEST_F(ConnectionTest, FailedListingKeepsOnLineButMakesDoubtful) {
    TConnectionMonitor monitor(paths);
    MakeNet(Net::PppUp);
    monitor.Poll(kConnDialUp);
    MakeNet(Net::Missing);
    monitor.Poll(kConnDialUp);
    EXPECT_TRUE(monitor.OnLine());
    EXPECT_TRUE(monitor.Doubtful());
    EXPECT_FALSE(monitor.UpdatesAllowed());
}

// ---------------------------------------------------------------------------
// The PPP layer itself

TEST_F(ConnectionTest, ConnectionsAreThePppInterfacesSorted) {
    MakeNet(Net::NoPpp);
    AddInterface(kPpp1Up);
    AddInterface(kPppDown);
    AddInterface(kFakePpp);
    fs::create_directories(paths.netDir + "/bond0");  // no type file: skipped
    std::vector<std::string> list{"stale"};
    ASSERT_EQ(_ZK40_RasEnumConnections(paths, &list), 0);
    EXPECT_EQ(list, (std::vector<std::string>{"ppp0", "ppp1"}));

    uint32_t state = 0;
    ASSERT_EQ(_ZK40_RasGetConnectStatus(paths, "ppp1", &state), 0);
    EXPECT_EQ(state, kRasConnected);
    ASSERT_EQ(_ZK40_RasGetConnectStatus(paths, "ppp0", &state), 0);
    EXPECT_EQ(state, kRasDisconnected);
    EXPECT_NE(_ZK40_RasGetConnectStatus(paths, "ppp5", &state), 0);  // gone since the listing
    EXPECT_NE(_ZK40_RasGetConnectStatus(paths, "../net/ppp1", &state), 0);

    MakeNet(Net::Missing);
    EXPECT_NE(_ZK40_RasEnumConnections(paths, &list), 0);
    EXPECT_TRUE(list.empty());
}

TEST_F(ConnectionTest, PhonebookListsPeerFilesSortedSkippingHiddenAndBackups) {
    fs::create_directories(paths.peersDir + "/chatscripts");
    for (const char* name : {"work", "isp", "Alpha", ".hidden", "isp~", "provider-2"})
        WriteFile(paths.peersDir + "/" + name, "noauth\n");
    std::vector<std::string> want{"Alpha", "isp", "provider-2", "work"};

    std::vector<std::string> entries;
    ASSERT_EQ(_ZK40_RasEnumEntries(paths, &entries), 0);
    EXPECT_EQ(entries, want);
    EXPECT_EQ(PhonebookEntries(paths), want);

    fs::remove_all(paths.peersDir);
    EXPECT_NE(_ZK40_RasEnumEntries(paths, &entries), 0);
    EXPECT_TRUE(PhonebookEntries(paths).empty());
}

// ---------------------------------------------------------------------------
// First run and the commands, on a real store

const StoreTime kNextUpdate = ToStoreTime(2026, 12, 10, 4, 18, 20);
const char kNextUpdateText[] = "SysUpd:  Next Update = 2026-12-10 04:18:20.";
const char kLocalText[] = "SysUpd:  Local Update Mode.";

class ConnectionStoreTest : public ConnectionTest {
protected:
    TAppStore app{TStore::Open(dir / "store.db")};
    const TRegKey& base = app.base;
    TRecordingProgress progress;

    void SetUp() override {
        ASSERT_TRUE(base.IsValid());
        Seed();
    }
    void Seed() {
        base.SetString("DunEntry", "isp");
        base.SetString("DunUsername", "me");
        base.SetString("DunPassword", "secret");
        base.SetDword("NextUpdate", kNextUpdate);
    }
    void ExpectStored(uint32_t connType, const char* entry, const char* user, const char* pass) {
        EXPECT_EQ(base.GetDword("ConnType", 99), connType);
        EXPECT_EQ(base.GetString("DunEntry"), entry);
        EXPECT_EQ(base.GetString("DunUsername"), user);
        EXPECT_EQ(base.GetString("DunPassword"), pass);
    }
};

struct FirstRunCase {
    const char* name;
    bool headless;
    bool dialogGiven;
    std::optional<ConnectionSettings> answer;  // nullopt: Cancel
    bool expectAsked;
    uint32_t connType;
    const char *entry, *user, *pass;
    std::vector<std::string> texts;
};

const std::vector<FirstRunCase> kFirstRunCases = {
    {"HeadlessSettlesOnNoConnection",
     true,
     true,
     ConnectionSettings{2, "x", "y", "z"},
     false,
     0,
     "isp",
     "me",
     "secret",
     {kLocalText}},
    {"NoDialogSettlesOnNoConnection",
     false,
     false,
     std::nullopt,
     false,
     0,
     "isp",
     "me",
     "secret",
     {kLocalText}},
    {"CancelStoresNoConnection",
     false,
     true,
     std::nullopt,
     true,
     0,
     "isp",
     "me",
     "secret",
     {kLocalText}},
    {"DedicatedWithDefaultLogin",
     false,
     true,
     ConnectionSettings{2, "work", "", ""},
     true,
     2,
     "work",
     "",
     "",
     {kNextUpdateText}},
    {"DialUpKeepsTheLogin",
     false,
     true,
     ConnectionSettings{1, "work", "bob", "pw"},
     true,
     1,
     "work",
     "bob",
     "pw",
     {kNextUpdateText}},
    {"NoConnectionChosen",
     false,
     true,
     ConnectionSettings{0, "isp", "", ""},
     true,
     0,
     "isp",
     "",
     "",
     {kLocalText}},
};

TEST_F(ConnectionStoreTest, FirstRunAsksOnceAndStoresTheAnswer) {
    for (const FirstRunCase& c : kFirstRunCases) {
        SCOPED_TRACE(c.name);
        Seed();
        base.SetDword("ConnType", kConnNotChosen);
        progress.all.clear();

        int asked = 0;
        ConnectionDialog dialog;
        if (c.dialogGiven) {
            dialog = [&](ConnectionSettings& s) {
                ++asked;
                // Dial-up is preselected, the stored login is offered, and the
                // choice is already on record while the dialog is open.
                EXPECT_EQ(s.connType, kConnDialUp);
                EXPECT_EQ(s.dunEntry, "isp");
                EXPECT_EQ(s.dunUsername, "me");
                EXPECT_EQ(s.dunPassword, "secret");
                EXPECT_EQ(base.GetDword("ConnType"), kConnDialUp);
                if (!c.answer) return false;
                s = *c.answer;
                return true;
            };
        }
        FirstRunConnectionChoice(base, progress, c.headless, dialog);
        EXPECT_EQ(asked, c.expectAsked ? 1 : 0);
        ExpectStored(c.connType, c.entry, c.user, c.pass);
        EXPECT_EQ(progress.all, c.texts);
    }
}

TEST_F(ConnectionStoreTest, FirstRunDoesNothingOnceAChoiceIsStored) {
    base.SetDword("ConnType", kConnDedicated);
    bool asked = false;
    FirstRunConnectionChoice(base, progress, false, [&](ConnectionSettings&) {
        asked = true;
        return false;
    });
    EXPECT_FALSE(asked);
    EXPECT_TRUE(progress.all.empty());
    ExpectStored(kConnDedicated, "isp", "me", "secret");
}

TEST_F(ConnectionStoreTest, FirstRunOnAFreshStoreTakesTheDefaultOfNotChosen) {
    // The application store binds ConnType to 3 when it first opens.
    ASSERT_EQ(base.GetDword("ConnType", 99), kConnNotChosen);
    FirstRunConnectionChoice(base, progress, true);
    EXPECT_EQ(base.GetDword("ConnType", 99), kConnNone);
    EXPECT_EQ(progress.last, kLocalText);
}

struct CommandCase {
    const char* name;
    void (*command)(const TRegKey&, IUpdateProgress&);
    uint32_t connType;
    const char* text;
};

TEST_F(ConnectionStoreTest, CommandsStoreTheTypeAndShowTheUpdateMode) {
    const CommandCase cases[] = {
        {"DialUp", SetConnectionDialUp, kConnDialUp, kNextUpdateText},
        {"Dedicated", SetConnectionDedicated, kConnDedicated, kNextUpdateText},
        {"None", SetConnectionNone, kConnNone, kLocalText},
    };
    for (const CommandCase& c : cases) {
        SCOPED_TRACE(c.name);
        base.SetDword("ConnType", kConnNotChosen);
        progress.all.clear();
        progress.progress = 55;
        c.command(base, progress);
        ExpectStored(c.connType, "isp", "me", "secret");
        EXPECT_EQ(progress.all, std::vector<std::string>{c.text});
        EXPECT_EQ(progress.progress, 0);
    }
}

}  // namespace

// A link that changes state is heard through netlink without polling. The
// change is made in a network namespace of a thread of our own (root only),
// so nothing outside the test sees it.
TEST(ConnectionWatch, HearsALinkComingUpInItsNamespace) {
    std::string skip, failure;
    std::thread t([&] {
        if (unshare(CLONE_NEWNET) != 0) {
            skip = "cannot make a network namespace here (needs root)";
            return;
        }
        TConnectionMonitor monitor;
        if (!monitor.Watch()) {
            failure = "no netlink socket";
            return;
        }
        if (monitor.DrainLinkEvents()) failure = "an event before anything changed";
        int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ifreq ifr{};
        strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
        ioctl(s, SIOCGIFFLAGS, &ifr);
        ifr.ifr_flags |= IFF_UP;
        if (ioctl(s, SIOCSIFFLAGS, &ifr) != 0) failure = "cannot bring lo up";
        close(s);
        pollfd p{monitor.WatchFd(), POLLIN, 0};
        if (poll(&p, 1, 10000) != 1) failure = "no notification";
        else if (!monitor.DrainLinkEvents()) failure = "the notification was not a link change";
    });
    t.join();
    if (!skip.empty()) GTEST_SKIP() << skip;
    EXPECT_EQ(failure, "");
}
