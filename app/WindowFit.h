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
// maximized or full-screen window is left to the window manager. A window
// of another window that no one has placed yet opens over the middle of
// that window, within the screen; a main window no one has placed is only
// made small enough, and the window manager places it.
void FitToScreen(QWidget* window);

}  // namespace quillon
