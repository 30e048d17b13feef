#pragma once
// Fetching one URL into a local file for the update worker: local copies,
// http and https downloads, and the zipped single-file downloads, with the
// status texts, progress and time remaining the main window shows meanwhile.
#include <atomic>
#include <cstdint>
#include <string>

#include "update/UpdateProgress.h"

namespace zk40 {

// Nothing we publish (module archives, upgrades) comes near this.
inline constexpr uint64_t kMaxDownloadBytes = 256ull << 20;
// A configuration file, in any of its forms.
inline constexpr uint64_t kMaxConfigurationBytes = 16ull << 20;

struct FetchOptions {
    // How long the server may take to complete its answer header, and how
    // long the body may stall, before the download is given up.
    int headerTimeoutMs = 60000;
    int stallTimeoutMs = 60000;
    // Interval of the status display and of the stop checks.
    int pollMs = 100;
    // Replaces "[CURVER]" in the URL; callers pass the program's build number.
    uint32_t buildNumber = 29;
    // Set by the owner of the fetch to give up; checked at least every pollMs.
    const std::atomic<bool>* stop = nullptr;
    // Whether a file:// address may be read. Only addresses from a local
    // source (the configuration shipped with the program, the user's
    // LocalUpdate) may name local files; a server must never make us copy
    // /dev/zero or a private file.
    bool allowLocalFiles = false;
    // The most bytes a fetch may bring: the download itself and, for the
    // zipped forms, what its archive unpacks to. limitName says which
    // limit it is in the status text of a fetch that hits it.
    uint64_t maxBytes = kMaxDownloadBytes;
    std::string limitName = "download limit";
};

// Fetches url into destination and reports what happens on progress.
//   file://PATH       copies the local file PATH over the destination;
//   http://, https:// download and append to the destination (https always
//                     verifies the server's certificate);
//   httpz://, httpsz:// download a zip archive next to the destination (its
//                     extension replaced by ".ZKZ") and write the archive's
//                     entries to the destination, the last one winning.
// Any other scheme fails at once. Returns false on every failure (the host
// unknown or unreachable, an answer other than 2xx, a body shorter than
// announced, a timeout, a stop request, a damaged archive), after showing a
// status text that names it; error, when given, receives the same reason.
bool FetchUrl(const std::string& url, const std::string& destination, IUpdateProgress& progress,
              const FetchOptions& opt, std::string* error = nullptr);

// The program's own folder for downloads: $XDG_STATE_HOME/zarkell40/tmp,
// made 0700 when missing. Refused ("" with the reason in error) when it is
// not a folder of ours that only we can enter: nobody else may plant or
// swap files under names we are about to use.
std::string PrivateTempDir(std::string* error = nullptr);

// Creates a new empty file (mode 0600) named "ZKTT" plus a random suffix
// (and then suffix, e.g. ".EXE") in tempDir, or in PrivateTempDir() when
// tempDir is empty, and returns its path; returns "" when it cannot, with
// the reason in error. The file is made with O_EXCL: never through a link.
std::string MakeTempFile(const std::string& tempDir = "", std::string* error = nullptr,
                         const std::string& suffix = "");

// Whether path is a file directly inside the private temporary folder, so
// that a stored path may be deleted or reused without trusting the store.
bool IsPrivateTempFile(const std::string& path);

// The destination with the extension of its file name replaced by ext (or ext
// appended when it has none), e.g. "/tmp/ZKTTab12.EXE" -> "/tmp/ZKTTab12.ZKZ".
std::string ReplaceExtension(const std::string& path, const std::string& ext);

}  // namespace zk40
