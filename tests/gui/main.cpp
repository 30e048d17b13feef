// The GUI tests run on one QApplication, offscreen, with every message box
// and file dialog answered by the tests (ui/Prompt.h): nothing waits for a
// person.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

#include "ui/Prompt.h"

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    zk40::ui::PromptAnswers::Arm();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
