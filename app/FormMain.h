// The main window: menus, the list of COSEM objects, the editor pane and
// the meter operations, each of which runs on a worker thread.
#pragma once

#include <QMainWindow>
#include <QString>
#include <QStringList>
#include <QTableWidgetItem>

#include "app/LinkSettings.h"
#include "client/MeterProfile.h"
#include "client/Value.h"
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QAction;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QSplitter;
class QTableWidget;

class QTimer;

namespace quillon::client {
class TCancelToken;
class TSession;
struct TObjectListEntry;
}

namespace quillon {

class TFormSettings;
class TFormTraffic;
class TFrameBaseEditor;
class TOBISData;
class TValueView;
struct TLinkState;

// Data of one list-view row; lives and dies with its row.
struct TInstanceInfo {
  int32_t ClassId = 0;
  int32_t Version = 0;
  QString InstanceHex;  // 12 hex digits of the logical name
  QString InstanceDescr;
  uint16_t BaseName = 0;  // short name; 0 in LN object lists
  // The object-list entry the row came from, with the access rights the
  // meter lists (LN lists); shared by the row's cells.
  std::shared_ptr<const client::TObjectListEntry> Entry = nullptr;
};

// The mark of an attribute or a method in an object's popup: "read-only",
// "write-only", "no access", ...; empty for full access and for objects
// whose list gives no rights.
QString AttributeAccessMark(const TInstanceInfo& info, int attributeId);
QString MethodAccessMark(const TInstanceInfo& info, int methodId);

// Column 0 of a row carries the row's TInstanceInfo; every column sorts by
// the rule of its column.
class TInstanceItem : public QTableWidgetItem {
public:
  TInstanceItem(const QString& text, int column, const TInstanceInfo& info);
  bool operator<(const QTableWidgetItem& other) const override;
  TInstanceInfo Info;
  int Column;
};

// The attribute read last; set only by a read that succeeded, as it is
// also the target of "Write this".
struct TGetAttributeParams {
  int32_t ClassId = 0;
  int32_t AttributeId = 0;
  QString InstanceIdHex;
  QString AttributeName;
  QString InstanceDescr;
  // The row read from (version and the access rights the object list gives).
  TInstanceInfo Object;
};

// "0.0.96.10.1.255" for the 12 hex digits of a logical name; the text as it
// is when it is not one.
QString DottedLogicalName(const QString& instanceHex);

// Drops the first "<Data>" and the first "</Data>" of the editor text: the
// value is then the bare element a request template expects.
QString StripDataWrapper(QString text);

class TFormMain : public QMainWindow {
  Q_OBJECT
public:
  explicit TFormMain(QWidget* parent = nullptr);
  ~TFormMain() override;

  const QString& ProgramName() const { return FProgramName; }
  QString AboutText() const;

  // Runs one meter operation on the worker thread; a failure closes the link
  // and is raised here. Refuses to start while another one runs.
  void RunOnExchangeThread(const std::function<void()>& operation);
  bool OperationRunning() const { return FOperationRunning; }
  // Shows a failure to the operator.
  void ShowError(const QString& msg);
  // The outcome of an operation in the status bar: "Written: ...",
  // "Invoked: ...", "Cancelled".
  void ShowOutcome(const QString& text);
  QString Outcome() const;
  // Asks the operator before a write or a method invocation; the text names
  // the target and the value. True: go ahead. Tests put their own answer here.
  std::function<bool(const QString& question)> Confirm;
  // The questions asked before writing and invoking.
  QString WriteQuestion(const QString& value) const;
  static QString InvokeQuestion(const TInstanceInfo& info, int methodId, const QString& parameters);

  // List view rows. The logical name shows dotted, with the hex form as its
  // tooltip.
  void ClearObjects();
  void AddObject(const TInstanceInfo& info);
  // Replaces every row at once (object lists of thousands of entries).
  void SetObjects(const std::vector<TInstanceInfo>& infos);
  // Shows only the rows that match every word of the filter: an OBIS code
  // in any notation (or its beginning), a class id or class name, or a
  // piece of the description. Empty: every row.
  void ApplyObjectFilter(const QString& filter);
  static bool ObjectMatches(const TInstanceInfo& info, const QString& word);
  int VisibleObjectCount() const;
  int ObjectCount() const;
  TInstanceInfo ObjectAt(int row) const;
  // Short name of an attribute from the rows of an SN object list; false and
  // the operator's message when no row knows the object.
  bool ShortNameOfAttribute(int32_t classId, const QString& instanceHex, int32_t attributeId, int32_t& shortName,
                            QString& error) const;

  // Splitter position in hundred-thousandths of the client height that the
  // bottom pane takes.
  int SplitPosition() const;
  void ApplySplitPosition(int split);

  void SetObjectListCaption(const QString& fileName);

  // Loads an object-list file into the editor pane and the list view and
  // remembers it; fails with the reason when the file cannot be used.
  void LoadObjectListFile(const QString& fileName);
  // Closes the link without a release request (the failure path of every
  // worker operation).
  void DisconnectLink();
  // Asks the layers to give up their current wait: the operation's cancel
  // token, which every wait of the layers on the worker checks.
  void RequestUserAbort();
  bool LinkConnected() const;
  // The window's open session (null when none): others read through it
  // while the window's own commands wait.
  client::TSession* SharedSession() const;
  // Brings the status bar in line with the link while no operation runs: a
  // peer that hung up while idle shows as "Not connected". Runs on a timer.
  void WatchLink();
  // The popup of one object: its attributes by name, then "(Cancel)".
  QMenu* BuildInstancePopup(const TInstanceInfo& info);
  // Reads one attribute into the editor pane (connecting first if needed).
  void ReadAttribute(const TInstanceInfo& info, int attributeId, const QString& attributeName);
  // Invokes a method with the editor's Data element as parameters, after the
  // operator confirmed it.
  void InvokeMethodOn(const TInstanceInfo& info, int methodId);
  // The settings dialog's values as a meter profile of the session library.
  client::TMeterProfile CurrentMeterProfile() const;
  // "Open profile...": the profile view reads through the window's open
  // association, or through a session of its own when there is none.
  // Modal for the operator; tests take the view unshown.
  class TProfileView* CreateProfileView(const TInstanceInfo& info);
  void OpenProfile(const TInstanceInfo& info);
  // Named meters, shared with quillon-cli (the meters file): the names, the
  // settings of one put into the settings dialog, the dialog's settings
  // stored under a name. Failures name the file and the reason.
  static QStringList MeterNames();
  void UseMeter(const QString& name);
  void SaveMeter(const QString& name);
  // A profile into the settings dialog (named `meterName`, or unnamed), and
  // a profile into the meters file under a name.
  void UseProfile(const client::TMeterProfile& profile, const QString& meterName = QString());
  static void StoreMeter(const QString& name, const client::TMeterProfile& profile);
  // "Find meter...": the probe dialog, set up from the settings dialog's
  // connection, its results going to the settings or the meters file. The
  // window's own link is closed first (one connection to a meter at a
  // time). Modal for the operator; tests take the dialog unshown.
  class TFormFindMeter* CreateFindMeter();
  // The meter the window talks to ("127.0.0.1:4059", "/dev/ttyUSB0"), or
  // the name of the meter chosen last.
  QString MeterText() const;
  // "Connecting to 127.0.0.1:4059... (association)" while a connect runs.
  QString ConnectingText(const QString& stage) const;
  // Caption: program, object-list file, and while connected the meter.
  void UpdateCaption();
  // Where "Read object-list" proposes to save: the folder chosen last, else
  // the user's data folder (never the program's own folder).
  QString ObjectListSaveProposal() const;
  // "Read all attributes": every attribute of the object in one operation;
  // an attribute the meter refuses shows its refusal. Rows: attribute id,
  // name, readable value (scaled for a register's value), and the Data XML.
  struct TAttributeRow {
    int Id = 0;
    QString Name;
    QString Value;
    QString Xml;
  };
  QList<TAttributeRow> ReadAllAttributes(const TInstanceInfo& info);
  void ShowAllAttributes(const TInstanceInfo& info);
  // A Data element for the attribute read last in one readable line
  // (scaled with its unit, a date, enum names); empty when `xml` is no
  // Data element.
  QString ReadableValueFor(const QString& xml) const;
  // Reads the editor text as an object list into the list view.
  void FillObjectsFromEditor();

  TFrameBaseEditor* ResponseEditor;
  TValueView* ValueView;
  QSplitter* ValueSplitter;
  QLineEdit* ObjectFilter;
  QTableWidget* LV;
  QSplitter* Splitter;
  TFormTraffic* FormTraffic = nullptr;
  TFormSettings* FormSettings = nullptr;
  bool ViewLogAtStart = false;
  QString ObjectListFileName;
  TGetAttributeParams GetAttributeParams;
  // Registers' scaler and unit by logical name (hex), read once per object
  // and connection.
  std::map<QString, client::TScalerUnit> ScalerUnits;
  // The attribute that scales a value attribute of a class (registers,
  // extended and demand registers); 0 for every other attribute.
  static int ScalerUnitAttribute(int classId, int attributeId);

  QAction* MMDoConnect;
  QAction* MMDoReadObjectList;
  QAction* MMDoDisconnect;
  QAction* MMDoCancel;
  QAction* MMDoExit;
  QAction* MMViewSettings;
  QAction* MMMeterChoose;
  QAction* MMMeterSave;
  QAction* MMDoFindMeter;
  QLabel* EmptyHint;
  QAction* MMViewTraffic;
  QAction* MMHelpOnLine;
  QAction* MMAbout;
  QAction* WriteThis;
  QMenu* RecentMenu;
  QLabel* StatusConnection;
  QLabel* StatusNegotiated;
  QLabel* StatusProgress;
  // "Use the meter's system title ...": shown after an association whose
  // meter announced a title the settings do not hold.
  QPushButton* UseMeterSystemTitle;
  void OfferAnnouncedSystemTitle();

  // The values an operation needs, read from the settings dialog on the
  // window thread before the worker starts.
  TLinkSettings ReadLinkSettings(bool forConnect) const;
  void ConnectAndAssociate(const TLinkSettings& s);

public slots:
  void MMDoExitClick();
  void MMViewSettingsClick();
  void MMViewTrafficClick();
  void MMHelpOnLineClick();
  void MMAboutClick();
  void MMDoCancelClick();
  void LVColumnClick(int column);
  void MMDoConnectClick();
  void MMDoReadObjectListClick();
  void MMDoDisconnectClick();
  void LVClick();
  void WriteThisClick();
  void UseMeterSystemTitleClick();

protected:
  void showEvent(QShowEvent* e) override;
  void closeEvent(QCloseEvent* e) override;

private:
  void FormCreate();
  void FormShow();
  void UpdateCommandStates();
  void UpdateProgress();
  // Runs a menu command, showing its failure in an error box.
  void Guarded(const std::function<void()>& command);
  void RememberRecent(const QString& fileName);
  void RebuildRecentMenu();
  void UpdateConnectionStatus();
  // Ends the association with a release request (when one is open and the
  // link is up), then closes the link.
  void ReleaseAndDisconnect();
  void AddMethodItems(QMenu* menu, const TInstanceInfo& info, int methodCount);
  // Connects (on a worker) unless the link is up already.
  void EnsureConnected();
  // Sends one request (a client::TRequestKind) with the protection of `s`
  // and returns the engine's answer.
  std::string RunRequest(int kind, const TLinkSettings& s, const std::string& requestXml);
  // One read: the Data element's XML lines, or the meter's refusal as an error.
  QStringList ReadDataLines(const TLinkSettings& s, const std::string& request);
  // One line in the log window without prefix columns.
  void LogLine(const QString& line);
  // Creates the engine context and routes the traffic log to the log window.
  void InstallLink();
  void CreateLinkState();
  // Ends the meter session without a release request.
  void DiscardEngineState();
  // A worker operation on the link; the status bar follows the link state.
  void RunLinkOperation(const std::function<void()>& operation);
  QString NegotiatedText() const;
  void ShowResponseLines(const QStringList& lines);

  std::shared_ptr<TLinkState> FLink;  // shared_ptr: the type is complete only where it is used
  // Rows in the order the object list gave them: the short-name lookup runs
  // on the worker and must not touch the list view.
  std::vector<TInstanceInfo> FObjects;

  std::shared_ptr<const TOBISData> FOBISData;
  std::shared_ptr<client::TCancelToken> FCancel;
  QTimer* FLinkWatch = nullptr;

  QString FProgramName;
  QString FCaptionFile;
  QString FMeterName;
  // Where the meter that called in called from ("192.0.2.7:40001").
  QString FCallInPeer;
  int FSplit = 50000;
  bool FShownOnce = false;
  bool FOperationRunning = false;
  // The operator asked the running operation to stop: its failure is the
  // cancel, a note in the status bar rather than an error.
  bool FCancelRequested = false;
  Qt::SortOrder FSortOrder = Qt::AscendingOrder;
  int FSortColumn = -1;
};

}  // namespace quillon
