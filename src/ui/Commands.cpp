#include "ui/Commands.h"

namespace zk40::ui {

bool CommandEnabled(EnableRule rule, const SelectionState& s) {
    switch (rule) {
        case EnableRule::Always:
            return true;
        case EnableRule::JobSelected:
            return s.job;
        case EnableRule::DeleteRule:
            return s.action ? !s.actionRunning : s.job && !s.jobRunning;
        case EnableRule::PropertiesRule:
            return s.action ? !s.actionRunning && s.actionModuleLoaded : s.job;
        case EnableRule::RunNowRule:
            return s.job && !s.jobRunning;
        case EnableRule::AbortRule:
            return s.job && s.currentActionRunning;
    }
    return false;
}

const std::vector<CommandSpec>& CommandTable() {
    using R = EnableRule;
    using T = TickRule;
    static const std::vector<CommandSpec> table = {
        {kCmdEnableScheduler, "&System", "", "&Enable Scheduler", "",
         "Starts or holds the scheduled jobs", R::Always, T::SchedulerEnabled, false},
        {kCmdImport, "&System", "", "&Import Jobs...", "",
         "Replaces the stored jobs with those of a registration file", R::Always, T::None, true},
        {kCmdExport, "&System", "", "Exp&ort Jobs...", "",
         "Saves every job to a new registration file", R::Always, T::None, false},
        {kCmdAppProperties, "&System", "", "&Properties", "",
         "Changes the options of the program", R::Always, T::None, true},
        {kCmdExit, "&System", "", "E&xit", "Alt+F4",
         "Quits zarkell and prompts to save the documents", R::Always, T::None, true},

        {kCmdNewJob, "&Edit", "", "&New Job...", "Ctrl+N", "Creates and schedules a new job",
         R::Always, T::None, false},
        {kCmdInsertAction, "&Edit", "", "&Insert Action...", "Ins",
         "Adds an action to the selected job", R::JobSelected, T::None, false},
        {kCmdDelete, "&Edit", "", "&Delete Job/Action...", "Del",
         "Deletes the selected job or action", R::DeleteRule, T::None, false},
        {kCmdRename, "&Edit", "", "&Rename Job...", "F2", "Renames the selected job",
         R::JobSelected, T::None, true},
        {kCmdProperties, "&Edit", "", "&Properties...", "Alt+Return",
         "Changes the settings of the selected job or action", R::PropertiesRule, T::None,
         false},

        {kCmdRunNow, "&Action", "", "&Manually Run Job", "Ctrl+R",
         "Runs the selected job now", R::RunNowRule, T::None, false},
        {kCmdAbort, "&Action", "", "&Abort Running Action", "Ctrl+Break",
         "Stops the action the selected job is running", R::AbortRule, T::None, false},

        {kCmdConnDialUp, "&Tools", "Connection Type", "&Dial-Up-Networking", "",
         "Updates when a dial-up connection is up", R::Always, T::ConnDialUp, false},
        {kCmdConnDedicated, "&Tools", "Connection Type", "D&edicated", "",
         "Updates over a permanent connection", R::Always, T::ConnDedicated, false},
        {kCmdConnNone, "&Tools", "Connection Type", "&No Connection", "",
         "Updates only from local files", R::Always, T::ConnNone, false},
        {kCmdConnProperties, "&Tools", "Connection Type", "&Properties...", "",
         "Chooses the connection and its dial-up entry", R::Always, T::None, true},
        {kCmdForceUpdate, "&Tools", "", "&Force Update...", "",
         "Fetches the update configuration now", R::Always, T::None, true},
        {kCmdDebug, "&Tools", "", "&Debug Properties...", "", "Chooses what the trace log records",
         R::Always, T::None, false},
        {kCmdLoadTypes, "&Tools", "", "Load Action &Types...", "",
         "Chooses the action types to install and load", R::Always, T::None, false},

        {kCmdHelpContents, "&Help", "", "&Contents", "F1", "Help table of contents", R::Always,
         T::None, false},
        {kCmdHelpUsing, "&Help", "", "&Using help", "Shift+F1", "Help on using online Help",
         R::Always, T::ContextHelp, false},
        {kCmdReleaseNotes, "&Help", "", "&Release Notes...", "",
         "What changed in this version", R::Always, T::None, true},
        {kCmdAbout, "&Help", "", "&About...", "", "About the zarkell application", R::Always,
         T::None, false},

        // The tool bar's scheduler button: the same command as 10016.
        {kCmdSchedulerButton, "", "", "&Enable Scheduler", "",
         "Starts or holds the scheduled jobs", R::Always, T::SchedulerEnabled, false},
    };
    return table;
}

const CommandSpec* FindCommand(int id) {
    for (const CommandSpec& c : CommandTable())
        if (c.id == id) return &c;
    return nullptr;
}

std::vector<int> PopupCommands(NodeKind kind) {
    switch (kind) {
        case NodeKind::Job:
            return {kCmdEnableScheduler, kCmdRunNow, kCmdAbort, 0, kCmdInsertAction,
                    kCmdDelete, 0, kCmdRename, kCmdProperties};
        case NodeKind::Action:
            return {kCmdEnableScheduler, 0, kCmdDelete, kCmdProperties};
        case NodeKind::Queue:
            return {kCmdEnableScheduler};
        default:
            return {};
    }
}

const std::vector<int>& ToolBarCommands() {
    static const std::vector<int> bar = {
        kCmdSchedulerButton, 0, kCmdRunNow, kCmdAbort, 0, kCmdAppProperties, kCmdProperties,
        kCmdConnProperties, 0, kCmdNewJob, kCmdInsertAction, kCmdDelete, 0, kCmdHelpContents};
    return bar;
}

}  // namespace zk40::ui
