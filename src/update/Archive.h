#pragma once
// Unpacking the zip archives the update server sends.
//
// Names inside an archive are never used as paths: an entry is only matched
// by its name and written to an output path we chose. Every entry is
// unpacked into a temporary file beside its output and renamed over it only
// once all of them came out whole, so a damaged, truncated or oversized
// archive leaves every file that was there as it was.
#include <cstdint>
#include <string>

#include "update/UpdateProgress.h"

namespace zk40 {

struct ArchiveResult {
    bool ok = false;
    int extracted = 0;
    int marked = 0;
    // Negative on failure: libzip's error number, or kArchiveEntryTooLarge.
    int code = 0;
    // What failed and why, with the archive or entry named; empty when ok.
    std::string error;
};

// More than any module or help file we ship; a bigger entry is an attack or
// a broken archive, not an update.
inline constexpr uint64_t kMaxArchiveEntryBytes = 256ull << 20;

// The most one archive may unpack in all its entries together. Entries that
// share an output (every entry of a zipped download) are staged in one file
// that each overwrites, so the disk holds one entry's worth; this bounds the
// work a hostile archive of many entries can cause.
inline constexpr uint64_t kMaxArchiveTotalBytes = 256ull << 20;

// The code of an entry larger than the cap or than its own declared size,
// or of an archive whose entries together unpack to more than their cap
// (outside libzip's numbers, which run from 1 to about 30).
inline constexpr int kArchiveEntryTooLarge = -1000;

// Unpacks a module archive: the entry ACTION.DLL goes to moduleFilePath,
// ACTION.HLP to helpDir + <module file name without folder and extension> +
// ".hlp" (the folder is made when missing; an empty helpDir means there is
// nowhere to put help, and ACTION.HLP is left in the archive). The names are
// matched without regard to case, since the archives are made on a system
// that ignores it; an entry in a folder of the archive ("x/ACTION.DLL")
// does not match. Other entries are ignored.
//
// Reports the "SysUpd:" status texts and the per-entry progress on
// `progress`. On success the archive file is deleted. On failure it is kept,
// so that a later attempt can use it again, and no output file is changed.
ArchiveResult ExtractModuleArchive(const std::string& archivePath,
                                   const std::string& moduleFilePath, const std::string& helpDir,
                                   IUpdateProgress& progress,
                                   uint64_t maxEntryBytes = kMaxArchiveEntryBytes,
                                   uint64_t maxTotalBytes = kMaxArchiveTotalBytes);

// Unpacks the archive of a zipped download: every file entry is written to
// destination, in directory order, so with several entries the last one
// wins. Same texts, same safety; the archive is deleted only on success.
ArchiveResult ExtractSingleFileArchive(const std::string& archivePath,
                                       const std::string& destination, IUpdateProgress& progress,
                                       uint64_t maxEntryBytes = kMaxArchiveEntryBytes,
                                       uint64_t maxTotalBytes = kMaxArchiveTotalBytes);

// helpDir + the base name of moduleFilePath + ".hlp", with a '/' put between
// when helpDir lacks one; empty when helpDir is empty.
std::string ModuleHelpFilePath(const std::string& moduleFilePath, const std::string& helpDir);

}  // namespace zk40
