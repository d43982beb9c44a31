// Every readable attribute of every object in the association's object
// list, read one by one: the walk behind `quillon-cli dump` and the batch
// dump job, which differ only in what they keep of it.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "client/Session.h"

namespace quillon::client {

struct TDumpOptions {
  // 2 leaves out the logical name, which the reference already shows.
  int FirstAttribute = 1;
  // false leaves out profile generics: their buffers are for profile reads.
  bool Profiles = true;
};

// One attribute as the meter gave it, or its refusal.
struct TDumpedAttribute {
  int Attribute = 0;
  std::optional<TReading> Reading;
  std::string Error;  // set when there is no reading
};

// Called after each object's attributes were read; `index` counts from 1
// up to `count`, the objects the walk visits.
using TDumpObjectFunc = std::function<void(const TObjectListEntry& object,
                                           const std::vector<TDumpedAttribute>& attributes, size_t index,
                                           size_t count)>;

// Reads the object list, then every attribute the meter lists as readable
// (every attribute of an object without access rights; attribute 1 of a
// class the catalogue does not know). A refused attribute is reported and
// the walk goes on; a cancel ends it with the error.
void DumpReadable(TSession& session, const TCall& call, const TDumpOptions& options, const TDumpObjectFunc& onObject);

}  // namespace quillon::client
