// The catalogue of COSEM interface classes: for every known class version its
// name, how many attributes and methods it has, which attributes are static and
// what the attributes are called. The object list of an association only
// carries class identifiers and versions; this is what turns them into
// attribute names the operator can pick from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <string>
#include <vector>

namespace quillon {

// Bit n set means attribute n. Attribute numbers start at 1, so bit 0 stays clear.
using TAttributeSet = std::uint32_t;

// The set of the listed attribute numbers (each 1..31).
constexpr TAttributeSet AttributeSet(std::initializer_list<int> attributes) {
  TAttributeSet set = 0;
  for (int a : attributes) set |= TAttributeSet{1} << a;
  return set;
}

// The set of attributes first..last (each 1..31, first <= last).
constexpr TAttributeSet AttributeRange(int first, int last) {
  TAttributeSet set = 0;
  for (int a = first; a <= last; ++a) set |= TAttributeSet{1} << a;
  return set;
}

// One registered class version.
class TCOSEMClassInfo {
public:
  TCOSEMClassInfo(std::int32_t classId, std::int32_t version, std::string description,
                  std::int32_t attributesQty, std::int32_t methodsQty,
                  TAttributeSet staticAttributes, std::vector<std::string> attributeNames)
      : ClassId(classId),
        Version(version),
        Description(std::move(description)),
        AttributesQty(attributesQty),
        MethodsQty(methodsQty),
        StaticAttributes(staticAttributes),
        AttributeNames(std::move(attributeNames)) {}

  bool IsStatic(int attributeId) const {
    return attributeId > 0 && attributeId < 32 && (StaticAttributes >> attributeId) & 1u;
  }

  std::int32_t ClassId;
  std::int32_t Version;
  std::string Description;
  std::int32_t AttributesQty;
  std::int32_t MethodsQty;
  TAttributeSet StaticAttributes;
  // Entry 0 names attribute 1; the position plus 1 is the attribute identifier.
  std::vector<std::string> AttributeNames;
};

// The registered class versions in registration order. Entries never move once
// added, so the pointers Search hands out stay valid as long as the list lives.
class TCOSEMClassesInfo {
public:
  static constexpr std::int32_t MaxAttributes = 26;

  TCOSEMClassesInfo() = default;
  TCOSEMClassesInfo(const TCOSEMClassesInfo&) = delete;
  TCOSEMClassesInfo& operator=(const TCOSEMClassesInfo&) = delete;

  // Appends one class version. Refuses (EAssertionFailed) an attribute count
  // outside 0..MaxAttributes ("AttributeQty = %d, Max = %d" above it), a negative
  // method count, a name list whose length differs from the attribute count, and
  // static bits outside attributes 1..count: the menu built from an entry
  // derives attribute identifiers from name positions, so they must agree.
  const TCOSEMClassInfo& Add(std::int32_t classId, std::int32_t version, std::string description,
                             std::int32_t attributesQty, std::int32_t methodsQty,
                             TAttributeSet staticAttributes,
                             std::vector<std::string> attributeNames);

  // The first registered entry with this class identifier and, when version is
  // 0 or more, this version; a negative version matches any. nullptr when none.
  const TCOSEMClassInfo* Search(std::int32_t classId, std::int32_t version) const;

  std::size_t Count() const { return FItems.size(); }
  const TCOSEMClassInfo& operator[](std::size_t index) const { return FItems.at(index); }
  auto begin() const { return FItems.cbegin(); }
  auto end() const { return FItems.cend(); }

private:
  std::deque<TCOSEMClassInfo> FItems;
};

// Adds every class version the system knows to `classes`, in ascending order of
// class identifier and, within a class, of version.
void RegisterCOSEMClasses(TCOSEMClassesInfo& classes);

// The process-wide catalogue, filled by RegisterCOSEMClasses when the program
// starts and kept until it ends.
const TCOSEMClassesInfo& COSEMClassesInfo();

}  // namespace quillon
