// The log window: one coloured line per block received (red), per block
// sent (green) and per status text (white), on black.
#pragma once

#include <QColor>
#include <QList>
#include <QString>
#include <QWidget>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

class QAction;
class QMenu;
class QPlainTextEdit;

namespace quillon {

struct TTrafficStats {
  int32_t Received = 0;
  int32_t Sent = 0;
  bool Changed = false;
};

class TFormTraffic : public QWidget {
  Q_OBJECT
public:
  explicit TFormTraffic(QWidget* parent = nullptr);

  // Called on the user-interface thread only (see TGuiThreadDelivery).
  void DataReceived(const std::string& s, bool binaryData, const std::string& prefix);
  void DataSent(const std::string& s, bool binaryData, const std::string& prefix);
  void Info(const std::string& s, const std::string& prefix);
  void Clear();
  void SaveTo(const QString& fileName) const;

  // The text a line shows: prefix without the default layers' name column,
  // then the bytes in hex or as characters.
  static QString StripPrefix(const std::string& prefix);
  static QString RenderBytes(const std::string& s, bool binaryData);

  QStringList Lines() const;
  const QList<QColor>& ColorOfLines() const { return FColorOfLines; }
  const TTrafficStats& TrafficStats() const { return FTrafficStats; }
  // Safe to read from any thread: lines shown so far.
  int LineCount() const { return FLineCount.load(); }

  QPlainTextEdit* SynEdit;
  QMenu* PopupMenu1;
  QAction* PMClear;
  QAction* PMCopy;
  QAction* PMSelectAll;
  QAction* PMSaveTo;

  static const QColor kReceivedColor;
  static const QColor kSentColor;
  static const QColor kInfoColor;

signals:
  void TrafficStatsChanged();
  void VisibilityChanged(bool visible);

public slots:
  void PMSaveToClick();
  void ApplyScriptFont();
  // Decides, as the menu opens, what it offers.
  void PreparePopup();

protected:
  void showEvent(QShowEvent* e) override;
  void hideEvent(QHideEvent* e) override;

private:
  void AddLine(const QString& line, const QColor& color);

  QList<QColor> FColorOfLines;
  TTrafficStats FTrafficStats;
  std::atomic<int> FLineCount{0};
};

// Runs `fn` on the user-interface thread and returns when it has run there.
// Called on that thread it runs at once (the thread never waits on itself);
// from another thread it is queued behind earlier deliveries, so lines keep
// their order, and the caller blocks until its line is in the window.
void RunOnGuiThread(const std::function<void()>& fn);

}  // namespace quillon
