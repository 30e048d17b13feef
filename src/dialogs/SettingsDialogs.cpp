#include "dialogs/SettingsDialogs.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "dialogs/DialogCommon.h"
#include "store/AppStore.h"
#include "store/RegValue.h"
#include "store/Trace.h"

namespace zk40::dialogs {

namespace {
// OK, Cancel and Help in a row, with their ids.
QHBoxLayout* ButtonRow(QDialog* dlg, QPushButton** ok, const char* helpTopic) {
    auto* okButton = new QPushButton(QStringLiteral("OK"));
    auto* cancel = new QPushButton(QStringLiteral("Cancel"));
    auto* help = new QPushButton(QStringLiteral("Help"));
    okButton->setDefault(true);
    SetControlIds({{1, okButton}, {2, cancel}, {9, help}});
    QObject::connect(okButton, &QPushButton::clicked, dlg, &QDialog::accept);
    QObject::connect(cancel, &QPushButton::clicked, dlg, &QDialog::reject);
    QObject::connect(help, &QPushButton::clicked, dlg,
                     [dlg, helpTopic] { OpenHelp(dlg, helpTopic); });
    auto* row = new QHBoxLayout;
    row->addStretch();
    row->addWidget(okButton);
    row->addWidget(cancel);
    row->addWidget(help);
    if (ok) *ok = okButton;
    return row;
}
}  // namespace

// ---- application properties ----

TPropertiesDlg::TPropertiesDlg(QWidget* parent, TAppStore& app) : QDialog(parent), app_(app) {
    setWindowTitle(QStringLiteral("Zarkell'40 Properties"));
    setObjectName(QStringLiteral("19800"));
    const char* captions[3] = {"Hide When Minimized?", "Use System Tray Icon?",
                               "StartUp Minimized?"};
    auto* layout = new QVBoxLayout(this);
    for (int i = 0; i < 3; ++i) {
        boxes_[i] = new QCheckBox(QString::fromUtf8(captions[i]));
        boxes_[i]->setChecked(app_.FlagBit(kFlagHideWhenMinimized + i));
        SetControlIds({{19801 + i, boxes_[i]}});
        layout->addWidget(boxes_[i]);
    }
    layout->addLayout(ButtonRow(this, nullptr, "application-properties"));
}

void TPropertiesDlg::Apply() {
    for (int i = 0; i < 3; ++i) {
        const int bit = kFlagHideWhenMinimized + i;
        app_.SetFlagBit(bit, boxes_[i]->isChecked());
        app_.FlagBits[bit] = boxes_[i]->isChecked();
    }
}

bool EditAppProperties(QWidget* parent, TAppStore& app) {
    TPropertiesDlg dlg(parent, app);
    if (dlg.exec() != QDialog::Accepted) return false;
    dlg.Apply();
    return true;
}

// ---- debug ----

bool HasCodeForm(const QString& text) {
    static const QString kSymbols = QStringLiteral("0123456789ABCDEFGHJKMNPQRSTVWXYZOIL");
    if (static_cast<size_t>(text.size()) != debugcode::kLength) return false;
    for (QChar c : text)
        if (!kSymbols.contains(c.toUpper())) return false;
    return true;
}

TDebugDlg::TDebugDlg(QWidget* parent, const TRegKey& base, StoreTime now)
    : QDialog(parent), base_(base), now_(now) {
    setWindowTitle(QStringLiteral("Debug Properties"));
    setObjectName(QStringLiteral("19700"));
    auto* notice = new QLabel(QStringLiteral(
        "Debugging should only be enabled by the direction of a DENTRAX-14 technical support "
        "specialist.  The appropriate debug code will be provided to you at that time."));
    notice->setWordWrap(true);
    enable_ = new QCheckBox(QStringLiteral("Enable Debugging?"));
    code_ = new QLineEdit;
    code_->setMaxLength(static_cast<int>(debugcode::kLength));
    const char* captions[8] = {"General Tracing",       "Start-Up Tracing",
                               "Shutdown Tracing",      "Timer Tracing",
                               "Run Job Tracing",       "Run Action Tracing",
                               "Action Status Tracing", "Action Status-2 Tracing"};
    auto* group = new QGroupBox(QStringLiteral("Tracing Flags"));
    auto* grid = new QGridLayout(group);
    for (int i = 0; i < 8; ++i) {
        boxes_[i] = new QCheckBox(QString::fromUtf8(captions[i]));
        SetControlIds({{kBoxIds[i], boxes_[i]}});
        grid->addWidget(boxes_[i], i % 4, i / 4);
    }
    SetControlIds({{19701, enable_}, {19702, code_}});
    auto* codeRow = new QHBoxLayout;
    codeRow->addWidget(new QLabel(QStringLiteral("Debug Code:")));
    codeRow->addWidget(code_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(notice);
    layout->addWidget(enable_);
    layout->addLayout(codeRow);
    layout->addWidget(group);
    layout->addLayout(ButtonRow(this, &ok_, "debug-properties"));

    TRegDword flags(base_, "DebugFlags", 0);
    storedFlags_ = flags.Get();
    std::string code = base_.GetString("DebugCode");
    enable_->setChecked(!code.empty());
    code_->setText(QString::fromStdString(code));
    code_->setEnabled(enable_->isChecked());
    CodeRule(true);
    // What the tracing boxes now show is what the stored code still allows.
    uint32_t result = 0;
    for (int i = 0; i < 8; ++i)
        if (boxes_[i]->isChecked()) result |= 1u << i;
    flags = result;

    connect(enable_, &QCheckBox::clicked, this, [this] {
        code_->setEnabled(enable_->isChecked());
        if (enable_->isChecked()) {
            CodeRule(false);
        } else {
            ok_->setEnabled(true);
            for (QCheckBox* b : boxes_) b->setVisible(false), b->setEnabled(false);
        }
    });
    connect(code_, &QLineEdit::textChanged, this, [this] { CodeRule(false); });
}

void TDebugDlg::CodeRule(bool atSetUp) {
    auto showBoxes = [this](uint32_t flags, uint32_t permitted) {
        for (int i = 0; i < 8; ++i) {
            boxes_[i]->setChecked(flags & (1u << i));
            boxes_[i]->setVisible(permitted & (1u << i));
            boxes_[i]->setEnabled(permitted & (1u << i));
        }
    };
    if (!enable_->isChecked()) {
        if (atSetUp) {
            ok_->setEnabled(true);
            showBoxes(0, 0);
        }
        return;
    }
    QString text = code_->text();
    if (!HasCodeForm(text)) {
        ok_->setEnabled(false);
        return;
    }
    if (text.contains('O')) {
        // Same length, so the caret stays where the user is typing.
        int cursor = code_->cursorPosition();
        text.replace('O', '0');
        QSignalBlocker block(code_);
        code_->setText(text);
        code_->setCursorPosition(cursor);
    }
    debugcode::Decoded d = debugcode::Decode(text.toStdString());
    const bool valid = d.valid && DayOf(now_) <= DayOf(d.lastValidDay);
    const uint32_t permitted = valid ? d.mask : 0;
    ok_->setEnabled(valid);
    showBoxes(storedFlags_ & permitted, permitted);
}

void TDebugDlg::Apply() {
    std::string code;
    if (enable_->isChecked()) {
        code = code_->text().toStdString();
        uint32_t flags = 0;
        for (int i = 0; i < 8; ++i)
            if (boxes_[i]->isChecked()) flags |= 1u << i;
        base_.SetDword("DebugFlags", flags);
    }
    // Last, so that a code is never stored with the flags of another one.
    base_.SetString("DebugCode", code);
}

bool EditDebugSettings(QWidget* parent, const TRegKey& base, const IClock& clock) {
    TDebugDlg dlg(parent, base, clock.Now());
    if (dlg.exec() != QDialog::Accepted) return false;
    dlg.Apply();
    // What the stored code permits today becomes the flags in effect. No
    // code (debugging turned off) permits nothing: the start-up rule of
    // keeping the flags in effect for an unreadable code must not leave
    // tracing running after the user switched it off here.
    const StoreTime now = clock.Now();
    debugcode::Decoded d = debugcode::Decode(base.GetString("DebugCode"));
    const uint32_t permitted = d.valid && DayOf(now) <= DayOf(d.lastValidDay) ? d.mask : 0;
    const uint32_t flags = base.GetDword("DebugFlags") & permitted;
    base.SetDword("DebugFlags", flags);
    trace::SetFlagsInEffect(flags);
    return true;
}

}  // namespace zk40::dialogs
