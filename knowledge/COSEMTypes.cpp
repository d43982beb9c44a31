#include "knowledge/COSEMTypes.h"

namespace quillon {

namespace {

struct TTypedMember {
  std::int32_t ClassId, Member;
  const char* Type;
};

// Attributes by class: the clock's, a register's scaler and unit, a
// profile's period, sort method and size, the disconnector's state and
// mode, the security setup's policy, an association's secret.
constexpr TTypedMember kAttributes[] = {
    {3, 3, "Structure"},           {4, 3, "Structure"},          {4, 5, "OctetString"},
    {5, 4, "Structure"},           {5, 8, "DoubleLongUnsigned"},      {5, 9, "LongUnsigned"},
    {7, 4, "DoubleLongUnsigned"},  {7, 5, "Enum"},               {7, 7, "DoubleLongUnsigned"},
    {7, 8, "DoubleLongUnsigned"},  {8, 2, "OctetString"},        {8, 3, "Long"},
    {8, 4, "Unsigned"},            {8, 5, "OctetString"},        {8, 6, "OctetString"},
    {8, 7, "Integer"},             {8, 8, "Boolean"},            {8, 9, "Enum"},
    {15, 7, "OctetString"},        {64, 2, "Enum"},              {70, 2, "Boolean"},
    {70, 3, "Enum"},               {70, 4, "Enum"},
};

// Method parameters: the many "data ::= integer (0)" of resets, captures
// and switches, the clock's shifts, HLS replies and secrets.
constexpr TTypedMember kMethods[] = {
    {3, 1, "Integer"},  {4, 1, "Integer"},  {5, 1, "Integer"},  {5, 2, "Integer"},  {7, 1, "Integer"},
    {7, 2, "Integer"},  {8, 1, "Integer"},  {8, 2, "Integer"},  {8, 3, "Integer"},  {8, 4, "Integer"},
    {8, 6, "Long"},     {15, 1, "OctetString"}, {15, 2, "OctetString"}, {64, 1, "Enum"}, {70, 1, "Integer"},
    {70, 2, "Integer"},
};

template <size_t N>
std::string Lookup(const TTypedMember (&table)[N], std::int32_t classId, std::int32_t member) {
  for (const TTypedMember& t : table)
    if (t.ClassId == classId && t.Member == member) return t.Type;
  return std::string();
}

}  // namespace

std::string COSEMAttributeType(std::int32_t classId, std::int32_t attributeId) {
  return Lookup(kAttributes, classId, attributeId);
}

std::string COSEMMethodParameterType(std::int32_t classId, std::int32_t methodId) {
  return Lookup(kMethods, classId, methodId);
}

}  // namespace quillon
