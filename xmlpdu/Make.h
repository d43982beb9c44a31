// Ready-made conversions and constructors of APDU trees: the entry points from
// bytes and XML text, the requests the engine fills from templates, and those
// it assembles as objects (next-block requests, data blocks of a long set,
// short-name writes). Beside them the routines that move Data values in and
// out of the request templates and write the time as a COSEM date-time.
// Nothing here keeps state; every returned tree belongs to the caller.
#pragma once

#include <chrono>
#include <functional>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "xmlpdu/ACSE.h"

namespace quillon {

class TMake {
public:
  // One APDU element without wrapper (GetRequest, AssociationRequest, ...).
  static std::unique_ptr<T_COSEMpdu> COSEMPduFromXml(std::string_view xml);
  // Bytes after the APDU are not checked.
  static std::unique_ptr<T_COSEMpdu> COSEMPduFromPdu(const PduStr& pdu);
  // One APDU that must take all of the bytes, as a message from outside
  // must: an error names the byte where decoding stopped, and bytes after
  // the APDU are refused ("10 bytes after the end of the APDU, from byte 32
  // of 41").
  static std::unique_ptr<T_COSEMpdu> WholeCOSEMPduFromPdu(const PduStr& pdu);
  // A Data element wrapping one alternative.
  static std::unique_ptr<T_Data> DataFromXml(std::string_view xml);
  static std::unique_ptr<T_Data> DataFromPdu(const PduStr& pdu);
  // The list of single read responses, from bytes that start with the count
  // (the APDU tag already removed).
  static std::unique_ptr<T_ReadResponse> ReadResponseFromPdu(const PduStr& pdu);
  static PduPtr SomethingFromXml(TXMLId xmlId, TCOSEMPduBaseClass ofClass, std::string_view xml);

  // The same as COSEMPduFromPdu and DataFromPdu on a caller's reader, which
  // then tells how many bytes followed the element.
  static std::unique_ptr<T_COSEMpdu> COSEMPduFromReader(TStringWrapper& r);
  static std::unique_ptr<T_Data> DataFromReader(TStringWrapper& r);
  // The XML those trees would write, made straight from the bytes: the same
  // checks and errors, no tree in between.
  static std::string COSEMPduXmlFromReader(TStringWrapper& r);
  static std::string DataXmlFromReader(TStringWrapper& r);
  // That XML handed to sink in pieces (see TCOSEMPduBase::PduToXmlPieces).
  static void COSEMPduXmlPiecesFromReader(TStringWrapper& r, const std::function<void(std::string_view)>& sink,
                                          size_t piece);
  static void DataXmlPiecesFromReader(TStringWrapper& r, const std::function<void(std::string_view)>& sink,
                                      size_t piece);
  // The bytes the trees read from xml would encode to, made straight from
  // the XML: the same checks and errors, no tree in between.
  static PduStr COSEMPduBytesFromXml(std::string_view xml);
  static PduStr DataBytesFromXml(std::string_view xml);

  // GetRequest / GetRequestForNextDataBlock.
  static std::unique_ptr<T_COSEMpdu> GetRequestForNextDataBlock(uint8_t invokeIdAndPriority, uint32_t blockNumber);
  // SetRequest / SetRequestWithFirstDataBlock without access selection; the
  // data block is left empty (not last, number 0, no bytes) for the caller.
  static std::unique_ptr<T_COSEMpdu> SetRequestWithFirstDataBlock(uint16_t classId, const PduStr& instanceId,
                                                                  int attributeId, uint8_t invokeIdAndPriority);
  // SetRequest / SetRequestWithDataBlock with every member at its default.
  static std::unique_ptr<T_COSEMpdu> SetRequestWithDataBlock();

  // Requests filled from the XML templates. Numbers are written as fixed-width
  // hex; one too wide for its element fails with the element's size message.
  // A given selective access descriptor is renamed AccessSelection in place.
  static std::unique_ptr<T_COSEMpdu> GetRequestNormal(uint32_t classId, const PduStr& instanceId, int attributeId,
                                                      uint32_t invokeIdAndPriority,
                                                      T_SelectiveAccessDescriptor* selectiveAccessDescriptor);
  static std::unique_ptr<T_COSEMpdu> SetRequestNormal(uint32_t classId, const PduStr& instanceId, int attributeId,
                                                      uint32_t invokeIdAndPriority, const T_Data& data);
  // data may be null: the method then takes no parameters.
  static std::unique_ptr<T_COSEMpdu> ActionRequestNormal(uint32_t classId, const PduStr& instanceId, uint32_t methodId,
                                                         uint32_t invokeIdAndPriority, const T_Data* data);

  // WriteRequest of one value to one short name; the value is taken over.
  static std::unique_ptr<T_COSEMpdu> WriteRequest(int16_t objectName, std::unique_ptr<T_Data> data);
  // WriteRequest carrying one block of a long write as a Data octet string.
  static std::unique_ptr<T_COSEMpdu> WriteRequestBlockTransfer(bool lastBlock, uint16_t blockNumber,
                                                               const PduStr& rawData);

  static std::unique_ptr<T_Data> DataOctetString(const PduStr& s);
  static std::unique_ptr<T_Data> EmptyDataArray();
  static std::unique_ptr<T_DataAccessResult> DataAccessResult(int32_t v);
};

// The XML of the Data value's alternative alone (no Data wrapper), from depth
// 0, without the final line break: what goes into a request template.
std::string DataValueToXml(const T_Data& data);

// Removes "<Data>" when the text begins with it, and the first "</Data>"
// wherever it stands.
std::string StripDataTags(std::string_view xml);

// A local calendar date and time of day.
struct TLocalDateTime {
  int Year = 2000;
  int Month = 1;   // 1..12
  int Day = 1;     // 1..31
  int Hour = 0;
  int Minute = 0;
  int Second = 0;
  int Millisecond = 0;
};

// The 12-byte COSEM date-time: year (2 bytes), month, day, day of week
// (1 = Monday .. 7 = Sunday), hour, minute, second, hundredths 00, deviation
// 80 00 (not specified), clock status FF (not specified). Milliseconds are
// dropped. A date that does not exist fails.
PduStr DateTimeToCOSEMDateTime(const TLocalDateTime& t);
// The same for a point in time, taken in the local time zone.
PduStr DateTimeToCOSEMDateTime(std::chrono::system_clock::time_point t);

}  // namespace quillon
