// File dialogs that remember their folder and file under a key of section
// "LastFiles", and the file-name rules shared by the save commands.
#pragma once

#include <QString>
#include <functional>

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

// Runs a file command of a window; its failure is shown in an error box
// titled `title` and the program goes on.
void RunFileCommand(QWidget* parent, const QString& title, const std::function<void()>& command);

// Appends ".txt" unless the name already ends with it (letter case ignored;
// the extension is the text from the last dot on).
QString ForceTxtExtension(const QString& fileName);

// Replaces the extension (the text from the last dot of the file name on)
// with ".txt", or appends it when there is none.
QString ChangeExtensionToTxt(const QString& fileName);

}  // namespace quillon
