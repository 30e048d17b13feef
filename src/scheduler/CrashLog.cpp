#include "scheduler/CrashLog.h"

#include <fcntl.h>
#include <unistd.h>

namespace zk40 {

std::string FormatCrashBlock(const TRegKey& crashJobs, StoreTime now, StoreTime crashedRunStart) {
    uint32_t n = crashJobs.CurrentSubKeyCount();
    std::string out;
    out += FormatStoreTime(now) + "\n";
    out += "LASTRUN:" + FormatStoreTime(crashedRunStart) + "\n";
    out += "RUNJOBCNT:" + std::to_string(n) + "\n";
    for (uint32_t i = 0; i < n; ++i) {
        std::string name;
        if (crashJobs.EnumSubKey(i, &name, 129) != kRegOk) continue;
        TRegKey r(crashJobs, name, false);
        out += "\n";
        out += "JOB-" + std::to_string(i + 1) + ":" + name + "\n";
        out += "STARTTIME:" + FormatStoreTime(r.GetDword("StartTime", 0)) + "\n";
        out += "NAME:" + r.GetString("Name") + "\n";
        out += "ACTION-VID:" + r.GetString("Action-VID") + "\n";
        out += "ACTION-MID:" + r.GetString("Action-MID") + "\n";
        out += "ACTION-AID:" + r.GetString("Action-AID") + "\n";
        out += "ACTION-NAM:" + r.GetString("Action-NAM") + "\n";
        out += "\n";
        out += "ACTION-ST1:" + r.GetString("Action-ST1") + "\n";
        out += "ACTION-ST2:" + r.GetString("Action-ST2") + "\n";
        out += "ACTION-PER:" + std::to_string(r.GetDword("Action-PER", 0)) + "\n";
    }
    out += "END-OF-CRASH:\n\n";
    return out;
}

bool WriteCrashLog(const std::string& path, const TRegKey& crashJobs, StoreTime now,
                   StoreTime crashedRunStart) {
    std::string block = FormatCrashBlock(crashJobs, now, crashedRunStart);
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    ssize_t n = ::write(fd, block.data(), block.size());
    ::close(fd);
    return n == static_cast<ssize_t>(block.size());
}

}  // namespace zk40
