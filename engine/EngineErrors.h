// Errors the engine raises for its own reasons: a server that breaks the
// protocol, and a request that failed while it was being built or sent.
#pragma once

#include "xmlpdu/infra/Errors.h"

namespace quillon {

// A response that breaks the DLMS protocol.
class EProtocol : public EGeneralError {
public:
  using EGeneralError::EGeneralError;
};

// The server answered with an exception-response APDU.
class EExceptionResponse : public EProtocol {
public:
  using EProtocol::EProtocol;
};

// A request failed while it was being built or sent; carries the message of
// the failure it replaces.
class EFatalFailure : public EGeneralError {
public:
  using EGeneralError::EGeneralError;
  bool Handled = false;
  bool Continue = false;
};

}  // namespace quillon
