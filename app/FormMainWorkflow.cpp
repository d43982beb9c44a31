// The meter workflow of the main window: connect, object lists, reading and
// writing attributes, disconnect.
#include <QAction>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QCursor>
#include <QDialog>
#include <QHeaderView>
#include <QVBoxLayout>
#include <QMenu>
#include <QTableWidget>

#include "app/AppSettings.h"
#include "app/EditorPane.h"
#include "app/FormMain.h"
#include "app/FormSettings.h"
#include "app/FormTraffic.h"
#include "app/IniFile.h"
#include "app/ProfileView.h"
#include "app/WindowFit.h"
#include "client/Session.h"
#include "xmlpdu/infra/Misc.h"

#include "knowledge/COSEMClasses.h"
#include "knowledge/OBISData.h"

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

void TFormMain::FillObjectsFromEditor() {
  const std::vector<client::TObjectListEntry> entries =
      client::DecodeObjectList(client::ParseDataXml(ResponseEditor->Text().toStdString()));
  // Loaded afresh for every list, so a rebuilt database is picked up.
  FOBISData = LoadEmbeddedOBISData();
  std::vector<TInstanceInfo> infos;
  infos.reserve(entries.size());
  for (const client::TObjectListEntry& e : entries) {
    TInstanceInfo info;
    info.ClassId = e.ClassId;
    info.Version = e.Version;
    info.BaseName = static_cast<uint16_t>(e.ShortName < 0 ? 0 : e.ShortName);
    const std::string name(e.Name.begin(), e.Name.end());
    info.InstanceHex = QString::fromStdString(TMisc::ByteStrToHexStr(name));
    info.InstanceDescr = QString::fromStdString(FOBISData->GetOBISTextOfLogicalName(name));
    info.Entry = std::make_shared<const client::TObjectListEntry>(e);
    infos.push_back(std::move(info));
  }
  SetObjects(infos);
}

QMenu* TFormMain::BuildInstancePopup(const TInstanceInfo& info) {
  auto* menu = new QMenu(this);
  if (const TCOSEMClassInfo* cls = COSEMClassesInfo().Search(info.ClassId, info.Version)) {
    for (size_t i = 0; i < cls->AttributeNames.size(); ++i) {
      // The access the object list gives stands beside the name.
      const QString mark = AttributeAccessMark(info, static_cast<int>(i) + 1);
      QAction* a = menu->addAction(QString::fromStdString(cls->AttributeNames[i]) +
                                   (mark.isEmpty() ? QString() : QLatin1Char('\t') + mark));
      a->setData(static_cast<int>(i));
      connect(a, &QAction::triggered, this, [this, a, info] {
        QString name = a->text().section(QLatin1Char('\t'), 0, 0);
        name.remove(QLatin1Char('&'));
        Guarded([&] { ReadAttribute(info, a->data().toInt() + 1, name); });
      });
    }
    menu->addSeparator();
    connect(menu->addAction(QStringLiteral("Read all attributes")), &QAction::triggered, this,
            [this, info] { Guarded([&] { ShowAllAttributes(info); }); });
    AddMethodItems(menu, info, cls->MethodsQty);
  }
  if (info.ClassId == 7) {
    menu->addSeparator();
    connect(menu->addAction(QStringLiteral("Open profile...")), &QAction::triggered, this,
            [this, info] { Guarded([&] { OpenProfile(info); }); });
  }
  menu->addAction(QStringLiteral("(Cancel)"));
  return menu;
}

void TFormMain::LVClick() {
  const QList<QTableWidgetItem*> selected = LV->selectedItems();
  if (selected.isEmpty()) return;
  const TInstanceInfo info = ObjectAt(selected.first()->row());
  QMenu* menu = BuildInstancePopup(info);
  menu->setAttribute(Qt::WA_DeleteOnClose);
  QPoint pos = QCursor::pos();
  // Opened from the keyboard: below the row rather than wherever the mouse is.
  if (!LV->viewport()->rect().contains(LV->viewport()->mapFromGlobal(pos)))
    pos = LV->viewport()->mapToGlobal(LV->visualItemRect(selected.first()).bottomLeft());
  menu->popup(pos);
}

client::TMeterProfile TFormMain::CurrentMeterProfile() const {
  TIniFile controls{QString()};
  FormSettings->SaveControls(controls);
  // The HDLC inactivity timeout is kept in the program's file only.
  if (TAppSettings* a = TAppSettings::Instance())
    if (a->Ini().ValueExists(QStringLiteral("Misc"), QStringLiteral("0")))
      controls.WriteInteger(QStringLiteral("Misc"), QStringLiteral("0"),
                            a->Ini().ReadInteger(QStringLiteral("Misc"), QStringLiteral("0"), 30000));
  client::TIniData data;
  data.Parse(controls.ToText().toStdString());
  return client::ProfileFromSettings(data);
}

TProfileView* TFormMain::CreateProfileView(const TInstanceInfo& info) {
  client::TObjectRef ref;
  ref.ClassId = info.ClassId;
  ref.Name = client::LogicalNameOfBytes(TMisc::HexStrToByteStr(info.InstanceHex.toStdString()));
  ref.Member = 2;
  const client::TMeterProfile meter = CurrentMeterProfile();
  auto* view = new TProfileView(meter, ref,
                                QStringLiteral("%1 - %2").arg(DottedLogicalName(info.InstanceHex), info.InstanceDescr),
                                this);
  // While the window holds an association the view reads through it (a
  // meter takes one at a time, a serial line one user); otherwise it opens
  // a session of its own.
  view->ShareSession(TProfileView::TSharedSession{
      [this]() -> client::TSession* { return LinkConnected() ? SharedSession() : nullptr; },
      [this](bool reading) {
        FOperationRunning = reading;
        UpdateCommandStates();
      },
      [this] {
        DisconnectLink();
        UpdateConnectionStatus();
      }});
  // While the view's own session works the status bar says so, not "Not connected".
  connect(view, &TProfileView::Working, this, [this](const QString& text) {
    if (text.isEmpty()) UpdateConnectionStatus();
    else StatusConnection->setText(text);
  });
  return view;
}

void TFormMain::OpenProfile(const TInstanceInfo& info) {
  TProfileView* view = CreateProfileView(info);
  view->setAttribute(Qt::WA_DeleteOnClose);
  view->open();
}

void TFormMain::ShowAllAttributes(const TInstanceInfo& info) {
  const QList<TAttributeRow> rows = ReadAllAttributes(info);
  auto* dialog = new QDialog(this);
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->setWindowTitle(QStringLiteral("%1 - %2").arg(DottedLogicalName(info.InstanceHex), info.InstanceDescr));
  auto* table = new QTableWidget(static_cast<int>(rows.size()), 3, dialog);
  table->setHorizontalHeaderLabels({QStringLiteral("Attribute"), QStringLiteral("Name"), QStringLiteral("Value")});
  table->verticalHeader()->setVisible(false);
  table->setEditTriggers(QAbstractItemView::NoEditTriggers);
  for (int r = 0; r < rows.size(); ++r) {
    table->setItem(r, 0, new QTableWidgetItem(QString::number(rows[r].Id)));
    table->setItem(r, 1, new QTableWidgetItem(rows[r].Name));
    auto* value = new QTableWidgetItem(rows[r].Value);
    value->setToolTip(rows[r].Xml);
    table->setItem(r, 2, value);
  }
  table->horizontalHeader()->setStretchLastSection(true);
  table->resizeColumnsToContents();
  auto* layout = new QVBoxLayout(dialog);
  layout->addWidget(table);
  dialog->resize(720, 360);
  FitToScreen(dialog);
  dialog->open();
}

void TFormMain::UpdateConnectionStatus() {
  StatusConnection->setText(LinkConnected() ? QStringLiteral("Connected") : QStringLiteral("Not connected"));
  StatusNegotiated->setText(NegotiatedText());
  UpdateCaption();
}

}  // namespace quillon
