#include "ui/Prompt.h"

#include <QAbstractButton>
#include <QDialog>
#include <QFileDialog>
#include <deque>
#include <variant>

namespace zk40::ui {

namespace {

using Answer = std::variant<QMessageBox::StandardButton, QString, std::function<int(QDialog&)>>;

struct State {
    bool armed = false;
    std::deque<Answer> answers;
    std::vector<PromptRecord> shown;
};

State& S() {
    static State s;
    return s;
}

// The next queued answer of type T, when the front of the queue has it.
template <typename T>
bool Take(T* out) {
    State& s = S();
    if (s.answers.empty() || !std::holds_alternative<T>(s.answers.front())) return false;
    *out = std::get<T>(s.answers.front());
    s.answers.pop_front();
    return true;
}

}  // namespace

QMessageBox::StandardButton Prompt::Message(QWidget* parent, const QString& caption,
                                            const QString& text, QMessageBox::Icon icon,
                                            QMessageBox::StandardButtons buttons,
                                            QMessageBox::StandardButton defaultButton,
                                            const std::vector<std::pair<QMessageBox::StandardButton, QString>>& labels) {
    if (S().armed) {
        QMessageBox::StandardButton b = QMessageBox::NoButton;
        bool answered = Take(&b);
        S().shown.push_back({PromptRecord::Message, caption, text, icon, answered});
        if (answered) return b;
        // Unanswered: the button that leaves things as they are.
        if (buttons & QMessageBox::Cancel) return QMessageBox::Cancel;
        if (buttons & QMessageBox::No) return QMessageBox::No;
        return QMessageBox::Ok;
    }
    QMessageBox box(icon, caption, text, buttons, parent);
    if (defaultButton != QMessageBox::NoButton) box.setDefaultButton(defaultButton);
    for (const auto& [b, label] : labels)
        if (QAbstractButton* button = box.button(b)) button->setText(label);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

namespace {
QString FileDialog(QWidget* parent, const QString& caption, const QString& filter, bool save) {
    if (S().armed) {
        QString path;
        bool answered = Take(&path);
        S().shown.push_back({save ? PromptRecord::SaveFile : PromptRecord::OpenFile, caption,
                             filter, QMessageBox::NoIcon, answered});
        return path;
    }
    // Our own dialog rather than the desktop's: the same on every desktop,
    // and an existing file is not questioned (the export refuses it itself).
    QFileDialog::Options options =
        QFileDialog::DontUseNativeDialog | QFileDialog::DontConfirmOverwrite;
    return save ? QFileDialog::getSaveFileName(parent, caption, {}, filter, nullptr, options)
                : QFileDialog::getOpenFileName(parent, caption, {}, filter, nullptr, options);
}
}  // namespace

QString Prompt::OpenFile(QWidget* parent, const QString& caption, const QString& filter) {
    return FileDialog(parent, caption, filter, false);
}

QString Prompt::SaveFile(QWidget* parent, const QString& caption, const QString& filter) {
    return FileDialog(parent, caption, filter, true);
}

int Prompt::Exec(QDialog& dialog) {
    if (S().armed) {
        std::function<int(QDialog&)> answer;
        bool answered = Take(&answer);
        S().shown.push_back({PromptRecord::Dialog, dialog.windowTitle(), dialog.objectName(),
                             QMessageBox::NoIcon, answered});
        return answered ? answer(dialog) : int(QDialog::Rejected);
    }
    return dialog.exec();
}

void PromptAnswers::Arm() { S().armed = true; }
void PromptAnswers::Disarm() {
    S().armed = false;
    S().answers.clear();
}
bool PromptAnswers::Armed() { return S().armed; }
void PromptAnswers::Button(QMessageBox::StandardButton button) { S().answers.push_back(button); }
void PromptAnswers::File(const QString& path) { S().answers.push_back(path); }
void PromptAnswers::Dialog(std::function<int(QDialog&)> answer) {
    S().answers.push_back(std::move(answer));
}
const std::vector<PromptRecord>& PromptAnswers::Shown() { return S().shown; }
void PromptAnswers::Clear() {
    S().shown.clear();
    S().answers.clear();
}
size_t PromptAnswers::Pending() { return S().answers.size(); }

}  // namespace zk40::ui
