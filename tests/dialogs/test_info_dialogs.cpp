// Release notes and the about box: what they show, and that they write
// nothing.
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

#include "DialogTest.h"
#include "dialogs/InfoDialogs.h"

using namespace zk40;
using namespace zk40::dialogs;
using namespace zk40test;

namespace {

struct ReleaseNotesTest : DialogFixture {
    TRegKey config;
    void SetUp() override {
        DialogFixture::SetUp();
        config = TRegKey(app->product, "config");
    }
    void Announce(int build, const char* date, const char* notes) {
        config.SetString(std::to_string(build) + "RELDATE", date);
        if (notes) config.SetString(std::to_string(build) + "RELNOTES", notes);
    }
    static QStringList Entries(QWidget* dlg) {
        QStringList out;
        auto* list = Find<QComboBox>(dlg, 19501);
        for (int i = 0; i < list->count(); ++i) out << list->itemText(i);
        return out;
    }
};

TEST_F(ReleaseNotesTest, ListsTheRunOfBuildsDownToTheFirstGapAndShowsTheSelectedOne) {
    config.SetString("AVAILVER", "14");
    Announce(14, "1999-03-01", "Fourteen.\r\nSecond line.");
    Announce(13, "1999-02-01", nullptr);
    Announce(11, "1999-01-01", "Eleven.");
    const std::string before = StoreExport(*app);
    WhenModal([&](QWidget* dlg) {
        EXPECT_EQ(dlg->windowTitle(), "Release Notes");
        EXPECT_EQ(Entries(dlg), (QStringList{"Build 14", "Build 13"}));
        EXPECT_EQ(Find<QLineEdit>(dlg, 19503)->text(), "1999-03-01");
        EXPECT_TRUE(Find<QPlainTextEdit>(dlg, 19502)->toPlainText().startsWith("Fourteen."));
        Find<QComboBox>(dlg, 19501)->setCurrentIndex(1);
        EXPECT_EQ(Find<QLineEdit>(dlg, 19503)->text(), "1999-02-01");
        EXPECT_EQ(Find<QPlainTextEdit>(dlg, 19502)->toPlainText(), "") << "missing notes";
        Click(dlg, 1);
    });
    ShowReleaseNotes(nullptr, config);
    EXPECT_EQ(StoreExport(*app), before);
}

TEST_F(ReleaseNotesTest, ASelectionAfterANewAnnouncementShowsBuildNMinusIOfTheNewN) {
    config.SetString("AVAILVER", "2");
    Announce(2, "two", "notes 2");
    Announce(1, "one", "notes 1");
    TReleaseNotesDlg dlg(nullptr, config);
    Announce(3, "three", "notes 3");
    config.SetString("AVAILVER", "3");
    Find<QComboBox>(&dlg, 19501)->setCurrentIndex(1);
    EXPECT_EQ(Find<QLineEdit>(&dlg, 19503)->text(), "two");
    EXPECT_EQ(Find<QPlainTextEdit>(&dlg, 19502)->toPlainText(), "notes 2");
}

TEST_F(ReleaseNotesTest, NothingAnnouncedLeavesEverythingEmpty) {
    // {AVAILVER, date of that build stored}
    const std::pair<const char*, bool> cases[] = {
        {nullptr, false}, {"0", false}, {"5", false}, {"x", true}};
    for (const auto& [availver, dated] : cases) {
        if (availver) config.SetString("AVAILVER", availver);
        if (dated) Announce(0, "zero", "notes");
        TReleaseNotesDlg dlg(nullptr, config);
        EXPECT_EQ(Find<QComboBox>(&dlg, 19501)->count(), 0) << (availver ? availver : "absent");
        EXPECT_EQ(Find<QLineEdit>(&dlg, 19503)->text(), "");
        EXPECT_EQ(Find<QPlainTextEdit>(&dlg, 19502)->toPlainText(), "");
    }
}

using AboutTest = DialogFixture;

TEST_F(AboutTest, NamesTheProgramItsBuildAndTheLibrariesItRunsWith) {
    const std::string before = StoreExport(*app);
    WhenModal([](QWidget* dlg) {
        EXPECT_EQ(dlg->windowTitle(), "About zarkell");
        EXPECT_EQ(dlg->findChild<QLabel*>("build")->text(), "Build 29");
        const QString libs = dlg->findChild<QLabel*>("libraries")->text();
        for (const QString& part : {QString("Qt ") + qVersion(), QString("SQLite 3."),
                                    QString("libcurl "), QString("libzip ")})
            EXPECT_TRUE(libs.contains(part))
                << libs.toStdString() << " lacks " << part.toStdString();
        EXPECT_TRUE(Find<QLabel>(dlg, 22001)->text().contains("href"));
        EXPECT_EQ(Find<QPushButton>(dlg, 1)->text(), "&Close");
        Click(dlg, 1);
    });
    ShowAbout(nullptr);
    EXPECT_EQ(StoreExport(*app), before);
}

}  // namespace
