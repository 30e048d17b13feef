// The application properties and debug dialogs on a real store.
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>

#include "DialogTest.h"
#include "dialogs/SettingsDialogs.h"
#include "store/Trace.h"

using namespace zk40;
using namespace zk40::dialogs;
using namespace zk40test;

namespace {

using AppPropertiesTest = DialogFixture;

TEST_F(AppPropertiesTest, OkWritesEachBoxToItsFlagsBitAndKeepsTheOthers) {
    // {control id, box state on OK, bit of base\Flags}
    struct Case {
        int id;
        bool checked;
        int bit;
    };
    const Case cases[] = {{19801, false, 2}, {19802, false, 3}, {19803, true, 4}};
    app->Flags = 15;  // the default: wizard bits set, hide and tray on, minimised start off
    app->LoadFlagBits();
    WhenModal([&](QWidget* dlg) {
        EXPECT_EQ(dlg->windowTitle(), "Zarkell'40 Properties");
        EXPECT_TRUE(Find<QCheckBox>(dlg, 19801)->isChecked());
        EXPECT_TRUE(Find<QCheckBox>(dlg, 19802)->isChecked());
        EXPECT_FALSE(Find<QCheckBox>(dlg, 19803)->isChecked());
        for (const Case& c : cases) Find<QCheckBox>(dlg, c.id)->setChecked(c.checked);
        Click(dlg, 1);
    });
    ASSERT_TRUE(EditAppProperties(nullptr, *app));
    const uint32_t stored = app->base.GetDword("Flags");
    for (const Case& c : cases) {
        EXPECT_EQ(((stored >> c.bit) & 1u) != 0, c.checked) << c.id;
        EXPECT_EQ(app->FlagBit(c.bit), c.checked) << c.id;
    }
    EXPECT_EQ(stored & 3u, 3u) << "the wizard's bits are not this dialog's";
}

TEST_F(AppPropertiesTest, CancelWritesNothing) {
    const std::string before = StoreExport(*app);
    WhenModal([](QWidget* dlg) {
        for (int id : {19801, 19802, 19803}) Click(dlg, id);
        Click(dlg, 2);
    });
    EXPECT_FALSE(EditAppProperties(nullptr, *app));
    EXPECT_EQ(StoreExport(*app), before);
    EXPECT_TRUE(app->FlagBit(kFlagUseTrayIcon));
}

struct DebugDialogTest : DialogFixture {
    FixedClock clock{ToStoreTime(2026, 12, 10, 12, 0, 0)};
    StoreTime Day(int y, int m, int d) { return ToStoreTime(y, m, d); }
    std::vector<int> VisibleBoxes(QWidget* dlg) {
        std::vector<int> out;
        for (int id : TDebugDlg::kBoxIds)
            if (!Find<QCheckBox>(dlg, id)->isHidden()) out.push_back(id);
        return out;
    }
    void TearDown() override {
        trace::SetFlagsInEffect(0);
        DialogFixture::TearDown();
    }
};

TEST_F(DebugDialogTest, WithoutACodeOpeningClearsTheFlagsAndHidesTheTracingBoxes) {
    app->base.SetDword("DebugFlags", 0xFF);
    TDebugDlg dlg(nullptr, app->base, clock.Now());
    EXPECT_EQ(dlg.windowTitle(), "Debug Properties");
    EXPECT_FALSE(Find<QCheckBox>(&dlg, 19701)->isChecked());
    EXPECT_FALSE(Find<QLineEdit>(&dlg, 19702)->isEnabled());
    EXPECT_TRUE(VisibleBoxes(&dlg).empty());
    EXPECT_TRUE(Find<QPushButton>(&dlg, 1)->isEnabled());
    EXPECT_EQ(app->base.GetDword("DebugFlags"), 0u);
}

TEST_F(DebugDialogTest, TypedCodesEnableOkOnlyWhenValidToday) {
    const std::string good = debugcode::Issue(0x01, Day(2026, 12, 31));
    const std::string expired = debugcode::Issue(0xFF, Day(2026, 12, 9));
    std::string tampered = good;
    tampered[3] = tampered[3] == 'A' ? 'B' : 'A';
    std::string lettered = good;  // zeros typed as the letter O
    for (char& c : lettered)
        if (c == '0') c = 'O';
    // {typed text, OK enabled}
    const std::pair<std::string, bool> cases[] = {
        {good.substr(0, 20), false},
        {good + "", true},
        {"UUUUUUUUUUUUUUUUUUUUU", false},
        {expired, false},
        {tampered, false},
        {lettered, true},
    };
    TDebugDlg dlg(nullptr, app->base, clock.Now());
    Click(&dlg, 19701);
    auto* edit = Find<QLineEdit>(&dlg, 19702);
    EXPECT_TRUE(edit->isEnabled());
    for (const auto& [text, enabled] : cases) {
        edit->setText(QString::fromStdString(text));
        EXPECT_EQ(Find<QPushButton>(&dlg, 1)->isEnabled(), enabled) << text;
    }
    EXPECT_EQ(edit->text().toStdString(), good) << "the letter O reads as the digit";
}

TEST_F(DebugDialogTest, AValidCodeShowsOnlyThePermittedBoxesAndOkStoresTheChoice) {
    const std::string code = debugcode::Issue(0x01 | 0x10, Day(2027, 1, 31));
    app->base.SetDword("DebugFlags", 0x11);
    app->base.SetString("DebugCode", code);
    WhenModal([&](QWidget* dlg) {
        EXPECT_TRUE(Find<QCheckBox>(dlg, 19701)->isChecked());
        EXPECT_EQ(VisibleBoxes(dlg), (std::vector<int>{19703, 19707}));
        EXPECT_TRUE(Find<QCheckBox>(dlg, 19703)->isChecked());
        EXPECT_TRUE(Find<QCheckBox>(dlg, 19707)->isChecked());
        Find<QCheckBox>(dlg, 19703)->setChecked(false);
        Click(dlg, 1);
    });
    ASSERT_TRUE(EditDebugSettings(nullptr, app->base, clock));
    EXPECT_EQ(app->base.GetString("DebugCode"), code);
    EXPECT_EQ(app->base.GetDword("DebugFlags"), 0x10u);
    EXPECT_EQ(trace::FlagsInEffect(), 0x10u);
}

TEST_F(DebugDialogTest, OkWithDebuggingClearedEmptiesTheCodeAndTurnsTracingOff) {
    app->base.SetDword("DebugFlags", 0x01);
    app->base.SetString("DebugCode", debugcode::Issue(0x01, Day(2027, 1, 31)));
    trace::SetFlagsInEffect(0x01);
    WhenModal([](QWidget* dlg) {
        Click(dlg, 19701);
        Click(dlg, 1);
    });
    ASSERT_TRUE(EditDebugSettings(nullptr, app->base, clock));
    EXPECT_EQ(app->base.GetString("DebugCode"), "");
    EXPECT_EQ(trace::FlagsInEffect(), 0u);
}

TEST_F(DebugDialogTest, CancelWritesNothingBeyondWhatOpeningWrote) {
    app->base.SetDword("DebugFlags", 0x03);
    app->base.SetString("DebugCode", debugcode::Issue(0x01, Day(2027, 1, 31)));
    std::string afterOpening;
    WhenModal([&](QWidget* dlg) {
        afterOpening = StoreExport(*app);
        Find<QLineEdit>(dlg, 19702)->setText("0123456789ABCDEFGHJKM");
        Click(dlg, 19701);
        Click(dlg, 2);
    });
    EXPECT_FALSE(EditDebugSettings(nullptr, app->base, clock));
    EXPECT_EQ(StoreExport(*app), afterOpening);
    EXPECT_EQ(app->base.GetDword("DebugFlags"), 0x01u) << "opening masks the stored flags";
}

}  // namespace
