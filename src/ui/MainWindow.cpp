#include "ui/MainWindow.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QDateTime>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDrag>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QProgressBar>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTextBrowser>
#include <QTimer>
#include <QToolBar>
#include <QVBoxLayout>
#include <QWhatsThis>
#include <QWindowStateChangeEvent>
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "base/Client.h"
#include "jobs/ActionHandle.h"
#include "jobs/Job.h"
#include "jobs/JobDisplay.h"
#include "jobs/Snapshot.h"
#include "modules/ModuleHost.h"
#include "store/AppStore.h"
#include "ui/DialogWiring.h"
#include "ui/Icons.h"
#include "ui/Prompt.h"

namespace zk40::ui {

namespace {

constexpr char kCaption[] = "Zarkell'40";
constexpr char kRegFilter[] = "Registration Files (*.reg);;All Files (*)";

QString Q(const std::string& s) { return QString::fromStdString(s); }

NodeKind KindOf(const QTreeWidgetItem* item) {
    return item ? static_cast<NodeKind>(item->data(0, kKindRole).toInt()) : NodeKind::None;
}
uint32_t IdOf(const QTreeWidgetItem* item) { return item ? item->data(0, kIdRole).toUInt() : 0; }

QTreeWidgetItem* NewItem(NodeKind kind, uint32_t id, const QString& text, int image) {
    auto* item = new QTreeWidgetItem(QStringList{text});
    item->setData(0, kKindRole, static_cast<int>(kind));
    item->setData(0, kIdRole, id);
    item->setData(0, kImageRole, image);
    item->setIcon(0, TreeIcon(image));
    Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    if (kind == NodeKind::Job) flags |= Qt::ItemIsEditable;
    if (kind == NodeKind::Action) flags |= Qt::ItemIsDragEnabled | Qt::ItemIsDropEnabled;
    item->setFlags(flags);
    return item;
}

// The tree sorts as the names compare without regard to case; the queue's
// node comes first because its text begins with a space.
bool SortsBefore(const QString& a, const QString& b) {
    int c = QString::compare(a, b, Qt::CaseInsensitive);
    return c != 0 ? c < 0 : QString::compare(a, b) < 0;
}

const char* PopupText(int id) {
    switch (id) {
        case kCmdDelete:
            return "&Delete";
        case kCmdRename:
            return "&Rename";
        default:
            return nullptr;
    }
}

}  // namespace

// ---- the tree ----

TJobTree::TJobTree(QWidget* parent) : QTreeWidget(parent) {
    setObjectName("20101");
    setHeaderHidden(true);
    setColumnCount(1);
    setRootIsDecorated(true);
    setUniformRowHeights(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::SelectedClicked | QAbstractItemView::EditKeyPressed);
    setDragEnabled(true);
    setAcceptDrops(true);
    setDropIndicatorShown(true);
    setDragDropMode(QAbstractItemView::DragDrop);
    setContextMenuPolicy(Qt::CustomContextMenu);
}

void TJobTree::startDrag(Qt::DropActions actions) {
    QTreeWidgetItem* item = currentItem();
    if (KindOf(item) != NodeKind::Action) return;
    dragged_ = item;
    QTreeWidget::startDrag(actions);
    dragged_ = nullptr;
}

bool TJobTree::DropAllowed(QTreeWidgetItem* target) const {
    return dragged_ && target && KindOf(target) == NodeKind::Action &&
           target->parent() == dragged_->parent();
}

void TJobTree::dragEnterEvent(QDragEnterEvent* e) {
    if (e->mimeData()->hasUrls() || dragged_)
        e->acceptProposedAction();
    else
        e->ignore();
}

void TJobTree::dragMoveEvent(QDragMoveEvent* e) {
    if (e->mimeData()->hasUrls()) {
        e->acceptProposedAction();
        return;
    }
    QTreeWidgetItem* target = itemAt(e->position().toPoint());
    if (DropAllowed(target)) {
        setCurrentItem(target, 0, QItemSelectionModel::NoUpdate);
        e->acceptProposedAction();
    } else {
        e->ignore();
    }
}

void TJobTree::dropEvent(QDropEvent* e) {
    if (e->mimeData()->hasUrls()) {
        QStringList files;
        for (const QUrl& u : e->mimeData()->urls()) files << u.toLocalFile();
        emit filesDropped(files, e->position().toPoint());
        e->acceptProposedAction();
        return;
    }
    QTreeWidgetItem* target = itemAt(e->position().toPoint());
    QTreeWidgetItem* dragged = dragged_;
    // We move the action ourselves; the view must not move the item.
    e->setDropAction(Qt::IgnoreAction);
    e->accept();
    if (DropAllowed(target) && target != dragged) emit actionDropped(dragged, target);
}

// ---- the window ----

TMainWindow::TMainWindow() {
    setObjectName("DX14-Zarkell'40");
    setWindowTitle(QString("Zarkell'40 (Build %1)").arg(kBuildNumber));
    setWindowIcon(AppIcon());
    setAcceptDrops(true);
    BuildTree();
    BuildMenus();
    BuildToolBar();
    BuildStatusBars();
    resize(720, 560);
    UpdateCommands();
}

TMainWindow::~TMainWindow() {
    closing_ = true;
    for (auto& [id, icon] : moduleTrays_) delete icon;
}

void TMainWindow::BuildTree() {
    auto* central = new QWidget(this);
    central->setObjectName("20100");
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    tree_ = new TJobTree(central);
    tree_->setWhatsThis(
        "Jobs and actions. Each job shows its status line and its actions; each action its "
        "status and the items its module reports. Right-click a node for its commands, drag an "
        "action to reorder the job, click a selected job to rename it.");
    layout->addWidget(tree_, 1);
    setCentralWidget(central);

    queueItem_ = NewItem(NodeKind::Queue, 1, " System Update Queue", kImgUpdateQueue);
    tree_->addTopLevelItem(queueItem_);
    queueStatus_ = NewItem(NodeKind::StatusLine, 0, "Status", kImgStatusLine);
    queueItem_->addChild(queueStatus_);
    queueItem_->setExpanded(true);

    connect(tree_, &QTreeWidget::itemExpanded, this, [this](QTreeWidgetItem* item) {
        if (KindOf(item) == NodeKind::Job) EnsureActionNodes(IdOf(item));
    });
    connect(tree_, &QTreeWidget::currentItemChanged, this, [this] { SelectionChanged(); });
    // A double-click on an action opens its settings, as Properties does.
    connect(tree_, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item, int) {
        if (KindOf(item) != NodeKind::Action) return;
        tree_->setCurrentItem(item);
        CmdProperties();
    });
    connect(tree_, &QTreeWidget::itemChanged, this,
            [this](QTreeWidgetItem* item, int) { ItemRenamed(item); });
    connect(tree_, &QWidget::customContextMenuRequested, this, &TMainWindow::ContextMenu);
    connect(tree_, &TJobTree::actionDropped, this, &TMainWindow::DropAction);
    connect(tree_, &TJobTree::filesDropped, this,
            [this](const QStringList& f, const QPoint& at) { FilesDropped(f, at, true); });
}

void TMainWindow::BuildMenus() {
    std::map<QString, QMenu*> menus, submenus;
    for (const CommandSpec& c : CommandTable()) {
        auto* a = new QAction(c.text, this);
        a->setObjectName(QString::number(c.id));
        a->setStatusTip(c.hint);
        a->setWhatsThis(c.hint);
        if (*c.shortcut) a->setShortcut(QKeySequence(c.shortcut));
        a->setCheckable(c.tick != TickRule::None);
        QIcon icon = ToolIcon(QString::number(c.id));
        if (!icon.isNull()) a->setIcon(icon);
        const int id = c.id;
        connect(a, &QAction::triggered, this, [this, id] { Run(id); });
        commands_[c.id] = a;
        if (!*c.menu) continue;
        QMenu*& menu = menus[c.menu];
        if (!menu) {
            menu = menuBar()->addMenu(c.menu);
            menu->setObjectName(QString(c.menu).remove('&') + "Menu");
            menu->setToolTipsVisible(true);
            connect(menu, &QMenu::aboutToShow, this, &TMainWindow::UpdateCommands);
        }
        QMenu* target = menu;
        if (*c.submenu) {
            QMenu*& sub = submenus[c.submenu];
            if (!sub) {
                sub = menu->addMenu(c.submenu);
                sub->setObjectName(QString(c.submenu).remove(' ') + "Menu");
                connect(sub, &QMenu::aboutToShow, this, &TMainWindow::UpdateCommands);
            }
            target = sub;
        }
        if (c.separatorBefore && !target->isEmpty()) target->addSeparator();
        target->addAction(a);
    }
    // Alt+F4 is the window manager's; the menu only names it.
    commands_[kCmdExit]->setShortcutContext(Qt::WindowShortcut);
    commands_[kCmdSchedulerButton]->setIcon(ToolIcon("sched-on"));
}

void TMainWindow::BuildToolBar() {
    toolBar_ = new QToolBar("Toolbar", this);
    toolBar_->setObjectName("Toolbar");
    toolBar_->setMovable(true);
    toolBar_->setFloatable(true);
    QFont f = toolBar_->font();
    f.setPointSize(10);
    toolBar_->setFont(f);
    animation_ = new QLabel(toolBar_);
    animation_->setObjectName("1007");
    animation_->setPixmap(AnimationFrame(0, 22));
    animation_->setWhatsThis("Turns while a job or the system update runs.");
    toolBar_->addWidget(animation_);
    toolBar_->addSeparator();
    for (int id : ToolBarCommands()) {
        if (id == 0)
            toolBar_->addSeparator();
        else
            toolBar_->addAction(commands_.at(id));
    }
    addToolBar(Qt::TopToolBarArea, toolBar_);
}

void TMainWindow::BuildStatusBars() {
    auto* holder = new QWidget(this);
    holder->setObjectName("statusBars");
    auto* layout = new QVBoxLayout(holder);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    for (int i = 0; i < 3; ++i) {
        auto* bar = new QStatusBar(holder);
        bar->setObjectName(QString("statusBar%1").arg(i + 1));
        bar->setSizeGripEnabled(i == 2);
        barMessage_[i] = new QLabel(bar);
        barMessage_[i]->setObjectName(QString("bar%1Message").arg(i + 1));
        bar->addWidget(barMessage_[i], 1);
        barPane_[i] = new QLabel(bar);
        barPane_[i]->setObjectName(QString("bar%1Pane").arg(i + 1));
        barPane_[i]->setMinimumWidth(90);
        barPane_[i]->setAlignment(Qt::AlignCenter);
        bar->addPermanentWidget(barPane_[i]);
        if (i > 0) {
            gauge_[i] = new QProgressBar(bar);
            gauge_[i]->setObjectName(QString("bar%1Gauge").arg(i + 1));
            gauge_[i]->setRange(0, 100);
            gauge_[i]->setValue(0);
            gauge_[i]->setFormat("%p%");
            gauge_[i]->setMaximumWidth(140);
            bar->addPermanentWidget(gauge_[i]);
        }
        bars_[i] = bar;
        layout->addWidget(bar);
    }
    barPane_[0]->setText("Unknown");
    bars_[0]->setWhatsThis("The selected action's status and the state of the connection.");
    bars_[1]->setWhatsThis("The selected action's second status line and its progress.");
    bars_[2]->setWhatsThis("What the system update is doing, and its progress.");
    clock_ = new QLabel(bars_[0]);
    clock_->setObjectName("32");
    clock_->setAlignment(Qt::AlignCenter);
    clock_->setMinimumWidth(fontMetrics().horizontalAdvance("00:00:00 pm") + 8);
    bars_[0]->addPermanentWidget(clock_);
    clock_->setText(ClockText());
    clockTimer_ = new QTimer(this);
    clockTimer_->setInterval(900);
    connect(clockTimer_, &QTimer::timeout, this, [this] { clock_->setText(ClockText()); });
    clockTimer_->start();
    // The window's own bottom area, so that the bars stay below the tree
    // whatever the tool bar does.
    auto* sb = new QStatusBar(this);
    sb->setObjectName("hintBar");
    sb->setSizeGripEnabled(false);
    sb->hide();
    setStatusBar(sb);
    static_cast<QVBoxLayout*>(centralWidget()->layout())->addWidget(holder);
}

QString TMainWindow::ClockText() const {
    QTime t = QTime::currentTime();
    auto text = const_cast<TClockFormatter&>(clockFormat_).Format(t.hour(), t.minute(), t.second());
    return text ? Q(*text) : QString();
}

bool TMainWindow::event(QEvent* e) {
    // Menu hints go to the first status bar's message area while an item
    // is highlighted; the action's status comes back when it ends.
    if (e->type() == QEvent::StatusTip) {
        QString tip = static_cast<QStatusTipEvent*>(e)->tip();
        if (tip.isEmpty())
            bars_[0]->clearMessage();
        else
            bars_[0]->showMessage(tip);
        return true;
    }
    return QMainWindow::event(e);
}

// ---- attaching to the client ----

void TMainWindow::Attach(TZarkellClient& client, TAppStore& app) {
    client_ = &client;
    app_ = &app;
    if (dialogs_.firstConnection)
        client.SetConnectionDialog([this](ConnectionSettings& settings) {
            return dialogs_.firstConnection(this, settings);
        });
    if (app.FlagBit(kFlagUseTrayIcon)) SetTray(true);
    UpdateCommands();
}

void TMainWindow::Started() {
    started_ = true;
    if (!pendingJobs_.empty()) {
        std::sort(pendingJobs_.begin(), pendingJobs_.end(),
                  [](QTreeWidgetItem* a, QTreeWidgetItem* b) {
                      return SortsBefore(a->text(0), b->text(0));
                  });
        QList<QTreeWidgetItem*> items(pendingJobs_.begin(), pendingJobs_.end());
        tree_->addTopLevelItems(items);
        pendingJobs_.clear();
    }
    bool noJobs = jobs_.empty();
    bool startMinimized = app_ && app_->FlagBit(kFlagStartMinimized) && !noJobs;
    if (startMinimized) {
        if (app_->FlagBit(kFlagHideWhenMinimized) && tray_)
            hide();
        else
            showMinimized();
    } else {
        show();
    }
    if (noJobs && client_) {
        if (Prompt::Message(this, "Create New Job",
                            "You do not current have any jobs added.  Would you like to add one "
                            "now?",
                            QMessageBox::Question,
                            QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes)
            CmdNewJob();
    }
    UpdateCommands();
}

void TMainWindow::BringToFront() {
    if (isMinimized()) setWindowState(windowState() & ~Qt::WindowMinimized);
    showNormal();
    raise();
    activateWindow();
}

void TMainWindow::Detach() {
    closing_ = true;
    client_ = nullptr;
    SetTray(false);
    for (auto& [id, icon] : moduleTrays_) delete icon;
    moduleTrays_.clear();
}

void TMainWindow::closeEvent(QCloseEvent* e) {
    // Closing the window ends the program; the client shuts down after the
    // event loop returns.
    e->accept();
    if (!closing_) QCoreApplication::quit();
}

void TMainWindow::changeEvent(QEvent* e) {
    if (e->type() == QEvent::WindowStateChange && isMinimized() && app_ &&
        app_->FlagBit(kFlagHideWhenMinimized) && tray_ && tray_->isVisible()) {
        // Hidden rather than minimised; the tray icon brings it back. Without
        // a tray it stays minimised, so that it can always be reached.
        QTimer::singleShot(0, this, [this] { hide(); });
    }
    QMainWindow::changeEvent(e);
}

// ---- status texts ----

void TMainWindow::ShowStatus(const std::string& text) {
    // The same line the headless program writes, for a terminal or the
    // session's log.
    std::string line = FormatStoreTime(CurrentStoreTime()) + " " + text + "\n";
    fputs(line.c_str(), stderr);
    if (closing_) return;
    barMessage_[2]->setText(Q(text));
    queueStatus_->setText(0, Q(text));
}

void TMainWindow::StartupError(const std::string& text) {
    Prompt::Message(this, kCaption, Q(text), QMessageBox::Critical);
}

void TMainWindow::QueueBranchAdd(const std::string& text) {
    queueItem_->addChild(NewItem(NodeKind::QueueEntry, 0, Q(text), kImgChild));
}

void TMainWindow::QueueBranchRemoveFirst() {
    // The first entry after the status line.
    if (queueItem_->childCount() > 1) delete queueItem_->takeChild(1);
}

void TMainWindow::UpdateProgress(int percent) {
    if (!closing_) gauge_[2]->setValue(std::clamp(percent, 0, 100));
}

void TMainWindow::TimeRemaining(int seconds) {
    if (!closing_) barPane_[2]->setText(Q(ElapsedText(seconds > 0 ? seconds : 0)));
}

void TMainWindow::ConnectionState(const std::string& text) {
    if (!closing_) barPane_[0]->setText(Q(text));
}

// ---- the tree ----

QString TMainWindow::TimeText(StoreTime t) const {
    if (t == 0) return "(none)";
    if (t >= kNeverTime) return "(never)";
    CivilTime c = ToCivil(t);
    QDateTime dt(QDate(c.year, c.month, c.day), QTime(c.hour, c.minute, c.second));
    QLocale locale;
    return locale.toString(dt.date(), QLocale::ShortFormat) + " " +
           locale.toString(dt.time(), QLocale::ShortFormat);
}

void TMainWindow::SetItemImage(QTreeWidgetItem* item, int image) {
    if (item->data(0, kImageRole).toInt() == image) return;
    item->setData(0, kImageRole, image);
    item->setIcon(0, TreeIcon(image));
}

QTreeWidgetItem* TMainWindow::JobItem(uint32_t id) const {
    auto it = jobs_.find(id);
    return it == jobs_.end() ? nullptr : it->second.item;
}

QTreeWidgetItem* TMainWindow::ActionItem(uint32_t handle) {
    auto it = actions_.find(handle);
    if (it != actions_.end()) return it->second.item;
    TAction* action = ResolveActionHandle(handle);
    if (!action || !action->Job()) return nullptr;
    EnsureActionNodes(action->Job()->Id());
    it = actions_.find(handle);
    return it == actions_.end() ? nullptr : it->second.item;
}

void TMainWindow::EnsureActionNodes(uint32_t jobId) {
    auto it = jobs_.find(jobId);
    if (it == jobs_.end() || it->second.filled) return;
    it->second.filled = true;
    bool old = filling_;
    filling_ = true;
    AddActionNodes(jobId, it->second.item);
    filling_ = old;
}

QTreeWidgetItem* TMainWindow::MakeJobItem(uint32_t id) {
    JobNodes& n = jobs_[id];
    n.item = NewItem(NodeKind::Job, id, {}, kImgJobScheduled);
    n.status = NewItem(NodeKind::StatusLine, 0, "Status", kImgStatusLine);
    n.item->addChild(n.status);
    // The action nodes follow when the job is first opened.
    return n.item;
}

void TMainWindow::AddActionNodes(uint32_t jobId, QTreeWidgetItem* jobItem) {
    TJob* job = client_ ? client_->FindJob(jobId) : nullptr;
    if (!job) return;
    for (size_t p = 0; TAction* a = job->ActionAt(p); ++p)
        AddActionNode(jobId, jobItem, a->Handle());
}

void TMainWindow::AddActionNode(uint32_t jobId, QTreeWidgetItem* jobItem, uint32_t handle) {
    ActionSnapshot a;
    if (!SnapshotAction(handle, &a)) return;
    ActionNodes& n = actions_[handle];
    n.jobId = jobId;
    n.item = NewItem(NodeKind::Action, handle, Q(a.name),
                     ActionImage(a.lastStat, client_->ActionModuleLoaded(handle)));
    n.status = NewItem(NodeKind::StatusLine, 0, Q(a.status), kImgStatusLine);
    n.item->addChild(n.status);
    jobItem->addChild(n.item);
    jobs_[jobId].actions.push_back(handle);
    FillChildren(handle);
}

void TMainWindow::FillChildren(uint32_t handle) {
    auto it = actions_.find(handle);
    TAction* action = ResolveActionHandle(handle);
    if (it == actions_.end() || !action) return;
    QTreeWidgetItem* item = it->second.item;
    // Everything after the status line is the module's child items.
    while (item->childCount() > 1) delete item->takeChild(1);
    TJob* job = action->Job();
    uint32_t count = job->ChildCount(handle);
    for (uint32_t c = 1; c <= count; ++c) {
        auto* child = NewItem(NodeKind::Child, 0, Q(job->ChildText(handle, c)), kImgChild);
        item->addChild(child);
        uint32_t subs = job->GrandchildCount(handle, c);
        for (uint32_t s = 1; s <= subs; ++s)
            child->addChild(
                NewItem(NodeKind::Child, 0, Q(job->GrandchildText(handle, c, s)), kImgChild));
    }
}

void TMainWindow::InsertSorted(QTreeWidgetItem* item) {
    int lo = 0, hi = tree_->topLevelItemCount();
    while (lo < hi) {
        int mid = (lo + hi) / 2;
        if (SortsBefore(tree_->topLevelItem(mid)->text(0), item->text(0)))
            lo = mid + 1;
        else
            hi = mid;
    }
    tree_->insertTopLevelItem(lo, item);
}

void TMainWindow::JobAdded(uint32_t jobId) {
    if (!client_ || jobs_.count(jobId)) return;
    QTreeWidgetItem* item = MakeJobItem(jobId);
    filling_ = true;
    RefreshJob(jobId);
    filling_ = false;
    if (started_)
        InsertSorted(item);
    else
        pendingJobs_.push_back(item);
}

void TMainWindow::ForgetActions(JobNodes& nodes) {
    for (uint32_t h : nodes.actions) actions_.erase(h);
    nodes.actions.clear();
}

void TMainWindow::JobRemoved(uint32_t jobId) {
    auto it = jobs_.find(jobId);
    if (it == jobs_.end()) return;
    ForgetActions(it->second);
    QTreeWidgetItem* item = it->second.item;
    jobs_.erase(it);
    lastReported_.erase(jobId);
    if (selJob_ == jobId) selJob_ = selAction_ = 0;
    pendingJobs_.erase(std::remove(pendingJobs_.begin(), pendingJobs_.end(), item),
                       pendingJobs_.end());
    delete item;
    SelectionChanged();
}

void TMainWindow::JobChanged(uint32_t jobId) {
    auto it = jobs_.find(jobId);
    if (it == jobs_.end()) return;
    RefreshJob(jobId);
    QTreeWidgetItem* item = it->second.item;
    // A new name sorts the root again (the editor may have put the text in
    // place already, so the neighbours decide, not the old text).
    int at = tree_->indexOfTopLevelItem(item);
    bool unsorted =
        at >= 0 && ((at > 0 && SortsBefore(item->text(0), tree_->topLevelItem(at - 1)->text(0))) ||
                    (at + 1 < tree_->topLevelItemCount() &&
                     SortsBefore(tree_->topLevelItem(at + 1)->text(0), item->text(0))));
    if (started_ && unsorted) {
        bool current = tree_->currentItem() == item;
        bool expanded = item->isExpanded();
        int index = tree_->indexOfTopLevelItem(item);
        filling_ = true;
        tree_->takeTopLevelItem(index);
        InsertSorted(item);
        item->setExpanded(expanded);
        filling_ = false;
        if (current) tree_->setCurrentItem(item);
    }
    if (jobId == selJob_) {
        ShowSelectedAction();
        UpdateCommands();
    }
}

void TMainWindow::RefreshJob(uint32_t id) {
    auto it = jobs_.find(id);
    TJob* job = client_ ? client_->FindJob(id) : nullptr;
    if (it == jobs_.end() || !job) return;
    JobSnapshot s = SnapshotJob(*job);
    bool old = filling_;
    filling_ = true;
    it->second.item->setText(0, Q(s.name));
    auto text = [this](StoreTime t) { return TimeText(t).toStdString(); };
    it->second.status->setText(0, Q(JobStatusLine(s, text)));
    filling_ = old;
    // A running job keeps its animation; the tick steps it.
    if (!client_->JobRunning(*job))
        SetItemImage(it->second.item, JobImage(s.schedType, s.lastStat));
    for (uint32_t h : it->second.actions) RefreshActionImage(h);
}

void TMainWindow::RefreshActionImage(uint32_t handle) {
    auto it = actions_.find(handle);
    ActionSnapshot a;
    if (it == actions_.end() || !SnapshotAction(handle, &a)) return;
    SetItemImage(it->second.item, ActionImage(a.lastStat, client_->ActionModuleLoaded(handle)));
}

void TMainWindow::ActionsChanged(uint32_t jobId) {
    auto it = jobs_.find(jobId);
    if (it == jobs_.end()) return;
    JobNodes& n = it->second;
    if (!n.filled) return;  // made from the job as it is when first opened
    ForgetActions(n);
    filling_ = true;
    while (n.item->childCount() > 1) delete n.item->takeChild(1);
    AddActionNodes(jobId, n.item);
    filling_ = false;
    if (selAction_ && !actions_.count(selAction_)) selAction_ = 0;
    SelectionChanged();
}

void TMainWindow::ActionChanged(uint32_t handle, ActionField field) {
    if (closing_) return;
    auto it = actions_.find(handle);
    if (it == actions_.end()) {
        // No node yet: only remember which action spoke last, for the
        // status bars of its job.
        TAction* action = field == ActionField::Image ? nullptr : ResolveActionHandle(handle);
        if (!action || !action->Job()) return;
        const uint32_t jobId = action->Job()->Id();
        lastReported_[jobId] = handle;
        if (jobId == selJob_) ShowSelectedAction();
        return;
    }
    ActionSnapshot a;
    if (!SnapshotAction(handle, &a)) return;
    if (field != ActionField::Image) lastReported_[it->second.jobId] = handle;
    const bool shown = ShownAction() == handle;
    switch (field) {
        case ActionField::Name:
            it->second.item->setText(0, Q(a.name));
            break;
        case ActionField::Status:
            it->second.status->setText(0, Q(a.status));
            if (shown) barMessage_[0]->setText(Q(a.status));
            break;
        case ActionField::Status2:
            if (shown) barMessage_[1]->setText(Q(a.status2));
            break;
        case ActionField::Percent:
            if (shown) gauge_[1]->setValue(static_cast<int>(std::min<uint32_t>(a.percent, 100)));
            break;
        case ActionField::Image:
            RefreshActionImage(handle);
            break;
    }
}

void TMainWindow::ChildrenChanged(uint32_t handle) {
    filling_ = true;
    FillChildren(handle);
    filling_ = false;
}

void TMainWindow::ModulesChanged() {
    for (auto& [h, n] : actions_) RefreshActionImage(h);
    UpdateCommands();
}

void TMainWindow::Tick() {
    if (!client_ || closing_) return;
    bool busy = client_->UpdateRunning();
    if (busy)
        SetItemImage(queueItem_, NextRunImage(queueItem_->data(0, kImageRole).toInt()));
    else
        SetItemImage(queueItem_, kImgUpdateQueue);
    for (uint32_t id : client_->RunningJobIds()) {
        busy = true;
        if (QTreeWidgetItem* item = JobItem(id))
            SetItemImage(item, NextRunImage(item->data(0, kImageRole).toInt()));
    }
    if (busy) {
        animFrame_ = (animFrame_ + 1) % kAnimationFrames;
        animation_->setPixmap(AnimationFrame(animFrame_, 22));
    }
    UpdateTrayTip();
    UpdateCommands();
}

// ---- selection ----

void TMainWindow::SelectionChanged() {
    selJob_ = selAction_ = 0;
    QTreeWidgetItem* item = tree_->currentItem();
    if (item && !IdOf(item)) item = item->parent();
    if (item && IdOf(item)) {
        if (KindOf(item) == NodeKind::Job) selJob_ = IdOf(item);
        if (KindOf(item) == NodeKind::Action) {
            selAction_ = IdOf(item);
            selJob_ = actions_.count(selAction_) ? actions_[selAction_].jobId : 0;
        }
    }
    ShowSelectedAction();
    UpdateCommands();
}

uint32_t TMainWindow::ShownAction() const {
    if (selAction_) return selAction_;
    if (!selJob_ || !client_) return 0;
    TJob* job = client_->FindJob(selJob_);
    if (!job) return 0;
    // The action it runs, or else the one that reported last.
    if (uint32_t current = SnapshotJob(*job).currentAction) return current;
    auto it = lastReported_.find(selJob_);
    return it != lastReported_.end() && ResolveActionHandle(it->second) ? it->second : 0;
}

void TMainWindow::ShowSelectedAction() {
    ActionSnapshot a;
    uint32_t h = ShownAction();
    if (h && SnapshotAction(h, &a)) {
        barMessage_[0]->setText(Q(a.status));
        barMessage_[1]->setText(Q(a.status2));
        gauge_[1]->setValue(static_cast<int>(std::min<uint32_t>(a.percent, 100)));
    } else {
        barMessage_[0]->clear();
        barMessage_[1]->clear();
        gauge_[1]->setValue(0);
    }
}

SelectionState TMainWindow::Selection() const {
    SelectionState s;
    if (!client_) return s;
    TJob* job = selJob_ ? client_->FindJob(selJob_) : nullptr;
    if (selAction_) {
        ActionSnapshot a;
        if (SnapshotAction(selAction_, &a)) {
            s.action = true;
            s.actionRunning = a.running;
            s.actionModuleLoaded = client_->ActionModuleLoaded(selAction_);
        }
    } else if (job) {
        s.job = true;
        s.jobRunning = client_->JobRunning(*job);
        ActionSnapshot a;
        uint32_t current = SnapshotJob(*job).currentAction;
        s.currentActionRunning = current && SnapshotAction(current, &a) && a.running;
    }
    return s;
}

void TMainWindow::UpdateCommands() {
    SelectionState s = Selection();
    uint32_t conn = app_ ? app_->base.GetDword("ConnType", 3) : 3;
    bool schedulerOn = client_ && client_->SchedulerEnabled();
    for (const CommandSpec& c : CommandTable()) {
        QAction* a = commands_.at(c.id);
        a->setEnabled(client_ && CommandEnabled(c.enable, s));
        bool tick = false;
        switch (c.tick) {
            case TickRule::None:
                break;
            case TickRule::SchedulerEnabled:
                tick = schedulerOn;
                break;
            case TickRule::ConnNone:
                tick = conn == 0;
                break;
            case TickRule::ConnDialUp:
                tick = conn == 1;
                break;
            case TickRule::ConnDedicated:
                tick = conn == 2;
                break;
            case TickRule::ContextHelp:
                tick = QWhatsThis::inWhatsThisMode();
                break;
        }
        if (a->isCheckable()) a->setChecked(tick);
    }
    if (schedulerShown_ != int(schedulerOn)) {
        schedulerShown_ = schedulerOn;
        commands_.at(kCmdSchedulerButton)
            ->setIcon(ToolIcon(schedulerOn ? "sched-on" : "sched-off"));
    }
}

QAction* TMainWindow::Command(int id) const {
    auto it = commands_.find(id);
    return it == commands_.end() ? nullptr : it->second;
}

// ---- pop-up menu, renaming, dragging, dropped files ----

std::unique_ptr<QMenu> TMainWindow::PopupMenu(QTreeWidgetItem* item) {
    if (!item || !IdOf(item)) return nullptr;
    tree_->setCurrentItem(item);
    UpdateCommands();
    auto menu = std::make_unique<QMenu>(this);
    menu->setObjectName("popupMenu");
    for (int id : PopupCommands(KindOf(item))) {
        if (id == 0) {
            menu->addSeparator();
            continue;
        }
        QAction* command = commands_.at(id);
        QAction* a = menu->addAction(PopupText(id) ? PopupText(id) : command->text());
        a->setObjectName(command->objectName());
        a->setEnabled(command->isEnabled());
        a->setCheckable(command->isCheckable());
        a->setChecked(command->isChecked());
        connect(a, &QAction::triggered, this, [this, id] { Run(id); });
    }
    return menu;
}

void TMainWindow::ContextMenu(const QPoint& pos) {
    QTreeWidgetItem* item = tree_->itemAt(pos);
    std::unique_ptr<QMenu> menu = PopupMenu(item);
    if (menu) menu->exec(tree_->viewport()->mapToGlobal(pos));
}

void TMainWindow::ItemRenamed(QTreeWidgetItem* item) {
    if (filling_ || !client_ || KindOf(item) != NodeKind::Job) return;
    uint32_t id = IdOf(item);
    TJob* job = client_->FindJob(id);
    if (!job) return;
    std::string name = item->text(0).toStdString();
    if (name == SnapshotJob(*job).name) return;
    // A name of spaces only keeps the old one; a name another job has is
    // refused with the reason.
    const bool blank = name.find_first_not_of(" \t") == std::string::npos;
    jobops::Result r = blank ? jobops::Result{} : client_->RenameJob(id, name);
    if (blank || !r) {
        filling_ = true;
        item->setText(0, Q(SnapshotJob(*job).name));
        filling_ = false;
        if (!r) Prompt::Message(this, kCaption, Q(r.Error), QMessageBox::NoIcon);
    }
}

void TMainWindow::DropAction(QTreeWidgetItem* dragged, QTreeWidgetItem* target) {
    if (!client_ || KindOf(dragged) != NodeKind::Action || KindOf(target) != NodeKind::Action)
        return;
    uint32_t handle = IdOf(dragged), onto = IdOf(target);
    auto a = actions_.find(handle), b = actions_.find(onto);
    if (a == actions_.end() || b == actions_.end() || a->second.jobId != b->second.jobId) return;
    uint32_t jobId = a->second.jobId;
    const auto& order = jobs_[jobId].actions;
    size_t to = std::find(order.begin(), order.end(), onto) - order.begin();
    tree_->setUpdatesEnabled(false);
    bool moved = client_->MoveAction(handle, to);
    tree_->setUpdatesEnabled(true);
    if (!moved) return;
    JobNodes& n = jobs_[jobId];
    n.item->setExpanded(true);
    if (to < n.actions.size()) tree_->setCurrentItem(actions_[n.actions[to]].item);
}

void TMainWindow::FilesDropped(const QStringList& files, const QPoint& at, bool inClient) {
    for (const QString& f : files)
        Prompt::Message(this, "File Dropped",
                        QString("%1 (%2, %3) %4")
                            .arg(f)
                            .arg(at.x())
                            .arg(at.y())
                            .arg(inClient ? "TRUE" : "FALSE"));
}

void TMainWindow::dragEnterEvent(QDragEnterEvent* e) {
    if (e->mimeData()->hasUrls()) e->acceptProposedAction();
}

void TMainWindow::dropEvent(QDropEvent* e) {
    QStringList files;
    for (const QUrl& u : e->mimeData()->urls()) files << u.toLocalFile();
    QPoint at = e->position().toPoint();
    FilesDropped(files, at, centralWidget()->geometry().contains(at));
    e->acceptProposedAction();
}

// ---- tray ----

void TMainWindow::SetTray(bool on) {
    if (!on) {
        delete tray_;
        tray_ = nullptr;
        return;
    }
    if (tray_) return;
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        if (!noTrayNoted_) {
            noTrayNoted_ = true;
            ShowStatus(
                "The desktop has no notification area: the window stays in the task bar when "
                "minimised.");
        }
        return;
    }
    tray_ = new QSystemTrayIcon(AppIcon(), this);
    tray_->setObjectName("102");
    tray_->setToolTip(kCaption);
    connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) {
        if (r == QSystemTrayIcon::Trigger) BringToFront();
    });
    tray_->show();
}

void TMainWindow::UpdateTrayTip() {
    if (!tray_ || !client_) return;
    size_t running = client_->RunningJobIds().size();
    QString tip =
        running ? QString("Zarkell'40 - %1 job%2 running").arg(running).arg(running == 1 ? "" : "s")
                : QString(kCaption);
    if (tray_->toolTip() != tip) tray_->setToolTip(tip.left(63));
    if (!tray_->isVisible()) tray_->show();
}

bool TMainWindow::TrayIcon(uint32_t op, const ZKTrayIcon& icon) {
    if (!QSystemTrayIcon::isSystemTrayAvailable() || closing_) return false;
    auto it = moduleTrays_.find(icon.id);
    if (op == ZKM_TRAY_DELETE) {
        if (it == moduleTrays_.end()) return false;
        delete it->second;
        moduleTrays_.erase(it);
        return true;
    }
    if (op != ZKM_TRAY_ADD && op != ZKM_TRAY_MODIFY) return false;
    QSystemTrayIcon* t = it == moduleTrays_.end() ? nullptr : it->second;
    if (!t) {
        t = new QSystemTrayIcon(this);
        const uint32_t id = icon.id;
        connect(t, &QSystemTrayIcon::activated, this,
                [this, id](QSystemTrayIcon::ActivationReason r) {
                    if (!client_) return;
                    uint32_t mouse = r == QSystemTrayIcon::DoubleClick ? ZK_MOUSE_LEFT_DOUBLE
                                     : r == QSystemTrayIcon::Context   ? ZK_MOUSE_RIGHT_UP
                                                                       : ZK_MOUSE_LEFT_UP;
                    client_->Pump().Post(ZKM_TRAY_CALLBACK, id, mouse);
                });
        moduleTrays_[icon.id] = t;
    }
    QString name = QString::fromUtf8(icon.icon, strnlen(icon.icon, sizeof icon.icon));
    QIcon image = QFileInfo::exists(name) ? QIcon(name) : QIcon::fromTheme(name, AppIcon());
    t->setIcon(image);
    t->setToolTip(QString::fromUtf8(icon.tip, strnlen(icon.tip, sizeof icon.tip)));
    t->show();
    return true;
}

// ---- commands ----

void TMainWindow::Run(int id) {
    if (!client_) return;
    // No enable check here: the job may have started since the menu showed,
    // and the commands that care check the state they find themselves.
    switch (id) {
        case kCmdEnableScheduler:
        case kCmdSchedulerButton:
            return CmdEnableScheduler();
        case kCmdImport:
            return CmdImport();
        case kCmdExport:
            return CmdExport();
        case kCmdAppProperties:
            return CmdAppProperties();
        case kCmdExit:
            close();
            return;
        case kCmdNewJob:
            return CmdNewJob();
        case kCmdInsertAction:
            return CmdInsertAction();
        case kCmdDelete:
            return CmdDelete();
        case kCmdRename:
            return CmdRename();
        case kCmdProperties:
            return CmdProperties();
        case kCmdRunNow:
            return CmdRunNow();
        case kCmdAbort:
            return CmdAbort();
        case kCmdConnDialUp:
            return CmdConnection(1);
        case kCmdConnDedicated:
            return CmdConnection(2);
        case kCmdConnNone:
            return CmdConnection(0);
        case kCmdConnProperties:
            return CmdConnectionProperties();
        case kCmdForceUpdate:
            return CmdForceUpdate();
        case kCmdDebug:
            if (dialogs_.debugProperties) return dialogs_.debugProperties(this, *client_);
            return Missing("Debug Properties");
        case kCmdLoadTypes:
            if (dialogs_.loadActionTypes) {
                dialogs_.loadActionTypes(this, *client_);
                ModulesChanged();
                return;
            }
            return Missing("Load Action Types");
        case kCmdHelpContents:
            return CmdHelpContents();
        case kCmdHelpUsing:
            return CmdContextHelp();
        case kCmdReleaseNotes:
            if (dialogs_.releaseNotes) return dialogs_.releaseNotes(this, *client_);
            return Missing("Release Notes");
        case kCmdAbout:
            if (dialogs_.about) return dialogs_.about(this, *client_);
            Prompt::Message(this, "About Zarkell'40",
                            QString("Zarkell'40 (Build %1)\nA job scheduler.").arg(kBuildNumber),
                            QMessageBox::Information);
            return;
        default:
            return;
    }
}

void TMainWindow::Missing(const char* what) {
    Prompt::Message(this, kCaption, QString("The %1 dialog is not part of this build.").arg(what),
                    QMessageBox::Information);
}

void TMainWindow::CmdEnableScheduler() {
    client_->EnableScheduler(!client_->SchedulerEnabled());
    UpdateCommands();
}

void TMainWindow::CmdImport() {
    QString file = Prompt::OpenFile(this, "Import Jobs", kRegFilter);
    if (file.isEmpty()) return;
    const std::string path = file.toStdString();
    jobops::ImportSummary plan;
    jobops::Result r = client_->PreviewImport(path, false, &plan);
    // Adding is what an import does unless the user chooses to replace;
    // a file whose names are taken can still replace.
    const bool canAdd = r.Ok();
    if (!canAdd && !client_->PreviewImport(path, true, &plan)) {
        Prompt::Message(this, kCaption, "An error occured importing jobs\n\n" + Q(r.Error),
                        QMessageBox::Critical);
        return;
    }
    auto jobs = [](size_t n) { return n == 1 ? QString("1 job") : QString("%1 jobs").arg(n); };
    QString names;
    for (const jobops::ImportedJob& j : plan.Added) names += "\n    " + Q(j.Name);
    QString question =
        canAdd ? QString(
                     "Add the %1 of %2 to your jobs?%3\n\nReplace All removes every job you "
                     "have now first.")
                     .arg(jobs(plan.Added.size()), file, names)
               : QString(
                     "The jobs of %1 cannot be added to yours: %2\n\nReplace All removes "
                     "every job you have now and keeps only the %3 of the file.")
                     .arg(file, Q(r.Error), jobs(plan.Added.size()));
    QMessageBox::StandardButtons buttons = QMessageBox::YesToAll | QMessageBox::Cancel;
    if (canAdd) buttons |= QMessageBox::Yes;
    QMessageBox::StandardButton choice =
        Prompt::Message(this, kCaption, question, QMessageBox::Question, buttons,
                        canAdd ? QMessageBox::Yes : QMessageBox::Cancel,
                        {{QMessageBox::Yes, "&Add"}, {QMessageBox::YesToAll, "&Replace All..."}});
    bool replace = choice == QMessageBox::YesToAll;
    if (choice != QMessageBox::Yes && !replace) return;
    if (replace) {
        jobops::ImportSummary full;
        if (jobops::Result p = client_->PreviewImport(path, true, &full); !p) {
            Prompt::Message(this, kCaption, "An error occured importing jobs\n\n" + Q(p.Error),
                            QMessageBox::Critical);
            return;
        }
        QString gone;
        for (const jobops::ImportedJob& j : full.Removed) gone += "\n    " + Q(j.Name);
        if (!full.Removed.empty() &&
            Prompt::Message(
                this, kCaption,
                QString("Replacing removes your %1 and their actions:%2\n\nThe run "
                        "history of a job that is not in the file goes too. Replace "
                        "them with the %3 of %4?")
                    .arg(jobs(full.Removed.size()), gone, jobs(full.Added.size()), file),
                QMessageBox::Warning, QMessageBox::Yes | QMessageBox::No,
                QMessageBox::No) != QMessageBox::Yes)
            return;
    }
    jobops::ImportSummary done;
    r = client_->ImportJobs(path, replace, &done);
    if (!r) {
        Prompt::Message(this, kCaption, "An error occured importing jobs\n\n" + Q(r.Error),
                        QMessageBox::Critical);
        return;
    }
    ShowStatus("Jobs:  Imported " + jobs(done.Added.size()).toStdString() + " from " + path +
               (replace ? "; " + std::to_string(done.Removed.size()) + " removed" : ""));
}

void TMainWindow::CmdExport() {
    QString file = Prompt::SaveFile(this, "Export Jobs", kRegFilter);
    if (file.isEmpty()) return;
    std::string error = client_->ExportJobs(file.toStdString());
    if (!error.empty())
        Prompt::Message(this, kCaption, "An error occured exporting jobs\n\n" + Q(error),
                        QMessageBox::Critical);
}

void TMainWindow::CmdAppProperties() {
    if (!dialogs_.appProperties) return Missing("Application Properties");
    if (!dialogs_.appProperties(this, *client_)) return;
    // The tray bit may have changed.
    SetTray(false);
    if (app_->FlagBit(kFlagUseTrayIcon)) SetTray(true);
}

void TMainWindow::CmdNewJob() {
    bool usedForm = true;
    std::optional<JobSettings> settings;
    if (dialogs_.newJob)
        settings = dialogs_.newJob(this, *client_, &usedForm);
    else
        settings = JobSettings();
    if (!settings) return;
    uint32_t id = 0;
    jobops::Result r = client_->NewJob(*settings, {}, &id);
    if (!r) {
        Prompt::Message(this, kCaption, Q(r.Error), QMessageBox::NoIcon);
        return;
    }
    QTreeWidgetItem* item = JobItem(id);
    if (!item) return;
    tree_->setCurrentItem(item);
    if (usedForm) {
        tree_->setFocus();
        tree_->editItem(item);
    }
}

void TMainWindow::CmdInsertAction() {
    if (!selJob_) return;
    if (!dialogs_.chooseActionType) return Missing("Insert Action");
    ActionIdentity chosen;
    if (!dialogs_.chooseActionType(this, *client_, &chosen)) return;
    uint32_t h = client_->InsertAction(selJob_, chosen.vendor, chosen.module, chosen.action);
    if (QTreeWidgetItem* item = ActionItem(h)) tree_->setCurrentItem(item);
}

void TMainWindow::CmdDelete() {
    if (!selJob_ && !selAction_) return;
    std::string refusal =
        selAction_ ? client_->DeleteAction(selAction_) : client_->DeleteJob(selJob_);
    if (!refusal.empty()) Prompt::Message(this, kCaption, Q(refusal), QMessageBox::NoIcon);
}

void TMainWindow::CmdRename() {
    if (QTreeWidgetItem* item = JobItem(selJob_)) {
        tree_->setCurrentItem(item);
        tree_->setFocus();
        tree_->editItem(item);
    }
}

void TMainWindow::CmdProperties() {
    if (selAction_) {
        std::string refusal = client_->EditActionPreferences(selAction_);
        if (!refusal.empty()) Prompt::Message(this, kCaption, Q(refusal), QMessageBox::NoIcon);
        return;
    }
    TJob* job = client_->FindJob(selJob_);
    if (!job) return;
    if (!dialogs_.jobProperties) return Missing("Job Properties");
    const uint32_t id = selJob_;
    std::optional<JobSettings> edited =
        dialogs_.jobProperties(this, *client_, JobSettings::FromJob(*job));
    if (!edited) return;
    jobops::Result r = client_->ApplySettings(id, *edited);
    if (!r) Prompt::Message(this, kCaption, Q(r.Error), QMessageBox::NoIcon);
}

void TMainWindow::CmdRunNow() {
    if (!selJob_) return;
    jobops::Result r = client_->RunNow(selJob_);
    if (!r) Prompt::Message(this, kCaption, Q(r.Error), QMessageBox::NoIcon);
}

void TMainWindow::CmdAbort() {
    if (selAction_)
        client_->AbortAction(selAction_);
    else
        client_->AbortJob(selJob_);
}

void TMainWindow::CmdConnection(uint32_t type) {
    client_->SetConnectionType(type);
    UpdateCommands();
}

void TMainWindow::CmdConnectionProperties() {
    if (!dialogs_.connection) return Missing("Connection Type");
    if (dialogs_.connection(this, *client_))
        client_->SetConnectionType(app_->base.GetDword("ConnType", 0));
    UpdateCommands();
}

void TMainWindow::CmdForceUpdate() { client_->Updates().ForceUpdate(); }

void TMainWindow::CmdHelpContents() {
    // The installed help when there is one, else the help built in.
    QString path = Q(TRegString(app_->base, "HelpPath", "").Get()) + "zarkell40.html";
    QString source = QFileInfo::exists(path) ? path : ":/zk40/help/index.html";
    QDialog dialog(this);
    dialog.setObjectName("helpContents");
    dialog.setWindowTitle("Zarkell'40 Help");
    auto* layout = new QVBoxLayout(&dialog);
    auto* browser = new QTextBrowser(&dialog);
    browser->setObjectName("helpBrowser");
    browser->setOpenExternalLinks(true);
    browser->setSource(QUrl::fromLocalFile(source).isLocalFile() && !source.startsWith(':')
                           ? QUrl::fromLocalFile(source)
                           : QUrl("qrc" + source));
    layout->addWidget(browser);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, &dialog);
    connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    layout->addWidget(buttons);
    dialog.resize(640, 520);
    Prompt::Exec(dialog);
}

void TMainWindow::CmdContextHelp() {
    if (QWhatsThis::inWhatsThisMode())
        QWhatsThis::leaveWhatsThisMode();
    else
        QWhatsThis::enterWhatsThisMode();
    UpdateCommands();
}

// ---- the shape ----

TProgramShape WindowShape(int& argc, char** argv) {
    TProgramShape shape;
    auto app = std::make_unique<QApplication>(argc, argv);
    // Hidden in the tray is not closed: only the window's own close ends
    // the program.
    app->setQuitOnLastWindowClosed(false);
    app->setWindowIcon(AppIcon());
    shape.app = std::move(app);
    auto window = std::make_unique<TMainWindow>();
    InstallDialogs(window->Dialogs());
    shape.view = std::move(window);
    return shape;
}

}  // namespace zk40::ui
