#include <gtest/gtest.h>

#include "TestEnv.h"
#include "modules/ModuleFile.h"

using namespace zk40;
using zk40test::TempDir;
using zk40test::WriteFile;

TEST(ModuleFile, ChecksumOfAbc) { EXPECT_EQ(ModuleChecksum("abc", 3), 0x583B1211u); }

TEST(ModuleFile, SignedFilePassesAndDamageIsCaught) {
    TempDir dir;
    std::string f = dir / "m.so";
    // Bigger than one 16,000-byte read piece, so pieces are chained.
    std::string body(40000, '\0');
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 31 + 7);
    WriteFile(f, body);
    EXPECT_EQ(CheckModuleFile(f), ModuleFileCheck::Fails);
    std::string err;
    ASSERT_TRUE(SignModuleFile(f, &err)) << err;
    EXPECT_EQ(CheckModuleFile(f), ModuleFileCheck::Passes);
    // Signing again replaces the trailer instead of stacking another.
    ASSERT_TRUE(SignModuleFile(f, &err));
    std::string signed_ = zk40test::ReadFile(f);
    EXPECT_EQ(signed_.size(), body.size() + 8);
    EXPECT_EQ(signed_.substr(body.size(), 2), "DX");
    EXPECT_EQ(signed_.substr(body.size() + 6), "14");

    std::string flipped = signed_;
    flipped[20000] ^= 1;
    WriteFile(f, flipped);
    EXPECT_EQ(CheckModuleFile(f), ModuleFileCheck::Fails);
    std::string badTag = signed_;
    badTag[badTag.size() - 1] = '5';
    WriteFile(f, badTag);
    EXPECT_EQ(CheckModuleFile(f), ModuleFileCheck::Fails);
    WriteFile(f, "DX14");
    EXPECT_EQ(CheckModuleFile(f), ModuleFileCheck::Unreadable);
    EXPECT_EQ(CheckModuleFile(dir / "missing.so"), ModuleFileCheck::Unreadable);
}
