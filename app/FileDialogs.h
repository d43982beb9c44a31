// File dialogs that remember their folder and file under a key of section
// "LastFiles", and the file-name rules shared by the save commands.
#pragma once

#include <QString>

class QWidget;

namespace quillon {

enum class TFileDialogKind { fdOpen, fdSave };

// Returns the chosen path, or an empty text when the operator cancelled.
// Without a preset name the dialog starts from the path stored under `key`;
// a confirmed path is stored there.
QString RunRememberingFileDialog(QWidget* parent, TFileDialogKind kind, const QString& caption,
                                 const QString& key, const QString& preset = QString());

// Appends ".txt" unless the name already ends with it (letter case ignored;
// the extension is the text from the last dot on).
QString ForceTxtExtension(const QString& fileName);

// Replaces the extension (the text from the last dot of the file name on)
// with ".txt", or appends it when there is none.
QString ChangeExtensionToTxt(const QString& fileName);

}  // namespace quillon
