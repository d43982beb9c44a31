#include "client/Dump.h"

#include <algorithm>

namespace quillon::client {

void DumpReadable(TSession& session, const TCall& call, const TDumpOptions& options, const TDumpObjectFunc& onObject) {
  const std::vector<TObjectListEntry>& list = session.ObjectList(call);
  std::vector<const TObjectListEntry*> objects;
  for (const TObjectListEntry& e : list)
    if (options.Profiles || e.ClassId != 7) objects.push_back(&e);
  size_t index = 0;
  for (const TObjectListEntry* e : objects) {
    std::vector<TDumpedAttribute> attributes;
    const int count = static_cast<int>(e->AttributeNames.size());
    for (int a = options.FirstAttribute; a <= std::max(count, 1); ++a) {
      if (!e->MayRead(a)) continue;
      TDumpedAttribute d;
      d.Attribute = a;
      try {
        d.Reading = session.Get(TObjectRef{e->ClassId, e->Name, a}, call);
      } catch (const EMeterError& err) {
        if (call.Cancel && call.Cancel->Cancelled()) throw;
        d.Error = err.what();
      }
      attributes.push_back(std::move(d));
    }
    onObject(*e, attributes, ++index, objects.size());
  }
}

}  // namespace quillon::client
