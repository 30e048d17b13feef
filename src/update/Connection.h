#pragma once
// The Internet connection: which kind the user has (none, dial-up, a
// dedicated line), and whether a dial-up link is up right now. We never dial;
// we only look. On Linux "dial-up" means PPP: the phonebook is pppd's peers
// folder and an active connection is a network interface of type PPP.
//
// Nothing here shows a widget. The connection dialog is handed in as a
// function, so the headless program and the tests run the same code.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "store/Store.h"
#include "update/UpdateProgress.h"

namespace zk40 {

// Where the PPP layer looks. Tests point both at folders of their own.
struct PppPaths {
    std::string peersDir = "/etc/ppp/peers";
    std::string netDir = "/sys/class/net";
};

// Connection states of the dial-up layer, numbered as dial-up code everywhere
// expects them.
constexpr uint32_t kRasConnected = 0x2000;
constexpr uint32_t kRasDisconnected = 0x2001;

// ARPHRD_PPP: the value of /sys/class/net/<if>/type for a PPP link.
constexpr int kPppInterfaceType = 512;

// The dial-up layer. Each returns 0 on success or a platform error number
// (a folder that is missing gives 2, one that cannot be read 5, ...).
//
// Phonebook entries: the regular files of peersDir, sorted by name; hidden
// files and editor backups ("name~") are left out since pppd users keep
// both beside their peers.
long _ZK40_RasEnumEntries(const PppPaths& paths, std::vector<std::string>* entries);
// Active connections: the names of the PPP interfaces in netDir, sorted.
// An interface that disappears while we look is simply not listed.
long _ZK40_RasEnumConnections(const PppPaths& paths, std::vector<std::string>* connections);
// The state of one connection from the listing: kRasConnected when the
// interface is administratively up and running and its operational state is
// "up" or "unknown" (PPP links usually report "unknown"), kRasDisconnected
// otherwise. Fails with 6 (invalid handle) when the interface is gone.
long _ZK40_RasGetConnectStatus(const PppPaths& paths, const std::string& connection,
                               uint32_t* state);

// The phonebook for the connection dialog; empty when it cannot be read.
std::vector<std::string> PhonebookEntries(const PppPaths& paths);

// Values of base\ConnType.
enum ConnTypeValue : uint32_t {
    kConnNone = 0,
    kConnDialUp = 1,
    kConnDedicated = 2,
    kConnNotChosen = 3,
};

inline constexpr char kStateOnLine[] = "On-Line";
inline constexpr char kStateOffLine[] = "Off-Line";
inline constexpr char kStateUnknown[] = "Unknown";

// The connection state the scheduler tick keeps up to date and the update
// timing consults before each fetch. Lives on the main thread.
class TConnectionMonitor {
public:
    using StateCallback = std::function<void(const std::string& text)>;

    // Starts doubtful, with the text "Unknown"; the owner shows StateText()
    // when it sets up its display, the callback hears only what follows.
    explicit TConnectionMonitor(PppPaths paths = {}, StateCallback onState = nullptr);

    void SetStateCallback(StateCallback onState) { onState_ = std::move(onState); }

    // One look at the connection for the given ConnType. A text is reported
    // only when the state changes, except that a dial-up listing that fails
    // reports "Unknown" at every poll: the user should see that we keep
    // failing to look, not a stale state.
    void Poll(uint32_t connType);

    // Link notifications from the kernel (netlink), so that a dial-up
    // connection coming or going is seen without looking again and again.
    // True when the socket is open (now or already); false where netlink
    // cannot be had, and the owner keeps polling.
    bool Watch();
    bool Watching() const { return linkFd_ >= 0; }
    int WatchFd() const { return linkFd_; }
    // Reads every pending notification; true when a link changed.
    bool DrainLinkEvents();
    ~TConnectionMonitor();
    TConnectionMonitor(const TConnectionMonitor&) = delete;
    TConnectionMonitor& operator=(const TConnectionMonitor&) = delete;

    bool OnLine() const { return onLine_; }
    bool Doubtful() const { return doubtful_; }
    bool UpdatesAllowed() const { return onLine_ && !doubtful_; }
    std::string StateText() const { return text_; }

private:
    void Report(const char* text);
    void GoOnLine();
    void GoOffLine();

    PppPaths paths_;
    StateCallback onState_;
    bool onLine_ = false;
    bool doubtful_ = true;
    std::string text_ = kStateUnknown;
    int linkFd_ = -1;
};

// What the connection dialog shows and edits.
struct ConnectionSettings {
    uint32_t connType = kConnDialUp;
    std::string dunEntry;
    std::string dunUsername;
    std::string dunPassword;
};

// Shows the dialog with settings and returns true for OK, leaving the edited
// values in settings; false for Cancel.
using ConnectionDialog = std::function<bool(ConnectionSettings& settings)>;

// The three login strings and ConnType of base (ConnType 3 when missing).
ConnectionSettings ReadConnectionSettings(const TRegKey& base);

// On the first start (ConnType 3) asks the user how the machine reaches the
// Internet, with dial-up preselected, and stores the answer. Without a
// display (headless, or no dialog given) nobody can answer, so we settle on
// "no connection" and the user changes it later with a command. Then shows
// the update mode. Any other ConnType leaves everything as it is.
//
// These functions write base directly: a TRegDword bound to ConnType must
// Reload() afterwards.
void FirstRunConnectionChoice(const TRegKey& base, IUpdateProgress& progress, bool headless,
                              ConnectionDialog askUser = nullptr);

// The commands that choose the connection type, each followed by the text of
// the update mode it leads to and a progress of 0.
void SetConnectionDialUp(const TRegKey& base, IUpdateProgress& progress);
void SetConnectionDedicated(const TRegKey& base, IUpdateProgress& progress);
void SetConnectionNone(const TRegKey& base, IUpdateProgress& progress);

// Stores what an OK of the dialog left: ConnType and the three strings.
void StoreConnectionSettings(const TRegKey& base, const ConnectionSettings& settings);

// "SysUpd:  Local Update Mode." for ConnType 0, "SysUpd:  Next Update = <time>."
// with base\NextUpdate for 1 and 2, empty for anything else.
std::string UpdateModeText(const TRegKey& base, uint32_t connType);

}  // namespace zk40
