// The program's error box: titled with the program's name, wide enough
// that a window manager shows that title whole.
#pragma once

#include <QString>

class QWidget;

namespace quillon {

void ShowErrorBox(QWidget* parent, const QString& text);

}  // namespace quillon
