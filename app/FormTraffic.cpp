#include "app/FormTraffic.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QMenu>
#include <QMessageBox>
#include <QMetaObject>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QThread>
#include <QVBoxLayout>

#include "app/AppSettings.h"
#include "app/FileDialogs.h"
#include "app/IniFile.h"
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

  if (TAppSettings* s = TAppSettings::Instance())
    connect(s, &TAppSettings::ScriptFontChanged, this, &TFormTraffic::ApplyScriptFont);
}

void TFormTraffic::PreparePopup() { PMCopy->setEnabled(SynEdit->textCursor().hasSelection()); }

QString TFormTraffic::StripPrefix(const std::string& prefix) {
  for (const char* p : kDefaultLayerPrefixes) {
    const std::string_view pv(p);
    if (prefix.compare(0, pv.size(), pv) == 0) return QString::fromLatin1(prefix.substr(pv.size()));
  }
  return QString::fromLatin1(prefix);
}

QString TFormTraffic::RenderBytes(const std::string& s, bool binaryData) {
  if (binaryData) return QString::fromLatin1(TMisc::ByteStrToHexStr(s));
  QString out;
  out.reserve(static_cast<qsizetype>(s.size()));
  for (char c : s) {
    const unsigned b = static_cast<unsigned char>(c);
    switch (b) {
      case 0x01: out += QLatin1String("<SOH>"); break;
      case 0x02: out += QLatin1String("<STX>"); break;
      case 0x03: out += QLatin1String("<ETX>"); break;
      case 0x06: out += QLatin1String("<ACK>"); break;
      case 0x0A: out += QLatin1String("<LF>"); break;
      case 0x0D: out += QLatin1String("<CR>"); break;
      case 0x15: out += QLatin1String("<NAK>"); break;
      default:
        if (b >= 32) out += QChar(b);
        else out += QLatin1Char('<') + QString::number(b) + QLatin1Char('>');
    }
  }
  return out;
}

void TFormTraffic::AddLine(const QString& line, const QColor& color) {
  QTextCursor cursor(SynEdit->document());
  cursor.movePosition(QTextCursor::End);
  QTextCharFormat fmt;
  fmt.setForeground(color);
  if (!FColorOfLines.isEmpty()) cursor.insertBlock();
  cursor.insertText(line, fmt);
  FColorOfLines.append(color);
  FLineCount.store(static_cast<int>(FColorOfLines.size()));
  // Follow the newest line.
  SynEdit->setTextCursor(cursor);
  SynEdit->ensureCursorVisible();
}

void TFormTraffic::DataReceived(const std::string& s, bool binaryData, const std::string& prefix) {
  AddLine(StripPrefix(prefix) + RenderBytes(s, binaryData), kReceivedColor);
  FTrafficStats.Received += static_cast<int32_t>(s.size());
  FTrafficStats.Changed = true;
  emit TrafficStatsChanged();
}

void TFormTraffic::DataSent(const std::string& s, bool binaryData, const std::string& prefix) {
  AddLine(StripPrefix(prefix) + RenderBytes(s, binaryData), kSentColor);
  FTrafficStats.Sent += static_cast<int32_t>(s.size());
  FTrafficStats.Changed = true;
  emit TrafficStatsChanged();
}

void TFormTraffic::Info(const std::string& s, const std::string& prefix) {
  AddLine(StripPrefix(prefix) + RenderBytes(s, false), kInfoColor);
}

void TFormTraffic::Clear() {
  SynEdit->clear();
  FColorOfLines.clear();
  FLineCount.store(0);
  FTrafficStats = TTrafficStats();
  emit TrafficStatsChanged();
}

QStringList TFormTraffic::Lines() const {
  QStringList lines;
  if (FColorOfLines.isEmpty()) return lines;
  for (QTextBlock b = SynEdit->document()->firstBlock(); b.isValid(); b = b.next()) lines << b.text();
  return lines;
}

void TFormTraffic::SaveTo(const QString& fileName) const {
  QString text;
  for (const QString& l : Lines()) text += l + QLatin1Char('\n');
  WriteFileAtomically(fileName, text.toUtf8());
}

void TFormTraffic::PMSaveToClick() {
  QString f = RunRememberingFileDialog(this, TFileDialogKind::fdSave, QStringLiteral("Save log"),
                                       QStringLiteral("TRAFFIC"));
  if (f.isEmpty()) return;
  f = ForceTxtExtension(f);
  if (TAppSettings* s = TAppSettings::Instance()) s->SetLastFile(QStringLiteral("TRAFFIC"), f);
  try {
    SaveTo(f);
  } catch (const std::exception& e) {
    QMessageBox::critical(this, windowTitle(), QString::fromStdString(e.what()));
  }
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

void RunOnGuiThread(const std::function<void()>& fn) {
  QCoreApplication* app = QCoreApplication::instance();
  if (!app || QThread::currentThread() == app->thread()) {
    fn();
    return;
  }
  QMetaObject::invokeMethod(app, fn, Qt::BlockingQueuedConnection);
}

}  // namespace quillon
