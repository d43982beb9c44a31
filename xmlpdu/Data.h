// The Data type: every attribute value, method parameter and access
// parameter, with arrays, structures and compact arrays.
#pragma once

#include "xmlpdu/Leaves.h"

namespace quillon {

class T_Data;
class T_Array;
class T_Structure;
class T_CompactArray;
class T_TypeDescription;
class T_ArrayTypeDescription;
class T_StructureTypeDescription;

#define QCHO_T_Data(A)                                                                                   \
  A(0, NullData, T_NullData) A(1, Array, T_Array) A(2, Structure, T_Structure) A(3, Boolean, T_Boolean)   \
  A(4, BitString, T_BitString) A(5, DoubleLong, T_Integer32) A(6, DoubleLongUnsigned, T_Unsigned32)       \
  A(7, FloatingPoint, T_FloatingPoint) A(9, OctetString, T_OctetString)                                   \
  A(10, VisibleString, T_VisibleString) A(12, UTF8String, T_UTF8String) A(13, Bcd, T_Bcd)                 \
  A(15, Integer, T_Integer8) A(16, Long, T_Integer16) A(17, Unsigned, T_Unsigned8)                        \
  A(18, LongUnsigned, T_Unsigned16) A(19, CompactArray, T_CompactArray) A(20, Long64, T_Integer64)        \
  A(21, Long64Unsigned, T_Unsigned64) A(22, Enum, T_Enum) A(23, Float32, T_Float32)                       \
  A(24, Float64, T_Float64) A(25, DateTime, T_DateTime) A(26, Date, T_Date) A(27, Time, T_Time)           \
  A(28, DeltaInteger, T_Integer8) A(29, DeltaLong, T_Integer16) A(30, DeltaDoubleLong, T_Integer32)       \
  A(31, DeltaUnsigned, T_Unsigned8) A(32, DeltaLongUnsigned, T_Unsigned16)                                \
  A(33, DeltaDoubleLongUnsigned, T_Unsigned32) A(255, DontCare, T_DontCare)

// The same tags as Data, without values, for the element type of a compact
// array; CompactArray and the delta types are not among them.
#define QCHO_T_TypeDescription(A)                                                                          \
  A(0, NullData, T_NullData) A(1, Array, T_ArrayTypeDescription) A(2, Structure, T_StructureTypeDescription) \
  A(3, Boolean, T_NullData) A(4, BitString, T_NullData) A(5, DoubleLong, T_NullData)                        \
  A(6, DoubleLongUnsigned, T_NullData) A(7, FloatingPoint, T_NullData) A(9, OctetString, T_NullData)        \
  A(10, VisibleString, T_NullData) A(12, UTF8String, T_NullData) A(13, Bcd, T_NullData)                     \
  A(15, Integer, T_NullData) A(16, Long, T_NullData) A(17, Unsigned, T_NullData)                            \
  A(18, LongUnsigned, T_NullData) A(20, Long64, T_NullData) A(21, Long64Unsigned, T_NullData)               \
  A(22, Enum, T_NullData) A(23, Float32, T_NullData) A(24, Float64, T_NullData)                             \
  A(25, DateTime, T_NullData) A(26, Date, T_NullData) A(27, Time, T_NullData) A(255, DontCare, T_NullData)

class T_Data : public TChoiceOf<T_Data> {
public:
  using TChoiceOf::TChoiceOf;
  static constexpr TXMLId kTypeId = xml_Data;
  static const TPduClass ClassInfo;
  static const TChoiceSchema& StaticSchema();
  // A Data value's own encoding is its Data-value form.
  int DataTag() const override { return Tag; }
  void EncodeToDataPduStr(PduStr& s) const override { EncodeToPduStr(s); }
};

QUILLON_DECLARE_CHOICE(T_TypeDescription, xml_TypeDescription)

QUILLON_DECLARE_SEQUENCE_OF(T_Array, T_Data, xml_Data)

class T_Structure : public TSequenceOfT<T_Structure, T_Data, xml_Data> {
public:
  using TSequenceOfT::TSequenceOfT;
  static const TPduClass ClassInfo;
  int DataTag() const override { return 2; }
};

QUILLON_DECLARE_SEQUENCE_OF(T_StructureTypeDescription, T_TypeDescription, xml_TypeDescription)

#define QSEQ_T_CompactArray(M) M(ContentDescription, T_TypeDescription, 0) M(ArrayContent, T_OctetString, 0)
QUILLON_DECLARE_SEQUENCE(T_CompactArray)

#define QSEQ_T_ArrayTypeDescription(M) M(NumberOfElements, T_Unsigned16, 0) M(TypeDescription, T_TypeDescription, 0)
QUILLON_DECLARE_SEQUENCE(T_ArrayTypeDescription)

}  // namespace quillon
