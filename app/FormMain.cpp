#include "app/FormMain.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QSplitter>
#include <QStatusBar>
#include <QTableWidget>
#include <QUrl>
#include <QVBoxLayout>

#include "app/AppSettings.h"
#include "app/EditorPane.h"
#include "app/ExchangeThread.h"
#include "app/FormSettings.h"
#include "app/FormTraffic.h"
#include "app/IniFile.h"
#include "quillon/Version.h"
#include "xmlpdu/infra/Errors.h"

namespace quillon {

namespace {

const QString kFormName = QStringLiteral("FormMain");
const QString kMisc = QStringLiteral("Misc");
constexpr int kSplitScale = 100000;

}  // namespace

TInstanceItem::TInstanceItem(const QString& text, int column, const TInstanceInfo& info)
    : QTableWidgetItem(text), Info(info), Column(column) {
  setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
}

bool TInstanceItem::operator<(const QTableWidgetItem& other) const {
  const auto* o = dynamic_cast<const TInstanceItem*>(&other);
  if (o && Column == 1) return Info.ClassId < o->Info.ClassId;
  return text().compare(other.text(), Qt::CaseInsensitive) < 0;
}

TFormMain::TFormMain(QWidget* parent) : QMainWindow(parent) {
  setObjectName(kFormName);
  FProgramName = TAppSettings::Instance() ? TAppSettings::Instance()->ProgramName()
                                          : ProgramNameFromPath(QCoreApplication::applicationFilePath());
  FormCreate();
}


void TFormMain::FormCreate() {
  // Menus.
  QMenu* doMenu = menuBar()->addMenu(QStringLiteral("&Do"));
  MMDoConnect = doMenu->addAction(QStringLiteral("Connect"));
  MMDoConnect->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_K));
  MMDoReadObjectList = doMenu->addAction(QStringLiteral("Read object-list"));
  MMDoReadObjectList->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
  MMDoDisconnect = doMenu->addAction(QStringLiteral("Disconnect"));
  MMDoDisconnect->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_D));
  MMDoCancel = doMenu->addAction(QStringLiteral("Cancel operation"));
  MMDoCancel->setShortcut(QKeySequence(Qt::Key_Escape));
  MMDoCancel->setEnabled(false);
  RecentMenu = doMenu->addMenu(QStringLiteral("Recent object-lists"));
  doMenu->addSeparator();
  MMDoExit = doMenu->addAction(QStringLiteral("Exit"));
  MMDoExit->setShortcut(QKeySequence::Quit);
  QMenu* showMenu = menuBar()->addMenu(QStringLiteral("&Show"));
  MMViewSettings = showMenu->addAction(QStringLiteral("Settings..."));
  MMViewSettings->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma));
  MMViewTraffic = showMenu->addAction(QStringLiteral("Log..."));
  MMViewTraffic->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_L));
  MMViewTraffic->setCheckable(true);
  QMenu* helpMenu = menuBar()->addMenu(QStringLiteral("&Help"));
  MMHelpOnLine = helpMenu->addAction(QStringLiteral("On line..."));
  MMHelpOnLine->setShortcut(QKeySequence::HelpContents);
  MMAbout = menuBar()->addAction(QStringLiteral("About"));

  connect(MMDoConnect, &QAction::triggered, this, &TFormMain::MMDoConnectClick);
  connect(MMDoReadObjectList, &QAction::triggered, this, &TFormMain::MMDoReadObjectListClick);
  connect(MMDoDisconnect, &QAction::triggered, this, &TFormMain::MMDoDisconnectClick);
  connect(MMDoExit, &QAction::triggered, this, &TFormMain::MMDoExitClick);
  connect(MMDoCancel, &QAction::triggered, this, &TFormMain::MMDoCancelClick);
  connect(MMViewSettings, &QAction::triggered, this, &TFormMain::MMViewSettingsClick);
  connect(MMViewTraffic, &QAction::triggered, this, &TFormMain::MMViewTrafficClick);
  connect(MMHelpOnLine, &QAction::triggered, this, &TFormMain::MMHelpOnLineClick);
  connect(MMAbout, &QAction::triggered, this, &TFormMain::MMAboutClick);

  // The object list: report style, grid lines, read-only, whole rows.
  LV = new QTableWidget(0, 3);
  LV->setObjectName(QStringLiteral("LV"));
  LV->setHorizontalHeaderLabels({QStringLiteral("Logical Name"), QStringLiteral("ClassId"),
                                 QStringLiteral("Description")});
  LV->setShowGrid(true);
  LV->setEditTriggers(QAbstractItemView::NoEditTriggers);
  LV->setSelectionBehavior(QAbstractItemView::SelectRows);
  LV->setSelectionMode(QAbstractItemView::SingleSelection);
  LV->verticalHeader()->setVisible(false);
  LV->verticalHeader()->setDefaultSectionSize(LV->fontMetrics().height() + 6);
  LV->setWordWrap(false);
  QHeaderView* header = LV->horizontalHeader();
  header->setSectionResizeMode(0, QHeaderView::ResizeToContents);
  header->setSectionResizeMode(1, QHeaderView::Interactive);
  header->setSectionResizeMode(2, QHeaderView::Stretch);
  header->resizeSection(1, 100);
  header->setHighlightSections(false);
  header->setSectionsClickable(true);
  // The class column stays between 30 and 100 pixels wide.
  connect(header, &QHeaderView::sectionResized, this, [header](int index, int, int size) {
    if (index == 1 && (size < 30 || size > 100)) header->resizeSection(1, qBound(30, size, 100));
  });
  connect(header, &QHeaderView::sectionClicked, this, &TFormMain::LVColumnClick);
  // Every click on a row offers that object's attributes.
  connect(LV, &QTableWidget::cellClicked, this, [this](int, int) { LVClick(); });
  // Enter on a row offers the same menu, for operators on the keyboard.
  connect(LV, &QTableWidget::itemActivated, this, [this](QTableWidgetItem*) { LVClick(); });

  ResponseEditor = new TFrameBaseEditor;
  ResponseEditor->setObjectName(QStringLiteral("ResponseEditor"));
  ResponseEditor->PopupMenu()->addSeparator();
  WriteThis = ResponseEditor->PopupMenu()->addAction(QStringLiteral("Write this"));
  connect(WriteThis, &QAction::triggered, this, &TFormMain::WriteThisClick);

  Splitter = new QSplitter(Qt::Vertical);
  Splitter->addWidget(LV);
  Splitter->addWidget(ResponseEditor);
  Splitter->setChildrenCollapsible(false);
  setCentralWidget(Splitter);

  StatusConnection = new QLabel(QStringLiteral("Not connected"));
  StatusNegotiated = new QLabel;
  StatusProgress = new QLabel;
  statusBar()->addWidget(StatusConnection);
  statusBar()->addWidget(StatusNegotiated);
  statusBar()->addPermanentWidget(StatusProgress);

  SetObjectListCaption(QString());

  FormTraffic = new TFormTraffic(this);
  connect(FormTraffic, &TFormTraffic::VisibilityChanged, MMViewTraffic, &QAction::setChecked);
  connect(FormTraffic, &TFormTraffic::TrafficStatsChanged, this, &TFormMain::UpdateProgress);
  FormSettings = new TFormSettings(this);

  resize(800, 600);
  if (TAppSettings* s = TAppSettings::Instance()) {
    s->RestoreWindowGeometry(kFormName, this);
    s->RestoreWindowGeometry(FormTraffic->objectName(), FormTraffic);
    FSplit = s->Ini().ReadInteger(kMisc, QStringLiteral("Split"), 50000);
    ViewLogAtStart = s->Ini().ReadBool(kMisc, QStringLiteral("ViewLog"), false);
  }
  // Relative file names in settings and object lists resolve next to the program.
  QDir::setCurrent(QCoreApplication::applicationDirPath());
  InstallLink();
  RebuildRecentMenu();
  UpdateCommandStates();
}

void TFormMain::SetObjectListCaption(const QString& fileName) {
  setWindowTitle(fileName.isEmpty() ? FProgramName : QStringLiteral("%1 - %2").arg(FProgramName, fileName));
}

void TFormMain::showEvent(QShowEvent* e) {
  QMainWindow::showEvent(e);
  if (FShownOnce) return;
  FShownOnce = true;
  FormShow();
}

void TFormMain::FormShow() {
  ApplySplitPosition(FSplit);
  if (ViewLogAtStart) FormTraffic->show();
  if (TAppSettings* s = TAppSettings::Instance()) {
    const QString last = s->LastFile(QStringLiteral("OL"));
    if (!last.isEmpty() && QFileInfo::exists(last)) Guarded([&] { LoadObjectListFile(last); });
  }
}

int TFormMain::SplitPosition() const {
  const QList<int> sizes = Splitter->sizes();
  const int total = sizes.value(0) + sizes.value(1);
  if (total <= 0) return FSplit;
  return static_cast<int>(static_cast<int64_t>(sizes.value(1)) * kSplitScale / total);
}

void TFormMain::ApplySplitPosition(int split) {
  // A damaged value must not hide either pane completely.
  split = qBound(1000, split, 99000);
  FSplit = split;
  const QList<int> sizes = Splitter->sizes();
  int total = sizes.value(0) + sizes.value(1);
  if (total <= 0) total = Splitter->height();
  const int bottom = static_cast<int>(static_cast<int64_t>(total) * split / kSplitScale);
  Splitter->setSizes({total - bottom, bottom});
}

void TFormMain::closeEvent(QCloseEvent* e) {
  // FormCloseQuery: an open link is closed first; closing is always allowed.
  if (FOperationRunning) {
    // The worker still uses this window; ask the layers to give up and let
    // the operator close again once the operation has ended.
    MMDoCancelClick();
    e->ignore();
    return;
  }
  if (LinkConnected()) Guarded([this] { RunLinkOperation([this] { DisconnectLink(); }); });
  if (TAppSettings* s = TAppSettings::Instance()) {
    try {
      s->Ini().WriteInteger(kMisc, QStringLiteral("Split"), SplitPosition());
      s->Ini().WriteBool(kMisc, QStringLiteral("ViewLog"), FormTraffic->isVisible());
      if (FormTraffic->isVisible()) s->SaveWindowGeometry(FormTraffic->objectName(), FormTraffic);
      s->SaveWindowGeometry(kFormName, this);  // writes the file
    } catch (const std::exception& ex) {
      ShowError(QString::fromStdString(ex.what()));
    }
  }
  FormTraffic->hide();
  e->accept();
}

QString TFormMain::AboutText() const {
  return FProgramName + QStringLiteral("\n") + QStringLiteral("Version ") + QStringLiteral(QUILLON_VERSION);
}

void TFormMain::ShowError(const QString& msg) { QMessageBox::critical(this, FProgramName, msg); }

void TFormMain::Guarded(const std::function<void()>& command) {
  try {
    command();
  } catch (const std::exception& e) {
    ShowError(QString::fromUtf8(e.what()));
  }
}

void TFormMain::RunOnExchangeThread(const std::function<void()>& operation) {
  if (FOperationRunning) RaiseGeneral("Another operation is still running");
  FOperationRunning = true;
  UpdateCommandStates();
  struct TReset {
    TFormMain* F;
    ~TReset() {
      F->FOperationRunning = false;
      F->UpdateCommandStates();
    }
  } reset{this};
  quillon::RunOnExchangeThread(operation, [this] { DisconnectLink(); });
}

void TFormMain::UpdateCommandStates() {
  // One operation at a time: the engine context is shared by all of them.
  const bool idle = !FOperationRunning;
  MMDoConnect->setEnabled(idle);
  MMDoReadObjectList->setEnabled(idle);
  MMDoDisconnect->setEnabled(idle);
  RecentMenu->setEnabled(idle);
  WriteThis->setEnabled(idle);
  MMViewSettings->setEnabled(idle);
  MMDoCancel->setEnabled(!idle);
  LV->setEnabled(idle);
}

void TFormMain::UpdateProgress() {
  const TTrafficStats& st = FormTraffic->TrafficStats();
  if (!st.Changed) {
    StatusProgress->clear();
    return;
  }
  StatusProgress->setText(QStringLiteral("Sent %1 bytes, received %2 bytes").arg(st.Sent).arg(st.Received));
}

void TFormMain::MMDoExitClick() { close(); }

void TFormMain::MMViewSettingsClick() {
  const QString before = FormSettings->EDITOLFileName->text();
  if (FormSettings->exec() != QDialog::Accepted) return;
  const QString after = FormSettings->EDITOLFileName->text();
  if (after != before && !after.isEmpty()) Guarded([&] { LoadObjectListFile(after); });
}

void TFormMain::MMViewTrafficClick() {
  FormTraffic->show();
  FormTraffic->raise();
  MMViewTraffic->setChecked(true);
}

void TFormMain::MMHelpOnLineClick() {
  // The README is the product's manual; the installed copy beside the
  // sources is preferred so that it matches the program.
  const QString local = QStringLiteral(QUILLON_SOURCE_DIR) + QStringLiteral("/README.md");
  const QUrl url = QFileInfo::exists(local) ? QUrl::fromLocalFile(local)
                                            : QUrl(QStringLiteral("https://quillon.example.org/README"));
  if (!QDesktopServices::openUrl(url)) ShowError(QStringLiteral("Cannot open %1").arg(url.toString()));
}

void TFormMain::MMAboutClick() { QMessageBox::about(this, QStringLiteral("About"), AboutText()); }

void TFormMain::MMDoCancelClick() { RequestUserAbort(); }

void TFormMain::LVColumnClick(int column) {
  FSortOrder = (column == FSortColumn && FSortOrder == Qt::AscendingOrder) ? Qt::DescendingOrder
                                                                             : Qt::AscendingOrder;
  FSortColumn = column;
  LV->sortItems(column, FSortOrder);
  LV->horizontalHeader()->setSortIndicatorShown(true);
  LV->horizontalHeader()->setSortIndicator(column, FSortOrder);
}

void TFormMain::ClearObjects() {
  LV->setRowCount(0);
  FObjects.clear();
}

void TFormMain::AddObject(const TInstanceInfo& info) {
  FObjects.push_back(info);
  const int row = LV->rowCount();
  LV->insertRow(row);
  LV->setItem(row, 0, new TInstanceItem(info.InstanceHex, 0, info));
  auto* cls = new TInstanceItem(QString::number(info.ClassId), 1, info);
  cls->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
  LV->setItem(row, 1, cls);
  LV->setItem(row, 2, new TInstanceItem(info.InstanceDescr, 2, info));
}

int TFormMain::ObjectCount() const { return LV->rowCount(); }

TInstanceInfo TFormMain::ObjectAt(int row) const {
  const auto* item = dynamic_cast<const TInstanceItem*>(LV->item(row, 0));
  return item ? item->Info : TInstanceInfo();
}

bool TFormMain::ShortNameOfAttribute(int32_t classId, const QString& instanceHex, int32_t attributeId,
                                     int32_t& shortName, QString& error) const {
  int32_t base = 0;
  // The current association object of an SN list always sits at 0xFA00.
  if (classId == 12 && instanceHex.compare(QLatin1String("0000280000FF"), Qt::CaseInsensitive) == 0) {
    base = 0xFA00;
  } else {
    for (const TInstanceInfo& info : FObjects) {
      if (base != 0) break;
      if (info.ClassId == classId && info.BaseName != 0 &&
          info.InstanceHex.compare(instanceHex, Qt::CaseInsensitive) == 0)
        base = info.BaseName;
    }
  }
  if (base == 0) {
    error = QStringLiteral("No shortname found for instance %1").arg(instanceHex);
    return false;
  }
  shortName = base + (attributeId - 1) * 8;
  return true;
}

}  // namespace quillon
