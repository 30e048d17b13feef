// The update worker against a hostile update server on 127.0.0.1 and
// hostile local files: what a configuration may not write, what a fetch may
// not read, how much it may bring, and which answers it may not believe.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>

#include "Catalogue.h"
#include "ClientFixture.h"
#include "Process.h"
#include "update/ConfigParser.h"
#include "update/Fetch.h"

using namespace zk40;
using namespace zk40test;

namespace {

std::vector<std::string> Listing(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(folder, ec))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

struct FetchFixture : ::testing::Test {
    void SetUp() override { setenv("no_proxy", "127.0.0.1,localhost", 1); }
    bool Fetch(const std::string& url) {
        progress = TRecordingProgress();
        error.clear();
        dest = MakeTempFile("", &error);
        EXPECT_FALSE(dest.empty()) << error;
        return FetchUrl(url, dest, progress, opt, &error);
    }
    std::string Url(const std::string& path, const std::string& scheme = "http://") const {
        return scheme + server.Address() + path;
    }
    TempDir dir;
    ScopedXdg xdg{dir};
    TestHttpServer server;
    FetchOptions opt;
    TRecordingProgress progress;
    std::string dest, error;
};

TEST_F(FetchFixture, LocalFilesOnlyWhenAllowedAndOnlyRegularOnesWithinTheCap) {
    const std::string small = dir / "small.cfg", big = dir / "big.cfg", fifo = dir / "pipe";
    WriteFile(small, "VENDORID: X\n");
    WriteFile(big, std::string(5000, 'b'));
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::atomic<bool> stop{false};
    opt.stop = &stop;
    opt.maxBytes = 4096;
    struct Case {
        std::string url;
        bool allow;
        bool stopAsked;
        const char* expected;  // "" = success
    } cases[] = {
        {"file://" + small, true, false, ""},
        {"file://" + small, false, false, "only a local configuration may name local files"},
        // Neither may hang the worker nor fill the disk.
        {"file:///dev/zero", true, false, "it is not a regular file"},
        {"file://" + fifo, true, false, "it is not a regular file"},
        {"file://" + dir.path(), true, false, "it is not a regular file"},
        {"file://" + big, true, false, "more than the download limit of 4096 bytes"},
        {"file://" + small, true, true, "stopped"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url + (c.allow ? " allowed" : " not allowed"));
        opt.allowLocalFiles = c.allow;
        stop = c.stopAsked;
        bool ok = Fetch(c.url);
        EXPECT_EQ(ok, *c.expected == '\0') << progress.last;
        if (*c.expected) {
            EXPECT_NE(progress.last.find(c.expected), std::string::npos) << progress.last;
            EXPECT_EQ(ReadFile(dest), "");
        } else {
            EXPECT_EQ(ReadFile(dest), "VENDORID: X\n");
        }
    }
}

TEST_F(FetchFixture, DownloadsStopAtTheirCapAndSayWhichCap) {
    server.Serve("/announced", std::string(5000, 'a'));
    server.ServeWithoutLength("/unannounced", std::string(5000, 'u'));
    // Small archives that unpack to a lot: one large entry, and many entries
    // that together pass the cap although each stays below it.
    server.Serve("/bomb.zip", ZipBytes({{"cfg", std::string(3 << 20, '\0')}}));
    std::vector<std::pair<std::string, std::string>> many;
    for (int i = 0; i < 40; ++i) many.emplace_back("e" + std::to_string(i), std::string(1 << 17, 'm'));
    server.Serve("/many.zip", ZipBytes(many));
    server.Serve("/fine.zip", ZipBytes({{"cfg", "VENDORID: X\n"}}));
    opt.maxBytes = 2 << 20;
    opt.limitName = "configuration limit";
    struct Case {
        std::string url;
        uint64_t max;
        const char* expected;  // "" = success
    } cases[] = {
        {Url("/announced"), 4096, "refused: it is 5000 bytes, more than the configuration limit"},
        {Url("/unannounced"), 4096, "is larger than the configuration limit of 4096 bytes"},
        {Url("/bomb.zip", "httpz://"), 2 << 20,
         "unpacks to more than the configuration limit of 2 MiB"},
        {Url("/many.zip", "httpz://"), 2 << 20,
         "unpacks to more than the configuration limit of 2 MiB"},
        {Url("/fine.zip", "httpz://"), 2 << 20, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        opt.maxBytes = c.max;
        EXPECT_EQ(Fetch(c.url), *c.expected == '\0') << progress.last;
        if (*c.expected) {
            EXPECT_NE(progress.last.find(c.expected), std::string::npos) << progress.last;
        }
        // Nothing of a refused download is left beside the destination.
        EXPECT_FALSE(FileExists(ReplaceExtension(dest, ".ZKZ")));
    }
    EXPECT_EQ(ReadFile(dest), "VENDORID: X\n");
}

TEST_F(FetchFixture, LengthsThatCannotBeBelievedFailTheTransfer) {
    struct Case {
        const char* name;
        std::string response;
        bool ok;
    } cases[] = {
        {"conflicting", "HTTP/1.1 200 OK\r\nContent-Length: 10\r\nContent-Length: 5\r\n\r\n12345",
         false},
        {"beyond 63 bits", "HTTP/1.1 200 OK\r\nContent-Length: 18446744073709551615\r\n\r\n12345",
         false},
        {"not a number", "HTTP/1.1 200 OK\r\nContent-Length: 5x\r\n\r\n12345", false},
        {"repeated alike", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\ncontent-length: 5, 5\r\n\r\n12345",
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        server.ServeRaw("/raw", c.response);
        EXPECT_EQ(Fetch(Url("/raw")), c.ok) << progress.last;
        EXPECT_EQ(ReadFile(dest), c.ok ? "12345" : "");
    }
}

TEST_F(FetchFixture, DestinationLinkIsNotFollowed) {
    server.Serve("/a", "payload");
    const std::string victim = dir / "victim";
    WriteFile(victim, "precious");
    dest = dir / "planted";
    std::filesystem::create_symlink(victim, dest);
    EXPECT_FALSE(FetchUrl(Url("/a"), dest, progress, opt, &error));
    EXPECT_NE(error.find("Cannot write " + dest), std::string::npos) << error;
    EXPECT_EQ(ReadFile(victim), "precious");
}

// ---- the parser: what a configuration may write ----

struct ParserFixture : ::testing::Test, TestInstallation {};

TEST_F(ParserFixture, ValuesNamingFilesAreRefusedAndLocalFilesOnlyFromLocalSources) {
    struct Case {
        const char* line;
        const char* valueName;
        bool takenFromNetwork;
        bool takenFromLocalFile;
    } cases[] = {
        {"TEMPFILE: /home/user/.bashrc", "TEMPFILE", false, false},
        {"FILENAME: ../../x.so", "FILENAME", false, false},
        {"FILENAME: /tmp/x.so", "FILENAME", false, false},
        {"FILENAME: ..", "FILENAME", false, false},
        {"+FILENAME: /x", "FILENAME", false, false},
        {"FILENAME: ZKA01234.dll", "FILENAME", true, true},
        {"URL: file:///dev/zero", "URL", false, true},
        {"ACTDATAURL: FILE:/etc/shadow", "ACTDATAURL", false, true},
        {"URL: http://example.com/m.zkz", "URL", true, true},
    };
    for (const Case& c : cases) {
        for (bool local : {false, true}) {
            SCOPED_TRACE(std::string(c.line) + (local ? " (local)" : " (network)"));
            TRegKey(app->product, "actions").DeleteSubKeyTree("V");
            std::string file = dir / "c.cfg";
            WriteFile(file, std::string("VENDORID: V\nMODULEID: M\nNAME: kept\n") + c.line + "\n");
            TRecordingProgress progress;
            ASSERT_TRUE(ParseConfigFile(file, app->product, {}, progress, nullptr, local));
            TRegKey mk(app->product, "actions\\V\\M", false);
            EXPECT_EQ(mk.GetString("NAME"), "kept");
            bool taken = local ? c.takenFromLocalFile : c.takenFromNetwork;
            EXPECT_EQ(mk.HasValue(c.valueName), taken);
            bool said = false;
            for (const auto& t : progress.all)
                said |= t.starts_with("SysUpd:  1 configuration line refused: ");
            EXPECT_EQ(said, !taken);
        }
    }
}

// ---- whole update runs against a hostile server ----

struct HostileServerFixture : UpdateClientFixture {
    void SetUp() override {
        UpdateClientFixture::SetUp();
        StartClient();
    }
};

TEST_F(HostileServerFixture, ConfigurationCannotReachFilesOutsideTheProgram) {
    const std::string victim = dir / "victim.txt";
    WriteFile(victim, "precious");
    const std::string fifo = dir / "pipe";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string base = ServerUrl();
    server.Serve(kConfigPath, ZipBytes({{"zk40.cfg", "TEMPFILE: " + victim +
                                                    "\n"
                                                    "VENDORID: EVIL\n"
                                                    "INCLUDE: file:///dev/zero\n"
                                                    "INCLUDE: file://" +
                                                    fifo +
                                                    "\n"
                                                    "MODULEID: M\n"
                                                    "FILENAME: ../../escape.so\n"
                                                    "URL: file://" +
                                                    victim + "\n"}}));
    ASSERT_TRUE(RunUpdate()) << view.statuses.back();
    EXPECT_EQ(server.RequestCount(kConfigPath), 1);
    EXPECT_EQ(ReadFile(victim), "precious");
    EXPECT_EQ(TRegKey(app->product, "config").GetString("TEMPFILE"), "");
    TRegKey mk(actions, "EVIL\\M");
    EXPECT_FALSE(mk.HasValue("FILENAME"));
    EXPECT_FALSE(mk.HasValue("URL"));
    EXPECT_TRUE(view.Saw("SysUpd:  3 configuration lines refused: "));
    EXPECT_TRUE(view.Saw("SysUpd:  INCLUDE file:///dev/zero refused"));
    EXPECT_TRUE(view.Saw("SysUpd:  Completed.  Next Update = "));
    // Nothing was made in the shared temporary folder.
    EXPECT_EQ(Listing(dir / "tmp"), std::vector<std::string>{});
}

TEST_F(HostileServerFixture, OversizedConfigurationIsRefusedByName) {
    server.ServeGenerated(kConfigPath, (16 << 20) + 1, 5);
    ASSERT_TRUE(RunUpdate());
    EXPECT_TRUE(view.Saw("more than the configuration limit of 16 MiB")) << view.statuses.back();
    EXPECT_TRUE(view.Saw("SysUpd:  Aborted.  Next Update = "));
}

TEST_F(HostileServerFixture, FailedModuleDownloadsLeaveNothingBehind) {
    InstallTestModule();
    StartClient();
    ASSERT_TRUE(client->Modules().FindModule("ZKTEST", "TESTMOD"));
    const std::string base = ServerUrl();
    server.Serve(kConfigPath,
                 ZipBytes({{"zk40.cfg", "VENDORID: ZKTEST\nMODULEID: TESTMOD\nAVAILVER: 2\nURL: " +
                                       base + "/testmod.zkz\n"}}));
    server.Serve("/testmod.zkz", "not an archive at all");
    const std::string folder = PrivateTempDir();
    std::vector<std::string> afterFirst;
    for (int attempt = 0; attempt < 3; ++attempt) {
        SCOPED_TRACE(attempt);
        ASSERT_TRUE(RunUpdate());
        EXPECT_TRUE(view.Saw("SysUpd:  Error Reading Directory"));
        if (attempt == 0)
            afterFirst = Listing(folder);
        else
            EXPECT_EQ(Listing(folder), afterFirst);
    }
    EXPECT_EQ(server.RequestCount("/testmod.zkz"), 3);
    // What is kept is the module's own download, for the next attempt.
    std::string temp = TRegKey(actions, "ZKTEST\\TESTMOD").GetString("TEMPFILE");
    EXPECT_TRUE(IsPrivateTempFile(temp)) << temp;
    EXPECT_LE(afterFirst.size(), 2u);
}

}  // namespace
