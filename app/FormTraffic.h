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
#include <mutex>
#include <string>
#include <vector>

#include "client/Session.h"

class QAction;
class QMenu;
class QPlainTextEdit;
class QTimer;

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

  // Callable from any thread and never waiting for the window: the line is
  // queued and the window thread shows the queue in blocks on a short timer.
  void DataReceived(const std::string& s, bool binaryData, const std::string& prefix);
  void DataSent(const std::string& s, bool binaryData, const std::string& prefix);
  void Info(const std::string& s, const std::string& prefix);
  void Clear();
  void SaveTo(const QString& fileName);
  // Shows the queued lines now (window thread only).
  void Flush();

  // The text a line shows: prefix without the default layers' name column,
  // then the bytes in hex or as characters.
  static QString StripPrefix(const std::string& prefix);
  static QString RenderBytes(const std::string& s, bool binaryData);
  // An information line: the program's own text, UTF-8 ("Show → Settings"),
  // or bytes as RenderBytes shows them when it is not UTF-8.
  static QString RenderText(const std::string& s);

  // The lines, their colours and the counters, queued lines included.
  // Lines() gives every line whole, as Save to writes it; the view shows a
  // line longer than kMaxShownLineLength cut, with a note of the rest.
  QStringList Lines();
  const QList<QColor>& ColorOfLines();
  const TTrafficStats& TrafficStats();
  // Safe to read from any thread: lines logged since the last Clear (shown
  // or still queued, dropped ones included).
  int LineCount() const { return FLineCount.load(); }
  // The most lines the window keeps (setting "LogMaxLines" of section
  // "Misc"); older ones are dropped and counted.
  int MaxLines() const { return FMaxLines; }
  void SetMaxLines(int maxLines);
  int DroppedLines() const { return FDroppedLines; }

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
  struct TPendingLine {
    QString Text;
    QColor Color;
  };
  void Enqueue(QString line, const QColor& color, int32_t received, int32_t sent);
  void DropOldLines();
  void UpdateCaption();

  QList<QColor> FColorOfLines;
  // Beside each line of the view: the whole line where the view shows it
  // cut, else empty. Same count as FColorOfLines.
  QList<QString> FWholeLines;
  TTrafficStats FTrafficStats;
  std::atomic<int> FLineCount{0};
  int FMaxLines = 200000;
  int FDroppedLines = 0;
  QTimer* FFlushTimer;
  // Lines waiting for the window thread, and the counters they add.
  std::mutex FPendingMutex;
  std::vector<TPendingLine> FPending;
  int32_t FPendingReceived = 0, FPendingSent = 0;
  bool FPendingStats = false;
  bool FFlushScheduled = false;
};

// How often queued lines reach the view, in milliseconds.
inline constexpr int kLogFlushInterval = 40;
// The longest line the view shows whole. A TCP read of a large answer is
// one line of hundreds of thousands of hex digits; laying such a line out
// takes the window tens of milliseconds each time, and nobody reads it on
// screen. Save to writes it whole.
inline constexpr int kMaxShownLineLength = 2048;
// The view's text of a line: the line itself, or its beginning and
// " ... (N more characters, all in Save to...)".
QString ShownLogLine(const QString& line);

// The layer names and the engine-line log of a session the window starts
// besides its own (the profile view's, the meter finder's): its lines in
// the log window carry `mark` ("Profile", "Find"), in the layers' name
// column and in front of each engine line, so that interleaved sessions
// stay apart. The window's own session keeps the plain names.
client::TLayerNames MarkedLayerNames(const std::string& mark);
std::function<void(const std::string&)> MarkedSessionLog(const std::string& mark);

// Runs a traffic event's handler at once on the calling thread; handlers of
// several threads take turns, so the prefix columns keep their order.
void DeliverTrafficEvent(const std::function<void()>& handler);

// Runs `fn` on the user-interface thread and returns when it has run there.
// Called on that thread it runs at once (the thread never waits on itself);
// from another thread it is queued behind earlier deliveries, so lines keep
// their order, and the caller blocks until its line is in the window.
void RunOnGuiThread(const std::function<void()>& fn);

}  // namespace quillon
