#include "app/FileDialogs.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QMainWindow>
#include <QMessageBox>
#include <QRegularExpression>
#include <QStatusBar>

#include "app/AppSettings.h"

namespace quillon {

namespace {
TFilterFileDialogHook& DialogHook() {
  static TFilterFileDialogHook hook;
  return hook;
}

// How long a confirmation stays in the status bar; the connection state
// it covers meanwhile comes back after it.
constexpr int kConfirmationMs = 15000;

QString RunDialog(QWidget* parent, TFileDialogKind kind, const QString& caption, const QString& start,
                  const QString& filter) {
  if (DialogHook()) return DialogHook()(kind, caption, start, filter);
  if (kind == TFileDialogKind::fdSave) return QFileDialog::getSaveFileName(parent, caption, start, filter);
  return QFileDialog::getOpenFileName(parent, caption, start, filter);
}

void Remember(QWidget* parent, const QString& caption, const QString& key, const QString& path) {
  // Remembering the path is a convenience: the command the operator chose
  // goes on when the settings file cannot take it.
  if (TAppSettings* settings = TAppSettings::Instance())
    RunFileCommand(parent, caption, [&] { settings->SetLastFile(key, path); });
}
}  // namespace

void SetFileDialogHook(TFileDialogHook hook) {
  if (!hook) DialogHook() = nullptr;
  else
    DialogHook() = [hook = std::move(hook)](TFileDialogKind kind, const QString& caption, const QString& start,
                                           const QString&) { return hook(kind, caption, start); };
}

void SetFilterFileDialogHook(TFilterFileDialogHook hook) { DialogHook() = std::move(hook); }

void RunFileCommand(QWidget* parent, const QString& title, const std::function<void()>& command) {
  try {
    command();
  } catch (const std::exception& e) {
    QMessageBox::critical(parent, title, QString::fromUtf8(e.what()));
  }
}

QString RunRememberingFileDialog(QWidget* parent, TFileDialogKind kind, const QString& caption,
                                 const QString& key, const QString& preset) {
  TAppSettings* settings = TAppSettings::Instance();
  const QString start = !preset.isEmpty() ? preset : (settings ? settings->LastFile(key) : QString());
  const QString chosen = RunDialog(parent, kind, caption, start, QStringLiteral("*.txt (*.txt)"));
  if (!chosen.isEmpty()) Remember(parent, caption, key, chosen);
  return chosen;
}

QString SaveDialogStart(const QString& lastPath, const QString& fileName, const QString& fallbackFolder) {
  QString folder;
  if (!lastPath.isEmpty()) {
    const QFileInfo last(lastPath);
    if (last.absoluteDir().exists()) folder = last.absolutePath();
  }
  if (folder.isEmpty()) folder = fallbackFolder.isEmpty() ? QDir::homePath() : fallbackFolder;
  return QDir(folder).filePath(fileName);
}

QString RunSaveDialog(QWidget* parent, const TSaveRequest& request) {
  TAppSettings* settings = TAppSettings::Instance();
  const QString start =
      !request.Preset.isEmpty()
          ? request.Preset
          : SaveDialogStart(settings ? settings->LastFile(request.Key) : QString(), request.FileName);
  QString chosen = RunDialog(parent, TFileDialogKind::fdSave, request.Caption, start,
                             request.Filter + QStringLiteral(";;All files (*)"));
  if (chosen.isEmpty()) return chosen;
  if (!request.Extension.isEmpty()) chosen = ForceExtension(chosen, request.Extension);
  Remember(parent, request.Caption, request.Key, chosen);
  return chosen;
}

QString ExportFileName(const QString& meter, const QString& obis, const QDate& day, const QString& extension) {
  QString name = QStringLiteral("%1 %2 %3").arg(meter.trimmed(), obis, day.toString(Qt::ISODate));
  // Slashes would make folders; the others are refused by the file systems
  // of Windows shares and USB sticks the file may go to.
  static const QRegularExpression unsafe(QStringLiteral("[/\\\\:*?\"<>|\\x00-\\x1f]"));
  name.replace(unsafe, QStringLiteral("-"));
  return name + extension;
}

QString CountText(qint64 count, const QString& singular, const QString& plural) {
  return QStringLiteral("%1 %2").arg(count).arg(count == 1 ? singular : plural);
}

void ReportFileSaved(QWidget* from, QLabel* label, const QString& text) {
  if (label) label->setText(text);
  for (QWidget* w = from; w; w = w->parentWidget())
    if (auto* main = qobject_cast<QMainWindow*>(w)) {
      main->statusBar()->showMessage(text, kConfirmationMs);
      return;
    }
}

QString ForceExtension(const QString& fileName, const QString& extension) {
  if (fileName.endsWith(extension, Qt::CaseInsensitive)) return fileName;
  return fileName + extension;
}

QString ForceTxtExtension(const QString& fileName) {
  const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
  if (dot >= 0 && fileName.mid(dot).compare(QLatin1String(".txt"), Qt::CaseInsensitive) == 0) return fileName;
  return fileName + QStringLiteral(".txt");
}

QString ChangeExtensionToTxt(const QString& fileName) {
  const qsizetype slash = fileName.lastIndexOf(QLatin1Char('/'));
  const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
  if (dot > slash) return fileName.left(dot) + QStringLiteral(".txt");
  return fileName + QStringLiteral(".txt");
}

}  // namespace quillon
