// The authored form of the OBIS description database (data/obis/*.obis) and
// its compiler into a database.
//
// Source format (one statement per line; a line whose first non-blank
// character is '#' is a comment):
//
//   medium 1                 what follows belongs to value group A = 1;
//                            "medium 8 9" gives the same content to both
//                            (value group A of its patterns is then "*")
//   let ENERGY = 1-10,15-20  a named value set, usable as @ENERGY in patterns
//   table 1 C                lookup table 1, selected by value group C,
//     1: Active power ...      one entry per value set, up to "end"
//     21-40: ...
//   end
//   obis 1.*.@ENERGY.8.0-63.* [ic 3,4] [alt 7] [types 6]
//     Active energy $1        the description, one clause per indented line;
//     [E 1-63] tariff $E      a clause present only where E is in the set;
//     + (channel $B)          a clause joined without a comma.
//
// Clauses are joined by ", ". Each distinct condition splits the pattern into
// the part inside and the part outside its set, so a pattern with conditions
// becomes several disjoint database items, each with plain text lines.
// Value sets: n, n-m, * (0-255) and @NAME, separated by commas. An item is
// marked IsAmpersAndExpansion when it comes from a pattern with conditions,
// and IsTableExpansion when its text refers to a table.
//
// Every item is checked by composing its description for every value of each
// value group it allows; a failing reference stops the build with the source
// line, so the shipped database cannot hold a description that fails.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "knowledge/OBISData.h"

namespace quillon {

// A mistake in the authored source; the text starts with "name:line: ".
class EOBISSourceError : public EGeneralError {
public:
  explicit EOBISSourceError(const std::string& msg) : EGeneralError(msg) {}
};

class TOBISSourceCompiler {
public:
  TOBISSourceCompiler();
  ~TOBISSourceCompiler();
  // Reads one source text; name is quoted in errors. Sources are read in
  // order and each starts without a medium.
  void AddSource(const std::string& name, std::string_view text);
  // Builds and checks the database of everything read.
  std::unique_ptr<TOBISData> Build();

private:
  class TImpl;
  std::unique_ptr<TImpl> FImpl;
};

}  // namespace quillon
