#include "app/ObjectList.h"

#include "xmlpdu/infra/Errors.h"

#if defined(QUILLON_HAVE_XMLPDU)
#include "xmlpdu/Data.h"
#endif

namespace quillon {

#if defined(QUILLON_HAVE_XMLPDU)

namespace {

// Data tags of the members the two layouts use.
constexpr int kTagArray = 1, kTagStructure = 2, kTagOctetString = 9, kTagLong = 16, kTagUnsigned = 17,
              kTagLongUnsigned = 18;

const TCOSEMPduBase& Member(const TSequenceOf& s, int index, int tag, int row) {
  const auto* d = index < s.ElementCount() ? dynamic_cast<const T_Data*>(s.GetElements(index)) : nullptr;
  if (!d || d->Tag != tag || !d->Value)
    RaiseGeneral(Format("Object list, entry %d: element %d is not of the expected type", row + 1, index));
  return *d->Value;
}

int64_t Number(const TCOSEMPduBase& v) {
  const auto& n = dynamic_cast<const TNumericBase&>(v);
  return static_cast<int64_t>(n.Bits());
}

}  // namespace

std::vector<TObjectListEntry> ParseObjectList(std::string_view xml) {
  const auto data = MakeFromXml<T_Data>(xmlData, xml);
  const auto* array = data->Tag == kTagArray ? dynamic_cast<const TSequenceOf*>(data->Value.get()) : nullptr;
  if (!array) RaiseGeneral("Object list: an array of structures is expected");
  std::vector<TObjectListEntry> result;
  result.reserve(static_cast<size_t>(array->ElementCount()));
  for (int row = 0; row < array->ElementCount(); ++row) {
    const auto* item = dynamic_cast<const T_Data*>(array->GetElements(row));
    const auto* s = item && item->Tag == kTagStructure ? dynamic_cast<const TSequenceOf*>(item->Value.get()) : nullptr;
    if (!s) RaiseGeneral(Format("Object list, entry %d: a structure is expected", row + 1));
    const auto* first = s->ElementCount() > 0 ? dynamic_cast<const T_Data*>(s->GetElements(0)) : nullptr;
    TObjectListEntry e;
    int next = 0;
    if (first && first->Tag == kTagLongUnsigned) {
      e.ClassId = static_cast<int32_t>(Number(Member(*s, 0, kTagLongUnsigned, row)));
      next = 1;
    } else {
      e.BaseName = static_cast<uint16_t>(Number(Member(*s, 0, kTagLong, row)));
      e.ClassId = static_cast<int32_t>(Number(Member(*s, 1, kTagLongUnsigned, row)));
      next = 2;
    }
    e.Version = static_cast<int32_t>(Number(Member(*s, next, kTagUnsigned, row)));
    e.LogicalName = static_cast<const TOctetString&>(Member(*s, next + 1, kTagOctetString, row)).Value;
    if (e.LogicalName.size() != 6)
      RaiseGeneral(Format("Object list, entry %d: the logical name must have 6 bytes", row + 1));
    result.push_back(std::move(e));
  }
  return result;
}

#else

std::vector<TObjectListEntry> ParseObjectList(std::string_view) {
  RaiseGeneral("Object lists cannot be read: the PDU model is not part of this build");
}

#endif

}  // namespace quillon
