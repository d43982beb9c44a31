// The program's own settings file: where it lives, which program instance
// this process is, and the few keys shared by several windows (last files,
// the shared script font, window geometry).
#pragma once

#include <QFont>
#include <QObject>
#include <QString>
#include <memory>

#include "app/IniFile.h"

class QWidget;

namespace quillon {

inline constexpr const char* kSettingsVersionFolder = "7.1";
inline constexpr int kMaxInstances = 10;

class TAppSettings : public QObject {
  Q_OBJECT
public:
  // Locates the settings folder under `dataHome` (the user's application
  // data folder; empty means none is available and `fallbackDir` is used),
  // claims the instance number and opens `<programName>.ini` there.
  TAppSettings(const QString& programName, const QString& dataHome, const QString& fallbackDir);
  ~TAppSettings() override;

  // The process-wide instance; set by the program start and by tests.
  static TAppSettings* Instance() { return FInstance; }

  const QString& ProgramName() const { return FProgramName; }
  int InstanceNr() const { return FInstanceNr; }
  QString Folder() const { return FFolder; }
  TIniFile& Ini() { return *FIni; }
  // Writes the settings file; failures are reported by the caller's error box.
  void Save() { FIni->UpdateFile(); }

  // Section "LastFiles": paths remembered by the file dialogs.
  QString LastFile(const QString& key) const;
  void SetLastFile(const QString& key, const QString& path);

  // The script font shared by the log window and the editor pane.
  QFont ScriptFont() const;
  void SetScriptFont(const QFont& font);

  // Window geometry under the window's name: "WindowState", "Top", "Left",
  // "Width", "Height", "StayOnTop".
  void SaveWindowGeometry(const QString& name, const QWidget* w);
  void RestoreWindowGeometry(const QString& name, QWidget* w) const;

signals:
  void ScriptFontChanged();

private:
  void ClaimInstance(const QString& baseFolder);

  static TAppSettings* FInstance;
  QString FProgramName;
  QString FFolder;
  int FInstanceNr = 1;
  int FLockFd = -1;
  std::unique_ptr<TIniFile> FIni;
};

// Program name as shown in captions: the executable's file name without
// extension.
QString ProgramNameFromPath(const QString& executablePath);

}  // namespace quillon
