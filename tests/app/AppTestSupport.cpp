#include "AppTestSupport.h"

#include <QApplication>
#include <QMessageBox>
#include <QTimer>

namespace quillon::test {

TSettingsFixture::TSettingsFixture() {
  FSettings = std::make_unique<TAppSettings>(QStringLiteral("quillon"), FDir.path(), FDir.path());
}

QString RunAndCatchMessageBox(const std::function<void()>& action) {
  QString text;
  // Polls for the box from the event loop the box itself runs; the timer
  // ends with the box, so the result does not depend on how long it takes.
  QTimer poll;
  poll.setInterval(0);
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      text = box->text();
      box->done(QMessageBox::Ok);
      poll.stop();
    }
  });
  poll.start();
  action();
  poll.stop();
  return text;
}

}  // namespace quillon::test
