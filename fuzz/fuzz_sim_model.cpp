// The meter simulator's model text (objects, attribute values, clients and
// security), as an operator hands it over with --model: bad text fails with
// the system's own error naming the line, and a model that loads can be read.
#include "FuzzSupport.h"
#include "tools/meter-sim/SimAssociation.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quillon;
  fuzz::TAllocationBudget budget(size);
  const std::string text(reinterpret_cast<const char*>(data), size);
  sim::TSimModel model;
  if (!fuzz::Expecting([&] { model.Load(text); })) return 0;
  sim::TSimAssociation assoc(model, sim::TSimSecurity{});
  if (!fuzz::Expecting([&] { assoc.Configure(text); })) return 0;
  // Every stored attribute of every object reads back. (Computed ones are
  // left out: a profile of a million entries, which the text may ask for,
  // is a big answer by the operator's wish, not a fault.)
  for (const auto& obj : model.Objects())
    for (const auto& a : obj->Attributes) {
      if (!a.Value) continue;
      std::unique_ptr<T_Data> value;
      fuzz::Expecting([&] { model.Read(*obj, a.Id, nullptr, 0, value); });
    }
  return 0;
}
