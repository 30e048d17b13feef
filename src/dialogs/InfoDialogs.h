#pragma once
// The read-only dialogs: "Release Notes" of the builds the update server
// announced, and the about box.
#include <QDialog>

class QComboBox;
class QLineEdit;
class QPlainTextEdit;

namespace zk40 {
class TRegKey;
}

namespace zk40::dialogs {

class TReleaseNotesDlg : public QDialog {
    Q_OBJECT
public:
    // config: the store's config key, read afresh at each selection since
    // the update worker may rewrite it meanwhile.
    TReleaseNotesDlg(QWidget* parent, const TRegKey& config);

private:
    void ShowBuild(long build);
    void SelectionChanged(int index);

    const TRegKey& config_;
    QComboBox* builds_ = nullptr;
    QLineEdit* date_ = nullptr;
    QPlainTextEdit* notes_ = nullptr;
};

void ShowReleaseNotes(QWidget* parent, const TRegKey& config);

class TZarkellAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit TZarkellAboutDlg(QWidget* parent);
    // The libraries the program runs with, one "name version" per line.
    static QStringList LibraryVersions();
};

void ShowAbout(QWidget* parent);

}  // namespace zk40::dialogs
