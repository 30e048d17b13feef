// The entry point of the window object: main.cpp finds it with dlsym once
// it has decided to show a window.
#include "base/WindowEntry.h"
#include <type_traits>

#include "ui/MainWindow.h"

extern "C" __attribute__((visibility("default"))) void zk40_window_shape(int& argc, char** argv,
                                                                      zk40::TProgramShape& shape) {
    shape = zk40::ui::WindowShape(argc, argv);
}

// The declaration above must match what the loader casts the symbol to.
static_assert(std::is_same_v<decltype(&zk40_window_shape), zk40::WindowShapeEntry>);
