// Where the layers' traffic lines of every session in the process go: the
// desktop's log window, say. The sink gets each line with its prefix
// columns (layer name, time in session, delta) on the thread its Deliver
// runs the handler on.
#pragma once

#include <functional>
#include <string>

namespace quillon::client {

class TTrafficLines {
public:
  virtual ~TTrafficLines() = default;
  // Runs `handler` where the lines are shown and returns once it has run.
  virtual void Deliver(const std::function<void()>& handler) = 0;
  virtual void Received(const std::string& bytes, bool binary, const std::string& prefix) = 0;
  virtual void Sent(const std::string& bytes, bool binary, const std::string& prefix) = 0;
  virtual void Info(const std::string& text, const std::string& prefix) = 0;
};

// Installs the sink (null: the lines are dropped). The caller keeps it
// alive until another one (or null) is installed.
void SetTrafficLines(TTrafficLines* lines);
// A line of the caller's own among the traffic lines, without prefix columns.
void TrafficNote(const std::string& text);

}  // namespace quillon::client
