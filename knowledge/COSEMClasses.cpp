#include "knowledge/COSEMClasses.h"

#include "xmlpdu/infra/Errors.h"
#include "xmlpdu/infra/Misc.h"

namespace quillon {

const TCOSEMClassInfo& TCOSEMClassesInfo::Add(std::int32_t classId, std::int32_t version,
                                              std::string description,
                                              std::int32_t attributesQty,
                                              std::int32_t methodsQty,
                                              TAttributeSet staticAttributes,
                                              std::vector<std::string> attributeNames) {
  if (attributesQty > MaxAttributes)
    throw EAssertionFailed(Format("AttributeQty = %d, Max = %d", attributesQty, MaxAttributes));
  if (attributesQty < 0)
    throw EAssertionFailed(Format("AttributeQty = %d, Min = 0", attributesQty));
  if (methodsQty < 0) throw EAssertionFailed(Format("MethodsQty = %d, Min = 0", methodsQty));
  if (attributeNames.size() != static_cast<std::size_t>(attributesQty))
    throw EAssertionFailed(Format("AttributeNames = %zu, AttributeQty = %d",
                                  attributeNames.size(), attributesQty));
  // attributesQty is at most 26 here, so the range never reaches bit 31.
  if ((staticAttributes & ~AttributeRange(1, attributesQty)) != 0)
    throw EAssertionFailed(Format("StaticAttributes = %s, AttributeQty = %d",
                                  TMisc::IntToHex(staticAttributes, 8).c_str(), attributesQty));
  return FItems.emplace_back(classId, version, std::move(description), attributesQty, methodsQty,
                             staticAttributes, std::move(attributeNames));
}

const TCOSEMClassInfo* TCOSEMClassesInfo::Search(std::int32_t classId,
                                                 std::int32_t version) const {
  for (const TCOSEMClassInfo& info : FItems)
    if (info.ClassId == classId && (version < 0 || info.Version == version)) return &info;
  return nullptr;
}

const TCOSEMClassesInfo& COSEMClassesInfo() {
  // Built on first use, which the definition below makes happen while the
  // program starts; the local static also keeps callers in other translation
  // units safe from initialisation order, and it is freed with every entry at exit.
  struct TRegistered : TCOSEMClassesInfo {
    TRegistered() { RegisterCOSEMClasses(*this); }
  };
  static const TRegistered classes;
  return classes;
}

namespace {
[[maybe_unused]] const TCOSEMClassesInfo& gRegisteredAtStartUp = COSEMClassesInfo();
}

}  // namespace quillon
