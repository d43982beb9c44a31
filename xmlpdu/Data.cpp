#include "xmlpdu/Data.h"

namespace quillon {

QUILLON_DEFINE_CHOICE(T_Data)
QUILLON_DEFINE_CHOICE(T_TypeDescription)
QUILLON_DEFINE_SEQUENCE_OF(T_Array)
QUILLON_DEFINE_SEQUENCE_OF(T_Structure)
QUILLON_DEFINE_SEQUENCE_OF(T_StructureTypeDescription)
QUILLON_DEFINE_SEQUENCE(T_CompactArray)
QUILLON_DEFINE_SEQUENCE(T_ArrayTypeDescription)

}  // namespace quillon
