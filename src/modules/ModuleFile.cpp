#include "modules/ModuleFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace zk40 {

namespace {
struct Table {
    uint32_t t[256];
    Table() {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
    }
};
const Table kTable;

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

// Reads the file in the same 16,000-byte pieces the format was defined with.
bool ChecksumPrefix(int fd, uint64_t length, uint32_t* out) {
    std::vector<unsigned char> buf(16000);
    uint32_t crc = 0xFFFFFFFFu;
    uint64_t done = 0;
    if (lseek(fd, 0, SEEK_SET) != 0) return false;
    while (done < length) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(buf.size(), length - done));
        ssize_t n = ::read(fd, buf.data(), want);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        crc = ModuleChecksum(buf.data(), static_cast<size_t>(n), crc);
        done += static_cast<uint64_t>(n);
    }
    *out = crc;
    return true;
}

bool ReadTrailer(int fd, uint64_t size, unsigned char trailer[8]) {
    return pread(fd, trailer, 8, static_cast<off_t>(size - 8)) == 8;
}

uint32_t TrailerSum(const unsigned char t[8]) {
    return t[2] | (t[3] << 8) | (t[4] << 16) | (static_cast<uint32_t>(t[5]) << 24);
}

bool HasTags(const unsigned char t[8]) {
    return t[0] == 'D' && t[1] == 'X' && t[6] == '1' && t[7] == '4';
}
}  // namespace

uint32_t ModuleChecksum(const void* data, size_t size, uint32_t crc) {
    const auto* p = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < size; ++i)
        crc = kTable.t[(crc ^ p[i]) & 0xFF] ^ ((crc << 8) & 0x00FFFFFFu);
    return crc;
}

ModuleFileCheck CheckModuleFile(const std::string& path) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (fd.get() < 0 || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 8)
        return ModuleFileCheck::Unreadable;
    unsigned char t[8];
    uint64_t size = static_cast<uint64_t>(st.st_size);
    if (!ReadTrailer(fd.get(), size, t)) return ModuleFileCheck::Unreadable;
    if (!HasTags(t)) return ModuleFileCheck::Fails;
    uint32_t sum = 0;
    if (!ChecksumPrefix(fd.get(), size - 8, &sum)) return ModuleFileCheck::Unreadable;
    return sum == TrailerSum(t) ? ModuleFileCheck::Passes : ModuleFileCheck::Fails;
}

bool SignModuleFile(const std::string& path, std::string* error) {
    Fd fd(::open(path.c_str(), O_RDWR | O_CLOEXEC));
    struct stat st {};
    if (fd.get() < 0 || fstat(fd.get(), &st) != 0) {
        if (error) *error = "cannot open " + path + ": " + strerror(errno);
        return false;
    }
    uint64_t size = static_cast<uint64_t>(st.st_size);
    // Signing twice must not sign the first trailer into the file.
    if (CheckModuleFile(path) == ModuleFileCheck::Passes) size -= 8;
    uint32_t sum = 0;
    if (!ChecksumPrefix(fd.get(), size, &sum)) {
        if (error) *error = "cannot read " + path + ": " + strerror(errno);
        return false;
    }
    unsigned char t[8] = {'D',
                          'X',
                          static_cast<unsigned char>(sum & 0xff),
                          static_cast<unsigned char>((sum >> 8) & 0xff),
                          static_cast<unsigned char>((sum >> 16) & 0xff),
                          static_cast<unsigned char>(sum >> 24),
                          '1',
                          '4'};
    if (ftruncate(fd.get(), static_cast<off_t>(size)) != 0 ||
        pwrite(fd.get(), t, 8, static_cast<off_t>(size)) != 8) {
        if (error) *error = "cannot write " + path + ": " + strerror(errno);
        return false;
    }
    return true;
}

bool IsPlainFileName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

}  // namespace zk40
