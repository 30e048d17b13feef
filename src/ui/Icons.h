#pragma once
// The program's own images: the tree's image list (indices of
// jobs/JobDisplay.h), the tool bar glyphs and the application icon, all
// drawn as SVG in icons.qrc.
#include <QIcon>
#include <QPixmap>

namespace zk40::ui {

const QIcon& TreeIcon(int index);
// A tool bar glyph by name ("10007", "sched-on", ...).
QIcon ToolIcon(const QString& name);
// The installed icon of the desktop theme when there is one, else ours.
QIcon AppIcon();
// Frame n of the tool bar's busy animation (0 to kAnimationFrames - 1).
constexpr int kAnimationFrames = 30;
QPixmap AnimationFrame(int n, int size);

}  // namespace zk40::ui
