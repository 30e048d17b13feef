#include "update/Archive.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string_view>
#include <vector>

#include "store/AppPaths.h"
#include "update/ZipLib.h"

namespace zk40 {

namespace {

// Entry names are bytes from a stranger; shown as they are, control bytes
// could garble a status line or a log.
std::string Printable(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    return out;
}

struct Failure {
    int code = 0;
    std::string text;
};

Failure ZipFailure(zip_error_t* e) { return {-Zip().error_code_zip(e), Zip().error_strerror(e)}; }

// A libzip code with the system error behind it, in libzip's wording
// ("Write error: No space left on device").
Failure SystemFailure(int zipCode, int sysErr) {
    zip_error_t e;
    Zip().error_init(&e);
    Zip().error_set(&e, zipCode, sysErr);
    Failure f = ZipFailure(&e);
    Zip().error_fini(&e);
    return f;
}

std::string Quoted(const std::string& s) { return "'" + s + "'"; }

struct Marked {
    zip_uint64_t index;
    std::string name;  // printable, for texts only
    std::string output;
};

struct Staged {
    std::string temp;
    std::string output;
    int entries = 0;  // marked entries unpacked into temp, the last one kept
};

// What is needed to run one archive through the steps; the two public
// functions differ only in which entries they take and where they put them.
class ArchiveJob {
public:
    ArchiveJob(const std::string& archive, IUpdateProgress& progress, uint64_t maxEntryBytes,
               uint64_t maxTotalBytes)
        : archive_(archive), progress_(progress), max_(maxEntryBytes), maxTotal_(maxTotalBytes) {}
    ~ArchiveJob() {
        DropStaged();
        if (zip_) Zip().discard(zip_);
    }
    ArchiveJob(const ArchiveJob&) = delete;
    ArchiveJob& operator=(const ArchiveJob&) = delete;

    // outputFor: the output path of an entry (by its raw name), or empty
    // to leave the entry alone. markText: what "Marking File" names.
    ArchiveResult Run(const std::function<std::string(std::string_view)>& outputFor,
                      const std::string& markText) {
        progress_.Status("SysUpd:  Opening Archive '" + archive_ + "'...");
        progress_.Progress(0);
        if (!Open()) return result_;
        if (!Mark(outputFor, markText)) return result_;

        progress_.Status("SysUpd:  Extracting Files...");
        for (const Marked& m : marked_) {
            if (Failure f = ExtractEntry(m); f.code != 0) {
                progress_.Status("SysUpd:  Error Extracting Files -- " + f.text + " [" +
                                 std::to_string(f.code) + "]");
                return Fail(f, "cannot extract " + Quoted(m.name) + " from archive " +
                                   Quoted(archive_) + ": " + f.text);
            }
        }
        Close();

        // Everything came out whole; only now do the outputs change.
        Failure renameFailure;
        std::string failedOutput;
        for (Staged& s : staged_) {
            if (std::rename(s.temp.c_str(), s.output.c_str()) == 0) {
                s.temp.clear();
                result_.extracted += s.entries;
            } else if (renameFailure.code == 0) {
                renameFailure = SystemFailure(ZIP_ER_RENAME, errno);
                failedOutput = s.output;
            }
        }
        DropStaged();
        if (result_.extracted != result_.marked) {
            progress_.Status("SysUpd:  Only " + std::to_string(result_.extracted) + " Of " +
                             std::to_string(result_.marked) + " Files Extracted.");
            return Fail(renameFailure,
                        "cannot write " + Quoted(failedOutput) + ": " + renameFailure.text);
        }

        progress_.Status("SysUpd:  Removing Archive '" + archive_ + "'...");
        if (::unlink(archive_.c_str()) != 0 && errno != ENOENT) {
            // The files are in place, which is what counts; a leftover
            // archive is only clutter, but say so.
            result_.error = "cannot remove archive " + Quoted(archive_) + ": " + strerror(errno);
        }
        progress_.Status("SysUpd:  " + std::to_string(result_.extracted) + " Files Extracted.");
        progress_.Progress(0);
        result_.ok = true;
        return result_;
    }

    ArchiveResult FailMarking(const Failure& f, const std::string& why) {
        progress_.Status("SysUpd:  Opening Archive '" + archive_ + "'...");
        progress_.Progress(0);
        progress_.Status("SysUpd:  Error Marking Files -- " + f.text + " [" +
                         std::to_string(f.code) + "]");
        return Fail(f, why);
    }

private:
    ArchiveResult& Fail(const Failure& f, std::string why) {
        result_.ok = false;
        result_.code = f.code;
        result_.error = std::move(why);
        return result_;
    }

    bool Open() {
        progress_.Status("Opening " + archive_);
        progress_.Status("Reading directory");
        zip_error_t err;
        Zip().error_init(&err);
        // Through a file source so that a missing or unreadable file comes
        // back with the system's reason, not only "Can't open file".
        zip_source_t* src = Zip().source_file_create(archive_.c_str(), 0, -1, &err);
        if (src) {
            // Read-only. No strict consistency check: it refuses archives
            // that common zip writers make (local headers that differ in
            // harmless fields from the directory). Damage still fails: a
            // broken directory here, a broken entry by its CRC on
            // extraction, before any output file is touched.
            zip_ = Zip().open_from_source(src, ZIP_RDONLY, &err);
            if (!zip_) Zip().source_free(src);
        }
        if (!zip_) {
            Failure f = ZipFailure(&err);
            Zip().error_fini(&err);
            progress_.Status("SysUpd:  Error Reading Directory -- " + f.text + " [" +
                             std::to_string(f.code) + "]");
            Fail(f, "cannot read the directory of archive " + Quoted(archive_) + ": " + f.text);
            return false;
        }
        Zip().error_fini(&err);
        progress_.Status("Done");
        return true;
    }

    void Close() {
        if (!zip_) return;
        progress_.Status("Closing " + archive_);
        Zip().discard(zip_);  // opened read-only: nothing to write back
        zip_ = nullptr;
        progress_.Status("Done");
    }

    bool Mark(const std::function<std::string(std::string_view)>& outputFor,
              const std::string& markText) {
        zip_int64_t count = Zip().get_num_entries(zip_, 0);
        for (zip_int64_t i = 0; i < count; ++i) {
            zip_uint64_t index = static_cast<zip_uint64_t>(i);
            const char* raw = Zip().get_name(zip_, index, ZIP_FL_ENC_RAW);
            if (!raw) {
                Failure f = ZipFailure(Zip().get_error(zip_));
                progress_.Status("SysUpd:  Error Marking Files -- " + f.text + " [" +
                                 std::to_string(f.code) + "]");
                Fail(f, "cannot read entry " + std::to_string(i) + " of archive " +
                            Quoted(archive_) + ": " + f.text);
                return false;
            }
            std::string output = outputFor(raw);
            if (output.empty()) continue;
            const char* shown = Zip().get_name(zip_, index, ZIP_FL_ENC_GUESS);
            marked_.push_back({index, Printable(shown ? shown : raw), std::move(output)});
            result_.marked = static_cast<int>(marked_.size());
            progress_.Status("SysUpd:  Marking File (" + std::to_string(result_.marked) + ") '" +
                             markText + "'...");
        }
        return true;
    }

    Failure TooLarge(const Marked& m, const std::string& why) {
        return {kArchiveEntryTooLarge, "entry " + Quoted(m.name) + " " + why};
    }

    // Unpacks one entry into a new temporary file beside its output.
    Failure ExtractEntry(const Marked& m) {
        progress_.Status("Extracting " + m.name);
        zip_stat_t st;
        Zip().stat_init(&st);
        if (Zip().stat_index(zip_, m.index, 0, &st) != 0) return ZipFailure(Zip().get_error(zip_));
        const bool sizeKnown = (st.valid & ZIP_STAT_SIZE) != 0;
        if (sizeKnown && st.size > max_)
            return TooLarge(m, "is " + std::to_string(st.size) + " bytes, more than the limit of " +
                                   std::to_string(max_) + " bytes");

        zip_file_t* file = Zip().fopen_index(zip_, m.index, 0);
        if (!file) return ZipFailure(Zip().get_error(zip_));
        Failure f = CopyOut(m, file, sizeKnown ? st.size : 0, sizeKnown);
        // Closing checks nothing that reading did not; its result only
        // matters when everything else went well.
        int closeRc = Zip().fclose(file);
        if (f.code == 0 && closeRc != 0) {
            zip_error_t e;
            Zip().error_init_with_code(&e, closeRc);
            f = ZipFailure(&e);
            Zip().error_fini(&e);
        }
        if (f.code == 0) progress_.Status("Done");
        return f;
    }

    Failure CopyOut(const Marked& m, zip_file_t* file, zip_uint64_t size, bool sizeKnown) {
        int fd = -1;
        Staged* staged = nullptr;
        for (Staged& s : staged_)
            if (s.output == m.output) staged = &s;
        if (staged) {
            // A later entry for the same output replaces the earlier one in
            // its staging file: one entry's worth on disk, however many.
            fd = ::open(staged->temp.c_str(), O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC);
            if (fd < 0) return SystemFailure(ZIP_ER_TMPOPEN, errno);
        } else {
            std::filesystem::path out(m.output);
            std::string dir = out.parent_path().string();
            if (dir.empty()) dir = ".";
            const std::string pattern = dir + "/." + out.filename().string() + ".zk40-XXXXXX";
            std::string tmpl = pattern;
            fd = ::mkstemp(tmpl.data());
            if (fd < 0 && errno == ENOENT && MakeDirs(dir)) {
                tmpl = pattern;  // a failed mkstemp leaves the template spent
                fd = ::mkstemp(tmpl.data());
            }
            if (fd < 0) return SystemFailure(ZIP_ER_TMPOPEN, errno);
            staged_.push_back({tmpl, m.output});
            staged = &staged_.back();
            // A replaced file keeps its permissions; a new one stays private.
            struct stat old {};
            if (::stat(m.output.c_str(), &old) == 0) ::fchmod(fd, old.st_mode & 07777);
        }
        ++staged->entries;

        Failure f;
        zip_uint64_t total = 0;
        int shown = -1;
        char buf[64 * 1024];
        for (;;) {
            zip_int64_t n = Zip().fread(file, buf, sizeof buf);
            if (n < 0) {
                f = ZipFailure(Zip().file_get_error(file));
                break;
            }
            if (n == 0) break;
            total += static_cast<zip_uint64_t>(n);
            unpacked_ += static_cast<uint64_t>(n);
            if (unpacked_ > maxTotal_) {
                f = {kArchiveEntryTooLarge, "archive " + Quoted(archive_) +
                                                " unpacks to more than the limit of " +
                                                std::to_string(maxTotal_) + " bytes in all"};
                break;
            }
            // The declared size can lie; what matters is what comes out.
            if (total > max_) {
                f = TooLarge(
                    m, "unpacks to more than the limit of " + std::to_string(max_) + " bytes");
                break;
            }
            if (sizeKnown && total > size) {
                f = TooLarge(
                    m, "unpacks to more than its declared " + std::to_string(size) + " bytes");
                break;
            }
            if (!WriteAll(fd, buf, static_cast<size_t>(n))) {
                f = SystemFailure(ZIP_ER_WRITE, errno);
                break;
            }
            int pct = sizeKnown && size > 0 ? static_cast<int>(total * 100 / size) : 100;
            if (pct != shown) {
                shown = pct;
                progress_.Progress(pct);
            }
        }
        if (f.code == 0 && sizeKnown && total < size) {
            zip_error_t e;
            Zip().error_init_with_code(&e, ZIP_ER_EOF);
            f = ZipFailure(&e);
            Zip().error_fini(&e);
        }
        // The rename is only as good as the data under it.
        if (f.code == 0 && ::fsync(fd) != 0) f = SystemFailure(ZIP_ER_WRITE, errno);
        if (::close(fd) != 0 && f.code == 0) f = SystemFailure(ZIP_ER_WRITE, errno);
        return f;
    }

    static bool WriteAll(int fd, const char* p, size_t n) {
        while (n > 0) {
            ssize_t w = ::write(fd, p, n);
            if (w < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            p += w;
            n -= static_cast<size_t>(w);
        }
        return true;
    }

    void DropStaged() {
        for (const Staged& s : staged_)
            if (!s.temp.empty()) ::unlink(s.temp.c_str());
        staged_.clear();
    }

    std::string archive_;
    IUpdateProgress& progress_;
    uint64_t max_;
    uint64_t maxTotal_;
    uint64_t unpacked_ = 0;
    zip_t* zip_ = nullptr;
    std::vector<Marked> marked_;
    std::vector<Staged> staged_;
    ArchiveResult result_;
};

}  // namespace

std::string ModuleHelpFilePath(const std::string& moduleFilePath, const std::string& helpDir) {
    if (helpDir.empty()) return {};
    std::string path = helpDir;
    if (path.back() != '/') path += '/';
    return path + std::filesystem::path(moduleFilePath).stem().string() + ".hlp";
}

ArchiveResult ExtractModuleArchive(const std::string& archivePath,
                                   const std::string& moduleFilePath, const std::string& helpDir,
                                   IUpdateProgress& progress, uint64_t maxEntryBytes,
                                   uint64_t maxTotalBytes) {
    ArchiveJob job(archivePath, progress, maxEntryBytes, maxTotalBytes);
    if (std::string why; !LoadZip(&why))
        return job.FailMarking({-ZIP_ER_INTERNAL, why},
                               "cannot extract archive " + Quoted(archivePath) + ": " + why);
    if (moduleFilePath.empty() || moduleFilePath.back() == '/') {
        zip_error_t e;
        Zip().error_init_with_code(&e, ZIP_ER_INVAL);
        Failure f = ZipFailure(&e);
        Zip().error_fini(&e);
        return job.FailMarking(
            f, "no module file path to extract archive " + Quoted(archivePath) + " to");
    }
    const std::string helpFile = ModuleHelpFilePath(moduleFilePath, helpDir);
    return job.Run(
        [&](std::string_view name) -> std::string {
            if (strcasecmp(std::string(name).c_str(), "ACTION.DLL") == 0) return moduleFilePath;
            if (strcasecmp(std::string(name).c_str(), "ACTION.HLP") == 0) return helpFile;
            return {};
        },
        moduleFilePath);
}

ArchiveResult ExtractSingleFileArchive(const std::string& archivePath,
                                       const std::string& destination, IUpdateProgress& progress,
                                       uint64_t maxEntryBytes, uint64_t maxTotalBytes) {
    ArchiveJob job(archivePath, progress, maxEntryBytes, maxTotalBytes);
    if (std::string why; !LoadZip(&why))
        return job.FailMarking({-ZIP_ER_INTERNAL, why},
                               "cannot extract archive " + Quoted(archivePath) + ": " + why);
    if (destination.empty() || destination.back() == '/') {
        zip_error_t e;
        Zip().error_init_with_code(&e, ZIP_ER_INVAL);
        Failure f = ZipFailure(&e);
        Zip().error_fini(&e);
        return job.FailMarking(f,
                               "no destination to extract archive " + Quoted(archivePath) + " to");
    }
    return job.Run(
        [&](std::string_view name) -> std::string {
            // Folders carry no data.
            return !name.empty() && name.back() == '/' ? std::string() : destination;
        },
        destination);
}

}  // namespace zk40
