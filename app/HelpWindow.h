// F1: the operator's part of the manual inside the program. The build makes
// it from the README (share/quillon/help.md); the whole README opens in the
// same window, links to the web in the browser of the desktop.
#pragma once

#include <QUrl>
#include <QWidget>

class QPushButton;
class QTextBrowser;

namespace quillon {

// The help text: share/quillon/help.md beside the program's folder (the
// build tree has the installed layout). Empty when it is not there.
QString HelpFilePath();
// The whole README: the installed copy in share/doc/quillon, else the one
// of the source tree the program was built from, else the project's page.
QUrl FullManualUrl();

class THelpWindow : public QWidget {
  Q_OBJECT
public:
  explicit THelpWindow(QWidget* parent = nullptr);

  // Shows the help text from the start.
  void ShowContents();
  // Where a link goes: a page of the manual in this window, a place on the
  // page, or anything else to the desktop's handler (a web browser).
  void FollowLink(const QUrl& link);

  QTextBrowser* Browser;
  QPushButton* BTNBack;
  QPushButton* BTNContents;
  QPushButton* BTNFullManual;

private:
  void ShowPage(const QUrl& page);
};

}  // namespace quillon
