#include "app/AppSettings.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace quillon {

TAppSettings* TAppSettings::FInstance = nullptr;

QString ProgramNameFromPath(const QString& executablePath) {
  return QFileInfo(executablePath).completeBaseName();
}

TAppSettings::TAppSettings(const QString& programName, const QString& dataHome, const QString& fallbackDir)
    : FProgramName(programName) {
  QString base;
  if (!dataHome.isEmpty() && QDir().mkpath(dataHome + QLatin1Char('/') + programName + QLatin1Char('/') +
                                           QLatin1String(kSettingsVersionFolder)))
    base = QDir(dataHome).absoluteFilePath(programName + QLatin1Char('/') + QLatin1String(kSettingsVersionFolder));
  else
    base = fallbackDir;
  ClaimInstance(base);
  FFolder = FInstanceNr >= 2 ? base + QStringLiteral("/[%1]").arg(FInstanceNr) : base;
  QDir().mkpath(FFolder);
  FIni = std::make_unique<TIniFile>(FFolder + QLatin1Char('/') + programName + QStringLiteral(".ini"));
  FInstance = this;
}

TAppSettings::~TAppSettings() {
  if (FLockFd >= 0) ::close(FLockFd);  // closing releases the lock
  if (FInstance == this) FInstance = nullptr;
}

void TAppSettings::ClaimInstance(const QString& baseFolder) {
  // Lock files "1".."10": the first one this process can lock exclusively
  // is its instance. The lock lives as long as the descriptor, so a crashed
  // instance frees its number.
  for (int n = 1; n <= kMaxInstances; ++n) {
    const QByteArray path = QFile::encodeName(baseFolder + QLatin1Char('/') + QString::number(n));
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) continue;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      FLockFd = fd;
      FInstanceNr = n;
      return;
    }
    ::close(fd);
  }
  FInstanceNr = 1;
}

QString TAppSettings::LastFile(const QString& key) const {
  return FIni->ReadString(QStringLiteral("LastFiles"), key);
}

void TAppSettings::SetLastFile(const QString& key, const QString& path) {
  FIni->WriteString(QStringLiteral("LastFiles"), key, path);
  Save();
}

QFont TAppSettings::ScriptFont() const {
  QString name = FIni->ReadString(QStringLiteral("ScriptFont"), QStringLiteral("0"));
  if (name.isEmpty()) name = QStringLiteral("Courier New");
  const int size = FIni->ReadInteger(QStringLiteral("ScriptFont"), QStringLiteral("1"), 10);
  QFont f(name, size > 0 ? size : 10);
  // Where the named font is missing the substitute must still be fixed-pitch:
  // hex columns and XML indentation rely on it.
  f.setStyleHint(QFont::Monospace);
  f.setFixedPitch(true);
  return f;
}

void TAppSettings::SetScriptFont(const QFont& font) {
  FIni->WriteString(QStringLiteral("ScriptFont"), QStringLiteral("0"), font.family());
  FIni->WriteInteger(QStringLiteral("ScriptFont"), QStringLiteral("1"), font.pointSize());
  Save();
  emit ScriptFontChanged();
}

void TAppSettings::SaveWindowGeometry(const QString& name, const QWidget* w) {
  const QRect g = w->normalGeometry().isValid() ? w->normalGeometry() : w->geometry();
  int state = 0;  // 0 normal, 1 minimized, 2 maximized
  if (w->isMaximized()) state = 2;
  else if (w->isMinimized()) state = 1;
  FIni->WriteInteger(name, QStringLiteral("WindowState"), state);
  FIni->WriteInteger(name, QStringLiteral("Top"), g.top());
  FIni->WriteInteger(name, QStringLiteral("Left"), g.left());
  FIni->WriteInteger(name, QStringLiteral("Width"), g.width());
  FIni->WriteInteger(name, QStringLiteral("Height"), g.height());
  FIni->WriteBool(name, QStringLiteral("StayOnTop"), (w->windowFlags() & Qt::WindowStaysOnTopHint) != 0);
  Save();
}

void TAppSettings::RestoreWindowGeometry(const QString& name, QWidget* w) const {
  const QScreen* screen = QGuiApplication::primaryScreen();
  const QRect desk = screen ? screen->availableVirtualGeometry() : QRect(0, 0, 1024, 768);
  const int width = FIni->ReadInteger(name, QStringLiteral("Width"), w->width());
  const int height = FIni->ReadInteger(name, QStringLiteral("Height"), w->height());
  const int top = FIni->ReadInteger(name, QStringLiteral("Top"), desk.top() + desk.height() / 4);
  const int left = FIni->ReadInteger(name, QStringLiteral("Left"), desk.left() + desk.width() / 4);
  QRect r(left, top, qMax(width, 50), qMax(height, 50));
  // A window saved on a screen that is gone would be unreachable.
  if (!desk.intersects(r)) r.moveCenter(desk.center());
  w->setGeometry(r);
  if (FIni->ReadBool(name, QStringLiteral("StayOnTop"), false))
    w->setWindowFlag(Qt::WindowStaysOnTopHint, true);
  if (FIni->ReadInteger(name, QStringLiteral("WindowState"), 0) == 2) w->setWindowState(Qt::WindowMaximized);
}

}  // namespace quillon
