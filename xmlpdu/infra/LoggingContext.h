// The logging object handed to every engine component and protection layer.
// The engine creates and binds it; the protection layers only log through it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace quillon {

class TCOSEMPduBase;

class TLoggingContext {
public:
  using TLogStringProc = std::function<void(const std::string& s)>;
  using TLogStringListProc = std::function<void(const std::vector<std::string>& lines)>;
  using TLogProtocolItemProc =
      std::function<void(const TCOSEMPduBase& protocolItem, const std::string& title, int32_t indent)>;

  void LogString(const std::string& s) const {
    if (FLogStringProc) FLogStringProc(s);
  }
  // Writing a protocol item out as XML lines is most of the cost of logging
  // it, so it is left undone while nobody receives the lines.
  void LogProtocolItem(const TCOSEMPduBase& protocolItem, const std::string& title, int32_t indent) const {
    if (LogsProtocolItems()) FLogProtocolItemProc(protocolItem, title, indent);
  }
  // Whether a protocol item given to LogProtocolItem would be written out.
  bool LogsProtocolItems() const { return FLogProtocolItemProc && IsActive(); }
  bool IsActive() const { return !FIsActive || FIsActive(); }

  // Tells whether the lines reach anyone; unset means they always may.
  std::function<bool()> FIsActive;

  TLogStringProc FLogStringProc;
  TLogStringListProc FLogStringListProc;
  TLogProtocolItemProc FLogProtocolItemProc;
};

}  // namespace quillon
