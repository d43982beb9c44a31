// The meter workflow of the main window: connect, object lists, reading and
// writing attributes, disconnect.
#include <QAction>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QTableWidget>

#include "app/AppSettings.h"
#include "app/EditorPane.h"
#include "app/FormMain.h"
#include "app/FormSettings.h"
#include "app/FormTraffic.h"
#include "app/IniFile.h"

namespace quillon {

namespace {

const QString kRecentSection = QStringLiteral("RecentObjectLists");
constexpr int kRecentCount = 6;

}  // namespace

void TFormMain::RememberRecent(const QString& fileName) {
  TAppSettings* s = TAppSettings::Instance();
  if (!s) return;
  QStringList files{fileName};
  for (int i = 0; i < kRecentCount; ++i) {
    const QString f = s->Ini().ReadString(kRecentSection, QString::number(i));
    if (!f.isEmpty() && f != fileName && files.size() < kRecentCount) files << f;
  }
  s->Ini().EraseSection(kRecentSection);
  for (int i = 0; i < files.size(); ++i) s->Ini().WriteString(kRecentSection, QString::number(i), files[i]);
  s->Save();
  RebuildRecentMenu();
}

void TFormMain::RebuildRecentMenu() {
  RecentMenu->clear();
  TAppSettings* s = TAppSettings::Instance();
  for (int i = 0; s && i < kRecentCount; ++i) {
    const QString f = s->Ini().ReadString(kRecentSection, QString::number(i));
    if (f.isEmpty()) continue;
    QAction* a = RecentMenu->addAction(QStringLiteral("&%1 %2").arg(i + 1).arg(f));
    connect(a, &QAction::triggered, this, [this, f] { Guarded([&] { LoadObjectListFile(f); }); });
  }
  RecentMenu->setEnabled(!RecentMenu->isEmpty() && !OperationRunning());
}

}  // namespace quillon

namespace quillon {

void TFormMain::LoadObjectListFile(const QString& fileName) {
  if (TAppSettings* s = TAppSettings::Instance()) s->SetLastFile(QStringLiteral("OL"), fileName);
  FormSettings->EDITOLFileName->setText(fileName);
  SetObjectListCaption(fileName);
  ObjectListFileName = fileName;
  ResponseEditor->LoadFromFile(fileName);
  RememberRecent(fileName);
  ClearObjects();
  FillObjectsFromEditor();
}

void TFormMain::UpdateConnectionStatus() {
  StatusConnection->setText(LinkConnected() ? QStringLiteral("Connected") : QStringLiteral("Not connected"));
}

}  // namespace quillon
