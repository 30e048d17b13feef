#pragma once
// The main window: the jobs-and-actions tree, the menu bar and tool bar
// built from the command table, three status bars with the clock, and the
// tray icons. It is the client's view: the client tells it what changed, by
// job id and action handle, and it looks the rest up through snapshots.
#include <QMainWindow>
#include <QPointer>
#include <QTreeWidget>
#include <map>
#include <memory>
#include <unordered_map>
#include <vector>

#include "base/ProgramView.h"
#include "support/ClockText.h"
#include "ui/Commands.h"
#include "ui/DialogHooks.h"

class QLabel;
class QProgressBar;
class QStatusBar;
class QSystemTrayIcon;
class QToolBar;
class QTimer;

namespace zk40::ui {

// Roles of the tree items' data.
enum TreeRole : int {
    kKindRole = Qt::UserRole,  // NodeKind
    kIdRole,                   // job id or action handle; 0 for nodes without data
    kImageRole,                // the image index shown
};

// The tree: only actions are dragged, only onto actions of the same job,
// and only job nodes are renamed.
class TJobTree : public QTreeWidget {
    Q_OBJECT
public:
    explicit TJobTree(QWidget* parent);
signals:
    void actionDropped(QTreeWidgetItem* dragged, QTreeWidgetItem* target);
    void filesDropped(const QStringList& files, const QPoint& at);

protected:
    void startDrag(Qt::DropActions actions) override;
    void dragEnterEvent(QDragEnterEvent* e) override;
    void dragMoveEvent(QDragMoveEvent* e) override;
    void dropEvent(QDropEvent* e) override;

private:
    bool DropAllowed(QTreeWidgetItem* target) const;
    QTreeWidgetItem* dragged_ = nullptr;
};

class TMainWindow : public QMainWindow, public IProgramView {
    Q_OBJECT
public:
    TMainWindow();
    ~TMainWindow() override;

    DialogHooks& Dialogs() { return dialogs_; }

    // ---- IProgramView ----
    void Attach(TZarkellClient& client, TAppStore& app) override;
    void Started() override;
    void BringToFront() override;
    void Detach() override;
    void ShowStatus(const std::string& text) override;
    void StartupError(const std::string& text) override;
    void JobAdded(uint32_t jobId) override;
    void JobRemoved(uint32_t jobId) override;
    void JobChanged(uint32_t jobId) override;
    void ActionsChanged(uint32_t jobId) override;
    void ActionChanged(uint32_t handle, ActionField field) override;
    void ChildrenChanged(uint32_t handle) override;
    void ModulesChanged() override;
    void Tick() override;
    void QueueBranchAdd(const std::string& text) override;
    void QueueBranchRemoveFirst() override;
    void UpdateProgress(int percent) override;
    void TimeRemaining(int seconds) override;
    void ConnectionState(const std::string& text) override;
    bool TrayIcon(uint32_t op, const ZKTrayIcon& icon) override;

    // ---- for commands and tests ----
    void Run(int commandId);
    QAction* Command(int id) const;
    TJobTree* Tree() const { return tree_; }
    QTreeWidgetItem* JobItem(uint32_t id) const;
    // The action's node; a job's action nodes are made when the job is
    // first expanded (or asked for here), so a large tree opens quickly.
    QTreeWidgetItem* ActionItem(uint32_t handle);
    QTreeWidgetItem* QueueItem() const { return queueItem_; }
    uint32_t SelectedJob() const { return selJob_; }
    uint32_t SelectedAction() const { return selAction_; }
    SelectionState Selection() const;
    // Re-evaluates every command's enable rule and tick.
    void UpdateCommands();
    // The pop-up menu of a node, built as a right click builds it.
    std::unique_ptr<QMenu> PopupMenu(QTreeWidgetItem* item);
    // Moves the dragged action onto the target's position, as a drop does.
    void DropAction(QTreeWidgetItem* dragged, QTreeWidgetItem* target);
    QSystemTrayIcon* Tray() const { return tray_; }
    size_t ModuleTrayIconCount() const { return moduleTrays_.size(); }
    int AnimationFrameShown() const { return animFrame_; }
    QString ClockText() const;

protected:
    void closeEvent(QCloseEvent* e) override;
    void changeEvent(QEvent* e) override;
    bool event(QEvent* e) override;
    void dragEnterEvent(QDragEnterEvent* e) override;
    void dropEvent(QDropEvent* e) override;

private:
    struct JobNodes {
        QTreeWidgetItem* item = nullptr;
        QTreeWidgetItem* status = nullptr;
        std::vector<uint32_t> actions;  // handles, in run order
        bool filled = false;            // action nodes made
    };
    struct ActionNodes {
        QTreeWidgetItem* item = nullptr;
        QTreeWidgetItem* status = nullptr;
        uint32_t jobId = 0;
    };

    void BuildMenus();
    void BuildToolBar();
    void BuildStatusBars();
    void BuildTree();
    QTreeWidgetItem* MakeJobItem(uint32_t id);
    void AddActionNodes(uint32_t jobId, QTreeWidgetItem* jobItem);
    void EnsureActionNodes(uint32_t jobId);
    void AddActionNode(uint32_t jobId, QTreeWidgetItem* jobItem, uint32_t handle);
    void FillChildren(uint32_t handle);
    void RefreshJob(uint32_t id);
    void RefreshActionImage(uint32_t handle);
    void InsertSorted(QTreeWidgetItem* item);
    void ForgetActions(JobNodes& nodes);
    void SetItemImage(QTreeWidgetItem* item, int image);
    void SelectionChanged();
    void ShowSelectedAction();
    uint32_t ShownAction() const;
    void ItemRenamed(QTreeWidgetItem* item);
    void ContextMenu(const QPoint& pos);
    void FilesDropped(const QStringList& files, const QPoint& at, bool inClient);
    QString TimeText(StoreTime t) const;
    void SetTray(bool on);
    void UpdateTrayTip();

    // Commands.
    void CmdEnableScheduler();
    void CmdImport();
    void CmdExport();
    void CmdAppProperties();
    void CmdNewJob();
    void CmdInsertAction();
    void CmdDelete();
    void CmdRename();
    void CmdProperties();
    void CmdRunNow();
    void CmdAbort();
    void CmdConnection(uint32_t type);
    void CmdConnectionProperties();
    void CmdForceUpdate();
    void CmdHelpContents();
    void CmdContextHelp();
    void Missing(const char* what);

    TZarkellClient* client_ = nullptr;
    TAppStore* app_ = nullptr;
    DialogHooks dialogs_;
    TJobTree* tree_ = nullptr;
    QTreeWidgetItem* queueItem_ = nullptr;
    QTreeWidgetItem* queueStatus_ = nullptr;
    std::unordered_map<uint32_t, JobNodes> jobs_;
    std::unordered_map<uint32_t, ActionNodes> actions_;
    std::unordered_map<uint32_t, uint32_t> lastReported_;  // job id -> action handle
    std::vector<QTreeWidgetItem*> pendingJobs_;  // loaded before the window showed
    bool started_ = false;
    bool filling_ = false;  // programmatic text changes, not renames
    uint32_t selJob_ = 0, selAction_ = 0;
    std::map<int, QAction*> commands_;
    QToolBar* toolBar_ = nullptr;
    QLabel* animation_ = nullptr;
    int animFrame_ = 0;
    int schedulerShown_ = -1;
    QStatusBar* bars_[3] = {};
    QLabel* barMessage_[3] = {};
    QLabel* barPane_[3] = {};
    QProgressBar* gauge_[3] = {};
    QLabel* clock_ = nullptr;
    QTimer* clockTimer_ = nullptr;
    TClockFormatter clockFormat_;
    QSystemTrayIcon* tray_ = nullptr;
    bool noTrayNoted_ = false;
    std::map<uint32_t, QSystemTrayIcon*> moduleTrays_;
    bool closing_ = false;
};

// The windowed shape, made by the window object's entry (WindowEntry.cpp):
// a QApplication and this window.
TProgramShape WindowShape(int& argc, char** argv);

}  // namespace zk40::ui
