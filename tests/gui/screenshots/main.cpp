// Pictures of the main window for the documentation: run it on a display
// (scripts/screenshots.sh starts one with Xvfb). It builds a scratch store
// with a few jobs, runs one, and saves the window, a menu and a pop-up menu
// as PNG files into the folder given as its argument.
#include <QApplication>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QTimer>
#include <cstdio>
#include <thread>

#include "Catalogue.h"
#include "TestEnv.h"
#include "base/Client.h"
#include "store/AppStore.h"
#include "ui/Commands.h"
#include "ui/MainWindow.h"
#include "ui/Prompt.h"

using namespace zk40;
using namespace zk40test;

namespace {

void Settle(int ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

bool Save(const QPixmap& pm, const std::string& path) {
    bool ok = pm.save(QString::fromStdString(path), "PNG");
    printf("%s %s\n", ok ? "wrote" : "cannot write", path.c_str());
    return ok;
}

QPixmap Screen(const QRect& area) {
    return QGuiApplication::primaryScreen()->grabWindow(0, area.x(), area.y(), area.width(),
                                                        area.height());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s OUTPUT_FOLDER\n", argv[0]);
        return 2;
    }
    std::string out = argv[1];
    QApplication qapp(argc, argv);
    qapp.setQuitOnLastWindowClosed(false);
    ui::PromptAnswers::Arm();
    TempDir dir;
    ScopedXdg xdg(dir);
    AppPaths paths = AppPaths::FromEnvironment();
    paths.MakeFolders();
    TAppStore app(paths);
    TRegKey actions(app.product, "actions");
    app.base.SetDword("ConnType", 2);
    app.base.SetDword("ShippedModules", 1);
    InstallModule(actions, paths.actionsDir, ZK40_TESTMODULE_PATH, "ZKA00001.dll", "ZKTEST",
                  "TESTMOD", {"TESTACT", "TESTACT2"});
    StoreTime now = CurrentStoreTime();
    TestAction copy{"TESTACT", 3, 0, 0, "Copied 1,204 files"};
    TestAction wait{"TESTACT", 2, 0, 0, ""};
    TestAction fail{"TESTACT2", 1, 0, 0, ""};
    MakeTestJob(app.jobs, actions, "Back up documents", {copy, {"TESTACT2", 3, 0, 0, "Verified"}},
                5, now - 3600);
    uint32_t nightly = MakeTestJob(app.jobs, actions, "Nightly import", {wait, copy}, 6, now);
    MakeTestJob(app.jobs, actions, "Clean temporary files", {fail}, 1);
    MakeTestJob(app.jobs, actions, "Weekly report", {copy}, 4, now);

    ui::TMainWindow window;
    TZarkellClient client(app, paths, SystemClock::Instance(), window, nullptr);
    window.Attach(client, app);
    client.SetupWindow();
    window.Started();
    window.resize(760, 560);
    window.move(20, 20);
    Settle(1500);
    // Run two jobs: one finishes, one keeps running.
    for (uint32_t id : {client.FindJobByName("Back up documents")->Id(), nightly}) {
        window.Tree()->setCurrentItem(window.JobItem(id));
        window.Run(ui::kCmdRunNow);
    }
    Settle(2500);
    window.Tree()->expandAll();
    window.Tree()->setCurrentItem(window.JobItem(nightly));
    Settle(800);
    bool ok = Save(window.grab(), out + "/window-tree.png");

    QMenu* edit = window.menuBar()->findChild<QMenu*>("EditMenu");
    if (edit) {
        window.menuBar()->setActiveAction(edit->menuAction());
        Settle(600);
        ok &= Save(Screen(window.frameGeometry().adjusted(0, 0, 0, 0)), out + "/window-menu.png");
        edit->hide();
        Settle(200);
    }
    std::unique_ptr<QMenu> popup = window.PopupMenu(window.JobItem(nightly));
    QRect node = window.Tree()->visualItemRect(window.JobItem(nightly));
    popup->popup(window.Tree()->viewport()->mapToGlobal(node.center()));
    Settle(600);
    ok &= Save(Screen(window.frameGeometry()), out + "/window-popup.png");
    popup->hide();

    client.AbortJob(nightly);
    client.CloseWindow();
    window.Detach();
    return ok ? 0 : 1;
}
