// Every meter operation runs on a worker thread while the window thread
// keeps handling its messages (traffic lines among them).
#pragma once

#include <QString>
#include <QThread>
#include <functional>

namespace quillon {

using TAssyncProc = std::function<void()>;

class TExchangeThread : public QThread {
  Q_OBJECT
public:
  QString ExceptionMessage;
  // True when AssyncProc failed, even with an empty message.
  bool Failed = false;
  TAssyncProc AssyncProc;
  TAssyncProc ExceptionProc;

protected:
  void run() override;
};

// Runs `operation` on a fresh TExchangeThread with the busy cursor, pumping
// the window thread's events until it ends. When the operation fails,
// `onFailure` runs on the worker (it closes the link), and the message is
// raised here, in the window thread, as EGeneralError.
void RunOnExchangeThread(const TAssyncProc& operation, const TAssyncProc& onFailure);

}  // namespace quillon
