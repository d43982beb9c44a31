// Shared fixtures of the application tests: a private settings folder per
// test case, and closing the message box an operation shows.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <functional>
#include <memory>
#include <optional>

#include "app/AppSettings.h"

namespace quillon {
class TFormMain;
}

namespace quillon::test {

// A program settings file in a fresh folder, the process-wide instance
// while it lives. The data folder (XDG_DATA_HOME, where the invocation
// counters are kept) is Path("data") meanwhile: never the user's.
class TSettingsFixture {
public:
  TSettingsFixture();
  ~TSettingsFixture();
  TAppSettings& Settings() { return *FSettings; }
  QString Path(const QString& name) const { return FDir.filePath(name); }
  QString DataHome() const { return FDir.path(); }

private:
  QTemporaryDir FDir;
  std::unique_ptr<TAppSettings> FSettings;
  std::optional<QByteArray> FDataHome;  // the value before, if any
};

// The texts of one list-view column, top to bottom.
QStringList Column(const TFormMain& form, int column);

// Runs `action`; the first modal message box it opens is closed and its
// text returned (empty when none appeared).
QString RunAndCatchMessageBox(const std::function<void()>& action);
// Runs `action`; every modal message box it opens is closed, and their
// texts are returned in order.
QStringList RunAndCatchMessageBoxes(const std::function<void()>& action);

// Makes the program's settings file unwritable: a folder with content takes
// its place, so that even a privileged user cannot rename a file onto it.
void MakeSettingsFileUnwritable(TAppSettings& settings);

}  // namespace quillon::test
