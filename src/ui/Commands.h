#pragma once
// The window's commands as one table: id, menu, text, accelerator, hint and
// the rules that enable and tick them. The menu bar, the tool bar and the
// tree's pop-up menus are all built from it.
#include <cstdint>
#include <string>
#include <vector>

namespace zk40::ui {

enum CommandId : int {
    kCmdNewJob = 10001,
    kCmdInsertAction = 10002,
    kCmdProperties = 10004,
    kCmdAbort = 10005,
    kCmdDelete = 10006,
    kCmdRunNow = 10007,
    kCmdRename = 10008,
    kCmdAppProperties = 10009,
    kCmdExport = 10010,
    kCmdImport = 10011,
    kCmdLoadTypes = 10012,
    kCmdForceUpdate = 10013,
    kCmdDebug = 10015,
    kCmdEnableScheduler = 10016,
    kCmdSchedulerButton = 10017,
    kCmdReleaseNotes = 10019,
    kCmdConnDialUp = 10021,
    kCmdConnDedicated = 10022,
    kCmdConnNone = 10023,
    kCmdConnProperties = 10024,
    kCmdHelpContents = 2001,
    kCmdHelpUsing = 2002,
    kCmdAbout = 2009,
    kCmdExit = 24310,
};

enum class EnableRule {
    Always,
    JobSelected,    // a job (or a node under it) is selected
    DeleteRule,     // an action not running, or else a job not running
    PropertiesRule, // an action not running whose module is loaded, or else a job
    RunNowRule,     // a job that is not running
    AbortRule,      // the selected job's current action is running
};

enum class TickRule { None, SchedulerEnabled, ConnNone, ConnDialUp, ConnDedicated, ContextHelp };

// What the rules look at: the selection as the tree reports it.
struct SelectionState {
    bool job = false;                   // a job is selected
    bool jobRunning = false;            // its job thread exists
    bool action = false;                // an action is selected
    bool actionRunning = false;         // its running mark is set
    bool actionModuleLoaded = false;    // its module is loaded and the type LOADED
    bool currentActionRunning = false;  // the selected job's current action runs
};

bool CommandEnabled(EnableRule rule, const SelectionState& s);

struct CommandSpec {
    int id;
    const char* menu;     // top-level menu; "" for tool-bar-only commands
    const char* submenu;  // "" or the name of a submenu inside it
    const char* text;
    const char* shortcut;  // QKeySequence text, "" for none
    const char* hint;      // shown in the status bar while the item is highlighted
    EnableRule enable;
    TickRule tick;
    bool separatorBefore;
};

const std::vector<CommandSpec>& CommandTable();
const CommandSpec* FindCommand(int id);

// The pop-up menu of each kind of node: command ids, 0 for a separator.
enum class NodeKind { None, Queue, QueueEntry, Job, Action, StatusLine, Child };
std::vector<int> PopupCommands(NodeKind kind);

// The tool bar, left to right: command ids, 0 for a separator.
const std::vector<int>& ToolBarCommands();

}  // namespace zk40::ui
