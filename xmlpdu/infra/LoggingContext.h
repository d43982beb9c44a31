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
  void LogProtocolItem(const TCOSEMPduBase& protocolItem, const std::string& title, int32_t indent) const {
    if (FLogProtocolItemProc) FLogProtocolItemProc(protocolItem, title, indent);
  }

  TLogStringProc FLogStringProc;
  TLogStringListProc FLogStringListProc;
  TLogProtocolItemProc FLogProtocolItemProc;
};

}  // namespace quillon
