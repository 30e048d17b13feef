// The settings dialog of a "Run Program" action: program, arguments,
// working folder, time limit, accepted exit codes and lines of output kept.
// Everything is read and written through the host's property requests, so
// the dialog sees exactly what a run of the action will see.
#include "RunProgramDialog.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QDialog>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>
#include <cstring>
#include <string>
#include <vector>

#include "CommandText.h"
#include "RunProgramSettings.h"

using namespace zk40::runprogram;

namespace {

class Properties {
public:
    Properties(const ZKHostFunctions& host, ZKHwnd hwnd, ZKActionHandle handle)
        : host_(host), hwnd_(hwnd), handle_(handle) {}

    QString Text(int16_t rid, const char* fallback) const {
        ZKPropertyRequest r{};
        r.id = rid;
        r.code = ZK_PROP_ACTION_TEXT;
        std::strncpy(r.text, fallback, sizeof r.text - 1);
        if (!Send(ZKM_GET_PROPERTY, &r)) return QString::fromUtf8(fallback);
        r.text[sizeof r.text - 1] = '\0';
        return QString::fromUtf8(r.text);
    }
    uint32_t Number(int16_t rid, uint32_t fallback) const {
        ZKPropertyRequest r{};
        r.id = rid;
        r.code = ZK_PROP_ACTION_NUMBER;
        r.number = fallback;
        return Send(ZKM_GET_PROPERTY, &r) ? r.number : fallback;
    }
    bool SetText(int16_t rid, const QString& text) const {
        ZKPropertyRequest r{};
        r.id = rid;
        r.code = ZK_PROP_ACTION_TEXT;
        QByteArray utf8 = text.toUtf8();
        if (static_cast<size_t>(utf8.size()) >= sizeof r.text) return false;
        std::memcpy(r.text, utf8.constData(), static_cast<size_t>(utf8.size()));
        return Send(ZKM_SET_PROPERTY, &r);
    }
    bool SetNumber(int16_t rid, uint32_t value) const {
        ZKPropertyRequest r{};
        r.id = rid;
        r.code = ZK_PROP_ACTION_NUMBER;
        r.number = value;
        return Send(ZKM_SET_PROPERTY, &r);
    }

private:
    bool Send(uint32_t msg, ZKPropertyRequest* r) const {
        return host_.Send(hwnd_, msg, handle_, reinterpret_cast<intptr_t>(r)) != 0;
    }
    const ZKHostFunctions& host_;
    ZKHwnd hwnd_;
    ZKActionHandle handle_;
};

bool IsExecutableFile(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

// Why the program text cannot be run, or "" when it can (or when date codes
// make it something only the run will know).
QString ProgramProblem(const QString& program) {
    const QString p = program.trimmed();
    if (p.isEmpty()) return QStringLiteral("Choose the program to run.");
    if (p.contains('$')) return {};
    const std::string path = p.toStdString();
    if (p.contains('/')) {
        struct stat st {};
        if (stat(path.c_str(), &st) != 0)
            return QStringLiteral("The program \"%1\" does not exist.").arg(p);
        if (!IsExecutableFile(path))
            return QStringLiteral("The program \"%1\" is not an executable file.").arg(p);
        return {};
    }
    const char* env = getenv("PATH");
    const QStringList dirs = QString::fromLocal8Bit(env ? env : "/usr/bin:/bin").split(':');
    for (const QString& dir : dirs)
        if (!dir.isEmpty() && IsExecutableFile((dir + '/' + p).toStdString())) return {};
    return QStringLiteral("No program named \"%1\" was found in the folders of PATH.").arg(p);
}

QString FolderProblem(const QString& folder) {
    const QString f = folder.trimmed();
    if (f.isEmpty() || f.contains('$')) return {};
    struct stat st {};
    if (stat(f.toStdString().c_str(), &st) != 0)
        return QStringLiteral("The working folder \"%1\" does not exist.").arg(f);
    if (!S_ISDIR(st.st_mode)) return QStringLiteral("\"%1\" is not a folder.").arg(f);
    return {};
}

class SettingsDialog : public QDialog {
public:
    SettingsDialog(const Properties& props, QWidget* parent) : QDialog(parent), props_(props) {
        setWindowTitle(QStringLiteral("Run Program Settings"));
        setObjectName(QStringLiteral("RunProgramSettings"));
        program_ = Edit("program", props.Text(kProgramRid, ""));
        arguments_ = Edit("arguments", props.Text(kArgumentsRid, ""));
        folder_ = Edit("folder", props.Text(kWorkingFolderRid, ""));
        exitCodes_ =
            Edit("exitCodes", props.Text(kAcceptedExitCodesRid, kDefaultAcceptedExitCodes));
        timeLimit_ = new QSpinBox;
        timeLimit_->setObjectName(QStringLiteral("timeLimit"));
        timeLimit_->setRange(0, 7 * 24 * 3600);
        timeLimit_->setSuffix(QStringLiteral(" s"));
        timeLimit_->setSpecialValueText(QStringLiteral("no limit"));
        timeLimit_->setValue(
            static_cast<int>(std::min<uint32_t>(props.Number(kTimeLimitRid, 0), 7 * 24 * 3600)));
        lines_ = new QSpinBox;
        lines_->setObjectName(QStringLiteral("outputLines"));
        lines_->setRange(0, static_cast<int>(kMaxOutputLines));
        lines_->setValue(static_cast<int>(
            std::min(props.Number(kOutputLinesRid, kDefaultOutputLines), kMaxOutputLines)));

        auto* browseProgram = new QPushButton(QStringLiteral("Browse..."));
        browseProgram->setObjectName(QStringLiteral("browseProgram"));
        connect(browseProgram, &QPushButton::clicked, this, [this] {
            QString file = QFileDialog::getOpenFileName(this, QStringLiteral("Program to run"),
                                                        program_->text(), {}, nullptr,
                                                        QFileDialog::DontUseNativeDialog);
            if (!file.isEmpty()) program_->setText(file);
        });
        auto* browseFolder = new QPushButton(QStringLiteral("Browse..."));
        browseFolder->setObjectName(QStringLiteral("browseFolder"));
        connect(browseFolder, &QPushButton::clicked, this, [this] {
            QString dir = QFileDialog::getExistingDirectory(
                this, QStringLiteral("Working folder"), folder_->text(),
                QFileDialog::ShowDirsOnly | QFileDialog::DontUseNativeDialog);
            if (!dir.isEmpty()) folder_->setText(dir);
        });
        auto* hint = new QLabel(QStringLiteral(
            "Arguments are split at blanks; quotes group words.  No shell runs them.  Date codes "
            "are filled in when the action runs: $Y year, $m month, $d day, $H hour, $M minute, "
            "$$ a dollar sign (backup-$Y$m$d.tar)."));
        hint->setWordWrap(true);
        auto* codesHint = new QLabel(QStringLiteral("for example 0 or 0,1,3-5"));

        auto* form = new QFormLayout;
        form->addRow(QStringLiteral("Program:"), Row(program_, browseProgram));
        form->addRow(QStringLiteral("Arguments:"), arguments_);
        form->addRow(QString(), hint);
        form->addRow(QStringLiteral("Working folder:"), Row(folder_, browseFolder));
        form->addRow(QStringLiteral("Time limit:"), timeLimit_);
        form->addRow(QStringLiteral("Accepted exit codes:"), exitCodes_);
        form->addRow(QString(), codesHint);
        form->addRow(QStringLiteral("Lines of output kept:"), lines_);
        auto* ok = new QPushButton(QStringLiteral("OK"));
        ok->setObjectName(QStringLiteral("1"));
        ok->setDefault(true);
        auto* cancel = new QPushButton(QStringLiteral("Cancel"));
        cancel->setObjectName(QStringLiteral("2"));
        connect(ok, &QPushButton::clicked, this, &QDialog::accept);
        connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
        auto* buttons = new QHBoxLayout;
        buttons->addStretch();
        buttons->addWidget(ok);
        buttons->addWidget(cancel);
        auto* layout = new QVBoxLayout(this);
        layout->addLayout(form);
        layout->addLayout(buttons);
        resize(560, sizeHint().height());
    }

    void accept() override {
        QString problem = Problem();
        if (!problem.isEmpty()) {
            QMessageBox::warning(this, QStringLiteral("Zarkell'40"), problem);
            return;
        }
        if (!Store()) {
            QMessageBox::warning(this, QStringLiteral("Zarkell'40"),
                                 QStringLiteral("The settings could not be stored: the action "
                                                "no longer exists or a text is too long."));
            return;
        }
        QDialog::accept();
    }

private:
    QLineEdit* Edit(const char* name, const QString& text) {
        auto* e = new QLineEdit(text);
        e->setObjectName(QString::fromUtf8(name));
        return e;
    }
    static QWidget* Row(QWidget* a, QWidget* b) {
        auto* w = new QWidget;
        auto* l = new QHBoxLayout(w);
        l->setContentsMargins(0, 0, 0, 0);
        l->addWidget(a);
        l->addWidget(b);
        return w;
    }

    QString Problem() const {
        QString p = ProgramProblem(program_->text());
        if (!p.isEmpty()) return p;
        std::string error;
        std::vector<std::string> args;
        if (!SplitArguments(arguments_->text().toStdString(), &args, &error))
            return QStringLiteral("The arguments cannot be split: %1.")
                .arg(QString::fromStdString(error));
        p = FolderProblem(folder_->text());
        if (!p.isEmpty()) return p;
        ExitCodeList codes;
        if (!codes.Parse(exitCodes_->text().toStdString(), &error))
            return QStringLiteral("The accepted exit codes cannot be read: %1.")
                .arg(QString::fromStdString(error));
        return {};
    }

    bool Store() const {
        return props_.SetText(kProgramRid, program_->text().trimmed()) &&
               props_.SetText(kArgumentsRid, arguments_->text()) &&
               props_.SetText(kWorkingFolderRid, folder_->text().trimmed()) &&
               props_.SetNumber(kTimeLimitRid, static_cast<uint32_t>(timeLimit_->value())) &&
               props_.SetText(kAcceptedExitCodesRid, exitCodes_->text().trimmed()) &&
               props_.SetNumber(kOutputLinesRid, static_cast<uint32_t>(lines_->value()));
    }

    const Properties& props_;
    QLineEdit *program_, *arguments_, *folder_, *exitCodes_;
    QSpinBox *timeLimit_, *lines_;
};

}  // namespace

extern "C" __attribute__((visibility("default"))) int ZKRunProgramSettings(
    const ZKHostFunctions* host, ZKHwnd hwnd, ZKActionHandle handle) {
    // Only a program with windows can show one; a headless host has a plain
    // core application and gets a refusal instead of a crash.
    if (!host || !host->Send || !qobject_cast<QApplication*>(QCoreApplication::instance()))
        return 0;
    try {
        Properties props(*host, hwnd, handle);
        SettingsDialog dlg(props, QApplication::activeWindow());
        return dlg.exec() == QDialog::Accepted ? 1 : 0;
    } catch (...) {
        return 0;
    }
}
