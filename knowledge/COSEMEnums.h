// Names of the enumerated values of class attributes: what "2" means in a
// clock's clock_base or "30" in a register's unit. The object list carries
// numbers only; this turns the ones the catalogue knows into words.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace quillon {

// A position inside an attribute's value: the element index in each
// structure from the top down. Inside an array every element sits at
// kAnyElement, since all elements of an array have one meaning.
inline constexpr int kAnyElement = -1;

// The name of `value` for the enum at `path` in attribute `attributeId` of
// class `classId`, version `version` (negative: any version). Empty when the
// catalogue has no name for it (an unknown place or an unlisted value).
std::string COSEMEnumName(std::int32_t classId, std::int32_t version, std::int32_t attributeId,
                          std::span<const int> path, std::int64_t value);

// The access modes of an association's object list: attributes 0 "no
// access" to 6 "authenticated read and write", methods 0 "no access" to 2
// "authenticated access"; empty for other values.
std::string COSEMAttributeAccessName(std::int64_t mode);
std::string COSEMMethodAccessName(std::int64_t mode);

}  // namespace quillon
