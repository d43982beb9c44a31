#include "app/FileDialogs.h"

#include <QFileDialog>
#include <QFileInfo>

#include "app/AppSettings.h"

namespace quillon {

QString RunRememberingFileDialog(QWidget* parent, TFileDialogKind kind, const QString& caption,
                                 const QString& key, const QString& preset) {
  TAppSettings* settings = TAppSettings::Instance();
  const QString start = !preset.isEmpty() ? preset : (settings ? settings->LastFile(key) : QString());
  const QString filter = QStringLiteral("*.txt (*.txt)");
  const QString chosen = kind == TFileDialogKind::fdSave
                             ? QFileDialog::getSaveFileName(parent, caption, start, filter)
                             : QFileDialog::getOpenFileName(parent, caption, start, filter);
  if (!chosen.isEmpty() && settings) settings->SetLastFile(key, chosen);
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
