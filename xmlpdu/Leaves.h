// Leaf types of the A-XDR element trees: fixed-size numbers, octet strings,
// bit strings, NULL and the named enumerations of the xDLMS definitions.
#pragma once

#include <cstring>
#include <type_traits>
#include <utility>
#include <vector>

#include "xmlpdu/infra/PduBase.h"

namespace quillon {

// ----------------------------------------------------------- numeric leaves

template <typename V>
struct TNumericTraits {
  static constexpr int kBytes = sizeof(V);
  static uint64_t ToBits(V v) {
    if constexpr (std::is_floating_point_v<V>) {
      if constexpr (sizeof(V) == 4) {
        uint32_t b;
        std::memcpy(&b, &v, 4);
        return b;
      } else {
        uint64_t b;
        std::memcpy(&b, &v, 8);
        return b;
      }
    } else {
      return static_cast<uint64_t>(static_cast<std::make_unsigned_t<V>>(v));
    }
  }
  static V FromBits(uint64_t b) {
    if constexpr (std::is_floating_point_v<V>) {
      V v;
      if constexpr (sizeof(V) == 4) {
        uint32_t b32 = static_cast<uint32_t>(b);
        std::memcpy(&v, &b32, 4);
      } else {
        std::memcpy(&v, &b, 8);
      }
      return v;
    } else {
      return static_cast<V>(static_cast<std::make_unsigned_t<V>>(b));
    }
  }
};

// Big-endian, no tag, no length; XML value in hex, two digits per byte.
class TNumericBase : public TCOSEMPduBase {
public:
  using TCOSEMPduBase::TCOSEMPduBase;
  virtual int ByteCount() const = 0;
  virtual uint64_t Bits() const = 0;
  virtual void SetBits(uint64_t b) = 0;

  void EncodeToPduStr(PduStr& s) const override;
  void ToXML(TScriptStream& stream) const override;
  void DecodeFromPduStr(TStringWrapper& r);
  void DecodeFromXml(TXMLParser& p);

  // A value of n bytes read from r, and its line written to s: what the two
  // above do, for the conversion of bytes to XML without an object.
  static uint64_t ReadBits(TStringWrapper& r, int n);
  static void WriteBits(TScriptStream& s, TXMLId id, uint64_t bits, int n);
};

template <class D, typename V>
class TNumericLeaf : public TPduImpl<D, TNumericBase> {
public:
  explicit TNumericLeaf(TXMLId id, V v = V{}) : TPduImpl<D, TNumericBase>(id), Value(v) {}
  int ByteCount() const override { return TNumericTraits<V>::kBytes; }
  uint64_t Bits() const override { return TNumericTraits<V>::ToBits(Value); }
  void SetBits(uint64_t b) override { Value = TNumericTraits<V>::FromBits(b); }

  bool CheckRange(int64_t low, int64_t high) const override {
    if constexpr (std::is_floating_point_v<V>) {
      return static_cast<double>(low) <= Value && Value <= static_cast<double>(high);
    } else if constexpr (std::is_unsigned_v<V>) {
      if (high < 0) return false;
      return (low < 0 || static_cast<uint64_t>(low) <= Value) && Value <= static_cast<uint64_t>(high);
    } else {
      return low <= Value && Value <= high;
    }
  }
  // 1 when this value is the smaller one, -1 when the larger, 0 when equal.
  int CompareTo(const TCOSEMPduBase& x) const override {
    auto* o = dynamic_cast<const D*>(&x);
    if (!o) RaiseGeneral(Format("%s.CompareTo illegal type", this->ClassName()));
    if (Value < o->Value) return 1;
    if (Value > o->Value) return -1;
    return 0;
  }

  V Value;
};

#define QUILLON_DECLARE_NUMERIC(Name, V)                                                               \
  class Name : public quillon::TNumericLeaf<Name, V> {                                                 \
  public:                                                                                              \
    using TNumericLeaf::TNumericLeaf;                                                                  \
    static const quillon::TPduClass ClassInfo;                                                         \
    static void PduToXmlWithoutObject(quillon::TXMLId id, quillon::TStringWrapper& r,                  \
                                      quillon::TScriptStream& s) {                                     \
      const uint64_t bits = ReadBits(r, quillon::TNumericTraits<V>::kBytes);                           \
      if (!s.Deferred) WriteBits(s, id, bits, quillon::TNumericTraits<V>::kBytes);                     \
    }                                                                                                  \
  };

QUILLON_DECLARE_NUMERIC(T_Boolean, uint8_t)
QUILLON_DECLARE_NUMERIC(T_Integer8, int8_t)
QUILLON_DECLARE_NUMERIC(T_Integer16, int16_t)
QUILLON_DECLARE_NUMERIC(T_Integer32, int32_t)
QUILLON_DECLARE_NUMERIC(T_Integer64, int64_t)
QUILLON_DECLARE_NUMERIC(T_Unsigned8, uint8_t)
QUILLON_DECLARE_NUMERIC(T_Unsigned16, uint16_t)
QUILLON_DECLARE_NUMERIC(T_Unsigned32, uint32_t)
QUILLON_DECLARE_NUMERIC(T_Unsigned64, uint64_t)
QUILLON_DECLARE_NUMERIC(T_Float32, float)
QUILLON_DECLARE_NUMERIC(T_Float64, double)
QUILLON_DECLARE_NUMERIC(T_Enum, uint8_t)
QUILLON_DECLARE_NUMERIC(T_Bcd, int8_t)
QUILLON_DECLARE_NUMERIC(T_ClassId, uint16_t)
QUILLON_DECLARE_NUMERIC(T_ObjectAttributeId, int8_t)
QUILLON_DECLARE_NUMERIC(T_ObjectMethodId, int8_t)
QUILLON_DECLARE_NUMERIC(T_ObjectName, int16_t)
QUILLON_DECLARE_NUMERIC(T_InvokeIdAndPriority, uint8_t)
QUILLON_DECLARE_NUMERIC(T_LongInvokeIdAndPriority, uint32_t)
QUILLON_DECLARE_NUMERIC(T_OtherError, uint8_t)
QUILLON_DECLARE_NUMERIC(T_BlockControl, uint8_t)

// ------------------------------------------------------------ octet strings

// Size -1: length field and bytes; any other Size: exactly that many bytes.
class TOctetString : public TCOSEMPduBase {
public:
  TOctetString(TXMLId id, int size, PduStr v = PduStr()) : TCOSEMPduBase(id), Value(std::move(v)), Size(size) {}

  void EncodeToPduStr(PduStr& s) const override;
  void ToXML(TScriptStream& stream) const override;
  int CompareTo(const TCOSEMPduBase& x) const override;
  void LoadFromPduStr(TStringWrapper& r);
  void LoadFromXml(TXMLParser& p);
  void DecodeFromPduStr(TStringWrapper& r) { LoadFromPduStr(r); }
  void DecodeFromXml(TXMLParser& p) { LoadFromXml(p); }

  PduStr Value;
  int Size;
};

template <class D, int N>
class TOctetStringOf : public TPduImpl<D, TOctetString> {
public:
  explicit TOctetStringOf(TXMLId id, PduStr v = PduStr()) : TPduImpl<D, TOctetString>(id, N, std::move(v)) {
    if (N >= 0 && this->Value.empty()) this->Value.assign(static_cast<size_t>(N), '\0');
  }
};

#define QUILLON_DECLARE_OCTETS(Name, N)                    \
  class Name : public quillon::TOctetStringOf<Name, N> {   \
  public:                                                  \
    using TOctetStringOf::TOctetStringOf;                  \
    static const quillon::TPduClass ClassInfo;             \
  };

QUILLON_DECLARE_OCTETS(T_OctetString, -1)
QUILLON_DECLARE_OCTETS(T_VisibleString, -1)
QUILLON_DECLARE_OCTETS(T_UTF8String, -1)
QUILLON_DECLARE_OCTETS(T_FloatingPoint, 4)
QUILLON_DECLARE_OCTETS(T_Date, 5)
QUILLON_DECLARE_OCTETS(T_Time, 4)
QUILLON_DECLARE_OCTETS(T_DateTime, 12)
QUILLON_DECLARE_OCTETS(T_ObjectInstanceId, 6)

// The date-time of a data notification. Meters send it as the octet string
// it is (length and bytes, 00 when there is none), and many also as a Data
// octet string: the tag 09 before the length 0C and the 12 bytes. The form
// that came is kept, in the tree and in the XML (there the tagged form is the
// Data element inside the date-time), so that the bytes written again are
// the bytes received.
class TNotificationDateTime : public TOctetString {
public:
  explicit TNotificationDateTime(TXMLId id, PduStr v = PduStr()) : TOctetString(id, -1, std::move(v)) {}
  void EncodeToPduStr(PduStr& s) const override;
  void ToXML(TScriptStream& stream) const override;
  void DecodeFromPduStr(TStringWrapper& r);
  void DecodeFromXml(TXMLParser& p);

  bool Tagged = false;
};

class T_NotificationDateTime : public TPduImpl<T_NotificationDateTime, TNotificationDateTime> {
public:
  using TPduImpl::TPduImpl;
  static const TPduClass ClassInfo;
};

// --------------------------------------------------------- A-XDR bit string

class TBitStr : public TCOSEMPduBase {
public:
  explicit TBitStr(TXMLId id, std::string v = std::string()) : TCOSEMPduBase(id), Value(std::move(v)) {}
  void EncodeToPduStr(PduStr& s) const override;
  void ToXML(TScriptStream& stream) const override;
  int DataTag() const override { return 4; }
  void EncodeToDataPduStr(PduStr& s) const override;
  void DecodeFromPduStr(TStringWrapper& r);
  void DecodeFromDataPduStr(TStringWrapper& r);
  void DecodeFromXml(TXMLParser& p);

  std::string Value;  // '0'/'1', most significant bit of the first byte first
};

class T_BitString : public TPduImpl<T_BitString, TBitStr> {
public:
  using TPduImpl::TPduImpl;
  static const TPduClass ClassInfo;
};

// --------------------------------------------------------------------- NULL

class TNull : public TCOSEMPduBase {
public:
  using TCOSEMPduBase::TCOSEMPduBase;
  void EncodeToPduStr(PduStr&) const override {}
  void ToXML(TScriptStream& stream) const override;
  int DataTag() const override { return 0; }
  void EncodeToDataPduStr(PduStr& s) const override { s += '\0'; }
  void DecodeFromPduStr(TStringWrapper&) {}
  void DecodeFromDataPduStr(TStringWrapper& r) { r.ExpectByte(0); }
  void DecodeFromXml(TXMLParser& p);
};

class T_NullData : public TPduImpl<T_NullData, TNull> {
public:
  using TPduImpl::TPduImpl;
  static const TPduClass ClassInfo;
};
class T_DontCare : public TPduImpl<T_DontCare, TNull> {
public:
  using TPduImpl::TPduImpl;
  static const TPduClass ClassInfo;
};

// -------------------------------------------------------- named enumerations

struct TEnumName {
  int Value;
  const char* Name;
};

// One byte on the wire, the name in XML.
class TEnum : public TCOSEMPduBase {
public:
  TEnum(TXMLId id, int32_t v = 0) : TCOSEMPduBase(id), Value(v) {}
  virtual const std::vector<TEnumName>& Names() const = 0;

  void EncodeToPduStr(PduStr& s) const override { s += static_cast<char>(Value & 0xFF); }
  void ToXML(TScriptStream& stream) const override;
  int CompareTo(const TCOSEMPduBase& x) const override;
  bool CheckRange(int64_t low, int64_t high) const override { return low <= Value && Value <= high; }
  std::string GetString() const { return NameOf(Names(), ClassName(), Value); }
  void DecodeFromPduStr(TStringWrapper& r) { Value = r.NextByte(); }
  void DecodeFromXml(TXMLParser& p);

  static const char* FindName(const std::vector<TEnumName>& names, int value);
  static std::string NameOf(const std::vector<TEnumName>& names, const char* className, int value);

  int32_t Value;
};

template <class D>
class TEnumOf : public TPduImpl<D, TEnum> {
public:
  using TPduImpl<D, TEnum>::TPduImpl;
  const std::vector<TEnumName>& Names() const override { return D::StaticNames(); }
  static std::string GetString(int value) { return TEnum::NameOf(D::StaticNames(), D::ClassInfo.Name, value); }
  using TEnum::GetString;
};

#define QUILLON_ENUM_ROW_(V, N) {V, #N},
#define QUILLON_DECLARE_ENUM(Name)                          \
  class Name : public quillon::TEnumOf<Name> {              \
  public:                                                   \
    using TEnumOf::TEnumOf;                                 \
    static const quillon::TPduClass ClassInfo;              \
    static const std::vector<quillon::TEnumName>& StaticNames(); \
  };

#define QENUM_T_DataAccessResult(E)                                                                      \
  E(0, Success) E(1, HardwareFault) E(2, TemporaryFailure) E(3, ReadWriteDenied) E(4, ObjectUndefined)    \
  E(9, ObjectClassInconsistent) E(11, ObjectUnavailable) E(12, TypeUnmatched) E(13, ScopeOfAccessViolated) \
  E(14, DataBlockUnavailable) E(15, LongGetOrReadAborted) E(16, NoLongGetOrReadInProgress)                \
  E(17, LongSetOrWriteAborted) E(18, NoLongSetOrWriteInProgress) E(19, DataBlockNumberInvalid)            \
  E(250, OtherReason)
#define QENUM_T_ActionResult(E)                                                                          \
  E(0, Success) E(1, HardwareFault) E(2, TemporaryFailure) E(3, ReadWriteDenied) E(4, ObjectUndefined)    \
  E(9, ObjectClassInconsistent) E(11, ObjectUnavailable) E(12, TypeUnmatched) E(13, ScopeOfAccessViolated) \
  E(14, DataBlockUnavailable) E(15, LongActionAborted) E(16, NoLongActionInProgress) E(250, OtherReason)
#define QENUM_T_ApplicationReference(E)                                                            \
  E(0, Other) E(1, TimeElapsed) E(2, ApplicationUnreachable) E(3, ApplicationReferenceInvalid)      \
  E(4, ApplicationContextUnsupported) E(5, ProviderCommunicationError) E(6, DecipheringError)
#define QENUM_T_HardwareResource(E)                                                                      \
  E(0, Other) E(1, MemoryUnavailable) E(2, ProcessorResourceUnavailable) E(3, MassStorageUnavailable)     \
  E(4, OtherResourceUnavailable)
#define QENUM_T_VdeStateError(E) \
  E(0, Other) E(1, NoDlmsContext) E(2, LoadingDataSet) E(3, StatusNochange) E(4, StatusInoperable)
#define QENUM_T_Service(E) E(0, Other) E(1, PduSize) E(2, ServiceUnsupported)
#define QENUM_T_Definition(E) \
  E(0, Other) E(1, ObjectUndefined) E(2, ObjectClassInconsistent) E(3, ObjectAttributeInconsistent)
#define QENUM_T_Access(E) \
  E(0, Other) E(1, ScopeOfAccessViolated) E(2, ObjectAccessInvalid) E(3, HardwareFault) E(4, ObjectUnavailable)
#define QENUM_T_Initiate(E)                                                                 \
  E(0, Other) E(1, DlmsVersionTooLow) E(2, IncompatibleConformance) E(3, PduSizeTooShort)    \
  E(4, RefusedByTheVDEHandler)
#define QENUM_T_LoadDataSet(E)                                                                      \
  E(0, Other) E(1, PrimitiveOutOfSequence) E(2, NotLoadable) E(3, DatasetSizeTooLarge)               \
  E(4, NotAwaitedSegment) E(5, InterpretationFailure) E(6, StorageFailure) E(7, DataSetNotReady)
#define QENUM_T_Task(E) E(0, Other) E(1, NoRemoteControl) E(2, TiStopped) E(3, TiRunning) E(4, TiUnusable)
#define QENUM_T_ExceptionStateError(E) E(1, ServiceNotAllowed) E(2, ServiceUnknown)
#define QENUM_T_ExceptionServiceError(E)                                                        \
  E(1, OperationNotPossible) E(2, ServiceNotSupported) E(3, OtherReason) E(4, PduTooLong)        \
  E(5, DecipheringError) E(6, InvocationCounterError)
#define QENUM_T_KeyId(E) E(0, GlobalUnicastEncryptionKey) E(1, GlobalBroadcastEncryptionKey)
#define QENUM_T_KekId(E) E(0, MasterKey)

QUILLON_DECLARE_ENUM(T_DataAccessResult)
QUILLON_DECLARE_ENUM(T_ActionResult)
QUILLON_DECLARE_ENUM(T_ApplicationReference)
QUILLON_DECLARE_ENUM(T_HardwareResource)
QUILLON_DECLARE_ENUM(T_VdeStateError)
QUILLON_DECLARE_ENUM(T_Service)
QUILLON_DECLARE_ENUM(T_Definition)
QUILLON_DECLARE_ENUM(T_Access)
QUILLON_DECLARE_ENUM(T_Initiate)
QUILLON_DECLARE_ENUM(T_LoadDataSet)
QUILLON_DECLARE_ENUM(T_Task)
QUILLON_DECLARE_ENUM(T_ExceptionStateError)
QUILLON_DECLARE_ENUM(T_ExceptionServiceError)
QUILLON_DECLARE_ENUM(T_KeyId)
QUILLON_DECLARE_ENUM(T_KekId)

// Class descriptor of a leaf type; WithData = it has a Data-value form.
#define QUILLON_DEFINE_LEAF(Name)                                                                   \
  const quillon::TPduClass Name::ClassInfo = quillon::TPduFactory<Name>::Describe<false>(#Name, false);
#define QUILLON_DEFINE_LEAF_WITH_DATA(Name)                                                         \
  const quillon::TPduClass Name::ClassInfo = quillon::TPduFactory<Name>::Describe<true>(#Name, false);
// Class descriptor and name table of a named enumeration.
#define QUILLON_DEFINE_ENUM(Name)                                                           \
  QUILLON_DEFINE_LEAF(Name)                                                                 \
  const std::vector<quillon::TEnumName>& Name::StaticNames() {                              \
    static const std::vector<quillon::TEnumName> names{QENUM_##Name(QUILLON_ENUM_ROW_)};   \
    return names;                                                                           \
  }

}  // namespace quillon
