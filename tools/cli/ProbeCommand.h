// quillon-cli probe and explain: finding a meter, and the table of failures
// with their explanations.
#pragma once

#include <functional>
#include <string>

#include "client/Probe.h"

namespace quillon::cli {

struct TProbeCommand {
  client::TProbeOptions Options;
  bool Json = false;
  bool Quiet = false;
  std::string SaveAs;  // a meter name, or empty
  std::function<void(const std::string& name, const client::TMeterProfile& p)> Save;
};

// Prints the attempts and the recommendation; 0 when a meter associated,
// 1 when none did.
int RunProbe(const TProbeCommand& c, client::TCancelToken* cancel);

// The diagnosis table: as aligned text, or as the Markdown of the README.
void PrintExplanations(bool markdown);

// A failure the diagnosis explains: the three lines after the error line.
std::string DiagnosisLines(const client::TDiagnosis& d);

}  // namespace quillon::cli
