#include "app/EditorPane.h"

#include <QCheckBox>
#include <QFile>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QShortcut>
#include <QTextDocument>
#include <QVBoxLayout>

#include "app/AppSettings.h"
#include "app/IniFile.h"
#include "xmlpdu/infra/Errors.h"

namespace quillon {

TXMLHighlighter::TXMLHighlighter(QTextDocument* doc) : QSyntaxHighlighter(doc) {
  TagFormat.setForeground(QColor(0, 0, 160));
  TagFormat.setFontWeight(QFont::Bold);
  AttributeFormat.setForeground(QColor(160, 0, 0));
  ValueFormat.setForeground(QColor(0, 110, 0));
  CommentFormat.setForeground(QColor(128, 128, 128));
  CommentFormat.setFontItalic(true);
}

void TXMLHighlighter::highlightBlock(const QString& text) {
  // State 1: inside a comment that began on an earlier line.
  qsizetype pos = 0;
  if (previousBlockState() == 1) {
    const qsizetype end = text.indexOf(QLatin1String("-->"));
    const qsizetype stop = end < 0 ? text.size() : end + 3;
    setFormat(0, static_cast<int>(stop), CommentFormat);
    if (end < 0) {
      setCurrentBlockState(1);
      return;
    }
    pos = stop;
  }
  setCurrentBlockState(0);
  static const QRegularExpression tagName(QStringLiteral("</?[A-Za-z_][\\w.-]*|/?>"));
  static const QRegularExpression attribute(QStringLiteral("([A-Za-z_][\\w.-]*)\\s*=\\s*(\"[^\"]*\"|'[^']*')"));
  while (pos < text.size()) {
    const qsizetype lt = text.indexOf(QLatin1Char('<'), pos);
    if (lt < 0) break;
    if (text.mid(lt, 4) == QLatin1String("<!--")) {
      const qsizetype end = text.indexOf(QLatin1String("-->"), lt + 4);
      if (end < 0) {
        setFormat(static_cast<int>(lt), static_cast<int>(text.size() - lt), CommentFormat);
        setCurrentBlockState(1);
        return;
      }
      setFormat(static_cast<int>(lt), static_cast<int>(end + 3 - lt), CommentFormat);
      pos = end + 3;
      continue;
    }
    qsizetype gt = text.indexOf(QLatin1Char('>'), lt);
    if (gt < 0) gt = text.size() - 1;
    const QString tag = text.mid(lt, gt - lt + 1);
    for (auto it = tagName.globalMatch(tag); it.hasNext();) {
      const auto m = it.next();
      setFormat(static_cast<int>(lt + m.capturedStart()), static_cast<int>(m.capturedLength()), TagFormat);
    }
    for (auto it = attribute.globalMatch(tag); it.hasNext();) {
      const auto m = it.next();
      setFormat(static_cast<int>(lt + m.capturedStart(1)), static_cast<int>(m.capturedLength(1)), AttributeFormat);
      setFormat(static_cast<int>(lt + m.capturedStart(2)), static_cast<int>(m.capturedLength(2)), ValueFormat);
    }
    pos = gt + 1;
  }
}

TSearchDialog::TSearchDialog(TFrameBaseEditor* editor, bool replace) : QDialog(editor), FEditor(editor) {
  setWindowTitle(replace ? QStringLiteral("Replace") : QStringLiteral("Find"));
  FindText = new QLineEdit;
  ReplaceText = new QLineEdit;
  MatchCase = new QCheckBox(QStringLiteral("Match case"));
  WholeWord = new QCheckBox(QStringLiteral("Whole words only"));
  auto* form = new QFormLayout;
  form->addRow(QStringLiteral("Find:"), FindText);
  if (replace) form->addRow(QStringLiteral("Replace with:"), ReplaceText);
  else ReplaceText->hide();
  form->addRow(MatchCase);
  form->addRow(WholeWord);
  auto* buttons = new QHBoxLayout;
  auto* next = new QPushButton(QStringLiteral("Find next"));
  next->setDefault(true);
  buttons->addWidget(next);
  auto notFound = [this] { QMessageBox::information(this, windowTitle(), QStringLiteral("Text not found")); };
  connect(next, &QPushButton::clicked, this, [this, notFound] {
    if (!FEditor->FindNext(FindText->text(), MatchCase->isChecked(), WholeWord->isChecked())) notFound();
  });
  if (replace) {
    auto* one = new QPushButton(QStringLiteral("Replace"));
    auto* all = new QPushButton(QStringLiteral("Replace all"));
    buttons->addWidget(one);
    buttons->addWidget(all);
    connect(one, &QPushButton::clicked, this, [this, notFound] {
      if (!FEditor->ReplaceNext(FindText->text(), ReplaceText->text(), MatchCase->isChecked(),
                                WholeWord->isChecked()))
        notFound();
    });
    connect(all, &QPushButton::clicked, this, [this] {
      const int n = FEditor->ReplaceAll(FindText->text(), ReplaceText->text(), MatchCase->isChecked(),
                                        WholeWord->isChecked());
      QMessageBox::information(this, windowTitle(), QStringLiteral("%1 replaced").arg(n));
    });
  }
  auto* close = new QPushButton(QStringLiteral("Close"));
  buttons->addWidget(close);
  connect(close, &QPushButton::clicked, this, &QDialog::close);
  auto* top = new QVBoxLayout(this);
  top->addLayout(form);
  top->addLayout(buttons);
}

namespace {

template <typename Obj>
QAction* AddCommand(QMenu* menu, const QString& text, Obj* receiver, void (Obj::*slot)(), QKeySequence::StandardKey key) {
  QAction* a = menu->addAction(text);
  a->setShortcut(key);
  QObject::connect(a, &QAction::triggered, receiver, slot);
  return a;
}

}  // namespace

TFrameBaseEditor::TFrameBaseEditor(QWidget* parent) : QWidget(parent) {
  Edit = new QPlainTextEdit(this);
  Edit->setLineWrapMode(QPlainTextEdit::NoWrap);
  Edit->setTabChangesFocus(false);
  Edit->setContextMenuPolicy(Qt::CustomContextMenu);
  FHighlighter = new TXMLHighlighter(Edit->document());
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(Edit);

  FPopup = new QMenu(this);
  QAction* undo = AddCommand(FPopup, QStringLiteral("&Undo"), Edit, &QPlainTextEdit::undo, QKeySequence::Undo);
  QAction* redo = AddCommand(FPopup, QStringLiteral("&Redo"), Edit, &QPlainTextEdit::redo, QKeySequence::Redo);
  FPopup->addSeparator();
  QAction* cut = AddCommand(FPopup, QStringLiteral("Cu&t"), Edit, &QPlainTextEdit::cut, QKeySequence::Cut);
  QAction* copy = AddCommand(FPopup, QStringLiteral("&Copy"), Edit, &QPlainTextEdit::copy, QKeySequence::Copy);
  AddCommand(FPopup, QStringLiteral("&Paste"), Edit, &QPlainTextEdit::paste, QKeySequence::Paste);
  AddCommand(FPopup, QStringLiteral("Select &All"), Edit, &QPlainTextEdit::selectAll, QKeySequence::SelectAll);
  FPopup->addSeparator();
  AddCommand(FPopup, QStringLiteral("&Find..."), this, &TFrameBaseEditor::ShowFind, QKeySequence::Find);
  AddCommand(FPopup, QStringLiteral("R&eplace..."), this, &TFrameBaseEditor::ShowReplace, QKeySequence::Replace);
  connect(FPopup, &QMenu::aboutToShow, this, [=, this] {
    undo->setEnabled(Edit->document()->isUndoAvailable());
    redo->setEnabled(Edit->document()->isRedoAvailable());
    const bool sel = Edit->textCursor().hasSelection();
    cut->setEnabled(sel);
    copy->setEnabled(sel);
  });
  connect(Edit, &QWidget::customContextMenuRequested, this,
          [this](const QPoint& pos) { FPopup->exec(Edit->mapToGlobal(pos)); });
  // Shortcuts that QPlainTextEdit does not handle itself.
  auto* find = new QShortcut(QKeySequence::Find, Edit);
  connect(find, &QShortcut::activated, this, &TFrameBaseEditor::ShowFind);
  auto* replace = new QShortcut(QKeySequence::Replace, Edit);
  connect(replace, &QShortcut::activated, this, &TFrameBaseEditor::ShowReplace);

  ApplyScriptFont();
  if (TAppSettings* s = TAppSettings::Instance())
    connect(s, &TAppSettings::ScriptFontChanged, this, &TFrameBaseEditor::ApplyScriptFont);
}

void TFrameBaseEditor::ApplyScriptFont() {
  QFont f(QStringLiteral("Courier New"), 10);
  f.setStyleHint(QFont::Monospace);
  f.setFixedPitch(true);
  if (TAppSettings* s = TAppSettings::Instance()) f = s->ScriptFont();
  Edit->setFont(f);
}

void TFrameBaseEditor::Clear() { Edit->clear(); }

void TFrameBaseEditor::AppendLines(const QStringList& lines) {
  // One insert for the whole value: a profile of tens of thousands of lines
  // would otherwise lay out the document once per line.
  if (!lines.isEmpty()) Edit->appendPlainText(lines.join(QLatin1Char('\n')));
}

QString TFrameBaseEditor::Text() const { return Edit->toPlainText(); }

void TFrameBaseEditor::SetText(const QString& text) { Edit->setPlainText(text); }

void TFrameBaseEditor::LoadFromFile(const QString& fileName) {
  QFile f(fileName);
  if (!f.open(QIODevice::ReadOnly))
    RaiseGeneral(Format("Cannot open file \"%s\"", fileName.toUtf8().constData()));
  Edit->setPlainText(QString::fromUtf8(f.readAll()));
}

void TFrameBaseEditor::SaveToFile(const QString& fileName) const {
  QString text = Edit->toPlainText();
  if (!text.isEmpty() && !text.endsWith(QLatin1Char('\n'))) text += QLatin1Char('\n');
  WriteFileAtomically(fileName, text.toUtf8());
}

bool TFrameBaseEditor::FindNext(const QString& text, bool matchCase, bool wholeWord) {
  if (text.isEmpty()) return false;
  QTextDocument::FindFlags flags;
  if (matchCase) flags |= QTextDocument::FindCaseSensitively;
  if (wholeWord) flags |= QTextDocument::FindWholeWords;
  QTextCursor found = Edit->document()->find(text, Edit->textCursor(), flags);
  if (found.isNull()) found = Edit->document()->find(text, 0, flags);
  if (found.isNull()) return false;
  Edit->setTextCursor(found);
  return true;
}

bool TFrameBaseEditor::ReplaceNext(const QString& text, const QString& with, bool matchCase, bool wholeWord) {
  QTextCursor c = Edit->textCursor();
  if (c.hasSelection() &&
      c.selectedText().compare(text, matchCase ? Qt::CaseSensitive : Qt::CaseInsensitive) == 0) {
    c.insertText(with);
    Edit->setTextCursor(c);
  }
  return FindNext(text, matchCase, wholeWord);
}

int TFrameBaseEditor::ReplaceAll(const QString& text, const QString& with, bool matchCase, bool wholeWord) {
  if (text.isEmpty()) return 0;
  QTextDocument::FindFlags flags;
  if (matchCase) flags |= QTextDocument::FindCaseSensitively;
  if (wholeWord) flags |= QTextDocument::FindWholeWords;
  int n = 0;
  QTextCursor edit(Edit->document());
  edit.beginEditBlock();  // one undo step for the whole command
  QTextCursor c = Edit->document()->find(text, 0, flags);
  while (!c.isNull()) {
    c.insertText(with);
    ++n;
    c = Edit->document()->find(text, c, flags);
  }
  edit.endEditBlock();
  return n;
}

void TFrameBaseEditor::ShowFind() {
  auto* d = new TSearchDialog(this, false);
  d->setAttribute(Qt::WA_DeleteOnClose);
  d->FindText->setText(Edit->textCursor().selectedText());
  d->show();
}

void TFrameBaseEditor::ShowReplace() {
  auto* d = new TSearchDialog(this, true);
  d->setAttribute(Qt::WA_DeleteOnClose);
  d->FindText->setText(Edit->textCursor().selectedText());
  d->show();
}

}  // namespace quillon
