#include "app/MessageBoxes.h"

#include <QCoreApplication>
#include <QGridLayout>
#include <QMessageBox>
#include <QSpacerItem>

#include "app/AppSettings.h"

namespace quillon {

void ShowErrorBox(QWidget* parent, const QString& text) {
  const QString title = TAppSettings::Instance() ? TAppSettings::Instance()->ProgramName()
                                                 : ProgramNameFromPath(QCoreApplication::applicationFilePath());
  QMessageBox box(QMessageBox::Critical, title, text, QMessageBox::Ok, parent);
  // A one-line message makes a box so narrow that the title bar cuts the
  // program's name down to "qu...n".
  if (auto* grid = qobject_cast<QGridLayout*>(box.layout()))
    grid->addItem(new QSpacerItem(360, 0, QSizePolicy::Minimum, QSizePolicy::Expanding), grid->rowCount(), 0, 1,
                  grid->columnCount());
  box.exec();
}

}  // namespace quillon
