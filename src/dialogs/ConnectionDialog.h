#pragma once
// "Select Your Connection Type": none, a dedicated line, or dial-up with a
// phonebook entry and an optional login.
#include <QDialog>
#include <string>
#include <vector>

#include "update/Connection.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace zk40::dialogs {

class TConnTypeDlg : public QDialog {
    Q_OBJECT
public:
    TConnTypeDlg(QWidget* parent, const ConnectionSettings& settings,
                 const std::vector<std::string>& phonebook);
    // What OK stores.
    ConnectionSettings Result() const;

private:
    void ApplyRules();

    ConnectionSettings settings_;
    QRadioButton *none_ = nullptr, *dialUp_ = nullptr, *dedicated_ = nullptr;
    QComboBox* entry_ = nullptr;
    QCheckBox* defaultLogin_ = nullptr;
    QLineEdit *username_ = nullptr, *password_ = nullptr;
    QPushButton* ok_ = nullptr;
};

// Shows the dialog with the phonebook of paths; on OK leaves the choice in
// settings and returns true. The caller stores it.
bool ChooseConnection(QWidget* parent, ConnectionSettings& settings, const PppPaths& paths = {});
// The same, in the form the first-start choice and the connection commands
// take it.
ConnectionDialog ConnectionDialogFor(QWidget* parent, PppPaths paths = {});

}  // namespace zk40::dialogs
