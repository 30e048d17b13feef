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
class TZarkellClient;
}

namespace zk40::dialogs {

struct ActionTypeId {
    std::string vendor, module, action;
    bool operator==(const ActionTypeId&) const = default;
};

// Item data of the catalogue tree: the image index (0 vendor, 1 module,
// 2 release note, 3 action not chosen, 4 action chosen).
inline constexpr int kImageRole = Qt::UserRole + 1;

class TActionTypesDlg : public QDialog {
    Q_OBJECT
public:
    TActionTypesDlg(QWidget* parent, TZarkellClient& client);
    // Loads, unloads and queues as the tree says, in tree order. Returns
    // whether anything was queued for download.
    bool Apply();
    // Flips an action node; other nodes do not toggle.
    void Toggle(QTreeWidgetItem* item);

private:
    void Fill();

    TZarkellClient& client_;
    QTreeWidget* tree_ = nullptr;
};

// The load/unload command. True for OK (the changes are then applied).
bool LoadActionTypes(QWidget* parent, TZarkellClient& client);

class TSelActionDlg : public QDialog {
    Q_OBJECT
public:
    TSelActionDlg(QWidget* parent, TZarkellClient& client);
    // Re-reads the chosen types; true when at least one line is "Loaded".
    bool Fill();
    std::optional<ActionTypeId> Chosen() const;

private:
    void SelectionChanged();

    TZarkellClient& client_;
    QTreeWidget* list_ = nullptr;
    QPushButton* ok_ = nullptr;
};

// "Insert Action...": sends the user through the load dialog while no type
// is loaded, then lets them pick one. Nothing when cancelled.
std::optional<ActionTypeId> SelectActionType(QWidget* parent, TZarkellClient& client);

}  // namespace zk40::dialogs
