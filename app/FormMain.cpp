#include "app/MessageBoxes.h"
#include "app/FormMain.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QHeaderView>
#include <QInputDialog>
#include <QRadioButton>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRegularExpression>
#include <QMenuBar>
#include <QMessageBox>
#include <QSplitter>
#include <QStatusBar>
#include <QTableWidget>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include "app/AppSettings.h"
#include "app/EditorPane.h"
#include "app/ExchangeThread.h"
#include "app/FormFindMeter.h"
#include "app/FormSettings.h"
#include "app/FormTraffic.h"
#include "app/HelpWindow.h"
#include "app/IniFile.h"
#include "quillon/Version.h"
#include "client/MeterProfile.h"
#include "app/ValueView.h"
#include "app/WindowFit.h"
#include "client/Session.h"
#include "xmlpdu/infra/Errors.h"
#include "xmlpdu/infra/ExchangeErrors.h"

#include "knowledge/COSEMClasses.h"

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
  // Logical names sort by their bytes (10.x after 9.x), which the hex form
  // gives as text.
  if (o && Column == 0) return Info.InstanceHex.compare(o->Info.InstanceHex, Qt::CaseInsensitive) < 0;
  return text().compare(other.text(), Qt::CaseInsensitive) < 0;
}

QString StripDataWrapper(QString text) {
  for (const QLatin1String tag : {QLatin1String("<Data>"), QLatin1String("</Data>")}) {
    const qsizetype at = text.indexOf(tag);
    if (at >= 0) text.remove(at, tag.size());
  }
  return text;
}

QString DottedLogicalName(const QString& instanceHex) {
  const QByteArray bytes = QByteArray::fromHex(instanceHex.toLatin1());
  if (instanceHex.size() != 12 || bytes.size() != 6) return instanceHex;
  QStringList parts;
  for (const char b : bytes) parts << QString::number(static_cast<uint8_t>(b));
  return parts.join(QLatin1Char('.'));
}

int TFormMain::ScalerUnitAttribute(int classId, int attributeId) {
  if ((classId == 3 || classId == 4) && attributeId == 2) return 3;
  // Demand registers: current and last average value.
  if (classId == 5 && (attributeId == 2 || attributeId == 3)) return 4;
  return 0;
}

QString TFormMain::WriteQuestion(const QString& value) const {
  const TGetAttributeParams& p = GetAttributeParams;
  QString q = QStringLiteral("Write attribute %1 (%2) of %3 %4, class %5?\n\n%6")
                  .arg(p.AttributeId)
                  .arg(p.AttributeName, DottedLogicalName(p.InstanceIdHex), p.InstanceDescr)
                  .arg(p.ClassId)
                  .arg(value.trimmed());
  // What the XML means, as the value view would show it.
  const QString readable = ReadableValueFor(value);
  if (!readable.isEmpty()) q += QStringLiteral("\n\nValue: %1").arg(readable);
  const QString mark = AttributeAccessMark(p.Object, p.AttributeId);
  if (mark == QLatin1String("read-only") || mark == QLatin1String("no access"))
    q += QStringLiteral("\n\nThe object list marks this attribute %1: the meter will likely refuse the write.").arg(mark);
  return q;
}

QString TFormMain::InvokeQuestion(const TInstanceInfo& info, int methodId, const QString& parameters) {
  const QString head = QStringLiteral("Invoke method %1 of %2 %3, class %4")
                           .arg(methodId)
                           .arg(DottedLogicalName(info.InstanceHex), info.InstanceDescr)
                           .arg(info.ClassId);
  if (parameters.trimmed().isEmpty()) return head + QStringLiteral(" without parameters?");
  return head + QStringLiteral(" with parameters?\n\n") + parameters.trimmed();
}

TFormMain::TFormMain(QWidget* parent) : QMainWindow(parent) {
  setObjectName(kFormName);
  Confirm = [this](const QString& question) {
    return QMessageBox::question(this, FProgramName, question, QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
  };
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
  MMDoFindMeter = doMenu->addAction(QStringLiteral("Find meter..."));
  connect(MMDoFindMeter, &QAction::triggered, this, [this] {
    Guarded([this] {
      TFormFindMeter* dialog = CreateFindMeter();
      dialog->setAttribute(Qt::WA_DeleteOnClose);
      dialog->open();
    });
  });
  MMDoCancel = doMenu->addAction(QStringLiteral("Cancel operation"));
  MMDoCancel->setShortcut(QKeySequence(Qt::Key_Escape));
  // Esc cancels from the log window as well, which is a window of its own.
  MMDoCancel->setShortcutContext(Qt::ApplicationShortcut);
  MMDoCancel->setEnabled(false);
  RecentMenu = doMenu->addMenu(QStringLiteral("Recent object-lists"));
  doMenu->addSeparator();
  MMDoExit = doMenu->addAction(QStringLiteral("Exit"));
  MMDoExit->setShortcut(QKeySequence::Quit);
  QMenu* meterMenu = menuBar()->addMenu(QStringLiteral("&Meter"));
  MMMeterChoose = meterMenu->addAction(QStringLiteral("Choose meter..."));
  MMMeterSave = meterMenu->addAction(QStringLiteral("Save settings as meter..."));
  connect(MMMeterChoose, &QAction::triggered, this, [this] {
    const QStringList names = MeterNames();
    if (names.isEmpty()) {
      QMessageBox::information(this, FProgramName,
                               QStringLiteral("No named meters yet: Meter → Save settings as meter... stores one."));
      return;
    }
    bool ok = false;
    const QString name = QInputDialog::getItem(this, QStringLiteral("Choose meter"), QStringLiteral("Meter:"), names, 0,
                                               false, &ok);
    if (ok) Guarded([&] { UseMeter(name); });
  });
  connect(MMMeterSave, &QAction::triggered, this, [this] {
    bool ok = false;
    const QString name = QInputDialog::getText(this, QStringLiteral("Save settings as meter"), QStringLiteral("Name:"),
                                               QLineEdit::Normal, FMeterName, &ok);
    if (ok && !name.trimmed().isEmpty()) Guarded([&] { SaveMeter(name.trimmed()); });
  });
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

  ObjectFilter = new QLineEdit;
  ObjectFilter->setObjectName(QStringLiteral("ObjectFilter"));
  ObjectFilter->setPlaceholderText(QStringLiteral("Filter: OBIS code (1.0.1.8.0.255, 1-0:1.8.0*255, hex), class or description"));
  ObjectFilter->setClearButtonEnabled(true);
  connect(ObjectFilter, &QLineEdit::textChanged, this, &TFormMain::ApplyObjectFilter);
  auto* listPane = new QWidget;
  auto* listLayout = new QVBoxLayout(listPane);
  listLayout->setContentsMargins(0, 0, 0, 0);
  listLayout->setSpacing(2);
  listLayout->addWidget(ObjectFilter);
  listLayout->addWidget(LV);

  // The readable value stands beside the XML, which stays the one to edit.
  ValueView = new TValueView;
  ValueSplitter = new QSplitter(Qt::Horizontal);
  ValueSplitter->addWidget(ResponseEditor);
  ValueSplitter->addWidget(ValueView);
  ValueSplitter->setStretchFactor(0, 3);
  ValueSplitter->setStretchFactor(1, 2);

  // The empty window says what to do first.
  EmptyHint = new QLabel(QStringLiteral("No object list yet.\n\n1. Show → Settings... (Ctrl+,): how to reach the meter, "
                                        "or Meter → Choose meter...\n2. Do → Read object-list (Ctrl+R): connects and "
                                        "lists the meter's objects.\n3. Click an object to read its attributes."),
                         LV->viewport());
  EmptyHint->setObjectName(QStringLiteral("EmptyHint"));
  EmptyHint->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  EmptyHint->setMargin(16);
  EmptyHint->setWordWrap(true);
  EmptyHint->resize(520, 160);

  Splitter = new QSplitter(Qt::Vertical);
  Splitter->addWidget(listPane);
  Splitter->addWidget(ValueSplitter);
  Splitter->setChildrenCollapsible(false);
  setCentralWidget(Splitter);

  StatusConnection = new QLabel(QStringLiteral("Not connected"));
  StatusNegotiated = new QLabel;
  StatusProgress = new QLabel;
  statusBar()->addWidget(StatusConnection);
  statusBar()->addWidget(StatusNegotiated);
  statusBar()->addPermanentWidget(StatusProgress);
  UseMeterSystemTitle = new QPushButton;
  UseMeterSystemTitle->setObjectName(QStringLiteral("UseMeterSystemTitle"));
  UseMeterSystemTitle->setVisible(false);
  statusBar()->addPermanentWidget(UseMeterSystemTitle);
  connect(UseMeterSystemTitle, &QPushButton::clicked, this, &TFormMain::UseMeterSystemTitleClick);

  SetObjectListCaption(QString());

  FormTraffic = new TFormTraffic(this);
  // Shown at every connect; the operator's keyboard stays with this window.
  FormTraffic->setAttribute(Qt::WA_ShowWithoutActivating);
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
  // A remembered place from a larger screen, or the first start on a small one.
  FitToScreen(this);
  // Relative file names in settings and object lists resolve next to the program.
  QDir::setCurrent(QCoreApplication::applicationDirPath());
  FCancel = std::make_shared<client::TCancelToken>();
  InstallLink();
  RebuildRecentMenu();
  UpdateCommandStates();
  FLinkWatch = new QTimer(this);
  FLinkWatch->setInterval(1000);
  connect(FLinkWatch, &QTimer::timeout, this, &TFormMain::WatchLink);
  FLinkWatch->start();
}

void TFormMain::WatchLink() {
  // While an operation runs the worker owns the link.
  if (FOperationRunning) return;
  if (StatusConnection->text() == QLatin1String("Connected") && !LinkConnected()) UpdateConnectionStatus();
}

void TFormMain::SetObjectListCaption(const QString& fileName) {
  FCaptionFile = fileName;
  UpdateCaption();
}

void TFormMain::UpdateCaption() {
  QString caption = FCaptionFile.isEmpty() ? FProgramName : QStringLiteral("%1 - %2").arg(FProgramName, FCaptionFile);
  if (FormSettings && LinkConnected()) caption += QStringLiteral(" [%1, connected]").arg(MeterText());
  setWindowTitle(caption);
}

QString TFormMain::MeterText() const {
  if (!FMeterName.isEmpty()) return FMeterName;
  if (FormSettings->RBSelectTCP->isChecked() && FormSettings->CHKCallIn->isChecked()) {
    const QString port = FormSettings->EDITCallInPort->text().trimmed();
    // Once a meter has called, the window talks to it.
    return !FCallInPeer.isEmpty() && (FOperationRunning || LinkConnected())
               ? QStringLiteral("meter from %1").arg(FCallInPeer)
               : QStringLiteral("port %1").arg(port);
  }
  if (FormSettings->RBSelectTCP->isChecked()) return FormSettings->EDITServerIP->text();
  const QString path = FormSettings->EDITDevicePath->text().trimmed();
  return path.isEmpty() ? QStringLiteral("COM%1").arg(FormSettings->EDITComPort->text()) : path;
}

QStringList TFormMain::MeterNames() {
  QStringList names;
  for (const std::string& n : client::TIniData::Load(client::MetersFilePath()).Sections())
    names << QString::fromStdString(n);
  return names;
}

void TFormMain::UseMeter(const QString& name) {
  const client::TIniData meters = client::TIniData::Load(client::MetersFilePath());
  if (!meters.HasSection(name.toStdString()))
    RaiseGeneral(Format("Meter \"%s\": no such meter in %s", name.toUtf8().constData(), client::MetersFilePath().c_str()));
  UseProfile(client::ProfileFromMeterSection(meters, name.toStdString()), name);
}

void TFormMain::UseProfile(const client::TMeterProfile& profile, const QString& meterName) {
  client::TIniData settings;
  client::ProfileToSettings(profile, settings);
  TIniFile controls{QString()};
  controls.FromText(QString::fromStdString(settings.Text()));
  FormSettings->LoadControls(controls);
  FMeterName = meterName;
  UpdateCaption();
}

void TFormMain::SaveMeter(const QString& name) {
  StoreMeter(name, CurrentMeterProfile());
  FMeterName = name;
  UpdateCaption();
}

void TFormMain::StoreMeter(const QString& name, const client::TMeterProfile& profile) {
  // A section name cannot hold these.
  if (name.isEmpty() || name.contains(QRegularExpression(QStringLiteral("[\\[\\]\\r\\n]"))))
    RaiseGeneral(Format("Meter \"%s\": expected a name without brackets or line breaks", name.toUtf8().constData()));
  client::SaveMeterSection(profile, name.toStdString());
}

QString TFormMain::ObjectListSaveProposal() const {
  if (TAppSettings* s = TAppSettings::Instance()) {
    const QString last = s->LastFile(QStringLiteral("OL"));
    if (!last.isEmpty()) return last;
  }
  return QString::fromStdString(client::DataFolder()) + QStringLiteral("/object-list.txt");
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

void TFormMain::ShowError(const QString& msg) { ShowErrorBox(this, msg); }

QString TFormMain::ReadableValueFor(const QString& xml) const {
  const TGetAttributeParams& p = GetAttributeParams;
  std::optional<client::TScalerUnit> scalerUnit;
  if (ScalerUnitAttribute(p.ClassId, p.AttributeId))
    if (auto known = ScalerUnits.find(p.InstanceIdHex); known != ScalerUnits.end()) scalerUnit = known->second;
  return TValueView::ReadableXml(xml, scalerUnit, client::TValuePlace{p.ClassId, p.Object.Version, p.AttributeId, {}});
}

void TFormMain::ShowOutcome(const QString& text) {
  LogLine(text);
  statusBar()->showMessage(text);
}

QString TFormMain::Outcome() const { return statusBar()->currentMessage(); }

void TFormMain::Guarded(const std::function<void()>& command) {
  try {
    command();
  } catch (const std::exception& e) {
    if (FCancelRequested) {
      FCancelRequested = false;
      ShowOutcome(QStringLiteral("Cancelled"));
      return;
    }
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
  // The worker's waits check this operation's token; Cancel sets it.
  FCancel->Reset();
  FCancelRequested = false;
  statusBar()->clearMessage();
  const std::shared_ptr<client::TCancelToken> token = FCancel;
  quillon::RunOnExchangeThread(
      [operation, token] {
        struct TScope {
          TScope(const std::atomic<bool>* flag) { ThreadAbortFlag = flag; }
          ~TScope() { ThreadAbortFlag = nullptr; }
        } scope(&token->Flag());
        operation();
      },
      [this, token] {
        // Closing the link after a cancelled operation must not be cancelled too.
        token->Reset();
        DisconnectLink();
      });
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
  // The menu item toggles the window; its check mark follows the window.
  if (FormTraffic->isVisible()) {
    FormTraffic->hide();
    return;
  }
  FormTraffic->show();
  FormTraffic->raise();
}

void TFormMain::MMHelpOnLineClick() {
  // One help window; F1 brings it back where the operator left it.
  auto* help = findChild<THelpWindow*>(QString(), Qt::FindDirectChildrenOnly);
  if (!help) help = new THelpWindow(this);
  help->show();
  help->raise();
  help->activateWindow();
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
  EmptyHint->setVisible(true);
}

namespace {

QString ClassNameOf(int classId, int version) {
  if (const TCOSEMClassInfo* c = COSEMClassesInfo().Search(classId, version))
    return QString::fromStdString(c->Description);
  return QString();
}

void FillRow(QTableWidget* lv, int row, const TInstanceInfo& info) {
  auto* name = new TInstanceItem(DottedLogicalName(info.InstanceHex), 0, info);
  name->setToolTip(info.InstanceHex);
  lv->setItem(row, 0, name);
  auto* cls = new TInstanceItem(QString::number(info.ClassId), 1, info);
  cls->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
  lv->setItem(row, 1, cls);
  lv->setItem(row, 2, new TInstanceItem(info.InstanceDescr, 2, info));
}

}  // namespace

void TFormMain::AddObject(const TInstanceInfo& info) {
  FObjects.push_back(info);
  const int row = LV->rowCount();
  LV->insertRow(row);
  FillRow(LV, row, info);
  EmptyHint->setVisible(false);
  if (!ObjectFilter->text().isEmpty()) LV->setRowHidden(row, !ObjectMatches(info, ObjectFilter->text()));
}

void TFormMain::SetObjects(const std::vector<TInstanceInfo>& infos) {
  LV->setUpdatesEnabled(false);
  LV->setSortingEnabled(false);
  LV->setRowCount(0);
  FObjects = infos;
  LV->setRowCount(static_cast<int>(infos.size()));
  for (int row = 0; row < static_cast<int>(infos.size()); ++row) FillRow(LV, row, infos[static_cast<size_t>(row)]);
  if (FSortColumn >= 0) LV->sortItems(FSortColumn, FSortOrder);
  ApplyObjectFilter(ObjectFilter->text());
  EmptyHint->setVisible(infos.empty());
  LV->setUpdatesEnabled(true);
}

bool TFormMain::ObjectMatches(const TInstanceInfo& info, const QString& word) {
  if (word.isEmpty()) return true;
  // OBIS codes in any notation: A-B:C.D.E*F and dotted compare dotted, from
  // the start; hex digits compare with the hex form.
  QString dotted = word;
  dotted.replace(QLatin1Char('-'), QLatin1Char('.')).replace(QLatin1Char(':'), QLatin1Char('.'));
  dotted.replace(QLatin1Char('*'), QLatin1Char('.'));
  const QString name = DottedLogicalName(info.InstanceHex);
  if (dotted.contains(QLatin1Char('.')) && (name + QLatin1Char('.')).startsWith(dotted)) return true;
  static const QRegularExpression hex(QStringLiteral("^[0-9A-Fa-f]{4,12}$"));
  if (hex.match(word).hasMatch() && info.InstanceHex.startsWith(word, Qt::CaseInsensitive)) return true;
  bool isNumber = false;
  const int classId = word.toInt(&isNumber);
  if (isNumber) return classId == info.ClassId || name.split(QLatin1Char('.')).contains(word);
  if (info.InstanceDescr.contains(word, Qt::CaseInsensitive)) return true;
  return ClassNameOf(info.ClassId, info.Version).contains(word, Qt::CaseInsensitive);
}

void TFormMain::ApplyObjectFilter(const QString& filter) {
  const QStringList words = filter.split(QLatin1Char(' '), Qt::SkipEmptyParts);
  for (int row = 0; row < LV->rowCount(); ++row) {
    const TInstanceInfo info = ObjectAt(row);
    bool shown = true;
    for (const QString& w : words) shown = shown && ObjectMatches(info, w);
    LV->setRowHidden(row, !shown);
  }
}

int TFormMain::VisibleObjectCount() const {
  int n = 0;
  for (int row = 0; row < LV->rowCount(); ++row) n += LV->isRowHidden(row) ? 0 : 1;
  return n;
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
