#include "scheduler/CrashLog.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include "scheduler/ProcessGroups.h"

namespace zk40 {

namespace {

constexpr char kPendingValue[] = "PendingReport";

// The process groups a run record names, by value name.
std::vector<std::pair<std::string, std::string>> GroupsOf(const TRegKey& record) {
    std::vector<std::pair<std::string, std::string>> out;
    const size_t prefix = strlen(kRunRecordGroupPrefix);
    std::string name;
    for (uint32_t i = 0; record.EnumValue(i, &name) == kRegOk; ++i)
        if (name.size() > prefix && strncasecmp(name.c_str(), kRunRecordGroupPrefix, prefix) == 0)
            out.emplace_back(name, record.GetString(name));
    return out;
}

std::string FormatBlock(const TRegKey& crashJobs, StoreTime now, StoreTime crashedRunStart,
                        const std::map<std::string, std::vector<std::string>>& groupLines) {
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
        if (auto it = groupLines.find(name); it != groupLines.end())
            for (const std::string& line : it->second) out += "PROCESS-GROUP:" + line + "\n";
    }
    out += "END-OF-CRASH:\n\n";
    return out;
}

// Appends block unless the log already ends with it (it was appended just
// before the program was stopped).
bool AppendOnce(const std::string& path, const std::string& block, std::string* error) {
    int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = strerror(errno);
        return false;
    }
    struct stat st {};
    bool ok = fstat(fd, &st) == 0;
    if (ok && static_cast<size_t>(st.st_size) >= block.size()) {
        std::string tail(block.size(), '\0');
        ssize_t n = pread(fd, tail.data(), tail.size(),
                          static_cast<off_t>(static_cast<size_t>(st.st_size) - block.size()));
        if (n == static_cast<ssize_t>(tail.size()) && tail == block) {
            ::close(fd);
            return true;
        }
    }
    size_t done = 0;
    while (ok && done < block.size()) {
        ssize_t n = ::write(fd, block.data() + done, block.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            *error = n < 0 ? strerror(errno) : "nothing was written";
            ok = false;
            break;
        }
        done += static_cast<size_t>(n);
    }
    if (!ok && error->empty()) *error = strerror(errno);
    if (::close(fd) != 0 && ok) {
        *error = strerror(errno);
        ok = false;
    }
    return ok;
}

// Drops the reported records and the pending block in one commit.
void DropReported(const TRegKey& crashKey) {
    auto drop = [&] {
        crashKey.DeleteSubKeyTree("jobs");
        crashKey.DeleteValue(kPendingValue);
        return true;
    };
    if (TStore* store = crashKey.Store())
        store->Transaction(drop);
    else
        drop();
}

// Lets the tests stop the program between the steps of a report, as a
// kill at that moment would: ZK40_TEST_DIE_IN_CRASH_REPORT names the step.
void DieHereForTest(const char* step) {
    const char* at = std::getenv("ZK40_TEST_DIE_IN_CRASH_REPORT");
    if (at && strcmp(at, step) == 0) _exit(86);
}

}  // namespace

bool FinishPendingCrashReport(const std::string& logPath, const TRegKey& crashKey) {
    if (!crashKey.HasValue(kPendingValue)) return false;
    std::string error;
    // Unwritable now, it would be unwritable at every start: the records go
    // all the same, as for a log that cannot be written in the first place.
    AppendOnce(logPath, crashKey.GetString(kPendingValue), &error);
    DropReported(crashKey);
    return true;
}

CrashReport ReportCrash(const std::string& logPath, const TRegKey& crashKey, StoreTime now,
                        StoreTime crashedRunStart, int graceMs) {
    FinishPendingCrashReport(logPath, crashKey);
    CrashReport report;
    TRegKey jobs(crashKey, "jobs");
    std::map<std::string, std::vector<std::string>> groupLines;
    std::string name;
    for (uint32_t i = 0; jobs.EnumSubKey(i, &name, 129) == kRegOk; ++i) {
        ++report.runs;
        TRegKey record(jobs, name, false);
        for (const auto& [value, identity] : GroupsOf(record)) {
            pid_t pgid = static_cast<pid_t>(
                strtol(value.c_str() + strlen(kRunRecordGroupPrefix), nullptr, 10));
            OrphanGroupEnd end = EndOrphanGroup(pgid, identity, graceMs);
            report.groupsEnded += end == OrphanGroupEnd::Ended;
            groupLines[name].push_back(DescribeOrphanGroupEnd(pgid, end));
        }
    }
    std::string block = FormatBlock(jobs, now, crashedRunStart, groupLines);
    // Kept before it is appended: a start stopped from here on finds it and
    // appends it (if it is not there yet) instead of reporting again.
    crashKey.SetString(kPendingValue, block);
    DieHereForTest("before-append");
    report.logWritten = AppendOnce(logPath, block, &report.logError);
    DieHereForTest("after-append");
    DropReported(crashKey);
    return report;
}

}  // namespace zk40
