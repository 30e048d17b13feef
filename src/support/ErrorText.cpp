#include "support/ErrorText.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace zk40 {

namespace {

constexpr ErrorTextEntry kTable[] = {
#include "support/ErrorTextTable.inc"
};

constexpr bool IsSortedByCode() {
    for (size_t i = 1; i < std::size(kTable); ++i) {
        if (kTable[i - 1].code >= kTable[i].code) return false;
    }
    return true;
}
// The look-up is a binary search, so an unsorted or doubled row would make
// codes silently fall back to the general text.
static_assert(IsSortedByCode(), "error text table must be sorted by code without duplicates");

const char* FindText(int32_t code) {
    const auto* end = std::end(kTable);
    const auto* it = std::lower_bound(
        std::begin(kTable), end, code,
        [](const ErrorTextEntry& entry, int32_t value) { return entry.code < value; });
    return it != end && it->code == code ? it->text : nullptr;
}

// The text of a code as it goes out; the fallback is formatted into the
// caller's scratch area, which is large enough for any 32-bit code.
const char* TextOf(int32_t code, char (&scratch)[128]) {
    if (const char* text = FindText(code)) return text;
    std::snprintf(scratch, sizeof scratch, "Action Status: General Error %d (0x%X)", code,
                  static_cast<unsigned>(code));
    return scratch;
}

}  // namespace

int32_t PlatformErrorFromErrno(int err) {
    switch (err) {
        case 0:
            return 0;
        case EPERM:
        case EACCES:
        case EISDIR:  // writing to a folder: the platform answers "access denied"
            return kErrorAccessDenied;
        case ENOENT:
            return kErrorFileNotFound;
        case ENOTDIR:
            return 3;  // The system cannot find the path specified.
        case EMFILE:
        case ENFILE:
            return 4;  // The system cannot open the file.
        case EBADF:
            return 6;  // The handle is invalid.
        case ENOMEM:
        case ENOBUFS:
            return 8;  // Not enough storage is available to process this command.
        case E2BIG:
            return 10;  // The environment is incorrect.
        case ENOEXEC:
            return 11;  // An attempt was made to load a program with an incorrect format.
        case EXDEV:
            return 17;  // The system cannot move the file to a different disk drive.
        case EROFS:
            return 19;  // The media is write protected.
        case ENODEV:
        case ENXIO:
            return 20;  // The system cannot find the device specified.
        case ETXTBSY:
            return 32;  // ... being used by another process.
        case ENOTSUP:
            return 50;  // The network request is not supported.
        case ECONNRESET:
            return 64;  // The specified network name is no longer available.
        case EEXIST:
            return 80;  // The file exists.
        case EINVAL:
        case EDOM:
            return 87;  // The parameter is incorrect.
        case EAGAIN:
            return 89;  // The system cannot start another process at this time.
        case EPIPE:
            return 109;  // The pipe has been ended.
        case ENOSPC:
        case EDQUOT:
        case EFBIG:
            return 112;  // There is not enough space on the disk.
        case ETIMEDOUT:
            return 121;  // The semaphore timeout period has expired.
        case ERANGE:
            return 122;  // The data area passed to a system call is too small.
        case ENOSYS:
        case ENOTTY:
            return 1;  // Incorrect function.
        case ECHILD:
            return 128;  // There are no child processes to wait for.
        case ESPIPE:
            return 132;  // The file pointer cannot be set on the specified device or file.
        case ENOTEMPTY:
            return 145;  // The directory is not empty.
        case ENOLCK:
            return 167;  // Unable to lock a region of a file.
        case EBUSY:
            return 170;  // The requested resource is in use.
        case ENAMETOOLONG:
            return 206;  // The filename or extension is too long.
        case EOVERFLOW:
            return 534;  // Arithmetic result exceeded 32 bits.
        case EINTR:
            return 995;  // The I/O operation has been aborted ...
        case EFAULT:
            return 998;  // Invalid access to memory location.
        case ESTALE:
            return 1006;  // The volume for a file has been externally altered ...
        case ENOMEDIUM:
            return 1112;  // No media in drive.
        case EILSEQ:
            return 1113;  // No mapping for the Unicode character exists ...
        case EIO:
            return 1117;  // ... because of an I/O device error.
        case EDEADLK:
            return 1131;  // A potential deadlock condition has been detected.
        case EMLINK:
            return 1142;  // An attempt was made to create more links on a file ...
        case ENETDOWN:
            return 1222;  // The network is not present or not started.
        case ECANCELED:
            return 1223;  // The operation was cancelled by the user.
        case ECONNREFUSED:
            return 1225;  // The remote system refused the network connection.
        case EADDRINUSE:
            return 1227;  // The network transport endpoint already has an address ...
        case ENETUNREACH:
            return 1231;  // The remote network is not reachable by the transport.
        case EHOSTUNREACH:
            return 1232;  // The remote system is not reachable by the transport.
        case EPROTONOSUPPORT:
            return 1233;  // The remote system does not support the transport protocol.
        case ECONNABORTED:
            return 1236;  // The network connection was aborted by the local system.
        case EUCLEAN:
            return 1392;  // The file or directory is corrupt and non-readable.
        case ENOTCONN:
            return 2250;  // This network connection does not exist.
        default:
            return kErrorGenFailure;
    }
}

std::string ErrorText(int32_t code) {
    if (code == 0) {
        // Nothing may run between the caller's failed call and this read.
        code = PlatformErrorFromErrno(errno);
    }
    char scratch[128];
    return TextOf(code, scratch);
}

int32_t CopyErrorText(int32_t code, void* buffer) {
    // A module that passes no buffer gets a refusal, not a crash of the
    // whole program.
    if (!buffer) return 0;
    uint32_t size = 0;
    std::memcpy(&size, buffer, sizeof size);  // the sender's buffer need not be aligned
    char scratch[128];
    const char* text = TextOf(code, scratch);
    // strncpy is exactly the contract: bounded, zero-padded, unterminated when full.
    std::strncpy(static_cast<char*>(buffer), text, size);
    return 1;
}

std::span<const ErrorTextEntry> ErrorTextTable() { return kTable; }

size_t ErrorTextTableSize() { return std::size(kTable); }

}  // namespace zk40
