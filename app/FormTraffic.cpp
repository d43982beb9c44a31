#include "app/FormTraffic.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QMenu>
#include <QMessageBox>
#include <QMetaObject>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QStringDecoder>
#include <QTextBlock>
#include <QTextCursor>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

#include "app/AppSettings.h"
#include "app/FileDialogs.h"
#include "app/IniFile.h"
#include "client/TrafficLog.h"
#include "app/WindowFit.h"
#include "xmlpdu/infra/Misc.h"

namespace quillon {

const QColor TFormTraffic::kReceivedColor(255, 0, 0);
const QColor TFormTraffic::kSentColor(0, 255, 0);
const QColor TFormTraffic::kInfoColor(255, 255, 255);

namespace {

// Byte layers whose lines carry no name column: they are the ones every
// connection uses, so their name would only repeat itself.
const char* const kDefaultLayerPrefixes[] = {"TCPClient ", "Serial[1] "};

}  // namespace

TFormTraffic::TFormTraffic(QWidget* parent) : QWidget(parent, Qt::Tool) {
  setObjectName(QStringLiteral("Log"));
  setWindowTitle(QStringLiteral("Log"));
  resize(354, 251);
  FitToScreen(this);

  SynEdit = new QPlainTextEdit(this);
  SynEdit->setReadOnly(true);
  SynEdit->setLineWrapMode(QPlainTextEdit::NoWrap);
  SynEdit->setUndoRedoEnabled(false);
  SynEdit->setContextMenuPolicy(Qt::CustomContextMenu);
  SynEdit->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  QPalette pal = SynEdit->palette();
  pal.setColor(QPalette::Base, Qt::black);
  pal.setColor(QPalette::Text, Qt::white);
  SynEdit->setPalette(pal);
  QFont initial(QStringLiteral("Dina"), 8);
  initial.setStyleHint(QFont::Monospace);
  SynEdit->setFont(initial);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(SynEdit);

  PopupMenu1 = new QMenu(this);
  PMClear = PopupMenu1->addAction(QStringLiteral("C&lear"), this, &TFormTraffic::Clear);
  PMCopy = PopupMenu1->addAction(QStringLiteral("&Copy"), SynEdit, &QPlainTextEdit::copy);
  PMSelectAll = PopupMenu1->addAction(QStringLiteral("Select &All"), SynEdit, &QPlainTextEdit::selectAll);
  PopupMenu1->addSeparator();
  PMSaveTo = PopupMenu1->addAction(QStringLiteral("Save to..."), this, &TFormTraffic::PMSaveToClick);
  connect(PopupMenu1, &QMenu::aboutToShow, this, &TFormTraffic::PreparePopup);
  connect(SynEdit, &QWidget::customContextMenuRequested, this,
          [this](const QPoint& pos) { PopupMenu1->exec(SynEdit->mapToGlobal(pos)); });

  if (TAppSettings* s = TAppSettings::Instance()) {
    connect(s, &TAppSettings::ScriptFontChanged, this, &TFormTraffic::ApplyScriptFont);
    FMaxLines = s->Ini().ReadInteger(QStringLiteral("Misc"), QStringLiteral("LogMaxLines"), FMaxLines);
  }
  if (FMaxLines < 1) FMaxLines = 1;
  FFlushTimer = new QTimer(this);
  FFlushTimer->setSingleShot(true);
  FFlushTimer->setInterval(kLogFlushInterval);
  connect(FFlushTimer, &QTimer::timeout, this, &TFormTraffic::Flush);
}

void TFormTraffic::PreparePopup() { PMCopy->setEnabled(SynEdit->textCursor().hasSelection()); }

QString TFormTraffic::StripPrefix(const std::string& prefix) {
  for (const char* p : kDefaultLayerPrefixes) {
    const std::string_view pv(p);
    if (prefix.compare(0, pv.size(), pv) == 0) return QString::fromLatin1(prefix.substr(pv.size()));
  }
  return QString::fromLatin1(prefix);
}

namespace {

// Characters as the log shows them: the controls of the serial modes by
// name, other controls by number.
QString RenderChars(const QString& text) {
  QString out;
  out.reserve(text.size());
  for (const QChar c : text) {
    switch (c.unicode()) {
      case 0x01: out += QLatin1String("<SOH>"); break;
      case 0x02: out += QLatin1String("<STX>"); break;
      case 0x03: out += QLatin1String("<ETX>"); break;
      case 0x06: out += QLatin1String("<ACK>"); break;
      case 0x0A: out += QLatin1String("<LF>"); break;
      case 0x0D: out += QLatin1String("<CR>"); break;
      case 0x15: out += QLatin1String("<NAK>"); break;
      default:
        if (c.unicode() >= 32) out += c;
        else out += QLatin1Char('<') + QString::number(c.unicode()) + QLatin1Char('>');
    }
  }
  return out;
}

}  // namespace

QString TFormTraffic::RenderBytes(const std::string& s, bool binaryData) {
  if (binaryData) return QString::fromLatin1(TMisc::ByteStrToHexStr(s));
  return RenderChars(QString::fromLatin1(s));
}

QString TFormTraffic::RenderText(const std::string& s) {
  QStringDecoder utf8(QStringDecoder::Utf8, QStringConverter::Flag::Stateless);
  const QString text = utf8(QByteArrayView(s.data(), static_cast<qsizetype>(s.size())));
  return utf8.hasError() ? RenderBytes(s, false) : RenderChars(text);
}

QString ShownLogLine(const QString& line) {
  if (line.size() <= kMaxShownLineLength) return line;
  return line.left(kMaxShownLineLength) +
         QStringLiteral(" ... (%1 more characters, all in Save to...)").arg(line.size() - kMaxShownLineLength);
}

void TFormTraffic::Enqueue(QString line, const QColor& color, int32_t received, int32_t sent) {
  bool schedule = false;
  {
    std::lock_guard<std::mutex> lock(FPendingMutex);
    FPending.push_back({std::move(line), color});
    FPendingReceived += received;
    FPendingSent += sent;
    FPendingStats = FPendingStats || received > 0 || sent > 0;
    schedule = !FFlushScheduled;
    FFlushScheduled = true;
    FLineCount.fetch_add(1);
  }
  if (!schedule) return;
  // The timer belongs to the window thread; a worker only asks it to start.
  if (QThread::currentThread() == thread()) FFlushTimer->start();
  else QMetaObject::invokeMethod(FFlushTimer, qOverload<>(&QTimer::start), Qt::QueuedConnection);
}

void TFormTraffic::Flush() {
  std::vector<TPendingLine> lines;
  int32_t received = 0, sent = 0;
  bool stats = false;
  {
    std::lock_guard<std::mutex> lock(FPendingMutex);
    lines.swap(FPending);
    received = FPendingReceived;
    sent = FPendingSent;
    stats = FPendingStats;
    FPendingReceived = FPendingSent = 0;
    FPendingStats = false;
    FFlushScheduled = false;
  }
  FFlushTimer->stop();
  if (lines.empty() && !stats) return;
  // Only lines that stay are painted: a burst larger than the cap is cut
  // before it reaches the view.
  size_t first = 0;
  if (lines.size() > static_cast<size_t>(FMaxLines)) {
    first = lines.size() - static_cast<size_t>(FMaxLines);
    FDroppedLines += static_cast<int>(first) + static_cast<int>(FColorOfLines.size());
    SynEdit->clear();
    FColorOfLines.clear();
    FWholeLines.clear();
    UpdateCaption();
  }
  QScrollBar* bar = SynEdit->verticalScrollBar();
  const bool atEnd = bar->value() >= bar->maximum();
  QTextCursor cursor(SynEdit->document());
  cursor.beginEditBlock();
  cursor.movePosition(QTextCursor::End);
  // One insert per run of lines of one colour.
  for (size_t i = first; i < lines.size();) {
    QTextCharFormat fmt;
    fmt.setForeground(lines[i].Color);
    QString run;
    size_t j = i;
    for (; j < lines.size() && lines[j].Color == lines[i].Color; ++j) {
      if (j > i) run += QLatin1Char('\n');
      const bool cut = lines[j].Text.size() > kMaxShownLineLength;
      run += cut ? ShownLogLine(lines[j].Text) : lines[j].Text;
      FColorOfLines.append(lines[j].Color);
      FWholeLines.append(cut ? std::move(lines[j].Text) : QString());
    }
    if (FColorOfLines.size() > static_cast<qsizetype>(j - i)) cursor.insertBlock(QTextBlockFormat(), fmt);
    cursor.insertText(run, fmt);
    i = j;
  }
  cursor.endEditBlock();
  DropOldLines();
  // Follow the newest line only when the operator has not scrolled away.
  if (atEnd) {
    QTextCursor end(SynEdit->document());
    end.movePosition(QTextCursor::End);
    SynEdit->setTextCursor(end);
    bar->setValue(bar->maximum());
  }
  if (stats) {
    FTrafficStats.Received += received;
    FTrafficStats.Sent += sent;
    FTrafficStats.Changed = true;
    emit TrafficStatsChanged();
  }
}

void TFormTraffic::DropOldLines() {
  const qsizetype excess = FColorOfLines.size() - FMaxLines;
  if (excess <= 0) return;
  QTextCursor cut(SynEdit->document());
  cut.movePosition(QTextCursor::Start);
  cut.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor, static_cast<int>(excess));
  cut.removeSelectedText();
  FColorOfLines.erase(FColorOfLines.begin(), FColorOfLines.begin() + excess);
  FWholeLines.erase(FWholeLines.begin(), FWholeLines.begin() + excess);
  FDroppedLines += static_cast<int>(excess);
  UpdateCaption();
}

void TFormTraffic::UpdateCaption() {
  setWindowTitle(FDroppedLines == 0 ? QStringLiteral("Log")
                                    : QStringLiteral("Log (%1 earlier lines dropped)").arg(FDroppedLines));
}

void TFormTraffic::SetMaxLines(int maxLines) {
  FMaxLines = qMax(1, maxLines);
  DropOldLines();
}

void TFormTraffic::DataReceived(const std::string& s, bool binaryData, const std::string& prefix) {
  Enqueue(StripPrefix(prefix) + RenderBytes(s, binaryData), kReceivedColor, static_cast<int32_t>(s.size()), 0);
}

void TFormTraffic::DataSent(const std::string& s, bool binaryData, const std::string& prefix) {
  Enqueue(StripPrefix(prefix) + RenderBytes(s, binaryData), kSentColor, 0, static_cast<int32_t>(s.size()));
}

void TFormTraffic::Info(const std::string& s, const std::string& prefix) {
  Enqueue(StripPrefix(prefix) + RenderText(s), kInfoColor, 0, 0);
}

void TFormTraffic::Clear() {
  {
    std::lock_guard<std::mutex> lock(FPendingMutex);
    FPending.clear();
    FPendingReceived = FPendingSent = 0;
    FPendingStats = false;
    FLineCount.store(0);
  }
  SynEdit->clear();
  FColorOfLines.clear();
  FWholeLines.clear();
  FDroppedLines = 0;
  UpdateCaption();
  FTrafficStats = TTrafficStats();
  emit TrafficStatsChanged();
}

QStringList TFormTraffic::Lines() {
  Flush();
  QStringList lines;
  if (FColorOfLines.isEmpty()) return lines;
  qsizetype n = 0;
  for (QTextBlock b = SynEdit->document()->firstBlock(); b.isValid(); b = b.next(), ++n)
    lines << (n < FWholeLines.size() && !FWholeLines[n].isEmpty() ? FWholeLines[n] : b.text());
  return lines;
}

const QList<QColor>& TFormTraffic::ColorOfLines() {
  Flush();
  return FColorOfLines;
}

const TTrafficStats& TFormTraffic::TrafficStats() {
  Flush();
  return FTrafficStats;
}

void TFormTraffic::SaveTo(const QString& fileName) {
  QString text;
  for (const QString& l : Lines()) text += l + QLatin1Char('\n');
  WriteFileAtomically(fileName, text.toUtf8());
}

void TFormTraffic::PMSaveToClick() {
  const QString f = RunSaveDialog(this, {.Caption = QStringLiteral("Save log"),
                                         .Key = QStringLiteral("TRAFFIC"),
                                         .Filter = kTextFilter,
                                         .Extension = QStringLiteral(".txt"),
                                         .FileName = QStringLiteral("quillon-log %1.txt")
                                                         .arg(QDate::currentDate().toString(Qt::ISODate))});
  if (f.isEmpty()) return;
  RunFileCommand(this, windowTitle(), [&] {
    const qsizetype lines = ColorOfLines().size();  // one colour per line, queued ones included
    SaveTo(f);
    ReportFileSaved(this, nullptr,
                    QStringLiteral("Saved %1 to %2").arg(CountText(lines, QStringLiteral("log line"), QStringLiteral("log lines")), f));
  });
}

void TFormTraffic::ApplyScriptFont() {
  if (TAppSettings* s = TAppSettings::Instance()) SynEdit->setFont(s->ScriptFont());
}

void TFormTraffic::showEvent(QShowEvent* e) {
  ApplyScriptFont();
  QWidget::showEvent(e);
  emit VisibilityChanged(true);
}

void TFormTraffic::hideEvent(QHideEvent* e) {
  QWidget::hideEvent(e);
  emit VisibilityChanged(false);
}

void DeliverTrafficEvent(const std::function<void()>& handler) {
  static std::mutex turn;
  std::lock_guard<std::mutex> lock(turn);
  handler();
}

void RunOnGuiThread(const std::function<void()>& fn) {
  QCoreApplication* app = QCoreApplication::instance();
  if (!app || QThread::currentThread() == app->thread()) {
    fn();
    return;
  }
  QMetaObject::invokeMethod(app, fn, Qt::BlockingQueuedConnection);
}

client::TLayerNames MarkedLayerNames(const std::string& mark) {
  return client::TLayerNames{mark + ":TCP", mark + ":Serial", mark + ":WRAPPER", mark + ":HDLC"};
}

std::function<void(const std::string&)> MarkedSessionLog(const std::string& mark) {
  return [mark](const std::string& line) { client::TrafficNote("[" + mark + "] " + line); };
}

}  // namespace quillon
