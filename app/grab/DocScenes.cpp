// The pictures of the README that show the window at work, made against a
// running meter simulator under Xvfb (scripts/screenshot.sh):
//   refused-write.png  a write the meter refuses, its message box open
//   profile-log.png    the profile view and the log window after a read
//   quillon-docscenes PORT OUTPUT_FOLDER
#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QMessageBox>
#include <QPixmap>
#include <QScreen>
#include <QStandardPaths>
#include <QTimer>
#include <cstdio>
#include <functional>

#include "app/AppSettings.h"
#include "app/EditorPane.h"
#include "app/FormMain.h"
#include "app/FormSettings.h"
#include "app/FormTraffic.h"
#include "app/ProfileView.h"

using namespace quillon;

namespace {

bool Grab(const QString& file) {
  QApplication::processEvents();
  const QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(0);
  return !shot.isNull() && shot.save(file, "PNG");
}

// Runs `action`, which opens a modal box; the screen is taken while the box
// is up, then the box is closed.
bool GrabWhileBoxOpen(const QString& file, const std::function<void()>& action) {
  bool saved = false;
  QTimer::singleShot(1500, [&] {
    saved = Grab(file);
    for (QWidget* w : QApplication::topLevelWidgets())
      if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) box->done(QMessageBox::Ok);
  });
  action();
  return saved;
}

void Wait(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s PORT OUTPUT_FOLDER\n", argv[0]);
    return 2;
  }
  const QString port = QString::fromLocal8Bit(argv[1]);
  const QDir out(QString::fromLocal8Bit(argv[2]));
  QApplication::setApplicationName(QStringLiteral("quillon"));
  TAppSettings settings(QStringLiteral("quillon"), QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation),
                        QCoreApplication::applicationDirPath());
  TFormMain form;
  form.setGeometry(0, 0, 760, 560);
  form.show();
  TFormSettings& s = *form.FormSettings;
  s.RBSelectTCPClick();
  s.EDITServerIP->setText(QStringLiteral("127.0.0.1:") + port);
  s.EDITClientAddress->setText(QStringLiteral("16"));
  s.EDITServerAddress->setText(QStringLiteral("1"));
  form.Confirm = [](const QString&) { return true; };
  int status = 0;
  try {
    // The meter's own object list, with the access rights it gives client 16.
    form.ReadAttribute({15, 1, QStringLiteral("0000280000FF"), QStringLiteral("Default Association"), 0}, 2,
                       QStringLiteral("object_list"));
    form.FillObjectsFromEditor();
    form.FormTraffic->setGeometry(770, 0, 520, 560);
    form.FormTraffic->show();
    TInstanceInfo energy;
    for (int r = 0; r < form.ObjectCount(); ++r)
      if (form.ObjectAt(r).InstanceHex == QLatin1String("0100010800FF")) energy = form.ObjectAt(r);
    form.ReadAttribute(energy, 2, QStringLiteral("value"));
    form.ResponseEditor->SetText(QStringLiteral("<Data>\n  <DoubleLongUnsigned Value=\"00000001\" />\n</Data>"));
    Wait(300);
    if (!GrabWhileBoxOpen(out.filePath(QStringLiteral("refused-write.png")), [&] { form.WriteThisClick(); })) status = 1;

    // A day of the load profile through the window's association, its
    // lines in the log window beside it.
    form.MMDoConnectClick();
    TInstanceInfo profile{7, 1, QStringLiteral("0100630100FF"), QStringLiteral("Load profile 1"), 0};
    TProfileView* view = form.CreateProfileView(profile);
    view->setGeometry(0, 0, 760, 560);
    view->show();
    view->Read();
    Wait(800);
    if (!Grab(out.filePath(QStringLiteral("profile-log.png")))) status = 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quillon-docscenes: %s\n", e.what());
    return 1;
  }
  return status;
}
