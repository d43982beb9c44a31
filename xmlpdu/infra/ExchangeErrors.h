// Errors shared by the engine and the transport layers, and the process-wide
// abort request. They live here because both the engine and the communication
// layers reach this library, while neither reaches the other: a missing answer
// raised by a transport layer must be the very class the engine recognises.
#pragma once

#include <atomic>
#include <string>

#include "xmlpdu/infra/Errors.h"

namespace quillon {

// The peer did not answer in time. One class for the whole system.
class ENoResponse : public EGeneralError {
public:
  ENoResponse() : EGeneralError("No response") {}
  explicit ENoResponse(const std::string& msg) : EGeneralError(msg) {}
};

// A response that breaks the DLMS protocol.
class EProtocol : public EGeneralError {
public:
  explicit EProtocol(const std::string& msg) : EGeneralError(msg) {}
};

// The server answered with an exception-response APDU.
class EExceptionResponse : public EProtocol {
public:
  explicit EExceptionResponse(const std::string& msg) : EProtocol(msg) {}
};

// A request failed while it was being built or sent; carries the message of
// the failure it replaces.
class EFatalFailure : public EGeneralError {
public:
  explicit EFatalFailure(const std::string& msg) : EGeneralError(msg) {}
  bool Handled = false;
  bool Continue = false;
};

// The abort check found an abort request.
class EUserAbort : public EGeneralError {
public:
  EUserAbort() : EGeneralError("USER ABORT") {}
};

// Set by whatever lets the operator cancel; read by the worker threads before
// every long wait and in every receive or retry loop.
inline std::atomic<bool> UserAbortRequested{false};

// The cancel flag of the session running on this thread, if any: sessions
// on different threads are cancelled one by one, while the process-wide
// request above still stops every one of them.
inline thread_local const std::atomic<bool>* ThreadAbortFlag = nullptr;

inline bool AbortRequested() {
  if (UserAbortRequested.load(std::memory_order_relaxed)) return true;
  const std::atomic<bool>* own = ThreadAbortFlag;
  return own != nullptr && own->load(std::memory_order_relaxed);
}

inline void CheckUserAbort() {
  if (AbortRequested()) throw EUserAbort();
}

}  // namespace quillon
