#include "app/WindowFit.h"

#include <QEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QStyle>
#include <QWidget>
#include <QWindow>

namespace quillon {

QRect FitRect(const QRect& wanted, const QRect& available, const QMargins& frame) {
  QRect outer = wanted.marginsAdded(frame);
  outer.setWidth(qMin(outer.width(), available.width()));
  outer.setHeight(qMin(outer.height(), available.height()));
  if (outer.right() > available.right()) outer.moveRight(available.right());
  if (outer.bottom() > available.bottom()) outer.moveBottom(available.bottom());
  if (outer.left() < available.left()) outer.moveLeft(available.left());
  if (outer.top() < available.top()) outer.moveTop(available.top());
  return outer.marginsRemoved(frame);
}

namespace {

const char* const kFitProperty = "quillonFitsScreen";

// The frame the window manager puts around the window. It is known once the
// window has been on screen; before that a title bar as high as the style's
// is assumed (a few pixels too many without a window manager, harmless).
QMargins FrameOf(const QWidget* w) {
  if (w->windowFlags() & Qt::FramelessWindowHint) return {};
  if (const QWindow* handle = w->windowHandle(); handle && !handle->frameMargins().isNull())
    return handle->frameMargins();
  const int border = 2;
  return {border, w->style()->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, w) + border, border, border};
}

const QScreen* ScreenOf(const QWidget* w) {
  // A remembered place names the screen; else the one Qt opens the window on.
  if (w->testAttribute(Qt::WA_Moved))
    if (const QScreen* s = QGuiApplication::screenAt(w->geometry().center())) return s;
  if (const QScreen* s = w->screen()) return s;
  return QGuiApplication::primaryScreen();
}

// `showing`: the window is about to appear, its size settled.
void Fit(QWidget* w, bool showing) {
  if (w->windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen | Qt::WindowMinimized)) return;
  const QScreen* screen = ScreenOf(w);
  if (!screen) return;
  QRect wanted = w->geometry();
  const QWidget* parent = w->parentWidget() ? w->parentWidget()->window() : nullptr;
  if (showing && !w->testAttribute(Qt::WA_Moved) && parent && parent->isVisible()) {
    // A window of a window opens over the middle of it, as Qt would put it,
    // but within the screen: placed here, Qt leaves it there.
    wanted.moveCenter(parent->geometry().center());
    w->setGeometry(FitRect(wanted, screen->availableGeometry(), FrameOf(w)));
    return;
  }
  const QRect fitted = FitRect(wanted, screen->availableGeometry(), FrameOf(w));
  if (w->testAttribute(Qt::WA_Moved)) {
    if (fitted != w->geometry()) w->setGeometry(fitted);
  } else if (fitted.size() != w->size()) {
    // The window manager places it.
    w->resize(fitted.size());
  }
}

class TScreenFit : public QObject {
public:
  using QObject::QObject;
  bool eventFilter(QObject* watched, QEvent* event) override {
    // A window that comes back from being minimized by the operator is
    // where the operator left it.
    if (event->type() == QEvent::Show && !event->spontaneous()) Fit(static_cast<QWidget*>(watched), true);
    return false;
  }
};

}  // namespace

void FitToScreen(QWidget* window) {
  Fit(window, false);
  if (window->property(kFitProperty).toBool()) return;
  window->setProperty(kFitProperty, true);
  window->installEventFilter(new TScreenFit(window));
}

}  // namespace quillon
