#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <set>
#include <string>

#include "support/ErrorText.h"

namespace zk40 {
namespace {

struct CodeText {
    int32_t code;
    const char* text;
};

// Rows whose exact wording other components and users rely on, including the
// spots where later platform releases reworded the message.
constexpr CodeText kKnownTexts[] = {
    {1, "Incorrect function."},
    {2, "The system cannot find the file specified."},
    {5, "Access is denied."},
    {8, "Not enough storage is available to process this command."},
    {23, "Data error (cyclic redundancy check)"},
    {34, "The wrong diskette is in the drive. Insert %2 (Volume Serial Number: %3) into drive %1."},
    {182, "The operating system cannot run %1."},
    {188, "The operating system cannot run %1."},
    {189, "The operating system cannot run %1."},
    {190, "The operating system cannot run %1."},
    {192, "The operating system cannot run %1."},
    {194, "The operating system cannot run %1."},
    {195, "The operating system cannot run %1."},
    {198, "The operating system cannot run %1."},
    {201, "The operating system cannot run %1."},
    {202, "The operating system cannot run %1."},
    {196, "The operating system cannot run this application program."},
    {199, "The operating system cannot run this application program."},
    {317, "The system cannot find message for message number 0x%1 in message file for %2."},
    {995,
     "The I/O operation has been aborted because of either a thread exit or an application "
     "request."},
    {1223, "The operation was cancelled by the user."},
    {1326, "Logon failure: unknown user name or bad password."},
    {1380,
     "Logon failure: the user has not been granted the requested logon type at this computer."},
    {1385,
     "Logon failure: the user has not been granted the requested logon type at this computer."},
    {1395,
     "The service being accessed is licensed for a particular number of connections. No more "
     "connections can be made to the service at this time because there are already as many "
     "connections as the service can accept."},
    {2202, "The specified username is invalid."},
    {2250, "This network connection does not exist."},
    {2404, "The device is in use by an active process and cannot be disconnected."},
    // Not in the table: the general text, decimal then upper-case hex.
    {35, "Action Status: General Error 35 (0x23)"},
    {-1, "Action Status: General Error -1 (0xFFFFFFFF)"},
    {1339, "Action Status: General Error 1339 (0x53B)"},
    {2147483647, "Action Status: General Error 2147483647 (0x7FFFFFFF)"},
    {-2147483647 - 1, "Action Status: General Error -2147483648 (0x80000000)"},
};

TEST(ErrorTextTest, KnownCodesAndFallback) {
    for (const auto& row : kKnownTexts) {
        EXPECT_EQ(ErrorText(row.code), row.text) << "code " << row.code;
    }
}

TEST(ErrorTextTest, TableHoldsEveryCodeOnceWithItsSharedTexts) {
    std::set<int32_t> codes;
    std::set<std::string> texts;
    for (const auto& entry : ErrorTextTable()) {
        codes.insert(entry.code);
        texts.insert(entry.text);
        EXPECT_NE(entry.text[0], '\0') << "code " << entry.code;
        // Every listed code must come back through the public look-up.
        EXPECT_EQ(ErrorText(entry.code), entry.text);
    }
    EXPECT_EQ(ErrorTextTableSize(), 440u);
    EXPECT_EQ(codes.size(), 440u);
    EXPECT_EQ(texts.size(), 429u);
}

TEST(ErrorTextTest, CodeZeroReadsTheThreadsLastErrorAfterFailedOpen) {
    const int fd = ::open("/nonexistent-zk40-folder/missing.file", O_RDONLY);
    ASSERT_EQ(fd, -1);
    EXPECT_EQ(ErrorText(0), "The system cannot find the file specified.");

    errno = EACCES;
    EXPECT_EQ(ErrorText(0), "Access is denied.");
    errno = 0;
    EXPECT_EQ(ErrorText(0), "Action Status: General Error 0 (0x0)");
}

TEST(ErrorTextTest, ErrnoMapping) {
    const std::array<std::pair<int, int32_t>, 9> rows{{{0, 0},
                                                       {ENOENT, 2},
                                                       {ENOTDIR, 3},
                                                       {EACCES, 5},
                                                       {EPERM, 5},
                                                       {ENOMEM, 8},
                                                       {EINVAL, 87},
                                                       {ENOSPC, 112},
                                                       {-12345, 31}}};
    for (const auto& [err, code] : rows) {
        EXPECT_EQ(PlatformErrorFromErrno(err), code) << "errno " << err;
    }
}

// A sender's buffer: the size word up front, then a fence of marker bytes so
// that a write past the size shows.
class ErrorTextCopyTest : public ::testing::Test {
protected:
    static constexpr unsigned char kMarker = 0xAB;
    std::array<unsigned char, 200> buffer_;

    int32_t Request(int32_t code, uint32_t size) {
        buffer_.fill(kMarker);
        std::memcpy(buffer_.data(), &size, sizeof size);
        return CopyErrorText(code, buffer_.data());
    }
    std::string Bytes(size_t from, size_t count) const {
        return std::string(reinterpret_cast<const char*>(buffer_.data()) + from, count);
    }
};

TEST_F(ErrorTextCopyTest, ShortBufferGetsCutTextWithoutTerminator) {
    EXPECT_EQ(Request(5, 10), 1);
    EXPECT_EQ(Bytes(0, 10), "Access is ");
    for (size_t i = 10; i < buffer_.size(); ++i) ASSERT_EQ(buffer_[i], kMarker) << "byte " << i;
}

TEST_F(ErrorTextCopyTest, TextOfExactlySizeBytesHasNoTerminator) {
    const std::string text = "Access is denied.";
    EXPECT_EQ(Request(5, static_cast<uint32_t>(text.size())), 1);
    EXPECT_EQ(Bytes(0, text.size()), text);
    EXPECT_EQ(buffer_[text.size()], kMarker);
}

TEST_F(ErrorTextCopyTest, LongerBufferIsZeroPaddedUpToSize) {
    EXPECT_EQ(Request(2, 100), 1);
    const std::string text = "The system cannot find the file specified.";
    EXPECT_EQ(Bytes(0, text.size()), text);
    for (size_t i = text.size(); i < 100; ++i) ASSERT_EQ(buffer_[i], 0) << "byte " << i;
    for (size_t i = 100; i < buffer_.size(); ++i) ASSERT_EQ(buffer_[i], kMarker) << "byte " << i;
}

TEST_F(ErrorTextCopyTest, SizeZeroWritesNothing) {
    EXPECT_EQ(Request(5, 0), 1);
    EXPECT_EQ(Bytes(0, 4), std::string(4, '\0'));  // still the size word itself
    for (size_t i = 4; i < buffer_.size(); ++i) ASSERT_EQ(buffer_[i], kMarker) << "byte " << i;
}

TEST_F(ErrorTextCopyTest, CodeZeroIsAnOrdinaryCodeAndUnknownCodesGetTheFallback) {
    errno = ENOENT;  // must not be consulted here
    EXPECT_EQ(Request(0, 150), 1);
    EXPECT_STREQ(reinterpret_cast<const char*>(buffer_.data()),
                 "Action Status: General Error 0 (0x0)");
    EXPECT_EQ(Request(-1, 150), 1);
    EXPECT_STREQ(reinterpret_cast<const char*>(buffer_.data()),
                 "Action Status: General Error -1 (0xFFFFFFFF)");
}

}  // namespace
}  // namespace zk40
