// Program start: settings folder and instance, the start time of the
// traffic log, then the main window.
#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QStandardPaths>
#include <cstdio>
#include <cstring>

#include "app/AppSettings.h"
#include "app/FormMain.h"
#include "app/FormSettings.h"
#include "app/ProfileView.h"
#include "client/ObjectRef.h"
#include "quillon/Version.h"

namespace {

const char kHelp[] =
    "Usage: quillon [--help] [--version] [--open-profile OBIS]\n"
    "\n"
    "The desktop client for DLMS/COSEM meters: connects to a meter over TCP (DLMS\n"
    "wrapper) or a serial line (HDLC, optionally opened with mode E), reads the\n"
    "association's object list and reads and writes its attributes. Everything is\n"
    "set in the settings dialog (Show > Settings...); the settings are kept in\n"
    "the user's data folder.\n"
    "\n"
    "  --help     prints this text\n"
    "  --version  prints the version\n"
    "  --open-profile OBIS\n"
    "             opens the profile view of that load profile over the settings'\n"
    "             connection and reads it at once\n";

}  // namespace

int main(int argc, char** argv) {
  // Answered before any window exists, so that they work without a display.
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "--version") == 0)) {
    std::fputs(std::strcmp(argv[1], "--help") == 0 ? kHelp : "quillon " QUILLON_VERSION "\n", stdout);
    return 0;
  }
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
