#include "store/Trace.h"

#include <fcntl.h>
#include <unistd.h>

#include <QByteArray>
#include <QMessageAuthenticationCode>
#include <atomic>
#include <cstring>
#include <mutex>

#include "store/RegValue.h"
#include "store/Store.h"

namespace zk40 {

namespace trace {

namespace {
std::atomic<uint32_t> gFlags{0};
std::atomic<const IClock*> gClock{nullptr};
std::mutex gFileMutex;
std::string gFile;

const char* BaseName(const char* path) {
    const char* slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}
}  // namespace

uint32_t FlagsInEffect() { return gFlags.load(std::memory_order_relaxed); }
void SetFlagsInEffect(uint32_t flags) { gFlags.store(flags, std::memory_order_relaxed); }

void SetFile(const std::string& path) {
    std::lock_guard<std::mutex> lock(gFileMutex);
    gFile = path;
}

const std::string& File() { return gFile; }

void SetClock(const IClock* clock) { gClock.store(clock); }

void WriteAlways(const char* sourceFile, int line, std::string_view text) {
    std::string path;
    {
        std::lock_guard<std::mutex> lock(gFileMutex);
        path = gFile;
    }
    if (path.empty()) return;
    const IClock* clock = gClock.load();
    StoreTime now = clock ? clock->Now() : CurrentStoreTime();
    std::string out = FormatStoreTime(now);
    out += ' ';
    out += BaseName(sourceFile);
    out += '(';
    out += std::to_string(line);
    out += "): ";
    out.append(text);
    out += '\n';
    // One write() on an O_APPEND descriptor: lines from two threads never mix.
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return;
    ssize_t ignored = ::write(fd, out.data(), out.size());
    (void)ignored;
    ::close(fd);
}

void Write(uint32_t mask, const char* sourceFile, int line, std::string_view text) {
    if ((FlagsInEffect() & mask) == 0) return;
    WriteAlways(sourceFile, line, text);
}

uint32_t LoadFlags(const TRegKey& base, StoreTime now) {
    uint32_t current = FlagsInEffect();
    TRegDword debugFlags(base, "DebugFlags", current);
    TRegString debugCode(base, "DebugCode", "");
    uint32_t effect = debugFlags.Get() & debugcode::PermittedFlags(debugCode.Get(), now, current);
    debugFlags = effect;
    SetFlagsInEffect(effect);
    return effect;
}

}  // namespace trace

namespace debugcode {

namespace {
// Crockford's base-32 alphabet: no I, L, O or U, so a code read out over the
// telephone cannot be mistaken.
const char kAlphabet[] = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";

int SymbolValue(char c) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c == 'O') c = '0';
    if (c == 'I' || c == 'L') c = '1';
    const char* p = strchr(kAlphabet, c);
    return c && p ? static_cast<int>(p - kAlphabet) : -1;
}

// Layout of the 105 bits: 32 bits of mask, 16 bits of day number, and the
// first 57 bits of an HMAC over those six bytes.
const QByteArray& Secret() {
    static const QByteArray k("Zarkell'40 support code seal / DX14 / 1999-2026");
    return k;
}

uint64_t Seal(uint32_t mask, uint16_t day) {
    QByteArray msg(6, 0);
    for (int i = 0; i < 4; ++i) msg[i] = static_cast<char>((mask >> (24 - 8 * i)) & 0xff);
    msg[4] = static_cast<char>(day >> 8);
    msg[5] = static_cast<char>(day & 0xff);
    QByteArray mac = QMessageAuthenticationCode::hash(msg, Secret(), QCryptographicHash::Sha256);
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | static_cast<unsigned char>(mac[i]);
    return v >> 7;  // 57 bits
}
}  // namespace

std::string Issue(uint32_t permittedMask, StoreTime lastValidDay) {
    uint16_t day = static_cast<uint16_t>(DayOf(lastValidDay));
    uint64_t seal = Seal(permittedMask, day);
    // 105 bits as a big number: hi holds the top 41 bits, lo the low 64.
    uint64_t hi = (static_cast<uint64_t>(permittedMask) << 9) | (day >> 7);
    uint64_t lo = (static_cast<uint64_t>(day & 0x7f) << 57) | seal;
    std::string out(kLength, '0');
    for (size_t i = kLength; i-- > 0;) {
        out[i] = kAlphabet[lo & 31];
        lo = (lo >> 5) | ((hi & 31) << 59);
        hi >>= 5;
    }
    return out;
}

Decoded Decode(std::string_view code) {
    Decoded d;
    if (code.size() != kLength) return d;
    uint64_t hi = 0, lo = 0;
    for (char c : code) {
        int v = SymbolValue(c);
        if (v < 0) return d;
        hi = (hi << 5) | (lo >> 59);
        lo = (lo << 5) | static_cast<uint64_t>(v);
    }
    if (hi >> 41) return d;
    uint32_t mask = static_cast<uint32_t>(hi >> 9);
    uint16_t day = static_cast<uint16_t>(((hi & 0x1ff) << 7) | (lo >> 57));
    uint64_t seal = lo & ((uint64_t(1) << 57) - 1);
    if (seal != Seal(mask, day)) return d;
    d.valid = true;
    d.mask = mask;
    d.lastValidDay = static_cast<StoreTime>(day) * kSecondsPerDay;
    return d;
}

uint32_t PermittedFlags(std::string_view code, StoreTime now, uint32_t current) {
    Decoded d = Decode(code);
    if (!d.valid) return current;
    return DayOf(now) <= DayOf(d.lastValidDay) ? d.mask : 0;
}

}  // namespace debugcode

}  // namespace zk40
