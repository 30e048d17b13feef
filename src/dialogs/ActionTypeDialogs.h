#pragma once
// The action type catalogue in front of the user: "Load/Unload Action
// Types" chooses which types are loaded (queuing downloads for those not on
// disk), "Select Action Type To Add To Job" returns the type a new action
// of a job gets.
#include <QDialog>
#include <optional>
#include <string>
#include <vector>

class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace zk40 {
class TRegKey;
}

namespace zk40::dialogs {

struct ActionTypeId {
    std::string vendor, module, action;
    bool operator==(const ActionTypeId&) const = default;
};

// What these dialogs need of the running program. The program's side
// implements it (ui/DialogWiring.h), so the dialogs can be built and tested
// without it.
class IActionTypeSource {
public:
    virtual ~IActionTypeSource() = default;
    // The catalogue: vendor\module\action keys as the update configuration
    // and the module host keep them.
    virtual const TRegKey& Catalogue() const = 0;
    // Whether the module host has the module loaded now: a type marked
    // loaded whose module is not there is still being downloaded.
    virtual bool ModuleLoaded(const std::string& vendor, const std::string& module) const = 0;
    // "Load": LOADED 1, the module loaded from disk or, when it is not on
    // disk, queued for download (true).
    virtual bool SelectType(const ActionTypeId& type) = 0;
    // "Unload": LOADED 0, and the module let go.
    virtual void UnselectType(const ActionTypeId& type) = 0;
};

// Item data of the catalogue tree: the image index (0 vendor, 1 module,
// 2 release note, 3 action not chosen, 4 action chosen).
inline constexpr int kImageRole = Qt::UserRole + 1;

class TActionTypesDlg : public QDialog {
    Q_OBJECT
public:
    TActionTypesDlg(QWidget* parent, IActionTypeSource& types);
    // Loads, unloads and queues as the tree says, in tree order. Returns
    // whether anything was queued for download.
    bool Apply();
    // Flips an action node; other nodes do not toggle.
    void Toggle(QTreeWidgetItem* item);

private:
    void Fill();

    IActionTypeSource& types_;
    QTreeWidget* tree_ = nullptr;
};

// The load/unload command. True for OK (the changes are then applied).
bool LoadActionTypes(QWidget* parent, IActionTypeSource& types);

class TSelActionDlg : public QDialog {
    Q_OBJECT
public:
    TSelActionDlg(QWidget* parent, IActionTypeSource& types);
    // Re-reads the chosen types; true when at least one line is "Loaded".
    bool Fill();
    std::optional<ActionTypeId> Chosen() const;

private:
    void SelectionChanged();

    IActionTypeSource& types_;
    QTreeWidget* list_ = nullptr;
    QPushButton* ok_ = nullptr;
};

// "Insert Action...": sends the user through the load dialog while no type
// is loaded, then lets them pick one. Nothing when cancelled.
std::optional<ActionTypeId> SelectActionType(QWidget* parent, IActionTypeSource& types);

}  // namespace zk40::dialogs
