// The main window: menus, the list of COSEM objects, the editor pane and
// the meter operations, each of which runs on a worker thread.
#pragma once

#include <QMainWindow>
#include <QString>
#include <QStringList>
#include <QTableWidgetItem>

#include "app/LinkSettings.h"
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QAction;
class QLabel;
class QMenu;
class QSplitter;
class QTableWidget;

namespace quillon {

class TFormSettings;
class TFormTraffic;
class TFrameBaseEditor;
class TOBISData;
struct TLinkState;

// Data of one list-view row; lives and dies with its row.
struct TInstanceInfo {
  int32_t ClassId = 0;
  int32_t Version = 0;
  QString InstanceHex;  // 12 hex digits of the logical name
  QString InstanceDescr;
  uint16_t BaseName = 0;  // short name; 0 in LN object lists
};

// Column 0 of a row carries the row's TInstanceInfo; every column sorts by
// the rule of its column.
class TInstanceItem : public QTableWidgetItem {
public:
  TInstanceItem(const QString& text, int column, const TInstanceInfo& info);
  bool operator<(const QTableWidgetItem& other) const override;
  TInstanceInfo Info;
  int Column;
};

struct TGetAttributeParams {
  int32_t ClassId = 0;
  int32_t AttributeId = 0;
  QString InstanceIdHex;
};

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

  // List view rows.
  void ClearObjects();
  void AddObject(const TInstanceInfo& info);
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
  // Asks the layers to give up their current wait.
  void RequestUserAbort();
  bool LinkConnected() const;
  // The popup of one object: its attributes by name, then "(Cancel)".
  QMenu* BuildInstancePopup(const TInstanceInfo& info);
  // Reads one attribute into the editor pane (connecting first if needed).
  void ReadAttribute(const TInstanceInfo& info, int attributeId, const QString& attributeName);
  // Reads the editor text as an object list into the list view.
  void FillObjectsFromEditor();

  TFrameBaseEditor* ResponseEditor;
  QTableWidget* LV;
  QSplitter* Splitter;
  TFormTraffic* FormTraffic;
  TFormSettings* FormSettings;
  bool ViewLogAtStart = false;
  QString ObjectListFileName;
  TGetAttributeParams GetAttributeParams;

  QAction* MMDoConnect;
  QAction* MMDoReadObjectList;
  QAction* MMDoDisconnect;
  QAction* MMDoCancel;
  QAction* MMDoExit;
  QAction* MMViewSettings;
  QAction* MMViewTraffic;
  QAction* MMHelpOnLine;
  QAction* MMAbout;
  QAction* WriteThis;
  QMenu* RecentMenu;
  QLabel* StatusConnection;
  QLabel* StatusNegotiated;
  QLabel* StatusProgress;

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
  void AddMethodItems(QMenu* menu, const TInstanceInfo& info, int methodCount);
  void InvokeMethodOn(const TInstanceInfo& info, int methodId);
  // Connects (on a worker) unless the link is up already.
  void EnsureConnected();
  // Sends one request (a client::TRequestKind) with the protection of `s`
  // and returns the engine's answer.
  std::string RunRequest(int kind, const TLinkSettings& s, const std::string& requestXml);
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

  QString FProgramName;
  int FSplit = 50000;
  bool FShownOnce = false;
  bool FOperationRunning = false;
  Qt::SortOrder FSortOrder = Qt::AscendingOrder;
  int FSortColumn = -1;
};

}  // namespace quillon
