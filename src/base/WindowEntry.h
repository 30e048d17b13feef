#pragma once
// The window lives in a loadable object of its own (zarkell40-window.so),
// so that the program linked without Qt Gui and Widgets maps them only when
// it shows a window. The object takes the core's symbols from the
// executable that loads it; its one entry point makes the windowed shape.
#include "base/ProgramView.h"

namespace zk40 {

// The object's file name, and its folder relative to the program's
// installed bin folder (set by the build; the build tree keeps the object
// beside the executable).
inline constexpr char kWindowObjectFile[] = "zarkell40-window.so";

// Fills `shape` with a QApplication and the main window.
using WindowShapeEntry = void (*)(int& argc, char** argv, TProgramShape& shape);
inline constexpr char kWindowShapeEntryName[] = "zk40_window_shape";

}  // namespace zk40
