// Output of quillon-cli: aligned text tables, CSV rows, and the traffic log
// file.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "client/Value.h"

namespace quillon::cli {

// Columns padded to their widest cell (counted in characters, not bytes);
// the last column is not padded. `rightAligned[i]` aligns column i right.
std::string TextTable(const std::vector<std::vector<std::string>>& rows, const std::vector<bool>& rightAligned = {});
// One RFC 4180 line (CRLF ended), cells safe from spreadsheet formulas.
using client::CsvLine;

// Progress on standard error, only when it is a terminal: "\r<text>", and
// a clearing of the line at the end.
class TProgressLine {
public:
  TProgressLine();
  ~TProgressLine();
  void Show(const std::string& text);

private:
  bool FTerminal;
  size_t FShown = 0;
};

// The traffic log of the layers and the engine's log lines into one file
// (created 0600), one line per log line, as the log window shows them,
// each line through `mask` when one is given.
void OpenTrafficLog(const std::string& path, std::function<std::string(const std::string&)> mask = {});
void TrafficLogLine(const std::string& line);
void CloseTrafficLog();

}  // namespace quillon::cli
