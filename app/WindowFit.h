// Keeping top-level windows on the screen: a window never opens larger
// than the screen's free area (the desktop without panels and docks) or
// with its title bar or bottom edge out of reach, whatever size the
// settings file remembers or the layout asks for.
#pragma once

#include <QMargins>
#include <QRect>

class QWidget;

namespace quillon {

// Where a window whose client area is `wanted` goes so that it and its
// frame (`frame`: the window manager's border and title bar) lie within
// `available`: as large as it wants up to the size of `available`, moved
// in as far as it reaches past an edge, else where it wants.
QRect FitRect(const QRect& wanted, const QRect& available, const QMargins& frame = QMargins());

// Fits `window` into the free area of the screen it opens on, now and each
// time it is shown (a dialog's size is settled only as it shows). A
// maximized or full-screen window is left to the window manager; a window
// no one has placed yet (a dialog centred on its parent) is only made
// small enough, and the placing is left to Qt.
void FitToScreen(QWidget* window);

}  // namespace quillon
