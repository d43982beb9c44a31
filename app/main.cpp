// Program start: settings folder and instance, the start time of the
// traffic log, then the main window.
#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QStandardPaths>

#include "app/AppSettings.h"
#include "app/FormMain.h"
#include "app/FormSettings.h"
#include "app/ProfileView.h"
#include "client/ObjectRef.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  const QString programName = quillon::ProgramNameFromPath(QCoreApplication::applicationFilePath());
  QApplication::setApplicationName(programName);

  // The traffic log's time columns need a monotonic high-resolution clock.
  if (QElapsedTimer::clockType() != QElapsedTimer::MonotonicClock) {
    QMessageBox::critical(nullptr, QStringLiteral("Error"),
                          QStringLiteral("%1 requires a machine with a performance counter. "
                                         "Your machine could be outdated.")
                              .arg(programName));
    return 1;
  }
  quillon::TAppSettings settings(programName,
                                 QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation),
                                 QCoreApplication::applicationDirPath());
  try {
    quillon::SeedFirstRunSettings(settings.Ini());
  } catch (const std::exception& e) {
    QMessageBox::critical(nullptr, programName, QString::fromUtf8(e.what()));
  }
  quillon::TFormMain form;
  form.show();
  // --open-profile OBIS: the profile view of that load profile over the
  // settings' connection, read at once (documentation pictures, quick looks).
  const QStringList args = QCoreApplication::arguments();
  const qsizetype at = args.indexOf(QStringLiteral("--open-profile"));
  if (at > 0 && at + 1 < args.size()) {
    try {
      const auto name = quillon::client::ParseLogicalName(args[at + 1].toStdString());
      quillon::TInstanceInfo info;
      info.ClassId = 7;
      info.Version = 1;
      info.InstanceHex = QString::fromStdString(quillon::client::LogicalNameHex(name));
      info.InstanceDescr = QStringLiteral("Profile");
      quillon::TProfileView* view = form.CreateProfileView(info);
      view->setAttribute(Qt::WA_DeleteOnClose);
      view->show();
      view->ReadWhenShown();
    } catch (const std::exception& e) {
      QMessageBox::critical(&form, programName, QString::fromUtf8(e.what()));
    }
  }
  return QApplication::exec();
}
