// Loading, unloading and choosing action types through the real module host.
#include <QPushButton>
#include <QTreeWidget>

#include "ModuleClientFixture.h"
#include "dialogs/ActionTypeDialogs.h"

using namespace zk40;
using namespace zk40::dialogs;
using namespace zk40test;

namespace {

struct ActionTypesTest : ModuleClientFixture {
    void SetUp() override {
        ModuleClientFixture::SetUp();
        // A second vendor whose module is not on disk, and a module that
        // needs a newer program.
        TRegKey(actions, "ACME").SetString("VENDOR", "Acme Tools");
        TRegKey mk(actions, "ACME\\MAILER");
        mk.SetString("NAME", "Mailer");
        mk.SetString("LONGNAME", "Mail Sender");
        mk.SetString("AVAILVER", "3");
        mk.SetString("MINBASE", "20");
        mk.SetString("URL", "http://127.0.0.1:9/mailer.zkz");
        TRegKey(mk, "SENDMAIL").SetString("DESC", "Sends mail");
        TRegKey future(actions, "ACME\\FUTURE");
        future.SetString("LONGNAME", "From the future");
        future.SetString("MINBASE", "99");
        TRegKey(future, "ANY").SetString("DESC", "Not for this build");
        StartClient();
    }
    static QTreeWidgetItem* Node(QTreeWidget* tree, const QString& prefix) {
        for (QTreeWidgetItemIterator it(tree); *it; ++it)
            if ((*it)->text(0).startsWith(prefix)) return *it;
        return nullptr;
    }
    static int Image(QTreeWidgetItem* item) { return item->data(0, kImageRole).toInt(); }
};

TEST_F(ActionTypesTest, TreeShowsVendorsModulesTypesAndNotesOfThisBuild) {
    LoadRunProgram();
    TActionTypesDlg dlg(nullptr, *types);
    EXPECT_EQ(dlg.windowTitle(), "Load/Unload Action Types");
    auto* tree = Find<QTreeWidget>(&dlg, 21602);
    ASSERT_EQ(tree->topLevelItemCount(), 2);
    EXPECT_EQ(tree->topLevelItem(0)->text(0), ".Dentrax-14") << "our own vendor sorts first";
    EXPECT_EQ(tree->topLevelItem(1)->text(0), "Acme Tools");
    // {text, image}
    const std::pair<QString, int> nodes[] = {
        {"Program Runner (Run Program) [Latest Version: v1]", 1},
        {"Runs a program [Loaded Version: v1]", 4},
        {"[Rel 1] First release.", 2},
        {"[Rel 2] Time limits.", 2},
        {"Mail Sender (Mailer) [Latest Version: v3]", 1},
        {"Sends mail", 3},
    };
    for (const auto& [text, image] : nodes) {
        QTreeWidgetItem* item = Node(tree, text);
        ASSERT_NE(item, nullptr) << text.toStdString() << " in " << [&] {
            std::string all;
            for (QTreeWidgetItemIterator it(tree); *it; ++it)
                all += (*it)->text(0).toStdString() + " | ";
            return all;
        }();
        EXPECT_EQ(item->text(0), text);
        EXPECT_EQ(Image(item), image) << text.toStdString();
    }
    EXPECT_EQ(Node(tree, "From the future"), nullptr) << "needs build 99";
    EXPECT_TRUE(Node(tree, "Program Runner")->isExpanded());
}

TEST_F(ActionTypesTest, OnlyActionNodesToggle) {
    TActionTypesDlg dlg(nullptr, *types);
    auto* tree = Find<QTreeWidget>(&dlg, 21602);
    for (const char* prefix : {".Dentrax-14", "Program Runner", "[Rel 1]"}) {
        QTreeWidgetItem* item = Node(tree, prefix);
        int before = Image(item);
        dlg.Toggle(item);
        EXPECT_EQ(Image(item), before) << prefix;
    }
    QTreeWidgetItem* action = Node(tree, "Runs a program");
    dlg.Toggle(action);
    EXPECT_EQ(Image(action), 4);
    action->setCheckState(0, Qt::Unchecked);  // a click on the box
    EXPECT_EQ(Image(action), 3);
}

TEST_F(ActionTypesTest, OkLoadsWhatIsOnDiskQueuesWhatIsNotAndSaysSo) {
    WhenModal([](QWidget* dlg) {
        auto* tree = Find<QTreeWidget>(dlg, 21602);
        auto* self = static_cast<TActionTypesDlg*>(dlg);
        self->Toggle(Node(tree, "Runs a program"));
        self->Toggle(Node(tree, "Sends mail"));
        Click(dlg, 1);
    });
    ASSERT_TRUE(LoadActionTypes(nullptr, *types));
    EXPECT_NE(client->Modules().FindModule("DNTRX-14", "RUNPROG"), nullptr) << "loaded at once";
    EXPECT_EQ(TRegKey(actions, "DNTRX-14\\RUNPROG\\RUNPROGRAM").GetDword("LOADED"), 1u);
    ASSERT_EQ(client->Updates().Pending().size(), 1u);
    EXPECT_TRUE(QString::fromStdString(client->Updates().Pending()[0].Text).endsWith("Acme Tools:Sends mail"))
        << client->Updates().Pending()[0].Text;
    EXPECT_EQ(TRegKey(actions, "ACME\\MAILER\\SENDMAIL").GetDword("LOADED"), 1u);
    EXPECT_FALSE(TRegKey(actions, "ACME\\MAILER").GetString("FILENAME").empty());
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].toStdString(),
              "The actions you have selected are now being loaded.  You will not be able to add "
              "them to a job until they finish downloading.");
}

TEST_F(ActionTypesTest, UnselectingALoadedTypeUnloadsItsModule) {
    LoadRunProgram();
    WhenModal([](QWidget* dlg) {
        static_cast<TActionTypesDlg*>(dlg)->Toggle(
            Node(Find<QTreeWidget>(dlg, 21602), "Runs a program"));
        Click(dlg, 1);
    });
    ASSERT_TRUE(LoadActionTypes(nullptr, *types));
    EXPECT_EQ(client->Modules().FindModule("DNTRX-14", "RUNPROG"), nullptr);
    EXPECT_EQ(TRegKey(actions, "DNTRX-14\\RUNPROG\\RUNPROGRAM").GetDword("LOADED"), 0u);
    EXPECT_TRUE(messages.empty()) << "nothing was queued";
}

TEST_F(ActionTypesTest, CancelWritesNothingAndLoadsNothing) {
    const std::string before = StoreExport(*app);
    WhenModal([](QWidget* dlg) {
        auto* tree = Find<QTreeWidget>(dlg, 21602);
        auto* self = static_cast<TActionTypesDlg*>(dlg);
        self->Toggle(Node(tree, "Runs a program"));
        self->Toggle(Node(tree, "Sends mail"));
        Click(dlg, 2);
    });
    EXPECT_FALSE(LoadActionTypes(nullptr, *types));
    EXPECT_EQ(StoreExport(*app), before);
    EXPECT_EQ(client->Modules().ModuleCount(), 0u);
    EXPECT_TRUE(client->Updates().Pending().empty());
}

TEST_F(ActionTypesTest, InsertActionSendsTheUserToLoadATypeFirstThenReturnsTheChosenOne) {
    WhenModal([](QWidget* types) {
        EXPECT_EQ(types->windowTitle(), "Load/Unload Action Types");
        static_cast<TActionTypesDlg*>(types)->Toggle(
            Node(Find<QTreeWidget>(types, 21602), "Runs a program"));
        WhenModal([](QWidget* select) {
            EXPECT_EQ(select->windowTitle(), "Select Action Type To Add To Job");
            auto* list = Find<QTreeWidget>(select, 21701);
            ASSERT_EQ(list->topLevelItemCount(), 1);
            EXPECT_EQ(list->topLevelItem(0)->text(0), "Loaded");
            EXPECT_EQ(list->topLevelItem(0)->text(1), "Dentrax-14");
            EXPECT_EQ(list->topLevelItem(0)->text(2), "Run Program");
            EXPECT_FALSE(Find<QPushButton>(select, 1)->isEnabled()) << "nothing selected yet";
            list->setCurrentItem(list->topLevelItem(0));
            EXPECT_TRUE(Find<QPushButton>(select, 1)->isEnabled());
            Click(select, 1);
        });
        Click(types, 1);
    });
    std::optional<ActionTypeId> chosen = SelectActionType(nullptr, *types);
    ASSERT_TRUE(chosen);
    EXPECT_EQ(*chosen, (ActionTypeId{"DNTRX-14", "RUNPROG", "RUNPROGRAM"}));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(messages[0].startsWith("You currently have no available actions loaded."));
}

TEST_F(ActionTypesTest, APendingTypeCannotBeChosen) {
    LoadRunProgram();
    TRegKey(actions, "ACME\\MAILER\\SENDMAIL").SetDword("LOADED", 1);  // downloading
    TRegKey(actions, "ACME\\MAILER\\SENDMAIL").SetString("NAME", "Send Mail");
    TSelActionDlg dlg(nullptr, *types);
    auto* list = Find<QTreeWidget>(&dlg, 21701);
    ASSERT_EQ(list->topLevelItemCount(), 2);
    EXPECT_EQ(list->topLevelItem(0)->text(0), "Loaded") << "lines sorted by text";
    EXPECT_EQ(list->topLevelItem(1)->text(0), "Pending");
    list->setCurrentItem(list->topLevelItem(1));
    EXPECT_FALSE(Find<QPushButton>(&dlg, 1)->isEnabled());
    list->setCurrentItem(list->topLevelItem(0));
    EXPECT_TRUE(Find<QPushButton>(&dlg, 1)->isEnabled());
}

}  // namespace
