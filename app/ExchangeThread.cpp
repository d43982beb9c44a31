#include "app/ExchangeThread.h"

#include <QApplication>
#include <QEventLoop>

#include "xmlpdu/infra/Errors.h"

namespace quillon {

void TExchangeThread::run() {
  ExceptionMessage.clear();
  Failed = false;
  try {
    if (AssyncProc) AssyncProc();
  } catch (const std::exception& e) {
    Failed = true;
    ExceptionMessage = QString::fromUtf8(e.what());
  } catch (...) {
    Failed = true;
  }
  if (!Failed) return;
  // A failure with no text must still reach the operator as a failure.
  if (ExceptionMessage.isEmpty()) ExceptionMessage = QStringLiteral("Operation failed");
  try {
    if (ExceptionProc) ExceptionProc();
  } catch (const std::exception& e) {
    // The first failure is what the operator needs; the closing one is added.
    ExceptionMessage += QStringLiteral("\n") + QString::fromUtf8(e.what());
  } catch (...) {
  }
}

void RunOnExchangeThread(const TAssyncProc& operation, const TAssyncProc& onFailure) {
  TExchangeThread thread;
  thread.AssyncProc = operation;
  thread.ExceptionProc = onFailure;
  QApplication::setOverrideCursor(Qt::BusyCursor);
  QEventLoop loop;
  // Queued to this thread's loop, so a worker that ends before exec() starts
  // still ends the loop.
  QObject::connect(&thread, &QThread::finished, &loop, &QEventLoop::quit, Qt::QueuedConnection);
  thread.start();
  loop.exec();
  thread.wait();
  QApplication::restoreOverrideCursor();
  if (thread.Failed) RaiseGeneral(thread.ExceptionMessage.toStdString());
}

}  // namespace quillon
