// Error classes shared by every module. Each carries its exact message text;
// callers and tests compare what().
#pragma once

#include <cstdarg>
#include <stdexcept>
#include <string>

namespace quillon {

// The system's general error: the root of every error the system raises.
class EGeneralError : public std::runtime_error {
public:
  explicit EGeneralError(const std::string& msg) : std::runtime_error(msg) {}
};

// A broken internal expectation. Never aborts; the text names the failed check.
class EAssertionFailed : public EGeneralError {
public:
  explicit EAssertionFailed(const std::string& check)
      : EGeneralError("Assertion failed: " + check) {}
};

// Reading the XML representation failed. PosY is the line (from 1), PosX the
// position of the offending tag within that line. The message is the bare text.
class EXMLError : public EGeneralError {
public:
  EXMLError(const std::string& msg, int posX, int posY)
      : EGeneralError(msg), PosX(posX), PosY(posY) {}
  int PosX;
  int PosY;
};

// Tokenizer error; the message already carries "(column:line) ".
class ELexError : public EGeneralError {
public:
  ELexError(const std::string& msg, int posX, int posY)
      : EGeneralError(msg), PosX(posX), PosY(posY) {}
  int PosX;
  int PosY;
};

// printf-style formatting into a std::string.
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string VFormat(const char* fmt, va_list ap);

[[noreturn]] void RaiseGeneral(const std::string& msg);

// Fails with EAssertionFailed naming the check when cond is false.
inline void CheckAssertion(bool cond, const char* check) {
  if (!cond) throw EAssertionFailed(check);
}

}  // namespace quillon
