// The editor pane of the main window: DLMS XML with syntax highlighting,
// find and replace, undo/redo and a popup menu the window extends.
#pragma once

#include <QDialog>
#include <QPlainTextEdit>
#include <QStringList>
#include <QSyntaxHighlighter>
#include <QTextCharFormat>
#include <QWidget>

class QCheckBox;
class QLineEdit;
class QMenu;
class QPushButton;

namespace quillon {

class TXMLHighlighter : public QSyntaxHighlighter {
  Q_OBJECT
public:
  explicit TXMLHighlighter(QTextDocument* doc);

  QTextCharFormat TagFormat, AttributeFormat, ValueFormat, CommentFormat;

protected:
  void highlightBlock(const QString& text) override;
};

class TFrameBaseEditor;

// One dialog for both commands: "Find" hides the replace row.
class TSearchDialog : public QDialog {
  Q_OBJECT
public:
  TSearchDialog(TFrameBaseEditor* editor, bool replace);

  QLineEdit* FindText;
  QLineEdit* ReplaceText;
  QCheckBox* MatchCase;
  QCheckBox* WholeWord;

private:
  TFrameBaseEditor* FEditor;
};

class TFrameBaseEditor : public QWidget {
  Q_OBJECT
public:
  explicit TFrameBaseEditor(QWidget* parent = nullptr);

  void Clear();
  void AppendLines(const QStringList& lines);
  QString Text() const;
  void SetText(const QString& text);
  void LoadFromFile(const QString& fileName);
  void SaveToFile(const QString& fileName) const;
  // The window adds its own commands here.
  QMenu* PopupMenu() const { return FPopup; }

  // Search from the caret; wraps around once. False when nothing matches.
  bool FindNext(const QString& text, bool matchCase, bool wholeWord);
  // Replaces the current match (if the selection is one) and finds the next.
  bool ReplaceNext(const QString& text, const QString& with, bool matchCase, bool wholeWord);
  int ReplaceAll(const QString& text, const QString& with, bool matchCase, bool wholeWord);

  QPlainTextEdit* Edit;

public slots:
  void ShowFind();
  void ShowReplace();
  void ApplyScriptFont();

private:
  QMenu* FPopup;
  TXMLHighlighter* FHighlighter;
};

}  // namespace quillon
