#include "app/FileDialogs.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>

#include "app/AppSettings.h"

namespace quillon {

namespace {
TFileDialogHook& DialogHook() {
  static TFileDialogHook hook;
  return hook;
}
}  // namespace

void SetFileDialogHook(TFileDialogHook hook) { DialogHook() = std::move(hook); }

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
  const QString filter = QStringLiteral("*.txt (*.txt)");
  QString chosen;
  if (DialogHook()) chosen = DialogHook()(kind, caption, start);
  else if (kind == TFileDialogKind::fdSave) chosen = QFileDialog::getSaveFileName(parent, caption, start, filter);
  else chosen = QFileDialog::getOpenFileName(parent, caption, start, filter);
  // Remembering the path is a convenience: the command the operator chose
  // goes on when the settings file cannot take it.
  if (!chosen.isEmpty() && settings)
    RunFileCommand(parent, caption, [&] { settings->SetLastFile(key, chosen); });
  return chosen;
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
