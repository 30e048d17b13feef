#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Process.h"
#include "TestEnv.h"
#include "TestHttpServer.h"
#include "update/Fetch.h"

namespace zk40 {
namespace {

using zk40test::FileExists;
using zk40test::ReadFile;
using zk40test::TestHttpServer;
using zk40test::WriteFile;

bool StartsWith(const std::string& s, const std::string& prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}

// A zip archive made with the same library the program reads it with.
std::string MakeZip(const std::string& path,
                    const std::vector<std::pair<std::string, std::string>>& entries) {
    int err = 0;
    zip_t* za = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
    if (!za) return "";
    for (const auto& [name, data] : entries) {
        zip_source_t* src = zip_source_buffer(za, data.data(), data.size(), 0);
        if (!src || zip_file_add(za, name.c_str(), src, ZIP_FL_OVERWRITE) < 0) {
            zip_source_free(src);
            zip_discard(za);
            return "";
        }
    }
    if (zip_close(za) != 0) return "";
    return ReadFile(path);
}

class FetchTest : public ::testing::Test {
protected:
    void SetUp() override {
        // A proxy from the developer's environment must not intercept loopback.
        setenv("no_proxy", "127.0.0.1,localhost", 1);
        dest = NewDest();
    }

    std::string NewDest() {
        std::string error;
        std::string path = MakeTempFile("", &error);
        EXPECT_FALSE(path.empty()) << error;
        return path;
    }

    std::string Url(const std::string& path, const std::string& scheme = "http://") const {
        return scheme + server.Address() + path;
    }

    bool Fetch(const std::string& url) {
        progress = TRecordingProgress();
        error.clear();
        return FetchUrl(url, dest, progress, opt, &error);
    }

    zk40test::TempDir dir;
    zk40test::ScopedXdg xdg{dir};
    TestHttpServer server;
    FetchOptions opt;
    TRecordingProgress progress;
    std::string dest;
    std::string error;
};

TEST_F(FetchTest, HttpDownloadIsByteIdenticalAndReportsAsItGoes) {
    std::string body = TestHttpServer::GeneratedBytes(7, 0, 300000);
    server.Serve("/a.bin", body);

    ASSERT_TRUE(Fetch(Url("/a.bin"))) << error;
    EXPECT_EQ(ReadFile(dest), body);
    ASSERT_FALSE(progress.all.empty());
    EXPECT_EQ(progress.all.front(), "SysUpd:  Opening...");
    EXPECT_NE(std::find(progress.all.begin(), progress.all.end(),
                        "SysUpd:  Reading  0.00% (0 of 300000 bytes) [0 bytes/sec]..."),
              progress.all.end());
    EXPECT_TRUE(
        StartsWith(progress.last, "SysUpd:  Done reading 100.00% (300000 of 300000 bytes) ["))
        << progress.last;
    EXPECT_EQ(progress.progress, 100);
    EXPECT_EQ(progress.remaining, -1);
}

TEST_F(FetchTest, SuccessfulDownloads) {
    const std::string big = TestHttpServer::GeneratedBytes(3, 0, 8 << 20);
    server.ServeGenerated("/big", 8 << 20, 3);
    server.ServeWithoutLength("/nolength", "whatever arrived\r\n");
    server.ServeWithoutLength("/empty", "");
    struct Case {
        const char* path;
        std::string expected;
        std::string doneText;
    };
    const Case cases[] = {
        // Many times the in-memory buffer: exercises pausing and resuming.
        {"/big", big, "SysUpd:  Done reading 100.00% (8388608 of 8388608 bytes) ["},
        {"/nolength", "whatever arrived\r\n", "SysUpd:  Done reading (18 bytes) ["},
        {"/empty", "", "SysUpd:  Done reading (0 bytes) ["},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        dest = NewDest();
        ASSERT_TRUE(Fetch(Url(c.path))) << error;
        EXPECT_TRUE(ReadFile(dest) == c.expected) << "content differs";
        EXPECT_TRUE(StartsWith(progress.last, c.doneText)) << progress.last;
    }
}

TEST_F(FetchTest, FailuresNameTheirCause) {
    const std::string part(400, 'p');
    server.ServeTruncated("/short", part, 1000);
    server.ServeStatus("/missing", 404, "Not Found");
    server.ServeEndlessHeader("/endless");
    server.ServeStalling("/stall", part, 1000, -1);
    server.Serve("/notzip", "this is not an archive");
    const int closedPort = TestHttpServer::UnusedPort();
    const std::string host = server.Address();
    const std::string missingFile = dir / "nothing-here";

    struct Case {
        std::string url;
        std::string expected;  // the whole status text, or its start when prefixOnly
        bool prefixOnly;
    };
    const Case cases[] = {
        {Url("/short"), "SysUpd:  Download from 127.0.0.1 ended early: ", true},
        {Url("/missing"), "SysUpd:  Server answered 404 Not Found", false},
        {"http://127.0.0.1:" + std::to_string(closedPort) + "/x",
         "SysUpd:  Cannot connect to 127.0.0.1 port " + std::to_string(closedPort) +
             " (Connection refused)",
         false},
        {"http://nohost.invalid/cfg", "SysUpd:  Cannot resolve host nohost.invalid", false},
        {Url("/endless"), "SysUpd:  Timeout...", false},
        {Url("/stall"),
         "SysUpd:  Timeout... no data from " + host +
             " for more than 1 s (400 of 1000 bytes received)",
         false},
        // A plain server behind an https address must fail the handshake.
        {Url("/missing", "https://"), "SysUpd:  Secure connection to 127.0.0.1 port ", true},
        {Url("/notzip", "httpz://"), "SysUpd:  Error Reading Directory -- Not a zip archive [-19]",
         false},
        {"ftp://x", "SysUpd:  Cannot fetch ftp://x: ftp:// downloads are not supported", false},
        {"gopher://x", "SysUpd:  Cannot fetch gopher://x: unsupported address", true},
        {"HTTP://" + host + "/missing", "SysUpd:  Cannot fetch HTTP://", true},
        {"file://" + missingFile,
         "SysUpd:  Cannot read " + missingFile + ": No such file or directory", false},
    };
    opt.headerTimeoutMs = 1000;
    opt.stallTimeoutMs = 1000;
    opt.allowLocalFiles = true;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        dest = NewDest();
        EXPECT_FALSE(Fetch(c.url));
        if (c.prefixOnly)
            EXPECT_TRUE(StartsWith(progress.last, c.expected)) << progress.last;
        else
            EXPECT_EQ(progress.last, c.expected);
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(progress.remaining, -1);
        EXPECT_FALSE(FileExists(ReplaceExtension(dest, ".ZKZ")));
    }
    // The error page is not taken for the download.
    dest = NewDest();
    EXPECT_FALSE(Fetch(Url("/missing")));
    EXPECT_EQ(ReadFile(dest), "");
}

TEST_F(FetchTest, StopRequestEndsAStalledBody) {
    server.ServeStalling("/stall", std::string(500, 's'), 2000, -1);
    std::atomic<bool> stop{false};
    // Asks to stop once the display shows that data came and then stopped.
    struct StoppingProgress : TRecordingProgress {
        std::atomic<bool>* stop = nullptr;
        void Status(const std::string& text) override {
            TRecordingProgress::Status(text);
            if (text.find("(500 of 2000 bytes)") != std::string::npos) *stop = true;
        }
    } stopping;
    stopping.stop = &stop;
    opt.stop = &stop;

    EXPECT_FALSE(FetchUrl(Url("/stall"), dest, stopping, opt, &error));
    EXPECT_TRUE(stop);
    EXPECT_EQ(stopping.last, "SysUpd:  Download of " + Url("/stall") + " stopped.");
    EXPECT_EQ(stopping.remaining, -1);
}

TEST_F(FetchTest, CurrentVersionIsPutIntoTheRequest) {
    opt.buildNumber = 1234;
    server.Serve("/cfg/1234/zk.cfg", "cfg");
    ASSERT_TRUE(Fetch(Url("/cfg/[CURVER]/zk.cfg"))) << error;
    EXPECT_EQ(ReadFile(dest), "cfg");
    auto lines = server.RequestLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "GET /cfg/1234/zk.cfg HTTP/1.1"), lines.end());
    EXPECT_EQ(server.RequestCount("/cfg/1234/zk.cfg"), 1);
}

TEST_F(FetchTest, FileUrlReplacesTheDestination) {
    const std::string source = dir / "source.bin";
    const std::string content = TestHttpServer::GeneratedBytes(11, 0, 200000);
    WriteFile(source, content);
    opt.allowLocalFiles = true;
    // "C|/dir/file" is the drive-letter form of older configurations.
    for (const std::string& url : {"file://" + source, "file://C|" + source}) {
        SCOPED_TRACE(url);
        dest = NewDest();
        WriteFile(dest, std::string(300000, 'o'));
        ASSERT_TRUE(Fetch(url)) << error;
        EXPECT_TRUE(ReadFile(dest) == content) << "content differs";
    }
}

TEST_F(FetchTest, ZippedDownloadWritesEntriesToTheDestination) {
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, std::string>> entries;
        std::string expected;
        const char* lastText;
    };
    const Case cases[] = {
        {"one",
         {{"zk.cfg", "the configuration"}},
         "the configuration",
         "SysUpd:  1 Files Extracted."},
        // The later entry wins; a name with a folder part is never used as a path.
        {"two",
         {{"../escape.txt", "first"}, {"sub/second.txt", "second"}},
         "second",
         "SysUpd:  2 Files Extracted."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string zip = MakeZip(dir / "made.zip", c.entries);
        ASSERT_FALSE(zip.empty());
        server.Serve(std::string("/") + c.name + ".zip", zip);
        dest = NewDest();
        ASSERT_TRUE(Fetch(Url(std::string("/") + c.name + ".zip", "httpz://"))) << error;
        EXPECT_EQ(ReadFile(dest), c.expected);
        EXPECT_FALSE(FileExists(ReplaceExtension(dest, ".ZKZ")));
        EXPECT_EQ(progress.last, c.lastText);
    }
    EXPECT_FALSE(FileExists(dir / "escape.txt"));
    EXPECT_FALSE(FileExists("../escape.txt"));
}

TEST_F(FetchTest, ParallelDownloadsKeepTheirOwnBodies) {
    constexpr int kThreads = 4;
    for (int i = 0; i < kThreads; ++i)
        server.Serve("/p" + std::to_string(i), TestHttpServer::GeneratedBytes(i, 0, 1500000 + i));
    std::vector<std::string> dests, errors(kThreads);
    for (int i = 0; i < kThreads; ++i) dests.push_back(NewDest());
    std::vector<int> ok(kThreads, 0);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            TRecordingProgress own;
            ok[i] = FetchUrl(Url("/p" + std::to_string(i)), dests[i], own, opt, &errors[i]);
        });
    }
    for (auto& t : threads) t.join();
    for (int i = 0; i < kThreads; ++i) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(ok[i]) << errors[i];
        EXPECT_TRUE(ReadFile(dests[i]) == TestHttpServer::GeneratedBytes(i, 0, 1500000 + i));
    }
}

// Certificate checks are on: a self-signed server is refused.
TEST_F(FetchTest, HttpsRefusesAnUntrustedCertificate) {
    const std::string openssl = "/usr/bin/openssl";
    if (access(openssl.c_str(), X_OK) != 0) GTEST_SKIP() << "no openssl tool to run a TLS server";
    const std::string key = dir / "key.pem", cert = dir / "cert.pem";
    std::string out;
    ASSERT_EQ(
        zk40test::RunProcess({openssl, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                              key, "-out", cert, "-days", "1", "-subj", "/CN=127.0.0.1"},
                             &out),
        0)
        << out;
    const int port = TestHttpServer::UnusedPort();
    zk40test::ChildProcess tls(
        {openssl, "s_server", "-accept", std::to_string(port), "-cert", cert, "-key", key, "-www"},
        dir / "s_server.log");
    ASSERT_TRUE(zk40test::WaitFor(
        [&] {
            int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            addr.sin_port = htons(static_cast<uint16_t>(port));
            addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            bool up = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
            close(fd);
            return up;
        },
        10000));
    const std::string url = "https://127.0.0.1:" + std::to_string(port) + "/";
    EXPECT_FALSE(Fetch(url));
    EXPECT_TRUE(StartsWith(progress.last, "SysUpd:  Secure connection to 127.0.0.1 port " +
                                              std::to_string(port) + " failed: "))
        << progress.last;
    EXPECT_NE(progress.last.find("certificate"), std::string::npos) << progress.last;
    EXPECT_EQ(ReadFile(dest), "");
}

TEST(MakeTempFileTest, CreatesPrivateFilesInAPrivateFolder) {
    zk40test::TempDir dir;
    zk40test::ScopedXdg xdg(dir);
    std::string a = MakeTempFile(), b = MakeTempFile(), exe = MakeTempFile("", nullptr, ".EXE");
    ASSERT_FALSE(a.empty());
    EXPECT_NE(a, b);
    // Not in the shared $TMPDIR, where others can plant names.
    const std::string folder = xdg.stateHome() + "/zarkell40/tmp";
    EXPECT_TRUE(StartsWith(a, folder + "/ZKTT")) << a;
    EXPECT_TRUE(StartsWith(exe, folder + "/ZKTT") && exe.ends_with(".EXE") &&
                exe.size() == a.size() + 4)
        << exe;
    EXPECT_TRUE(IsPrivateTempFile(a));
    for (const std::string& p : {dir / "tmp/ZKTTabcdef", folder + "/../x", folder + "/a/b"})
        EXPECT_FALSE(IsPrivateTempFile(p)) << p;
    struct stat st {};
    ASSERT_EQ(stat(a.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_size, 0);
    ASSERT_EQ(stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    // A folder that is not ours to trust (here a link to a shared one) is
    // not used.
    ASSERT_EQ(system(("rm -rf '" + folder + "' && ln -s '" + dir.path() + "' '" + folder + "'")
                         .c_str()),
              0);
    std::string why;
    EXPECT_EQ(MakeTempFile("", &why), "");
    EXPECT_NE(why.find("is not a folder"), std::string::npos) << why;

    std::string error;
    EXPECT_EQ(MakeTempFile(dir / "no-such-folder", &error), "");
    EXPECT_NE(error.find(dir / "no-such-folder"), std::string::npos) << error;
}

}  // namespace
}  // namespace zk40
