// The desktop application under load, offscreen: log lines per second into
// the log window (from a worker thread, as the layers send them, until they
// are painted), and the time to fill the object list with 5 000 objects and
// show it.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTableWidget>

#include <memory>
#include <string>
#include <thread>

#include "app/AppSettings.h"
#include "app/FormMain.h"
#include "app/FormTraffic.h"

using namespace quillon;

namespace {

// One application and one settings folder for every benchmark of the run.
void EnsureApplication() {
  static int argc = 1;
  static char name[] = "bench_app";
  static char* argv[] = {name, nullptr};
  static std::unique_ptr<QApplication> app;
  static std::unique_ptr<QTemporaryDir> dir;
  static std::unique_ptr<TAppSettings> settings;
  if (app) return;
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  app = std::make_unique<QApplication>(argc, argv);
  dir = std::make_unique<QTemporaryDir>();
  settings = std::make_unique<TAppSettings>(QStringLiteral("quillon"), dir->path(), dir->path());
}

// 100 000 traffic lines sent by a worker while the window thread runs its
// loop; the clock stops when the last line is painted.
void LogLines(benchmark::State& state) {
  EnsureApplication();
  constexpr int kLines = 100000;
  const std::string bytes(24, '\x7E');
  for (auto _ : state) {
    TFormTraffic w;
    w.show();
    // The window thread runs its loop (flushing on its timer) until the
    // worker says it is done.
    QEventLoop loop;
    std::thread worker([&] {
      for (int i = 0; i < kLines; ++i) w.DataReceived(bytes, true, "0'01.000  +0        ");
      QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    worker.join();
    w.Flush();
    QApplication::processEvents();  // paint
    if (w.Lines().size() != kLines) state.SkipWithError("lines missing");
  }
  state.SetItemsProcessed(state.iterations() * kLines);
  state.counters["lines_per_s"] = benchmark::Counter(static_cast<double>(state.iterations()) * kLines,
                                                     benchmark::Counter::kIsRate);
}
BENCHMARK(LogLines)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// A 5 000-object list into the list view, shown and painted.
void ObjectListFill(benchmark::State& state) {
  EnsureApplication();
  std::vector<TInstanceInfo> infos;
  for (int i = 0; i < 5000; ++i) {
    TInstanceInfo info;
    info.ClassId = 1 + i % 9;
    info.InstanceHex = QStringLiteral("0100%1%2FF").arg(i / 256, 2, 16, QLatin1Char('0')).arg(i % 256, 4, 16, QLatin1Char('0')).toUpper();
    info.InstanceDescr = QStringLiteral("Object %1 of the benchmark").arg(i);
    infos.push_back(info);
  }
  TFormMain form;
  form.show();
  QApplication::processEvents();
  for (auto _ : state) {
    form.SetObjects(infos);
    form.LV->viewport()->repaint();
    QApplication::processEvents();
  }
  if (form.ObjectCount() != 5000) state.SkipWithError("rows missing");
}
BENCHMARK(ObjectListFill)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

}  // namespace
