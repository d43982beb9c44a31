#include "tools/cli/Output.h"

#include <unistd.h>

#include <algorithm>
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

std::string CsvLine(const std::vector<std::string>& cells) {
  std::string line;
  for (size_t i = 0; i < cells.size(); ++i) line += (i ? "," : "") + client::CsvQuote(cells[i]);
  return line + "\r\n";
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
std::unique_ptr<std::ofstream> gLog;

void WriteLine(const std::string& line) {
  std::lock_guard<std::mutex> lock(gLogLock);
  if (gLog) *gLog << line << '\n' << std::flush;
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

void OpenTrafficLog(const std::string& path) {
  auto f = std::make_unique<std::ofstream>(path, std::ios::out | std::ios::trunc);
  if (!*f) throw EGeneralError(Format("--log \"%s\": expected a file that can be written", path.c_str()));
  {
    std::lock_guard<std::mutex> lock(gLogLock);
    gLog = std::move(f);
  }
  TrafficWindowManager().SetSink(&gSink);
}

void TrafficLogLine(const std::string& line) { WriteLine(line); }

void CloseTrafficLog() {
  TrafficWindowManager().SetSink(nullptr);
  std::lock_guard<std::mutex> lock(gLogLock);
  gLog.reset();
}

}  // namespace quillon::cli
