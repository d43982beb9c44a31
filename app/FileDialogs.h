// File dialogs that remember their folder and file under a key of section
// "LastFiles", and the file-name rules shared by the save commands.
#pragma once

#include <QDate>
#include <QString>
#include <functional>

class QLabel;
class QWidget;

namespace quillon {

enum class TFileDialogKind { fdOpen, fdSave };

// Returns the chosen path, or an empty text when the operator cancelled.
// Without a preset name the dialog starts from the path stored under `key`;
// a confirmed path is stored there.
// A path that cannot be remembered (an unwritable settings file) is
// reported in a message box; the chosen path is still returned.
QString RunRememberingFileDialog(QWidget* parent, TFileDialogKind kind, const QString& caption,
                                 const QString& key, const QString& preset = QString());

// Stands in for the system's file dialogs (tests, scripted runs): gets the
// kind, the caption and the starting path, returns the choice. Empty
// function: the real dialogs.
using TFileDialogHook = std::function<QString(TFileDialogKind, const QString&, const QString&)>;
void SetFileDialogHook(TFileDialogHook hook);
// The same with the filter the dialog offers ("CSV files (*.csv);;All
// files (*)") as the last argument.
using TFilterFileDialogHook =
    std::function<QString(TFileDialogKind, const QString&, const QString&, const QString&)>;
void SetFilterFileDialogHook(TFilterFileDialogHook hook);

// What a save command asks of the operator.
struct TSaveRequest {
  QString Caption = {};    // "Export profile"
  QString Key = {};        // under section "LastFiles": the last file saved, whose folder comes first next time
  QString Filter = {};     // "CSV files (*.csv)"; "All files (*)" is offered beside it
  QString Extension = {};  // ".csv": added to a chosen name that does not end with it
  QString FileName = {};   // the name proposed, in the last folder (else the home folder)
  QString Preset = {};     // a whole path proposed instead of the above, when set
};
inline const QString kCsvFilter = QStringLiteral("CSV files (*.csv)");
inline const QString kTextFilter = QStringLiteral("Text files (*.txt)");
inline const QString kObjectListFilter = QStringLiteral("Object lists (*.txt)");

// Runs the save dialog of `request`: the chosen path with its extension, or
// an empty text when the operator cancelled. The path is remembered under
// the request's key (a settings file that cannot take it is reported and
// the path still returned).
QString RunSaveDialog(QWidget* parent, const TSaveRequest& request);

// Where a save dialog starts: `fileName` in the folder of `lastPath` when
// that folder exists, else in `fallbackFolder` (the home folder when empty).
// A program's settings folder is never proposed unless the operator saved
// there before.
QString SaveDialogStart(const QString& lastPath, const QString& fileName, const QString& fallbackFolder = QString());

// The file name an export proposes: "<meter> <OBIS> <date>.<extension>",
// "sim-0001 1.0.99.1.0.255 2026-12-10.csv". Characters a file name cannot
// hold on common file systems ("/", ":", ...) become "-".
QString ExportFileName(const QString& meter, const QString& obis, const QDate& day, const QString& extension);

// "1 row", "96 rows": a count with the noun in the number it needs.
QString CountText(qint64 count, const QString& singular, const QString& plural);

// Says that a file command has done its work: in `label` when one is given,
// and in the status bar of the main window `from` belongs to, when there is
// one among its parents.
void ReportFileSaved(QWidget* from, QLabel* label, const QString& text);

// Runs a file command of a window; its failure is shown in an error box
// titled `title` and the program goes on.
void RunFileCommand(QWidget* parent, const QString& title, const std::function<void()>& command);

// Appends `extension` (".csv") unless the name already ends with it
// (letter case ignored).
QString ForceExtension(const QString& fileName, const QString& extension);

// Appends ".txt" unless the name already ends with it (letter case ignored;
// the extension is the text from the last dot on).
QString ForceTxtExtension(const QString& fileName);

// Replaces the extension (the text from the last dot of the file name on)
// with ".txt", or appends it when there is none.
QString ChangeExtensionToTxt(const QString& fileName);

}  // namespace quillon
