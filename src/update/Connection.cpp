#include "update/Connection.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "support/ErrorText.h"
#include "support/StoreTime.h"

namespace zk40 {

namespace fs = std::filesystem;

namespace {

constexpr int32_t kErrorInvalidHandle = 6;

// The first line of a small sysfs attribute, without its newline.
bool ReadFirstLine(const std::string& path, std::string* line) {
    std::ifstream in(path);
    if (!in) return false;
    std::getline(in, *line);
    return !in.bad();
}

long ErrorOf(const std::error_code& ec) {
    // On Linux the filesystem library reports errno values.
    long code = PlatformErrorFromErrno(ec.value());
    return code != 0 ? code : kErrorGenFailure;
}

// Lists a folder's entries, names only, sorted; filter decides which stay.
template <typename Keep>
long ListFolder(const std::string& dir, std::vector<std::string>* names, Keep keep) {
    names->clear();
    std::error_code ec;
    fs::directory_iterator it(dir, ec);
    if (ec) return ErrorOf(ec);
    for (fs::directory_iterator end; it != end; it.increment(ec)) {
        if (keep(*it)) names->push_back(it->path().filename().string());
    }
    if (ec) {
        names->clear();
        return ErrorOf(ec);
    }
    std::sort(names->begin(), names->end());
    return 0;
}

}  // namespace

long _ZK40_RasEnumEntries(const PppPaths& paths, std::vector<std::string>* entries) {
    return ListFolder(paths.peersDir, entries, [](const fs::directory_entry& e) {
        const std::string name = e.path().filename().string();
        if (name.empty() || name.front() == '.' || name.back() == '~') return false;
        std::error_code ec;
        // Follows links: a peer file linked in from elsewhere is still a peer.
        return e.is_regular_file(ec);
    });
}

long _ZK40_RasEnumConnections(const PppPaths& paths, std::vector<std::string>* connections) {
    return ListFolder(paths.netDir, connections, [](const fs::directory_entry& e) {
        std::string type;
        if (!ReadFirstLine((e.path() / "type").string(), &type)) return false;
        char* end = nullptr;
        errno = 0;
        long value = std::strtol(type.c_str(), &end, 10);
        if (errno != 0 || end == type.c_str()) return false;
        // Only trailing blanks may follow: "5120" is not a PPP link.
        while (*end == ' ' || *end == '\t' || *end == '\r') ++end;
        return *end == '\0' && value == kPppInterfaceType;
    });
}

long _ZK40_RasGetConnectStatus(const PppPaths& paths, const std::string& connection,
                               uint32_t* state) {
    // The name comes from our own listing; anything that would step out of
    // the folder is no connection of ours.
    if (connection.empty() || connection.find('/') != std::string::npos || connection == "." ||
        connection == "..") {
        return kErrorInvalidHandle;
    }
    const std::string dir = paths.netDir + "/" + connection + "/";
    std::string operstate, flagsText;
    if (!ReadFirstLine(dir + "operstate", &operstate) ||
        !ReadFirstLine(dir + "flags", &flagsText)) {
        // The link went down and pppd removed the interface since the listing.
        return kErrorInvalidHandle;
    }
    char* end = nullptr;
    errno = 0;
    unsigned long flags = std::strtoul(flagsText.c_str(), &end, 16);
    if (errno != 0 || end == flagsText.c_str()) return kErrorGenFailure;

    // A PPP link has no carrier to report, so the kernel says "unknown" for a
    // working one; the flags then tell whether it is up and passing traffic.
    const bool operUp = operstate == "up" || operstate == "unknown";
    const unsigned long wanted = IFF_UP | IFF_RUNNING;
    *state = operUp && (flags & wanted) == wanted ? kRasConnected : kRasDisconnected;
    return 0;
}

std::vector<std::string> PhonebookEntries(const PppPaths& paths) {
    std::vector<std::string> entries;
    if (_ZK40_RasEnumEntries(paths, &entries) != 0) entries.clear();
    return entries;
}

// ---------------------------------------------------------------------------

TConnectionMonitor::TConnectionMonitor(PppPaths paths, StateCallback onState)
    : paths_(std::move(paths)), onState_(std::move(onState)) {}

void TConnectionMonitor::Report(const char* text) {
    text_ = text;
    if (onState_) onState_(text_);
}

void TConnectionMonitor::GoOnLine() {
    if (onLine_ && !doubtful_) return;
    onLine_ = true;
    doubtful_ = false;
    Report(kStateOnLine);
}

void TConnectionMonitor::GoOffLine() {
    if (!onLine_ && !doubtful_) return;
    onLine_ = false;
    doubtful_ = false;
    Report(kStateOffLine);
}

TConnectionMonitor::~TConnectionMonitor() {
    if (linkFd_ >= 0) close(linkFd_);
}

bool TConnectionMonitor::Watch() {
    if (linkFd_ >= 0) return true;
    int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0) return false;
    sockaddr_nl addr{};
    addr.nl_family = AF_NETLINK;
    addr.nl_groups = RTMGRP_LINK;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return false;
    }
    linkFd_ = fd;
    return true;
}

bool TConnectionMonitor::DrainLinkEvents() {
    if (linkFd_ < 0) return false;
    bool changed = false;
    alignas(nlmsghdr) char buf[8192];
    for (;;) {
        ssize_t n = recv(linkFd_, buf, sizeof buf, 0);
        if (n < 0) {
            // A full receive queue drops messages (ENOBUFS): something
            // changed, we just do not know what, so look again.
            if (errno == ENOBUFS) changed = true;
            if (errno == EINTR || errno == ENOBUFS) continue;
            break;
        }
        if (n == 0) break;
        int len = static_cast<int>(n);
        for (auto* h = reinterpret_cast<nlmsghdr*>(buf); NLMSG_OK(h, len); h = NLMSG_NEXT(h, len)) {
            if (h->nlmsg_type == RTM_NEWLINK || h->nlmsg_type == RTM_DELLINK) changed = true;
        }
    }
    return changed;
}

void TConnectionMonitor::Poll(uint32_t connType) {
    switch (connType) {
        case kConnNone:
            GoOffLine();
            return;
        case kConnDialUp: {
            std::vector<std::string> connections;
            if (_ZK40_RasEnumConnections(paths_, &connections) != 0) {
                // We cannot tell; keep on-line as it was but hold updates back
                // until a later look succeeds.
                doubtful_ = true;
                Report(kStateUnknown);
                return;
            }
            for (const std::string& c : connections) {
                uint32_t state = 0;
                if (_ZK40_RasGetConnectStatus(paths_, c, &state) == 0 && state == kRasConnected) {
                    GoOnLine();
                    return;
                }
            }
            GoOffLine();
            return;
        }
        case kConnDedicated:
            GoOnLine();
            return;
        default:
            return;
    }
}

// ---------------------------------------------------------------------------

ConnectionSettings ReadConnectionSettings(const TRegKey& base) {
    ConnectionSettings s;
    s.connType = base.GetDword("ConnType", kConnNotChosen);
    s.dunEntry = base.GetString("DunEntry");
    s.dunUsername = base.GetString("DunUsername");
    s.dunPassword = base.GetString("DunPassword");
    return s;
}

void StoreConnectionSettings(const TRegKey& base, const ConnectionSettings& settings) {
    base.SetDword("ConnType", settings.connType);
    base.SetString("DunEntry", settings.dunEntry);
    base.SetString("DunUsername", settings.dunUsername);
    base.SetString("DunPassword", settings.dunPassword);
}

std::string UpdateModeText(const TRegKey& base, uint32_t connType) {
    if (connType == kConnNone) return "SysUpd:  Local Update Mode.";
    if (connType == kConnDialUp || connType == kConnDedicated) {
        return "SysUpd:  Next Update = " + FormatStoreTime(base.GetDword("NextUpdate", 0)) + ".";
    }
    return {};
}

void FirstRunConnectionChoice(const TRegKey& base, IUpdateProgress& progress, bool headless,
                              ConnectionDialog askUser) {
    if (base.GetDword("ConnType", kConnNotChosen) != kConnNotChosen) return;
    uint32_t chosen = kConnNone;
    if (headless || !askUser) {
        base.SetDword("ConnType", kConnNone);
    } else {
        ConnectionSettings s = ReadConnectionSettings(base);
        // Stored before asking: should we die while the dialog is open, the
        // next start does not ask again and the user fixes it with a command.
        s.connType = kConnDialUp;
        base.SetDword("ConnType", s.connType);
        if (askUser(s)) {
            StoreConnectionSettings(base, s);
            chosen = s.connType;
        } else {
            base.SetDword("ConnType", kConnNone);
        }
    }
    const std::string text = UpdateModeText(base, chosen);
    if (!text.empty()) progress.Status(text);
}

namespace {

void SetConnectionType(const TRegKey& base, IUpdateProgress& progress, uint32_t type) {
    base.SetDword("ConnType", type);
    progress.Status(UpdateModeText(base, type));
    progress.Progress(0);
}

}  // namespace

void SetConnectionDialUp(const TRegKey& base, IUpdateProgress& progress) {
    SetConnectionType(base, progress, kConnDialUp);
}

void SetConnectionDedicated(const TRegKey& base, IUpdateProgress& progress) {
    SetConnectionType(base, progress, kConnDedicated);
}

void SetConnectionNone(const TRegKey& base, IUpdateProgress& progress) {
    SetConnectionType(base, progress, kConnNone);
}

}  // namespace zk40
