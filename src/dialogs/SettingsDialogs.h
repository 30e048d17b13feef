#pragma once
// The application-wide settings: "Zarkell'40 Properties" (three window
// options, bits 2 to 4 of base\Flags) and "Debug Properties" (tracing
// behind a support access code).
#include <QDialog>
#include <array>

#include "support/StoreTime.h"

class QCheckBox;
class QLineEdit;
class QPushButton;

namespace zk40 {
class TAppStore;
class TRegKey;
}  // namespace zk40

namespace zk40::dialogs {

class TPropertiesDlg : public QDialog {
    Q_OBJECT
public:
    TPropertiesDlg(QWidget* parent, TAppStore& app);
    // Writes the three bits, one at a time, in id order.
    void Apply();

private:
    TAppStore& app_;
    std::array<QCheckBox*, 3> boxes_{};
};

// The application properties command. True for OK; either way the caller
// then shows or removes the tray icon as the use-tray bit now says.
bool EditAppProperties(QWidget* parent, TAppStore& app);

class TDebugDlg : public QDialog {
    Q_OBJECT
public:
    // Opening already rewrites base\DebugFlags: masked by what the stored
    // code permits today, or 0 when debugging is off.
    TDebugDlg(QWidget* parent, const TRegKey& base, StoreTime now);
    void Apply();

    // The eight tracing boxes in bit order.
    static constexpr int kBoxIds[8] = {19703, 19704, 19705, 19706, 19707, 19708, 19711, 19712};

private:
    void CodeRule(bool atSetUp);

    const TRegKey& base_;
    StoreTime now_;
    uint32_t storedFlags_ = 0;
    QCheckBox* enable_ = nullptr;
    QLineEdit* code_ = nullptr;
    std::array<QCheckBox*, 8> boxes_{};
    QPushButton* ok_ = nullptr;
};

// The debug command: on OK stores the code and flags, then makes the flags
// the code permits today the ones in effect. True for OK.
bool EditDebugSettings(QWidget* parent, const TRegKey& base, const IClock& clock);

// Whether text has the shape of an access code: 21 symbols of its alphabet.
bool HasCodeForm(const QString& text);

}  // namespace zk40::dialogs
