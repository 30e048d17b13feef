#include "update/Fetch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "store/AppPaths.h"
#include "update/Archive.h"
#include "update/Http.h"

namespace zk40 {

namespace {

using Clock = std::chrono::steady_clock;

const std::string kStatusPrefix = "SysUpd:  ";
constexpr int kReadPiece = 8192;
// An entry of a single-file download is a configuration, a data file or a
// program; nothing we publish comes near this, and a hostile archive that
// claims (or inflates to) more is refused before it fills the disk.
constexpr long long kMaxEntryBytes = 512LL << 20;

__attribute__((format(printf, 1, 2))) std::string Format(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    va_list again;
    va_copy(again, args);
    int n = std::vsnprintf(nullptr, 0, fmt, args);
    va_end(args);
    std::string out(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0) std::vsnprintf(out.data(), out.size() + 1, fmt, again);
    va_end(again);
    return out;
}

long long MsSince(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

std::string Seconds(int ms) { return Format("%g s", ms / 1000.0); }

std::string SizeText(uint64_t bytes) {
    if (bytes >= (1u << 20) && bytes % (1u << 20) == 0)
        return std::to_string(bytes >> 20) + " MiB";
    return std::to_string(bytes) + " bytes";
}

// "the configuration limit of 16 MiB"
std::string LimitText(const FetchOptions& opt) {
    return "the " + opt.limitName + " of " + SizeText(opt.maxBytes);
}

std::string RateText(double rate) {
    if (rate >= 1048576.0) return Format("%.2fM bytes/sec", rate / 1048576.0);
    if (rate >= 1024.0) return Format("%.2fK bytes/sec", rate / 1024.0);
    return Format("%d bytes/sec", static_cast<int>(rate));
}

// Shows a failure on the status display and hands the same reason to the
// caller.
class Outcome {
public:
    Outcome(IUpdateProgress& progress, std::string* error) : progress_(progress), error_(error) {}
    bool Fail(const std::string& text) { return Fail(kStatusPrefix + text, text); }
    bool Fail(const std::string& statusText, const std::string& reason) {
        progress_.Status(statusText);
        if (error_) *error_ = reason;
        return false;
    }

private:
    IUpdateProgress& progress_;
    std::string* error_;
};

bool StopRequested(const FetchOptions& opt) {
    return opt.stop && opt.stop->load(std::memory_order_acquire);
}

class HandleCloser {
public:
    explicit HandleCloser(int h) : h_(h) {}
    ~HandleCloser() { _HTTP_Close(h_); }
    HandleCloser(const HandleCloser&) = delete;
    HandleCloser& operator=(const HandleCloser&) = delete;

private:
    int h_;
};

bool HttpTransfer(const std::string& scheme, const std::string& hostAndPath, bool secure,
                  const std::string& destination, IUpdateProgress& progress,
                  const FetchOptions& opt, std::string* error) {
    Outcome out(progress, error);
    const std::string url = scheme + hostAndPath;
    const std::string host = hostAndPath.substr(0, hostAndPath.find('/'));
    auto stopped = [&] {
        progress.TimeRemaining(-1);
        return out.Fail("Download of " + url + " stopped.");
    };

    progress.Status("SysUpd:  Opening...");
    progress.TimeRemaining(-1);
    progress.Progress(0);
    if (StopRequested(opt)) return stopped();
    int h = _HTTP_Open(hostAndPath.c_str(), secure ? 1 : 0);
    if (h <= 0) return out.Fail("Cannot open " + url + ": " + HttpOpenErrorText());
    HandleCloser closer(h);

    const auto headerStart = Clock::now();
    int shown = 1;
    for (;;) {
        if (StopRequested(opt)) return stopped();
        int r = _HTTP_ReadHdr(h);
        if (StopRequested(opt)) return stopped();
        if (r == 0) break;
        if (r != shown &&
            (r == kHttpResolving || r == kHttpConnecting || r == kHttpWaitingForResponse)) {
            shown = r;
            if (r == kHttpResolving) {
                progress.Status("SysUpd:  Waiting for IP resolution...");
                progress.Progress(0);
            } else if (r == kHttpConnecting) {
                progress.Status("SysUpd:  Waiting for connection...");
                progress.Progress(5);
            } else {
                progress.Status("SysUpd:  Waiting for response...");
                progress.Progress(10);
            }
        } else if (r < 0 && r != kHttpResolving && r != kHttpConnecting &&
                   r != kHttpWaitingForResponse) {
            progress.Progress(0);
            return out.Fail(HttpFailureText(h));
        }
        if (MsSince(headerStart) > opt.headerTimeoutMs) {
            progress.Progress(0);
            return out.Fail("SysUpd:  Timeout...", "No complete answer from " + host + " within " +
                                                       Seconds(opt.headerTimeoutMs));
        }
        HttpWait(h, opt.pollMs);
    }

    const long long length = _HTTP_Length(h);
    if (length > 0 && static_cast<uint64_t>(length) > opt.maxBytes)
        return out.Fail(Format("Download of %s refused: it is %lld bytes, more than ", url.c_str(),
                               length) +
                        LimitText(opt));
    // Callers hand a fresh file; appending keeps whatever a caller put there.
    // Never through a link planted under the destination's name.
    int fd = ::open(destination.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC,
                    0600);
    FILE* file = fd < 0 ? nullptr : ::fdopen(fd, "ab");
    if (!file) {
        int e = errno;
        if (fd >= 0) ::close(fd);
        return out.Fail("Cannot write " + destination + ": " + std::strerror(e));
    }
    std::vector<char> fileBuffer(1 << 16);
    std::setvbuf(file, fileBuffer.data(), _IOFBF, fileBuffer.size());
    auto closeFile = [&]() -> int {
        if (!file) return 0;
        int rc = std::fclose(file);
        file = nullptr;
        return rc == 0 ? 0 : errno;
    };

    // The rate clock starts a second early so the first rate divides by a
    // second, never by zero.
    const auto rateStart = Clock::now() - std::chrono::seconds(1);
    auto rate = [&](long long got) {
        double secs = std::chrono::duration<double>(Clock::now() - rateStart).count();
        return static_cast<double>(got) / secs;
    };
    auto lastData = Clock::now();
    auto lastShown = Clock::now() - std::chrono::hours(1);
    long long got = 0;
    char piece[kReadPiece];
    auto fail = [&](const std::string& text) {
        closeFile();
        progress.TimeRemaining(-1);
        return out.Fail(text);
    };

    for (;;) {
        if (MsSince(lastShown) >= opt.pollMs) {
            lastShown = Clock::now();
            double r = rate(got);
            std::string rateText = RateText(r);
            if (length > 0) {
                double done = static_cast<double>(got) / static_cast<double>(length);
                progress.Status(Format("SysUpd:  Reading %5.02f%% (%lld of %lld bytes) [%s]...",
                                       100.0 * done, got, length, rateText.c_str()));
                progress.Progress(10 + static_cast<int>(80.0 * done));
                if (static_cast<long long>(r) > 0)
                    progress.TimeRemaining(static_cast<int>(static_cast<double>(length - got) / r));
            } else {
                progress.Status(
                    Format("SysUpd:  Reading (%lld bytes) [%s]...", got, rateText.c_str()));
                progress.Progress(100);
            }
        }
        if (MsSince(lastData) > opt.stallTimeoutMs) {
            std::string received =
                length > 0 ? Format("%lld of %lld bytes", got, length) : Format("%lld bytes", got);
            return fail("Timeout... no data from " + host + " for more than " +
                        Seconds(opt.stallTimeoutMs) + " (" + received + " received)");
        }
        if (StopRequested(opt)) {
            closeFile();
            return stopped();
        }
        int n = _HTTP_Read(h, piece, kReadPiece);
        if (StopRequested(opt)) {
            closeFile();
            return stopped();
        }
        if (n == kHttpNoDataYet) {
            HttpWait(h, opt.pollMs);
            continue;
        }
        if (n < 0) {
            std::string received = length > 0
                                       ? Format(" (%lld of %lld bytes received)", got, length)
                                       : Format(" (%lld bytes received)", got);
            return fail(HttpFailureText(h) + received);
        }
        if (n == 0) break;
        if (static_cast<uint64_t>(got) + static_cast<uint64_t>(n) > opt.maxBytes)
            return fail("Download of " + url + " stopped: it is larger than " + LimitText(opt));
        if (std::fwrite(piece, 1, static_cast<size_t>(n), file) != static_cast<size_t>(n)) {
            int e = errno;
            return fail("Cannot write " + destination + ": " + std::strerror(e));
        }
        got += n;
        lastData = Clock::now();
        if (length > 0 && got >= length) break;
    }
    if (int e = closeFile(); e != 0)
        return fail("Cannot write " + destination + ": " + std::strerror(e));
    progress.TimeRemaining(-1);
    if (length > 0 && got < length)
        return out.Fail(Format("Download from %s ended early: %lld of %lld bytes received",
                               host.c_str(), got, length));
    std::string rateText = RateText(rate(got));
    if (length > 0)
        progress.Status(Format("SysUpd:  Done reading %5.02f%% (%lld of %lld bytes) [%s]...", 100.0,
                               got, length, rateText.c_str()));
    else
        progress.Status(
            Format("SysUpd:  Done reading (%lld bytes) [%s]...", got, rateText.c_str()));
    progress.Progress(100);
    return true;
}

bool WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool CopyLocalFile(const std::string& source, const std::string& destination,
                   IUpdateProgress& progress, const FetchOptions& opt, std::string* error) {
    Outcome out(progress, error);
    if (source.empty()) return out.Fail("Cannot copy: the file:// address names no file");
    // Non-blocking, so that opening a named pipe cannot hang the worker; a
    // pipe, device or folder is refused right after.
    int in = ::open(source.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (in < 0) {
        int e = errno;
        return out.Fail("Cannot read " + source + ": " + std::strerror(e));
    }
    struct stat st {};
    if (::fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(in);
        return out.Fail("Cannot read " + source + ": it is not a regular file");
    }
    if (static_cast<uint64_t>(st.st_size) > opt.maxBytes) {
        ::close(in);
        return out.Fail("Cannot copy " + source + ": it is " + std::to_string(st.st_size) +
                        " bytes, more than " + LimitText(opt));
    }
    int dst = ::open(destination.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                     0600);
    if (dst < 0) {
        int e = errno;
        ::close(in);
        return out.Fail("Cannot write " + destination + ": " + std::strerror(e));
    }
    std::vector<char> buf(1 << 16);
    std::string failure;
    uint64_t copied = 0;
    for (;;) {
        if (StopRequested(opt)) {
            failure = "Copy of " + source + " stopped.";
            break;
        }
        ssize_t n = ::read(in, buf.data(), buf.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            failure = "Cannot read " + source + ": " + std::strerror(errno);
            break;
        }
        if (n == 0) break;
        // The file may grow while we copy it.
        copied += static_cast<uint64_t>(n);
        if (copied > opt.maxBytes) {
            failure = "Copy of " + source + " stopped: it is larger than " + LimitText(opt);
            break;
        }
        if (!WriteAll(dst, buf.data(), static_cast<size_t>(n))) {
            failure = "Cannot write " + destination + ": " + std::strerror(errno);
            break;
        }
    }
    ::close(in);
    if (::close(dst) != 0 && failure.empty())
        failure = "Cannot write " + destination + ": " + std::strerror(errno);
    if (!failure.empty()) {
        // A partial copy is no copy.
        int ignored = ::truncate(destination.c_str(), 0);
        (void)ignored;
        return out.Fail(failure);
    }
    return true;
}

// Unpacks the single-file archive of a zipped download into destination
// (the last of several entries wins). The archive's name is derived, not
// handed out, so nobody else would clean it up: it goes on failure too.
bool UnpackSingleFile(const std::string& archive, const std::string& destination,
                      IUpdateProgress& progress, const FetchOptions& opt, std::string* error) {
    ArchiveResult r =
        ExtractSingleFileArchive(archive, destination, progress, opt.maxBytes, opt.maxBytes);
    if (r.ok && r.extracted > 0) return true;
    ::unlink(archive.c_str());
    if (!r.ok && r.code == kArchiveEntryTooLarge)
        return Outcome(progress, error)
            .Fail("Archive '" + archive + "' refused: it unpacks to more than " + LimitText(opt));
    if (!r.ok) {
        if (error) *error = r.error;
        return false;
    }
    return Outcome(progress, error).Fail("Archive '" + archive + "' holds no files.");
}

bool ZippedTransfer(const std::string& scheme, const std::string& hostAndPath, bool secure,
                    const std::string& destination, IUpdateProgress& progress,
                    const FetchOptions& opt, std::string* error) {
    std::string archive = ReplaceExtension(destination, ".ZKZ");
    // Bytes left by an earlier try under the same name would be appended to
    // and spoil the archive.
    ::unlink(archive.c_str());
    if (!HttpTransfer(scheme, hostAndPath, secure, archive, progress, opt, error)) {
        ::unlink(archive.c_str());
        return false;
    }
    return UnpackSingleFile(archive, destination, progress, opt, error);
}

}  // namespace

std::string ReplaceExtension(const std::string& path, const std::string& ext) {
    size_t slash = path.rfind('/');
    size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    size_t dot = path.rfind('.');
    if (dot != std::string::npos && dot > nameStart) return path.substr(0, dot) + ext;
    return path + ext;
}

bool FetchUrl(const std::string& url, const std::string& destination, IUpdateProgress& progress,
              const FetchOptions& opt, std::string* error) {
    std::string u = url;
    if (size_t at = u.find("[CURVER]"); at != std::string::npos)
        u.replace(at, 8, std::to_string(opt.buildNumber));

    auto rest = [&](size_t prefix) { return u.substr(prefix); };
    if (u.starts_with("file://")) {
        std::string path = rest(7);
        // Addresses written for the old platform name a drive as "C|/dir/file".
        // There are no drive letters here: the letter and "|" are dropped and
        // the rest is taken as the absolute path "/dir/file".
        if (path.size() >= 2 && path[1] == '|') path.erase(0, 2);
        if (!opt.allowLocalFiles)
            return Outcome(progress, error)
                .Fail("Cannot fetch " + u +
                      ": only a local configuration may name local files (file://)");
        return CopyLocalFile(path, destination, progress, opt, error);
    }
    if (u.starts_with("http://"))
        return HttpTransfer("http://", rest(7), false, destination, progress, opt, error);
    if (u.starts_with("https://"))
        return HttpTransfer("https://", rest(8), true, destination, progress, opt, error);
    if (u.starts_with("httpz://"))
        return ZippedTransfer("http://", rest(8), false, destination, progress, opt, error);
    if (u.starts_with("httpsz://"))
        return ZippedTransfer("https://", rest(9), true, destination, progress, opt, error);

    Outcome out(progress, error);
    if (u.starts_with("ftp://"))
        return out.Fail("Cannot fetch " + u + ": ftp:// downloads are not supported");
    return out.Fail(
        "Cannot fetch " + u +
        ": unsupported address (use http://, https://, httpz://, httpsz:// or file://)");
}

std::string PrivateTempDir(std::string* error) {
    std::string dir = AppPaths::FromEnvironment().stateDir;
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    dir += "/tmp";
    auto fail = [&](const std::string& why) {
        if (error) *error = "Cannot use the download folder " + dir + ": " + why;
        return std::string();
    };
    if (!MakeDirs(dir.substr(0, dir.rfind('/')))) return fail(std::strerror(errno));
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return fail(std::strerror(errno));
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0) return fail(std::strerror(errno));
    if (!S_ISDIR(st.st_mode)) return fail("it is not a folder");
    if (st.st_uid != ::geteuid()) return fail("it belongs to another user");
    if ((st.st_mode & 07777) != 0700 && ::chmod(dir.c_str(), 0700) != 0)
        return fail(std::strerror(errno));
    return dir;
}

std::string MakeTempFile(const std::string& tempDir, std::string* error,
                         const std::string& suffix) {
    std::string dir = tempDir;
    if (dir.empty()) {
        dir = PrivateTempDir(error);
        if (dir.empty()) return "";
    }
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    std::string name = (dir == "/" ? "" : dir) + "/ZKTTXXXXXX" + suffix;
    int fd = ::mkstemps(name.data(), static_cast<int>(suffix.size()));
    if (fd < 0) {
        int e = errno;
        if (error) *error = "Cannot create a temporary file in " + dir + ": " + std::strerror(e);
        return "";
    }
    ::close(fd);
    return name;
}

bool IsPrivateTempFile(const std::string& path) {
    std::string dir = PrivateTempDir();
    if (dir.empty() || path.size() <= dir.size() + 1) return false;
    if (path.compare(0, dir.size() + 1, dir + "/") != 0) return false;
    std::string name = path.substr(dir.size() + 1);
    return name != "." && name != ".." && name.find('/') == std::string::npos;
}

}  // namespace zk40
