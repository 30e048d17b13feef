#include "dialogs/InfoDialogs.h"

#include <sqlite3.h>

#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

#include "dialogs/DialogCommon.h"
#include "modules/ModuleHost.h"
#include "store/AppPaths.h"
#include "store/Store.h"
#include "update/CurlLib.h"
#include "update/ZipLib.h"

namespace zk40::dialogs {

namespace {
long AnnouncedBuild(const TRegKey& config) {
    return std::max(0L, LeadingInt(QString::fromStdString(config.GetString("AVAILVER"))));
}
std::string BuildValue(long build, const char* what) { return std::to_string(build) + what; }
}  // namespace

TReleaseNotesDlg::TReleaseNotesDlg(QWidget* parent, const TRegKey& config)
    : QDialog(parent), config_(config) {
    setWindowTitle(QStringLiteral("Release Notes"));
    setObjectName(QStringLiteral("19500"));
    builds_ = new QComboBox;
    date_ = new QLineEdit;
    date_->setReadOnly(true);
    notes_ = new QPlainTextEdit;
    notes_->setReadOnly(true);
    notes_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    auto* ok = new QPushButton(QStringLiteral("OK"));
    auto* cancel = new QPushButton(QStringLiteral("Cancel"));
    auto* help = new QPushButton(QStringLiteral("Help"));
    SetControlIds(
        {{19501, builds_}, {19503, date_}, {19502, notes_}, {1, ok}, {2, cancel}, {9, help}});
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(help, &QPushButton::clicked, this, [this] { OpenHelp(this, "release-notes"); });

    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Release Build:"), builds_);
    form->addRow(QStringLiteral("Release Date:"), date_);
    form->addRow(QStringLiteral("Release Notes:"), notes_);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    buttons->addWidget(help);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addLayout(buttons);

    // The list is the run of builds from the newest down to the last one
    // with a release date, so entry i is always build N - i.
    const long newest = AnnouncedBuild(config_);
    for (long v = newest; v >= 1; --v) {
        if (!config_.HasValue(BuildValue(v, "RELDATE"))) break;
        builds_->addItem(QStringLiteral("Build %1").arg(v));
    }
    if (builds_->count() > 0) {
        builds_->setCurrentIndex(0);
        ShowBuild(newest);
    }
    connect(builds_, &QComboBox::currentIndexChanged, this, &TReleaseNotesDlg::SelectionChanged);
}

void TReleaseNotesDlg::ShowBuild(long build) {
    date_->setText(QString::fromStdString(config_.GetString(BuildValue(build, "RELDATE"))));
    notes_->setPlainText(QString::fromStdString(config_.GetString(BuildValue(build, "RELNOTES"))));
}

void TReleaseNotesDlg::SelectionChanged(int index) {
    if (index < 0) return;
    // Read again: a newer announcement moves every entry down by one build.
    ShowBuild(AnnouncedBuild(config_) - index);
}

void ShowReleaseNotes(QWidget* parent, const TRegKey& config) {
    TReleaseNotesDlg dlg(parent, config);
    dlg.exec();
}

QStringList TZarkellAboutDlg::LibraryVersions() {
    QStringList out;
    out << QStringLiteral("Qt %1").arg(QString::fromLatin1(qVersion()));
    out << QStringLiteral("SQLite %1").arg(QString::fromLatin1(sqlite3_libversion()));
    // The About box is the one place outside an update that loads these; a
    // missing library is shown as such rather than failing the dialog.
    if (const CurlLib* curl = LoadCurl())
        out << QStringLiteral("libcurl %1")
                   .arg(QString::fromLatin1(curl->version_info(CURLVERSION_NOW)->version));
    else
        out << QStringLiteral("libcurl (not installed)");
    if (const ZipLib* zip = LoadZip())
        out << QStringLiteral("libzip %1").arg(QString::fromLatin1(zip->libzip_version()));
    else
        out << QStringLiteral("libzip (not installed)");
    return out;
}

TZarkellAboutDlg::TZarkellAboutDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("About zarkell"));
    setObjectName(QStringLiteral("22000"));
    auto* name = new QLabel(QStringLiteral("<b>Zarkell'40</b>"));
    auto* build = new QLabel(QStringLiteral("Build %1").arg(kBuildNumber));
    build->setObjectName(QStringLiteral("build"));
    auto* libraries = new QLabel(QStringLiteral("Runs with ") + LibraryVersions().join(", ") + ".");
    libraries->setObjectName(QStringLiteral("libraries"));
    libraries->setWordWrap(true);
    auto* notice = new QLabel(QStringLiteral(
        "An unattended job scheduler: jobs of actions, run on their schedule, with their results "
        "kept.  Written by the Zarkell'40 developers."));
    notice->setObjectName(QStringLiteral("notice"));
    notice->setWordWrap(true);
    // The invitation leads to the help pages installed with the program.
    const QString help =
        QString::fromStdString(AppPaths::FromEnvironment().helpDir) + QStringLiteral("index.html");
    auto* link = new QLabel(QStringLiteral("<a href=\"%1\">Read the Zarkell'40 help pages</a>")
                                .arg(QUrl::fromLocalFile(help).toString().toHtmlEscaped()));
    link->setOpenExternalLinks(true);
    link->setTextInteractionFlags(Qt::TextBrowserInteraction);
    auto* close = new QPushButton(QStringLiteral("&Close"));
    close->setDefault(true);
    SetControlIds({{22001, link}, {1, close}});
    connect(close, &QPushButton::clicked, this, &QDialog::accept);
    auto* layout = new QVBoxLayout(this);
    for (QWidget* w : {static_cast<QWidget*>(name), static_cast<QWidget*>(build),
                       static_cast<QWidget*>(libraries), static_cast<QWidget*>(notice),
                       static_cast<QWidget*>(link)})
        layout->addWidget(w);
    auto* row = new QHBoxLayout;
    row->addStretch();
    row->addWidget(close);
    layout->addLayout(row);
}

void ShowAbout(QWidget* parent) {
    TZarkellAboutDlg dlg(parent);
    dlg.exec();
}

}  // namespace zk40::dialogs
