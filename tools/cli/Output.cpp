#include "tools/cli/Output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>

#include "client/Value.h"
#include "comm/ProtocolLayer.h"

namespace quillon::cli {

namespace {

size_t Characters(const std::string& s) {
  // UTF-8: every byte that does not continue a character starts one.
  return static_cast<size_t>(std::count_if(s.begin(), s.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

}  // namespace

std::string TextTable(const std::vector<std::vector<std::string>>& rows, const std::vector<bool>& rightAligned) {
  std::vector<size_t> widths;
  for (const auto& row : rows)
    for (size_t i = 0; i < row.size(); ++i) {
      if (widths.size() <= i) widths.resize(i + 1, 0);
      widths[i] = std::max(widths[i], Characters(row[i]));
    }
  std::string out;
  for (const auto& row : rows) {
    std::string line;
    for (size_t i = 0; i < row.size(); ++i) {
      const size_t pad = widths[i] - Characters(row[i]);
      const bool right = i < rightAligned.size() && rightAligned[i];
      if (i) line += "  ";
      if (right) line += std::string(pad, ' ') + row[i];
      else line += row[i] + (i + 1 < row.size() ? std::string(pad, ' ') : std::string());
    }
    line.erase(line.find_last_not_of(' ') + 1);
    out += line + "\n";
  }
  return out;
}

TProgressLine::TProgressLine() : FTerminal(::isatty(2) == 1) {}

TProgressLine::~TProgressLine() {
  if (FTerminal && FShown) std::fprintf(stderr, "\r%s\r", std::string(FShown, ' ').c_str());
}

void TProgressLine::Show(const std::string& text) {
  if (!FTerminal) return;
  std::string padded = text;
  if (padded.size() < FShown) padded += std::string(FShown - padded.size(), ' ');
  std::fprintf(stderr, "\r%s", padded.c_str());
  std::fflush(stderr);
  FShown = text.size();
}

namespace {

std::mutex gLogLock;
int gLogFd = -1;
std::function<std::string(const std::string&)> gMask;

void WriteLine(const std::string& line) {
  std::lock_guard<std::mutex> lock(gLogLock);
  if (gLogFd < 0) return;
  const std::string text = (gMask ? gMask(line) : line) + "\n";
  for (size_t done = 0; done < text.size();) {
    const ssize_t n = ::write(gLogFd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // a full disk costs the log, not the reading
    done += static_cast<size_t>(n);
  }
}

// Bytes as the log window shows them: binary blocks in hex, text as it is.
class TFileSink : public TTrafficSink {
public:
  void Deliver(const std::function<void()>& handler) override { handler(); }
  void DataReceived(const PduStr& s, bool binary, const std::string& prefix) override { Line(s, binary, prefix); }
  void DataSent(const PduStr& s, bool binary, const std::string& prefix) override { Line(s, binary, prefix); }
  void Info(const std::string& s, const std::string& prefix) override { Line(s, false, prefix); }

private:
  static void Line(const std::string& s, bool binary, const std::string& prefix) {
    WriteLine(prefix + (binary ? TMisc::ByteStrToHexStr(s) : s));
  }
};

TFileSink gSink;

}  // namespace

void OpenTrafficLog(const std::string& path, std::function<std::string(const std::string&)> mask) {
  // The log may show what a meter sent and what the engine computed with:
  // for the owner's eyes only, also when the file was there before.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0 || ::fchmod(fd, 0600) != 0) {
    const std::string reason = std::strerror(errno);
    if (fd >= 0) ::close(fd);
    throw EGeneralError(Format("--log \"%s\": expected a file that can be written (%s)", path.c_str(), reason.c_str()));
  }
  {
    std::lock_guard<std::mutex> lock(gLogLock);
    if (gLogFd >= 0) ::close(gLogFd);
    gLogFd = fd;
    gMask = std::move(mask);
  }
  TrafficWindowManager().SetSink(&gSink);
}

void TrafficLogLine(const std::string& line) { WriteLine(line); }

void CloseTrafficLog() {
  TrafficWindowManager().SetSink(nullptr);
  std::lock_guard<std::mutex> lock(gLogLock);
  if (gLogFd >= 0) ::close(gLogFd);
  gLogFd = -1;
  gMask = nullptr;
}

}  // namespace quillon::cli
