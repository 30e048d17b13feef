#pragma once
// Shared by the dialog tests: an application store in a scratch folder, the
// store's text export for "nothing was written" checks, driving a modal
// dialog from inside its own event loop, and the messages dialogs showed.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "TestEnv.h"
#include "dialogs/DialogCommon.h"
#include "store/AppStore.h"
#include "store/RegFile.h"

namespace zk40test {

// The whole product key as REGEDIT4 text.
inline std::string StoreExport(zk40::TAppStore& app) {
    std::string text, error;
    EXPECT_TRUE(zk40::FormatKeyTree(*app.Store(), app.product.Id(), zk40::kProductKeyFullPath,
                                    &text, &error))
        << error;
    return text;
}

// Drivers waiting for their dialog; a test that ends with one still
// waiting expected a dialog that never came up.
inline std::vector<QPointer<QTimer>>& WaitingDrivers() {
    static std::vector<QPointer<QTimer>> waiting;
    return waiting;
}

// Runs driver on the modal dialog as soon as it is up; call before the
// entry point that shows it. The driver ends the dialog (OK or Cancel).
// Returns the waiting driver, for a caller that may not need it after all.
inline QPointer<QTimer> WhenModal(std::function<void(QWidget*)> driver) {
    auto* timer = new QTimer;
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, [timer, driver] {
        QWidget* w = QApplication::activeModalWidget();
        if (!w || !w->isVisible()) return;
        timer->stop();
        timer->deleteLater();
        driver(w);
    });
    timer->start();
    WaitingDrivers().emplace_back(timer);
    return timer;
}

// Ends every driver still waiting; true when there was none.
inline bool NoDriverLeft() {
    bool none = true;
    for (QPointer<QTimer>& t : WaitingDrivers())
        if (t && t->isActive()) {
            none = false;
            delete t.data();
        }
    WaitingDrivers().clear();
    return none;
}

struct DialogFixture : ::testing::Test {
    TempDir dir;
    ScopedXdg xdg{dir};
    zk40::AppPaths paths = zk40::AppPaths::FromEnvironment();
    std::unique_ptr<zk40::TAppStore> app;
    std::vector<QString> messages;

    void SetUp() override {
        paths.MakeFolders();
        app = std::make_unique<zk40::TAppStore>(paths);
        zk40::dialogs::SetMessageHook([this](const QString& t) { messages.push_back(t); });
    }
    void TearDown() override {
        zk40::dialogs::SetMessageHook(nullptr);
        EXPECT_TRUE(NoDriverLeft()) << "a dialog the test drives never came up";
    }
};

template <typename T>
T* Find(const QWidget* root, int id) {
    T* w = zk40::dialogs::ControlAs<T>(root, id);
    EXPECT_NE(w, nullptr) << "control " << id;
    return w;
}

inline void Click(const QWidget* root, int id) {
    if (auto* b = Find<QAbstractButton>(root, id)) b->click();
}

}  // namespace zk40test
