#pragma once
// Readable English texts for numeric platform error codes. The program keeps
// its own copy of the platform's standard message table (Win32 error codes,
// which are also what action modules and the store carry), so a text never
// depends on the machine's locale or on an OS call that could itself fail.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace zk40 {

// The error codes the program itself produces by name.
constexpr int32_t kErrorFileNotFound = 2;
constexpr int32_t kErrorAccessDenied = 5;
constexpr int32_t kErrorGenFailure = 31;

struct ErrorTextEntry {
    int32_t code;
    const char* text;
};

// The text of a code, or "Action Status: General Error <dec> (0x<HEX>)" for a
// code the table does not hold. Code 0 stands for the calling thread's last
// platform error: errno is read first thing (so call this right after the
// failed call, on the same thread) and mapped with PlatformErrorFromErrno.
std::string ErrorText(int32_t code);

// The platform error code that matches an errno value; 0 for 0, and
// kErrorGenFailure for values without a closer match.
int32_t PlatformErrorFromErrno(int err);

// Answers the error-text request of an outside component. On entry the first
// 32-bit word of buffer holds the buffer's size in bytes; the text of code is
// copied over the buffer like strncpy: at most size bytes, zero bytes up to
// size after a shorter text, no terminating zero when the text fills the
// buffer. Code 0 is an ordinary code here. Returns 1, or 0 for a null
// buffer.
int32_t CopyErrorText(int32_t code, void* buffer);

// The whole table, sorted by code, for checks and diagnostics tools.
std::span<const ErrorTextEntry> ErrorTextTable();
size_t ErrorTextTableSize();

}  // namespace zk40
