#pragma once
// Every message box, file dialog and modal dialog of the program goes
// through here, so that a test can answer them in advance: it queues the
// answers, runs the command, and reads back what was shown. With answers
// armed, a prompt that finds none is recorded as unanswered and cancelled
// instead of waiting for a person.
#include <QMessageBox>
#include <QString>
#include <functional>
#include <utility>
#include <vector>

class QDialog;
class QWidget;

namespace zk40::ui {

struct PromptRecord {
    enum Kind { Message, OpenFile, SaveFile, Dialog } kind;
    QString caption;
    QString text;  // message text, file filter, or the dialog's object name
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    bool answered = true;
};

class Prompt {
public:
    // A modal message box; returns the button pressed. labels give buttons
    // words of their own ("Add", "Replace All...").
    static QMessageBox::StandardButton Message(
        QWidget* parent, const QString& caption, const QString& text,
        QMessageBox::Icon icon = QMessageBox::NoIcon,
        QMessageBox::StandardButtons buttons = QMessageBox::Ok,
        QMessageBox::StandardButton defaultButton = QMessageBox::NoButton,
        const std::vector<std::pair<QMessageBox::StandardButton, QString>>& labels = {});
    // File dialogs: the chosen path, or "" when cancelled.
    static QString OpenFile(QWidget* parent, const QString& caption, const QString& filter);
    static QString SaveFile(QWidget* parent, const QString& caption, const QString& filter);
    // Runs a modal dialog; returns its result (QDialog::Accepted or
    // Rejected, or whatever the dialog ends with).
    static int Exec(QDialog& dialog);
};

// The test side.
class PromptAnswers {
public:
    // From now on prompts take queued answers and never wait for a person.
    static void Arm();
    static void Disarm();
    static bool Armed();
    static void Button(QMessageBox::StandardButton button);
    // A file dialog's answer; "" cancels.
    static void File(const QString& path);
    // A modal dialog's answer: the function gets the dialog, already set up
    // (fill its controls, press its buttons) and returns the dialog result.
    static void Dialog(std::function<int(QDialog&)> answer);
    // What was shown since the last Clear, in order.
    static const std::vector<PromptRecord>& Shown();
    static void Clear();
    // Answers queued and not used.
    static size_t Pending();
};

}  // namespace zk40::ui
