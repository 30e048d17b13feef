#include "dialogs/ActionTypeDialogs.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QPushButton>
#include <QStyle>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "dialogs/DialogCommon.h"
#include "modules/ModuleHost.h"
#include "store/Store.h"

namespace zk40::dialogs {

namespace {
constexpr char kOwnVendor[] = "DNTRX-14";
// Node record of the catalogue tree, kept as item data.
constexpr int kVendorRole = Qt::UserRole + 2;
constexpr int kModuleRole = Qt::UserRole + 3;
constexpr int kActionRole = Qt::UserRole + 4;

std::vector<std::string> SubKeys(const TRegKey& key) {
    std::vector<std::string> out;
    std::string name;
    for (uint32_t i = 0; key.EnumSubKey(i, &name) == kRegOk; ++i) out.push_back(name);
    return out;
}

QString Q(const std::string& s) { return QString::fromStdString(s); }

// Catalogue numbers come as decimal text from the update configuration and
// as numbers from the module host (VERSION); either reads the same.
long NumberOf(const TRegKey& key, const char* name) {
    RegValueData d;
    if (key.Query(name, &d) != kRegOk) return 0;
    uint32_t v = 0;
    if (d.type == REG_DWORD && DecodeDword(d.data, &v)) return static_cast<long>(v);
    return LeadingInt(Q(DecodeRegString(d.data)));
}

QHBoxLayout* Buttons(std::initializer_list<QPushButton*> buttons) {
    auto* row = new QHBoxLayout;
    row->addStretch();
    for (QPushButton* b : buttons) row->addWidget(b);
    return row;
}

// The tree's images drawn from the style, so they match the desktop.
QIcon ImageOf(int image) {
    QStyle* s = QApplication::style();
    switch (image) {
        case 0:
            return s->standardIcon(QStyle::SP_DirIcon);
        case 1:
            return s->standardIcon(QStyle::SP_FileIcon);
        case 2:
            return s->standardIcon(QStyle::SP_FileDialogInfoView);
        case 3:
            return s->standardIcon(QStyle::SP_DialogCancelButton);
        default:
            return s->standardIcon(QStyle::SP_DialogApplyButton);
    }
}

void SetImage(QTreeWidgetItem* item, int image) {
    item->setData(0, kImageRole, image);
    item->setIcon(0, ImageOf(image));
    if (image == 3 || image == 4) item->setCheckState(0, image == 4 ? Qt::Checked : Qt::Unchecked);
}

bool IsActionNode(const QTreeWidgetItem* item) {
    return item && !item->data(0, kActionRole).toString().isEmpty();
}
}  // namespace

// ---- Load/Unload Action Types ----

TActionTypesDlg::TActionTypesDlg(QWidget* parent, IActionTypeSource& types)
    : QDialog(parent), types_(types) {
    setWindowTitle(QStringLiteral("Load/Unload Action Types"));
    setObjectName(QStringLiteral("21600"));
    tree_ = new QTreeWidget;
    tree_->setHeaderHidden(true);
    auto* ok = new QPushButton(QStringLiteral("OK"));
    auto* cancel = new QPushButton(QStringLiteral("Cancel"));
    auto* help = new QPushButton(QStringLiteral("Help"));
    ok->setDefault(true);
    SetControlIds({{21602, tree_}, {1, ok}, {2, cancel}, {9, help}});
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(help, &QPushButton::clicked, this, [this] { OpenHelp(this, "action-types"); });
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tree_);
    layout->addLayout(Buttons({ok, cancel, help}));
    resize(640, 420);
    Fill();
    connect(tree_, &QTreeWidget::itemDoubleClicked, this,
            [this](QTreeWidgetItem* item) { Toggle(item); });
    // A click on the box (the node's image) or the space bar changes the
    // check state; keep the image in step with it.
    connect(tree_, &QTreeWidget::itemChanged, this, [this](QTreeWidgetItem* item) {
        if (!IsActionNode(item)) return;
        int image = item->checkState(0) == Qt::Checked ? 4 : 3;
        if (item->data(0, kImageRole).toInt() != image) SetImage(item, image);
    });
}

void TActionTypesDlg::Fill() {
    const TRegKey& actions = types_.Catalogue();
    QList<QTreeWidgetItem*> vendors;
    for (const std::string& v : SubKeys(actions)) {
        TRegKey vk(actions, v);
        auto* vendor = new QTreeWidgetItem(QStringList{
            (v == kOwnVendor ? QStringLiteral(".") : QString()) + Q(vk.GetString("VENDOR"))});
        SetImage(vendor, 0);
        vendor->setData(0, kVendorRole, Q(v));
        vendors << vendor;
        for (const std::string& m : SubKeys(vk)) {
            TRegKey mk(vk, m);
            if (NumberOf(mk, "MINBASE") > static_cast<long>(kBuildNumber)) continue;
            auto* module = new QTreeWidgetItem(
                vendor, QStringList{QStringLiteral("%1 (%2) [Latest Version: v%3]")
                                        .arg(Q(mk.GetString("LONGNAME")), Q(mk.GetString("NAME")))
                                        .arg(NumberOf(mk, "AVAILVER"))});
            SetImage(module, 1);
            module->setData(0, kVendorRole, Q(v));
            module->setData(0, kModuleRole, Q(m));
            for (const std::string& a : SubKeys(mk)) {
                TRegKey ak(mk, a);
                const bool loaded = ak.GetDword("LOADED") == 1;
                QString text = Q(ak.GetString("DESC"));
                if (loaded)
                    text += QStringLiteral(" [Loaded Version: v%1]").arg(NumberOf(mk, "VERSION"));
                if (!ak.GetString("STATUS").empty())
                    text += QStringLiteral(" <%1>").arg(Q(ak.GetString("STATUS")));
                auto* action = new QTreeWidgetItem(module, QStringList{text});
                action->setData(0, kVendorRole, Q(v));
                action->setData(0, kModuleRole, Q(m));
                action->setData(0, kActionRole, Q(a));
                SetImage(action, loaded ? 4 : 3);
                for (int n = 1;; ++n) {
                    const std::string name = std::to_string(n) + "NOTES";
                    if (!ak.HasValue(name)) break;
                    auto* note = new QTreeWidgetItem(
                        action,
                        QStringList{
                            QStringLiteral("[Rel %1] %2").arg(n).arg(Q(ak.GetString(name)))});
                    SetImage(note, 2);
                }
            }
        }
    }
    // Only the top level is sorted; modules, types and notes keep their order.
    std::stable_sort(vendors.begin(), vendors.end(), [](QTreeWidgetItem* a, QTreeWidgetItem* b) {
        return a->text(0) < b->text(0);
    });
    tree_->addTopLevelItems(vendors);
    for (QTreeWidgetItem* vendor : vendors)
        if (vendor->data(0, kVendorRole).toString() == kOwnVendor) {
            vendor->setExpanded(true);
            for (int i = 0; i < vendor->childCount(); ++i) vendor->child(i)->setExpanded(true);
        }
}

void TActionTypesDlg::Toggle(QTreeWidgetItem* item) {
    if (!IsActionNode(item)) return;
    SetImage(item, item->data(0, kImageRole).toInt() == 4 ? 3 : 4);
}

bool TActionTypesDlg::Apply() {
    size_t queued = 0;
    for (QTreeWidgetItemIterator it(tree_); *it; ++it) {
        QTreeWidgetItem* item = *it;
        if (!IsActionNode(item)) continue;
        const std::string v = item->data(0, kVendorRole).toString().toStdString();
        const std::string m = item->data(0, kModuleRole).toString().toStdString();
        const std::string a = item->data(0, kActionRole).toString().toStdString();
        if (item->data(0, kImageRole).toInt() == 4) {
            if (types_.SelectType({v, m, a})) ++queued;
        } else {
            types_.UnselectType({v, m, a});
        }
    }
    if (queued > 0)
        ShowMessage(this, QStringLiteral(
                              "The actions you have selected are now being loaded.  You will not "
                              "be able to add them to a job until they finish downloading."));
    return queued > 0;
}

bool LoadActionTypes(QWidget* parent, IActionTypeSource& types) {
    TActionTypesDlg dlg(parent, types);
    if (dlg.exec() != QDialog::Accepted) return false;
    dlg.Apply();
    return true;
}

// ---- Select Action Type To Add To Job ----

TSelActionDlg::TSelActionDlg(QWidget* parent, IActionTypeSource& types)
    : QDialog(parent), types_(types) {
    setWindowTitle(QStringLiteral("Select Action Type To Add To Job"));
    setObjectName(QStringLiteral("21700"));
    list_ = new QTreeWidget;
    list_->setRootIsDecorated(false);
    list_->setColumnCount(4);
    list_->setHeaderLabels({QStringLiteral("Status"), QStringLiteral("Vendor"),
                            QStringLiteral("Action Type"), QString()});
    list_->header()->resizeSection(0, 65 * 2);
    list_->header()->resizeSection(1, 100 * 2);
    list_->header()->resizeSection(2, 260 * 2);
    // The identity column is the line's key, not something to read.
    list_->setColumnHidden(3, true);
    auto* load = new QPushButton(QStringLiteral("&Load New Types"));
    ok_ = new QPushButton(QStringLiteral("&OK"));
    ok_->setDefault(true);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"));
    auto* help = new QPushButton(QStringLiteral("Help"));
    SetControlIds({{21701, list_},
                   {21702, list_->header()},
                   {21703, load},
                   {1, ok_},
                   {2, cancel},
                   {9, help}});
    connect(load, &QPushButton::clicked, this, [this] {
        if (LoadActionTypes(this, types_)) Fill();
    });
    connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(help, &QPushButton::clicked, this, [this] { OpenHelp(this, "select-action-type"); });
    connect(list_, &QTreeWidget::itemSelectionChanged, this, &TSelActionDlg::SelectionChanged);
    connect(list_, &QTreeWidget::itemDoubleClicked, this, [this] {
        if (ok_->isEnabled()) accept();
    });
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(list_);
    layout->addLayout(Buttons({load, ok_, cancel, help}));
    resize(900, 360);
    Fill();
}

bool TSelActionDlg::Fill() {
    list_->clear();
    const TRegKey& actions = types_.Catalogue();
    QList<QTreeWidgetItem*> lines;
    bool anyLoaded = false;
    for (const std::string& v : SubKeys(actions)) {
        TRegKey vk(actions, v);
        for (const std::string& m : SubKeys(vk)) {
            TRegKey mk(vk, m);
            const bool present = types_.ModuleLoaded(v, m);
            for (const std::string& a : SubKeys(mk)) {
                TRegKey ak(mk, a);
                if (ak.GetDword("LOADED") != 1) continue;
                anyLoaded = anyLoaded || present;
                lines << new QTreeWidgetItem(QStringList{
                    present ? QStringLiteral("Loaded") : QStringLiteral("Pending"),
                    Q(vk.GetString("VENDOR")), Q(ak.GetString("NAME")), Q(v + ":" + m + ":" + a)});
            }
        }
    }
    auto lineText = [](const QTreeWidgetItem* i) {
        return QStringList{i->text(0), i->text(1), i->text(2), i->text(3)}.join('\t');
    };
    std::sort(lines.begin(), lines.end(),
              [&](QTreeWidgetItem* a, QTreeWidgetItem* b) { return lineText(a) < lineText(b); });
    list_->addTopLevelItems(lines);
    SelectionChanged();
    return anyLoaded;
}

void TSelActionDlg::SelectionChanged() {
    QTreeWidgetItem* item = list_->currentItem();
    ok_->setEnabled(item && item->isSelected() && item->text(0) == QStringLiteral("Loaded"));
}

std::optional<ActionTypeId> TSelActionDlg::Chosen() const {
    QTreeWidgetItem* item = list_->currentItem();
    if (!item) return std::nullopt;
    // vendor:module:action, split at the first two colons.
    const std::string key = item->text(3).toStdString();
    size_t first = key.find(':');
    size_t second = first == std::string::npos ? first : key.find(':', first + 1);
    if (second == std::string::npos) return std::nullopt;
    return ActionTypeId{key.substr(0, first), key.substr(first + 1, second - first - 1),
                        key.substr(second + 1)};
}

std::optional<ActionTypeId> SelectActionType(QWidget* parent, IActionTypeSource& types) {
    TSelActionDlg dlg(parent, types);
    while (!dlg.Fill()) {
        ShowMessage(parent, QStringLiteral(
                                "You currently have no available actions loaded.  In the next "
                                "dialog box, please specify the actions you would like to load."));
        if (!LoadActionTypes(parent, types)) break;
    }
    if (dlg.exec() != QDialog::Accepted) return std::nullopt;
    return dlg.Chosen();
}

}  // namespace zk40::dialogs
