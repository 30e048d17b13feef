#include "support/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace zk40 {

bool ReplaceFileAtomically(const std::string& path, const std::string& text, unsigned mode,
                           std::string* error) {
    std::string tmp = path + ".XXXXXX";
    int fd = mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0) {
        *error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    auto fail = [&](const std::string& what) {
        int saved = errno;
        if (fd >= 0) close(fd);
        unlink(tmp.c_str());
        *error = "cannot write " + what + ": " + std::strerror(saved);
        return false;
    };
    if (fchmod(fd, mode) != 0) return fail(tmp);
    for (size_t done = 0; done < text.size();) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return fail(tmp);
        }
        done += static_cast<size_t>(n);
    }
    if (fsync(fd) != 0) return fail(tmp);
    int closed = close(fd);
    fd = -1;
    if (closed != 0) return fail(tmp);
    if (rename(tmp.c_str(), path.c_str()) != 0) return fail(path);
    return true;
}

}  // namespace zk40
