#include "app/HelpWindow.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QPushButton>
#include <QTextBrowser>
#include <QVBoxLayout>

#include "app/WindowFit.h"

namespace quillon {

namespace {

const QString kProjectManual = QStringLiteral("https://quillon.example.org/README");

QString BesideProgram(const QString& relative) {
  return QDir::cleanPath(QCoreApplication::applicationDirPath() + QStringLiteral("/../") + relative);
}

bool IsManualPage(const QUrl& url) {
  return url.isLocalFile() && url.path().endsWith(QLatin1String(".md"), Qt::CaseInsensitive);
}

}  // namespace

QString HelpFilePath() {
  const QString path = BesideProgram(QStringLiteral("share/quillon/help.md"));
  return QFileInfo::exists(path) ? path : QString();
}

QUrl FullManualUrl() {
  for (const QString& path : {BesideProgram(QStringLiteral("share/doc/quillon/README.md")),
                              QStringLiteral(QUILLON_SOURCE_DIR "/README.md")})
    if (QFileInfo::exists(path)) return QUrl::fromLocalFile(path);
  return QUrl(kProjectManual);
}

THelpWindow::THelpWindow(QWidget* parent) : QWidget(parent, Qt::Window) {
  setObjectName(QStringLiteral("Help"));
  setWindowTitle(QStringLiteral("Quillon help"));
  Browser = new QTextBrowser;
  Browser->setObjectName(QStringLiteral("HelpText"));
  // Links are routed here: pages of the manual stay in the window, the web
  // goes to the desktop's browser.
  Browser->setOpenLinks(false);
  BTNBack = new QPushButton(QStringLiteral("Back"));
  BTNContents = new QPushButton(QStringLiteral("Contents"));
  BTNFullManual = new QPushButton(QStringLiteral("Whole manual"));
  BTNBack->setEnabled(false);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(BTNBack);
  buttons->addWidget(BTNContents);
  buttons->addWidget(BTNFullManual);
  buttons->addStretch(1);
  auto* top = new QVBoxLayout(this);
  top->addLayout(buttons);
  top->addWidget(Browser, 1);

  connect(Browser, &QTextBrowser::anchorClicked, this, &THelpWindow::FollowLink);
  connect(Browser, &QTextBrowser::backwardAvailable, BTNBack, &QPushButton::setEnabled);
  connect(BTNBack, &QPushButton::clicked, Browser, &QTextBrowser::backward);
  connect(BTNContents, &QPushButton::clicked, this, &THelpWindow::ShowContents);
  connect(BTNFullManual, &QPushButton::clicked, this, [this] { FollowLink(FullManualUrl()); });

  resize(820, 700);
  FitToScreen(this);
  ShowContents();
}

void THelpWindow::ShowContents() {
  const QString help = HelpFilePath();
  if (!help.isEmpty()) {
    ShowPage(QUrl::fromLocalFile(help));
    return;
  }
  const QUrl manual = FullManualUrl();
  Browser->setMarkdown(QStringLiteral("# Quillon help\n\nThe help text (share/quillon/help.md) is not installed "
                                      "beside this program. [The whole manual](%1)")
                           .arg(manual.toString()));
}

void THelpWindow::ShowPage(const QUrl& page) {
  // As a source rather than a text: the page's pictures and links resolve
  // next to it, and Back returns to where the operator was.
  Browser->setSource(page, QTextDocument::MarkdownResource);
}

void THelpWindow::FollowLink(const QUrl& link) {
  // The help text names the README as a neighbour; it lives elsewhere.
  if (link.isRelative() && link.path() == QLatin1String("README.md")) {
    FollowLink(FullManualUrl());
    return;
  }
  const QUrl target = link.isRelative() ? Browser->source().resolved(link) : link;
  if (target.isLocalFile() && target.path() == Browser->source().path() && target.hasFragment()) {
    Browser->scrollToAnchor(target.fragment());
    return;
  }
  if (IsManualPage(target) && QFileInfo::exists(target.toLocalFile())) {
    ShowPage(target);
    return;
  }
  QDesktopServices::openUrl(target);
}

}  // namespace quillon
