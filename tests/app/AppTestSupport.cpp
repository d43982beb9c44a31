#include "AppTestSupport.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QTableWidget>
#include <QTimer>

#include "app/FormMain.h"

namespace quillon::test {

TSettingsFixture::TSettingsFixture() {
  FSettings = std::make_unique<TAppSettings>(QStringLiteral("quillon"), FDir.path(), FDir.path());
  if (qEnvironmentVariableIsSet("XDG_DATA_HOME")) FDataHome = qgetenv("XDG_DATA_HOME");
  qputenv("XDG_DATA_HOME", Path(QStringLiteral("data")).toUtf8());
}

TSettingsFixture::~TSettingsFixture() {
  if (FDataHome) qputenv("XDG_DATA_HOME", *FDataHome);
  else qunsetenv("XDG_DATA_HOME");
}

QStringList Column(const TFormMain& form, int column) {
  QStringList r;
  for (int i = 0; i < form.LV->rowCount(); ++i) r << form.LV->item(i, column)->text();
  return r;
}

QStringList RunAndCatchMessageBoxes(const std::function<void()>& action) {
  QStringList texts;
  // Polls for a box from the event loop the box itself runs; the timer ends
  // with the action, so the result does not depend on how long it takes.
  QTimer poll;
  poll.setInterval(0);
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      texts << box->text();
      box->done(QMessageBox::Ok);
    }
  });
  poll.start();
  action();
  poll.stop();
  return texts;
}

QString RunAndCatchMessageBox(const std::function<void()>& action) {
  return RunAndCatchMessageBoxes(action).value(0);
}

void MakeSettingsFileUnwritable(TAppSettings& settings) {
  const QString path = QFileInfo(settings.Ini().FileName()).absoluteFilePath();
  QFile::remove(path);
  QDir().mkpath(path + QStringLiteral("/occupied"));
}

}  // namespace quillon::test
