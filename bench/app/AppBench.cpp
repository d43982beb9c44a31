// The desktop application under load, offscreen: log lines per second into
// the log window (from a worker thread, as the layers send them, until they
// are painted), the time to fill the object list with 5 000 objects and show
// it, and a profile read of about 1 MB in the profile view against the
// simulator with the log window open: the worker's and the window thread's
// CPU times and the longest time the window's event loop did not turn.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTableWidget>

#include <QComboBox>
#include <QDateTimeEdit>
#include <QLineEdit>
#include <QRadioButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QTimer>

#include <chrono>
#include <dirent.h>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>
#include <sys/syscall.h>

#include "app/AppSettings.h"
#include "app/FormMain.h"
#include "app/FormSettings.h"
#include "app/FormTraffic.h"
#include "app/ProfileView.h"

#if defined(QUILLON_BENCH_SIM)
#include "tools/meter-sim/SimTransport.h"
#endif

using namespace quillon;

namespace {

// One application and one settings folder for every benchmark of the run.
void EnsureApplication() {
  static int argc = 1;
  static char name[] = "bench_app";
  static char* argv[] = {name, nullptr};
  // The application is left to the end of the process: destroyed from an
  // exit handler it would run after Qt's own globals made during its
  // construction are gone, and crash.
  static QApplication* app = nullptr;
  static std::unique_ptr<QTemporaryDir> dir;
  static std::unique_ptr<TAppSettings> settings;
  if (app) return;
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  app = new QApplication(argc, argv);
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

#if defined(QUILLON_BENCH_SIM)

// The simulator on a loopback port of its own, in this process. Its load
// profile 1 keeps the entries asked for (28 000 are about 1 MB of buffer)
// instead of 5 000.
class TBenchSimulator {
public:
  explicit TBenchSimulator(int entries) {
    std::ifstream f(std::string(QUILLON_SOURCE_DIR) + "/data/sim/meter.txt");
    std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const std::string from = "profile=5000/900", to = "profile=" + std::to_string(entries) + "/900";
    if (const size_t at = text.find(from); at != std::string::npos) text.replace(at, from.size(), to);
    Model.Load(text);
    Assoc = std::make_unique<sim::TSimAssociation>(Model, sim::TSimSecurity{});
    Assoc->Configure(text);
    Listener = std::make_unique<sim::TSimListener>("127.0.0.1", 0);
    Server = std::thread([this] {
      Tid = static_cast<int>(syscall(SYS_gettid));
      while (!Stop) {
        const int fd = Listener->Accept(50);
        if (fd < 0) continue;
        sim::TSimLink link(fd);
        try {
          sim::ServeWrapper(link, *Assoc, Stop, nullptr);
        } catch (const std::exception&) {
        }
        Assoc->Reset();
      }
    });
  }
  ~TBenchSimulator() {
    Stop = true;
    Server.join();
  }
  sim::TSimModel Model;
  std::unique_ptr<sim::TSimAssociation> Assoc;
  std::unique_ptr<sim::TSimListener> Listener;
  std::atomic<bool> Stop{false};
  std::atomic<int> Tid{0};
  std::thread Server;
};

// CPU time of every thread of this process so far (nanoseconds, from the
// scheduler's statistics), with the thread's name.
struct TThreadTime {
  std::string Name;
  double Seconds = 0;
};
std::map<int, TThreadTime> ThreadTimes() {
  std::map<int, TThreadTime> times;
  DIR* dir = opendir("/proc/self/task");
  if (!dir) return times;
  while (const dirent* e = readdir(dir)) {
    const int tid = std::atoi(e->d_name);
    if (tid <= 0) continue;
    const std::string base = std::string("/proc/self/task/") + e->d_name;
    std::ifstream stat(base + "/schedstat"), comm(base + "/comm");
    double ns = 0;
    TThreadTime t;
    if (!(stat >> ns)) continue;
    std::getline(comm, t.Name);
    t.Seconds = ns / 1e9;
    times[tid] = t;
  }
  closedir(dir);
  return times;
}

// One read of the whole of load profile 1 (`expected` entries) through the
// window's profile view, the log window open beside it, as an operator does
// it: from "Read" until the table and the chart are shown.
void ProfileRead(benchmark::State& state, int expected) {
  EnsureApplication();
  TBenchSimulator sim(expected);
  TFormMain form;
  TFormSettings& s = *form.FormSettings;
  s.RBSelectTCPClick();
  s.EDITServerIP->setText(QStringLiteral("127.0.0.1:%1").arg(sim.Listener->Port()));
  s.CBReferencingModel->setCurrentIndex(0);
  s.CBAuthMechanism->setCurrentIndex(0);
  s.EDITClientAddress->setText(QStringLiteral("16"));
  s.EDITServerAddress->setText(QStringLiteral("1"));
  form.show();
  form.FormTraffic->show();
  std::unique_ptr<TProfileView> view(form.CreateProfileView({7, 1, "0100630100FF", "Load profile 1", 0}));
  view->show();
  view->ByEntries->setChecked(true);
  view->FirstEntry->setValue(1);
  view->LastEntry->setValue(0);
  QApplication::processEvents();

  const int mainTid = static_cast<int>(syscall(SYS_gettid));
  double silentMs = 0, worstGapMs = 0, readSeconds = 0, showSeconds = 0, workerCpu = 0, windowCpu = 0, simCpu = 0;
  size_t entries = 0;
  uint64_t bytes = 0;
  for (auto _ : state) {
    form.FormTraffic->Clear();
    using Clock = std::chrono::steady_clock;
    // The loop turns: a 10 ms timer notes how long it waited between turns;
    // the same turns sample the threads' CPU times (the worker's thread is
    // gone when Read returns).
    std::map<int, TThreadTime> seen = ThreadTimes(), before = seen;
    Clock::time_point start = Clock::now(), last = start;
    double gap = 0;
    QTimer tick;
    tick.setInterval(10);
    QObject::connect(&tick, &QTimer::timeout, [&] {
      const Clock::time_point now = Clock::now();
      gap = std::max(gap, std::chrono::duration<double, std::milli>(now - last).count());
      // BENCH_DEBUG=1: every turn that came late, with the window thread's
      // CPU time and its wait for a processor in that time (a loaded machine
      // delays the loop without the window doing anything).
      if (getenv("BENCH_DEBUG")) {
        static double cpu0 = 0, wait0 = 0;
        std::ifstream st("/proc/self/task/" + std::to_string(syscall(SYS_gettid)) + "/schedstat");
        double cpu = 0, wait = 0;
        st >> cpu >> wait;
        if (now - last > std::chrono::milliseconds(100))
          fprintf(stderr, "gap %.0f ms ending at %.3f s: window cpu %.0f ms, runqueue wait %.0f ms\n",
                  std::chrono::duration<double, std::milli>(now - last).count(),
                  std::chrono::duration<double>(now - start).count(), (cpu - cpu0) / 1e6, (wait - wait0) / 1e6);
        cpu0 = cpu;
        wait0 = wait;
      }
      last = now;
      for (const auto& [tid, t] : ThreadTimes()) seen[tid] = t;
    });
    // The table is shown in the same call as the read; the progress text
    // says when the read itself ended.
    // The longest time the view's progress said nothing new while reading.
    Clock::time_point readEnd, lastNews = Clock::now();
    const QMetaObject::Connection done = QObject::connect(view.get(), &TProfileView::Working, [&](const QString& t) {
      const Clock::time_point now = Clock::now();
      silentMs = std::max(silentMs, std::chrono::duration<double, std::milli>(now - lastNews).count());
      lastNews = now;
      if (getenv("BENCH_DEBUG"))
        fprintf(stderr, "%.3f s: %s\n", std::chrono::duration<double>(now - start).count(), qPrintable(t));
      if (t.isEmpty()) readEnd = now;
    });
    start = Clock::now();
    tick.start();
    view->Read();
    QApplication::processEvents();
    const Clock::time_point end = Clock::now();
    tick.stop();
    QObject::disconnect(done);
    const double lastGap = std::chrono::duration<double, std::milli>(end - last).count();
    worstGapMs = std::max({worstGapMs, gap, lastGap});
    readSeconds += std::chrono::duration<double>(readEnd - start).count();
    showSeconds += std::chrono::duration<double>(end - readEnd).count();
    for (const auto& [tid, t] : ThreadTimes()) seen[tid] = t;
    for (const auto& [tid, t] : seen) {
      const double used = t.Seconds - (before.count(tid) ? before[tid].Seconds : 0);
      if (tid == mainTid) windowCpu += used;
      else if (tid == sim.Tid) simCpu += used;
      else if (t.Name.find("TExcha") != std::string::npos) workerCpu += used;
    }
    entries = view->Table().Rows.size();
    bytes = static_cast<uint64_t>(form.FormTraffic->TrafficStats().Received);
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["entries"] = static_cast<double>(entries);
  state.counters["received_bytes"] = static_cast<double>(bytes);
  state.counters["read_s"] = readSeconds / n;
  state.counters["show_s"] = showSeconds / n;
  state.counters["worker_cpu_s"] = workerCpu / n;
  state.counters["window_cpu_s"] = windowCpu / n;
  state.counters["sim_cpu_s"] = simCpu / n;
  state.counters["longest_loop_gap_ms"] = worstGapMs;
  state.counters["longest_silent_progress_ms"] = silentMs;
  if (entries != static_cast<size_t>(expected)) state.SkipWithError("entries missing");
}
void ProfileRead1MB(benchmark::State& state) { ProfileRead(state, 28000); }
BENCHMARK(ProfileRead1MB)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
// 86 000 entries (about 3.3 MB): the decoding after the last block is long
// enough to be seen.
void ProfileRead3MB(benchmark::State& state) { ProfileRead(state, 86000); }
BENCHMARK(ProfileRead3MB)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

#endif

}  // namespace
