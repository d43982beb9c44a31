// Writes the whole X screen to a PNG file; used by scripts/screenshot.sh
// to picture the application running under Xvfb.
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <cstdio>

int main(int argc, char** argv) {
  QGuiApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT.png\n", argv[0]);
    return 2;
  }
  QScreen* screen = QGuiApplication::primaryScreen();
  if (!screen) {
    std::fprintf(stderr, "no screen\n");
    return 1;
  }
  const QPixmap shot = screen->grabWindow(0);
  if (shot.isNull() || !shot.save(QString::fromLocal8Bit(argv[1]), "PNG")) {
    std::fprintf(stderr, "cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
