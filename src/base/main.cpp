// The only translation unit that links the widget library: it chooses, at
// run time, between the window and the headless shape.
#include "base/Application.h"
#include "ui/MainWindow.h"

int main(int argc, char** argv) {
    return zk40::ZarkellMain(argc, argv, [](int& ac, char** av, bool windowAllowed) {
        if (windowAllowed && zk40::ui::DisplayAvailable()) return zk40::ui::WindowShape(ac, av);
        return zk40::HeadlessShape(ac, av);
    });
}
