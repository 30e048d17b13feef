#include "scheduler/ProcessGroups.h"

#include <dirent.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

namespace zk40 {

namespace {

struct ProcStat {
    char state = 0;
    long pgrp = 0;
    unsigned long long startTime = 0;
};

// The fields of /proc/<pid>/stat we need. The command name sits in
// parentheses and may itself hold blanks and parentheses, so the fields are
// counted from the last ')'.
bool ReadStat(pid_t pid, ProcStat* out) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t close = text.rfind(')');
    if (close == std::string::npos) return false;
    std::istringstream fields(text.substr(close + 1));
    std::string f[20];
    for (std::string& s : f)
        if (!(fields >> s)) return false;
    // f[0] is field 3 (state), f[2] field 5 (pgrp), f[19] field 22 (starttime).
    out->state = f[0].empty() ? 0 : f[0][0];
    out->pgrp = strtol(f[2].c_str(), nullptr, 10);
    out->startTime = strtoull(f[19].c_str(), nullptr, 10);
    return true;
}

std::string BootId() {
    std::ifstream in("/proc/sys/kernel/random/boot_id");
    std::string id;
    in >> id;
    return id.empty() ? "-" : id;
}

bool Dead(char state) { return state == 'Z' || state == 'X' || state == 'x'; }

// Whether any process of the group still runs (zombies only wait to be
// collected by whoever adopted them).
bool GroupRuns(pid_t pgid) {
    DIR* d = opendir("/proc");
    if (!d) return false;
    bool runs = false;
    while (dirent* e = readdir(d)) {
        char* end = nullptr;
        long pid = strtol(e->d_name, &end, 10);
        if (!end || *end || pid <= 0) continue;
        ProcStat st;
        if (ReadStat(static_cast<pid_t>(pid), &st) && st.pgrp == pgid && !Dead(st.state)) {
            runs = true;
            break;
        }
    }
    closedir(d);
    return runs;
}

}  // namespace

std::string ProcessIdentity(pid_t pid) {
    ProcStat st;
    if (pid <= 0 || !ReadStat(pid, &st)) return {};
    return std::to_string(st.startTime) + " " + BootId();
}

OrphanGroupEnd EndOrphanGroup(pid_t pgid, const std::string& identity, int graceMs) {
    if (pgid <= 1 || identity.empty()) return OrphanGroupEnd::NotOurs;
    ProcStat leader;
    if (!ReadStat(pgid, &leader)) {
        // No leader. While anything of a group lives its id cannot be given
        // to a new process, but a group that ended may have been followed
        // by a newer one of the same number whose leader ended too.
        return GroupRuns(pgid) ? OrphanGroupEnd::Unverified : OrphanGroupEnd::AlreadyGone;
    }
    // The same start time on the same boot: the very process we started.
    // (Even as a zombie it holds its id, so the group is still ours.)
    if (leader.pgrp != pgid || ProcessIdentity(pgid) != identity) return OrphanGroupEnd::NotOurs;
    if (!GroupRuns(pgid)) return OrphanGroupEnd::AlreadyGone;
    kill(-pgid, SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(graceMs);
    while (GroupRuns(pgid)) {
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(-pgid, SIGKILL);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return OrphanGroupEnd::Ended;
}

std::string DescribeOrphanGroupEnd(pid_t pgid, OrphanGroupEnd end) {
    std::string id = std::to_string(pgid);
    switch (end) {
        case OrphanGroupEnd::Ended:
            return id + " was still running and has been ended";
        case OrphanGroupEnd::AlreadyGone:
            return id + " had already ended";
        case OrphanGroupEnd::NotOurs:
            return id + " left alone: the id now belongs to another program";
        case OrphanGroupEnd::Unverified:
            return id + " left alone: its first process is gone, so what remains cannot be told "
                        "from another program's";
    }
    return id;
}

}  // namespace zk40
