// The Data type of the attributes and method parameters whose type the class
// definitions fix, so that a value typed in a program (an integer, a
// boolean) can be written without naming its DLMS type. Attributes whose
// type is the object's own choice (a data object's value, a register's
// value) are not listed.
#pragma once

#include <cstdint>
#include <string>

namespace quillon {

// The Data element name ("Long", "Enum", "OctetString", ...) of attribute
// `attributeId` of class `classId`; empty when the class leaves it open or
// the catalogue does not know it.
std::string COSEMAttributeType(std::int32_t classId, std::int32_t attributeId);
// The same for the parameter of method `methodId`.
std::string COSEMMethodParameterType(std::int32_t classId, std::int32_t methodId);

}  // namespace quillon
