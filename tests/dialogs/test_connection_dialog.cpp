// The connection choice: its enable rules, what OK leaves, and the first
// windowed start that asks through it.
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <filesystem>

#include "DialogTest.h"
#include "dialogs/ConnectionDialog.h"

using namespace zk40;
using namespace zk40::dialogs;
using namespace zk40test;

namespace {

struct ConnectionDialogTest : DialogFixture {
    PppPaths ppp;
    void SetUp() override {
        DialogFixture::SetUp();
        ppp.peersDir = dir / "peers";
        ppp.netDir = dir / "net";
        std::filesystem::create_directories(ppp.peersDir);
        std::filesystem::create_directories(ppp.netDir);
        for (const char* peer : {"work", "isp", "backup"}) WriteFile(ppp.peersDir + "/" + peer, "");
    }
};

TEST_F(ConnectionDialogTest, EnableRulesFollowTheChosenTypeTheEntryAndTheDefaultLogin) {
    TConnTypeDlg dlg(nullptr, {kConnDialUp, "isp", "", ""}, PhonebookEntries(ppp));
    EXPECT_EQ(dlg.windowTitle(), "Select Your Connection Type");
    auto* entry = Find<QComboBox>(&dlg, 21805);
    EXPECT_EQ(entry->currentText(), "isp");
    EXPECT_EQ(entry->itemText(0), "backup") << "sorted";
    auto enabled = [&](int id) { return Find<QWidget>(&dlg, id)->isEnabled(); };
    // {radio clicked, then: entry, default login, username, OK}
    struct Case {
        int radio;
        bool entry, login, user, ok;
    };
    const Case cases[] = {{21802, false, false, false, true},
                          {21804, false, false, false, true},
                          {21803, true, true, false, true}};
    for (const Case& c : cases) {
        Click(&dlg, c.radio);
        EXPECT_EQ(enabled(21805), c.entry) << c.radio;
        EXPECT_EQ(enabled(21806), c.login) << c.radio;
        EXPECT_EQ(enabled(21807), c.user) << c.radio;
        EXPECT_EQ(enabled(21808), c.user) << c.radio;
        EXPECT_EQ(enabled(1), c.ok) << c.radio;
    }
    Click(&dlg, 21806);  // own login
    EXPECT_TRUE(enabled(21807));
    EXPECT_TRUE(enabled(21808));
    entry->setCurrentIndex(-1);
    EXPECT_FALSE(enabled(1)) << "dial-up without an entry";
}

TEST_F(ConnectionDialogTest, OkLeavesTheChoiceAndTheDefaultLoginEmptiesTheStoredOne) {
    // {clicks, stored before, what OK leaves}
    struct Case {
        std::vector<int> clicks;
        ConnectionSettings start, want;
    };
    const Case cases[] = {
        {{21804}, {kConnDialUp, "isp", "me", "pw"}, {kConnDedicated, "isp", "me", "pw"}},
        {{21802}, {kConnDedicated, "", "", ""}, {kConnNone, "backup", "", ""}},
        {{21806}, {kConnDialUp, "work", "me", "pw"}, {kConnDialUp, "work", "", ""}},
        {{}, {kConnDialUp, "gone", "", ""}, {kConnDialUp, "backup", "", ""}},
    };
    for (const Case& c : cases) {
        ConnectionSettings s = c.start;
        WhenModal([&](QWidget* dlg) {
            for (int id : c.clicks) Click(dlg, id);
            Click(dlg, 1);
        });
        ASSERT_TRUE(ChooseConnection(nullptr, s, ppp));
        EXPECT_EQ(s.connType, c.want.connType);
        EXPECT_EQ(s.dunEntry, c.want.dunEntry);
        EXPECT_EQ(s.dunUsername, c.want.dunUsername);
        EXPECT_EQ(s.dunPassword, c.want.dunPassword);
    }
}

TEST_F(ConnectionDialogTest, EmptyPhonebookKeepsOkDisabledForDialUp) {
    std::filesystem::remove_all(ppp.peersDir);
    TConnTypeDlg dlg(nullptr, {kConnDialUp, "isp", "", ""}, PhonebookEntries(ppp));
    EXPECT_FALSE(Find<QPushButton>(&dlg, 1)->isEnabled());
    Click(&dlg, 21802);
    EXPECT_TRUE(Find<QPushButton>(&dlg, 1)->isEnabled());
}

TEST_F(ConnectionDialogTest, FirstStartAsksWithDialUpPreselectedAndCancelMeansNoConnection) {
    ASSERT_EQ(app->base.GetDword("ConnType"), kConnNotChosen);
    TRecordingProgress progress;
    WhenModal([](QWidget* dlg) {
        EXPECT_TRUE(Find<QRadioButton>(dlg, 21803)->isChecked());
        Click(dlg, 2);
    });
    FirstRunConnectionChoice(app->base, progress, false, ConnectionDialogFor(nullptr, ppp));
    EXPECT_EQ(app->base.GetDword("ConnType"), kConnNone);
    EXPECT_EQ(progress.last, "SysUpd:  Local Update Mode.");
}

TEST_F(ConnectionDialogTest, FirstStartOkStoresTheChoiceAndItsLogin) {
    TRecordingProgress progress;
    WhenModal([](QWidget* dlg) {
        Find<QComboBox>(dlg, 21805)->setCurrentText("work");
        Click(dlg, 21806);
        Find<QLineEdit>(dlg, 21807)->setText("alice");
        Find<QLineEdit>(dlg, 21808)->setText("secret");
        Click(dlg, 1);
    });
    FirstRunConnectionChoice(app->base, progress, false, ConnectionDialogFor(nullptr, ppp));
    EXPECT_EQ(app->base.GetDword("ConnType"), kConnDialUp);
    EXPECT_EQ(app->base.GetString("DunEntry"), "work");
    EXPECT_EQ(app->base.GetString("DunUsername"), "alice");
    EXPECT_EQ(app->base.GetString("DunPassword"), "secret");
    EXPECT_EQ(progress.last.rfind("SysUpd:  Next Update = ", 0), 0u) << progress.last;
}

}  // namespace
