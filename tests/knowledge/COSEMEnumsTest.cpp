// Names of enumerated attribute values: the place (class, version,
// attribute, element path) decides; other places and unlisted values have none.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "knowledge/COSEMEnums.h"

using namespace quillon;

TEST(COSEMEnums, NamesByClassVersionAttributeAndPath) {
  constexpr int kAny = kAnyElement;
  struct {
    int ClassId, Version, Attribute;
    std::vector<int> Path;
    long Value;
    const char* Name;
  } cases[] = {
      {8, 0, 9, {}, 1, "internal crystal"},
      {8, 0, 9, {}, 5, "radio controlled"},
      {8, 0, 9, {}, 6, ""},    // past the list
      {8, 0, 9, {}, -1, ""},
      {8, 0, 9, {0}, 1, ""},   // not inside the attribute
      {8, 0, 2, {}, 1, ""},    // another attribute of the class
      {70, 0, 3, {}, 2, "ready for reconnection"},
      {3, 0, 3, {1}, 30, "Wh"},  // the unit of a scaler_unit
      {3, 0, 3, {0}, 30, ""},    // its scaler is no enum
      {5, 0, 4, {1}, 35, "V"},
      {4, 0, 3, {1}, 255, ""},   // a count has no unit
      {15, 1, 2, {kAny, 3, 0, kAny, 1}, 1, "read-only"},
      {15, 3, 2, {kAny, 3, 0, kAny, 1}, 6, "authenticated read and write"},
      {15, 1, 2, {kAny, 3, 1, kAny, 1}, 2, "authenticated access"},
      {15, 1, 2, {kAny, 3, 0, kAny, 0}, 1, ""},  // the attribute number
      {12, 4, 3, {kAny, 1, kAny, 1}, 2, "write-only"},
      {64, 0, 2, {}, 3, "all messages authenticated and encrypted"},
      {64, 1, 2, {}, 3, ""},   // a bit map from version 1 on
      {64, 1, 3, {}, 1, "ECDH-ECDSA-AES-GCM-128-SHA-256"},
      {23, 1, 2, {}, 5, "9600 baud"},
      {40, 0, 3, {2}, 1, "XML encoded xDLMS APDU"},
      {9999, 0, 2, {}, 0, ""},
  };
  for (const auto& c : cases)
    EXPECT_EQ(COSEMEnumName(c.ClassId, c.Version, c.Attribute, c.Path, c.Value), c.Name)
        << c.ClassId << "/" << c.Version << "/" << c.Attribute << " value " << c.Value;
  EXPECT_EQ(COSEMAttributeAccessName(0), "no access");
  EXPECT_EQ(COSEMAttributeAccessName(7), "");
  EXPECT_EQ(COSEMMethodAccessName(1), "access");
  EXPECT_EQ(COSEMMethodAccessName(3), "");
}
