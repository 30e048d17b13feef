#include "dialogs/ConnectionDialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>
#include <algorithm>

#include "dialogs/DialogCommon.h"

namespace zk40::dialogs {

TConnTypeDlg::TConnTypeDlg(QWidget* parent, const ConnectionSettings& settings,
                           const std::vector<std::string>& phonebook)
    : QDialog(parent), settings_(settings) {
    setWindowTitle(QStringLiteral("Select Your Connection Type"));
    setObjectName(QStringLiteral("21800"));
    auto* group = new QGroupBox(QStringLiteral("Connection Type:"));
    none_ = new QRadioButton(QStringLiteral("No Internet Connection"));
    dedicated_ = new QRadioButton(QStringLiteral("Dedicated Internet Connection"));
    dialUp_ = new QRadioButton(QStringLiteral("Dial-Up-Networking Connection"));
    entry_ = new QComboBox;
    defaultLogin_ = new QCheckBox(QStringLiteral("Use Default Login/Password?"));
    username_ = new QLineEdit;
    username_->setMaxLength(60);
    password_ = new QLineEdit;
    password_->setMaxLength(60);
    password_->setEchoMode(QLineEdit::Password);
    ok_ = new QPushButton(QStringLiteral("OK"));
    ok_->setDefault(true);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"));
    auto* help = new QPushButton(QStringLiteral("Help"));
    SetControlIds({{21801, group},
                   {21802, none_},
                   {21804, dedicated_},
                   {21803, dialUp_},
                   {21805, entry_},
                   {21806, defaultLogin_},
                   {21807, username_},
                   {21808, password_},
                   {1, ok_},
                   {2, cancel},
                   {9, help}});

    auto* radios = new QVBoxLayout(group);
    radios->addWidget(none_);
    radios->addWidget(dedicated_);
    radios->addWidget(dialUp_);
    auto* dun = new QFormLayout;
    dun->addRow(QStringLiteral("DUN Entry:"), entry_);
    dun->addRow(defaultLogin_);
    dun->addRow(QStringLiteral("Login Username:"), username_);
    dun->addRow(QStringLiteral("Login Password:"), password_);
    radios->addLayout(dun);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ok_);
    buttons->addWidget(cancel);
    buttons->addWidget(help);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(group);
    layout->addLayout(buttons);

    std::vector<std::string> sorted = phonebook;
    std::sort(sorted.begin(), sorted.end());
    for (const std::string& e : sorted) entry_->addItem(QString::fromStdString(e));
    // The stored entry when the phonebook still has it, else the first one
    // the phonebook listed.
    int stored = entry_->findText(QString::fromStdString(settings.dunEntry), Qt::MatchExactly);
    if (stored < 0 && !phonebook.empty())
        stored = entry_->findText(QString::fromStdString(phonebook.front()), Qt::MatchExactly);
    entry_->setCurrentIndex(stored);
    none_->setChecked(settings.connType == kConnNone);
    dedicated_->setChecked(settings.connType == kConnDedicated);
    dialUp_->setChecked(settings.connType == kConnDialUp);
    defaultLogin_->setChecked(settings.dunUsername.empty());
    username_->setText(QString::fromStdString(settings.dunUsername));
    password_->setText(QString::fromStdString(settings.dunPassword));

    for (QAbstractButton* b :
         {static_cast<QAbstractButton*>(none_), static_cast<QAbstractButton*>(dedicated_),
          static_cast<QAbstractButton*>(dialUp_), static_cast<QAbstractButton*>(defaultLogin_)})
        connect(b, &QAbstractButton::clicked, this, &TConnTypeDlg::ApplyRules);
    connect(entry_, &QComboBox::currentIndexChanged, this, &TConnTypeDlg::ApplyRules);
    connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(help, &QPushButton::clicked, this, [this] { OpenHelp(this, "connection-type"); });
    ApplyRules();
}

void TConnTypeDlg::ApplyRules() {
    const bool dialUp = dialUp_->isChecked();
    entry_->setEnabled(dialUp);
    defaultLogin_->setEnabled(dialUp);
    username_->setEnabled(dialUp && !defaultLogin_->isChecked());
    password_->setEnabled(dialUp && !defaultLogin_->isChecked());
    if (dialUp)
        ok_->setEnabled(!entry_->currentText().isEmpty());
    else
        // A stored type outside the three selects no radio; OK waits for a choice.
        ok_->setEnabled(none_->isChecked() || dedicated_->isChecked());
}

ConnectionSettings TConnTypeDlg::Result() const {
    ConnectionSettings s = settings_;
    s.connType = none_->isChecked()        ? kConnNone
                 : dedicated_->isChecked() ? kConnDedicated
                                           : kConnDialUp;
    s.dunEntry = entry_->currentText().toStdString();
    if (defaultLogin_->isChecked()) {
        s.dunUsername.clear();
        s.dunPassword.clear();
    } else {
        s.dunUsername = username_->text().toStdString();
        s.dunPassword = password_->text().toStdString();
    }
    return s;
}

bool ChooseConnection(QWidget* parent, ConnectionSettings& settings, const PppPaths& paths) {
    TConnTypeDlg dlg(parent, settings, PhonebookEntries(paths));
    if (dlg.exec() != QDialog::Accepted) return false;
    settings = dlg.Result();
    return true;
}

ConnectionDialog ConnectionDialogFor(QWidget* parent, PppPaths paths) {
    return [parent, paths](ConnectionSettings& settings) {
        return ChooseConnection(parent, settings, paths);
    };
}

}  // namespace zk40::dialogs
