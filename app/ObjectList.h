// Object-list files: the association's object list as one Data element
// (an array of structures), in the logical-name or the short-name layout.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quillon {

struct TObjectListEntry {
  int32_t ClassId = 0;
  int32_t Version = 0;
  std::string LogicalName;  // six bytes
  uint16_t BaseName = 0;    // 0 in a logical-name list
};

// Reads the text as a Data element. An LN list has a long-unsigned class id
// first; an SN list a long base name, then class id, version and logical
// name. Fails with a general error telling what is wrong where.
std::vector<TObjectListEntry> ParseObjectList(std::string_view xml);

}  // namespace quillon
