// The window comes from a loadable object the program opens only when it
// shows a window: a windowed start loads it, and a start that would show a
// window without it says why and ends.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "ProgramFixture.h"
#include "base/InstanceRequest.h"

using namespace zk40;
using namespace zk40test;

namespace {

std::string Maps(pid_t pid) {
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    std::stringstream all;
    all << maps.rdbuf();
    return all.str();
}

struct WindowObjectFixture : RealProgramFixture {
    void SetUp() override {
        // No connection question before the window: it has nothing to do
        // with how the window is loaded.
        app->base.SetDword("ConnType", 0);
    }
};

TEST_F(WindowObjectFixture, AWindowedStartLoadsTheWindowObjectBesideTheProgram) {
    ChildProcess p = Start({}, {{"QT_QPA_PLATFORM", "offscreen"}});
    ASSERT_TRUE(WaitFor(
        [&] { return p.Output().find("Initialization:  Completed,") != std::string::npos; },
        30000))
        << p.Output();
    ASSERT_EQ(NotifyStoreChanged(paths.runtimeDir, 20000).kind, InstanceAnswer::Kind::Ok)
        << p.Output();
    std::string maps = Maps(p.pid());
    std::string object = std::filesystem::canonical(ZK40_WINDOW_OBJECT).string();
    EXPECT_NE(maps.find(object), std::string::npos) << maps;
    EXPECT_NE(maps.find("libQt6Widgets"), std::string::npos) << maps;
    Stop(p);
}

// The program copied to a folder of its own, where no window object is
// installed beside or below it.
struct MovedProgramFixture : WindowObjectFixture {
    void SetUp() override {
        WindowObjectFixture::SetUp();
        std::filesystem::create_directories(bin);
        std::filesystem::copy_file(ZK40_BIN, program);
    }
    std::string bin = dir / "bin";
    std::string program = bin + "/zarkell40";
};

TEST_F(MovedProgramFixture, AStartWithADisplayButNoLoadableWindowSaysWhyAndEnds) {
    const std::string besideProgram = bin + "/zarkell40-window.so";
    struct Case {
        const char* name;
        std::optional<std::string> contents;  // written beside the program
        std::vector<std::string> says;
    } cases[] = {
        {"missing", std::nullopt, {"the window library is missing", besideProgram, "ZK40_HEADLESS=1"}},
        {"not a library", std::string(200, 'x'),
         {"cannot load " + besideProgram + ": invalid ELF header", "ZK40_HEADLESS=1"}},
        // As when the package's Qt Gui or Widgets library is not installed.
        {"a library it needs is missing", ReadFile(ZK40_STUB_WINDOW_OBJECT),
         {"cannot load " + besideProgram +
              ": libzk40_stub_needed.so: cannot open shared object file",
          "ZK40_HEADLESS=1"}},
    };
    for (const Case& c : cases) {
        std::filesystem::remove(besideProgram);
        if (c.contents) WriteFile(besideProgram, *c.contents);
        std::string out;
        EXPECT_EQ(RunProcess({program}, &out, 30000, Env({{"QT_QPA_PLATFORM", "offscreen"}})), 1)
            << c.name << "\n" << out;
        EXPECT_NE(out.find("Zarkell'40: cannot show the window: "), std::string::npos)
            << c.name << "\n" << out;
        for (const std::string& text : c.says)
            EXPECT_NE(out.find(text), std::string::npos) << c.name << ": " << text << "\n" << out;
        // It ended before it started: no crash marker left behind.
        EXPECT_FALSE(app->RunningBit()) << c.name;
    }
    // As the message says, the same program runs without its window.
    ChildProcess p(std::vector<std::string>{program}, dir / "headless.txt",
                   Env({{"QT_QPA_PLATFORM", "offscreen"}, {"ZK40_HEADLESS", "1"}}));
    ASSERT_TRUE(WaitFor(
        [&] { return p.Output().find("Initialization:  Completed,") != std::string::npos; },
        30000))
        << p.Output();
    EXPECT_EQ(Maps(p.pid()).find("libQt6Gui"), std::string::npos);
    Stop(p);
}

}  // namespace
