#include "tools/cli/Signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "comm/PosixIO.h"

namespace quillon::cli {

namespace {

// The longest a command may take to wind down after the signal.
constexpr auto kGrace = std::chrono::milliseconds(900);

std::atomic<int> gSignal{0};
std::atomic<client::TCancelToken*> gToken{nullptr};
int gWake[2] = {-1, -1};

void OnStop(int sig) {
  int none = 0;
  gSignal.compare_exchange_strong(none, sig);
  if (client::TCancelToken* t = gToken.load()) t->Cancel();
  // Only async-signal-safe calls here: the watchdog does the rest.
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = ::write(gWake[1], &byte, 1);
}

// Waits for the first signal, gives the command its grace, then ends the
// process if it is still here: a meter, a lock or a database that does not
// let go must not keep the operator waiting.
void Watchdog() {
  char byte;
  while (::read(gWake[0], &byte, 1) < 0) {
  }
  std::this_thread::sleep_for(kGrace);
  ::_exit(128 + gSignal.load());
}

}  // namespace

void CatchStopSignals(client::TCancelToken& token) {
  gToken.store(&token);
  if (gWake[0] < 0) {
    if (::pipe2(gWake, O_CLOEXEC) != 0) gWake[0] = gWake[1] = -1;
    else std::thread(Watchdog).detach();
  }
  CatchTerminationSignals(OnStop);
}

int StatusAfterStop(int status) {
  const int sig = gSignal.load();
  return sig ? 128 + sig : status;
}

}  // namespace quillon::cli
