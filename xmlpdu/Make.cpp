#include "xmlpdu/Make.h"

#include <ctime>

namespace quillon {

namespace {

template <class T>
std::unique_ptr<T> Downcast(PduPtr p) {
  return std::unique_ptr<T>(static_cast<T*>(p.release()));
}

std::string Hex(uint64_t v, int digits) { return TMisc::IntToHex(v, digits); }

// A service CHOICE (GetRequest, SetRequest) holding a default alternative,
// wrapped into the APDU CHOICE; `alt` receives the alternative to fill in.
template <class Service, class Alt>
std::unique_ptr<T_COSEMpdu> MakeService(TXMLId serviceRole, TXMLId altRole, Alt*& alt) {
  auto service = Service::CreateVariant(altRole);
  alt = static_cast<Alt*>(service->Value.get());
  // Wrapping gives the service its role identifier, so the tree writes its
  // XML just like one read from text.
  return T_COSEMpdu::CreateVariant(serviceRole, PduPtr(service.release()));
}

void SetInstanceId(T_ObjectInstanceId& id, const PduStr& value) {
  // The object path must not write an instance id of the wrong width: the
  // bytes behind it would be misread by the meter.
  if (value.size() != static_cast<size_t>(id.Size))
    RaiseGeneral(Format("%s: Illegal data size, expected %d, found %d", id.ClassName(), id.Size,
                        static_cast<int>(value.size())));
  id.Value = value;
}

}  // namespace

// --------------------------------------------------- bytes and XML in

std::unique_ptr<T_COSEMpdu> TMake::COSEMPduFromXml(std::string_view xml) {
  return MakeFromXml<T_COSEMpdu>(xmlIgnore, xml);
}

std::unique_ptr<T_COSEMpdu> TMake::COSEMPduFromPdu(const PduStr& pdu) { return MakeFromPdu<T_COSEMpdu>(xmlIgnore, pdu); }

std::unique_ptr<T_COSEMpdu> TMake::WholeCOSEMPduFromPdu(const PduStr& pdu) {
  TStringWrapper r(pdu);
  std::unique_ptr<T_COSEMpdu> out;
  try {
    out.reset(static_cast<T_COSEMpdu*>(T_COSEMpdu::ClassInfo.CreateFromPduStr(xmlIgnore, r).release()));
  } catch (const std::exception& e) {
    // The cursor stands after the last byte taken: the one that did not fit
    // is the next.
    if (static_cast<size_t>(r.FIndex) > pdu.size())
      RaiseGeneral(Format("%s: the APDU ends too early, after byte %zu", e.what(), pdu.size()));
    RaiseGeneral(Format("%s at byte %d of %zu", e.what(), r.FIndex, pdu.size()));
  }
  if (const int left = r.GetRemainingBytes(); left > 0)
    RaiseGeneral(Format("%d %s after the end of the APDU, from byte %d of %zu", left, left == 1 ? "byte" : "bytes",
                        r.FIndex, pdu.size()));
  return out;
}

std::unique_ptr<T_Data> TMake::DataFromXml(std::string_view xml) { return MakeFromXml<T_Data>(xmlData, xml); }

std::unique_ptr<T_Data> TMake::DataFromPdu(const PduStr& pdu) { return MakeFromPdu<T_Data>(xmlData, pdu); }

std::unique_ptr<T_ReadResponse> TMake::ReadResponseFromPdu(const PduStr& pdu) {
  return MakeFromPdu<T_ReadResponse>(xmlReadResponse, pdu);
}

PduPtr TMake::SomethingFromXml(TXMLId xmlId, TCOSEMPduBaseClass ofClass, std::string_view xml) {
  return TCOSEMPduBase::MakeAnyFromXml(xmlId, ofClass, xml);
}

std::unique_ptr<T_COSEMpdu> TMake::COSEMPduFromReader(TStringWrapper& r) {
  return Downcast<T_COSEMpdu>(T_COSEMpdu::ClassInfo.CreateFromPduStr(xmlIgnore, r));
}

std::string TMake::COSEMPduXmlFromReader(TStringWrapper& r) {
  return TCOSEMPduBase::PduToXMLString(xmlIgnore, &T_COSEMpdu::ClassInfo, r);
}

std::string TMake::DataXmlFromReader(TStringWrapper& r) {
  return TCOSEMPduBase::PduToXMLString(xmlData, &T_Data::ClassInfo, r);
}

void TMake::COSEMPduXmlPiecesFromReader(TStringWrapper& r, const std::function<void(std::string_view)>& sink,
                                        size_t piece) {
  TCOSEMPduBase::PduToXmlPieces(xmlIgnore, &T_COSEMpdu::ClassInfo, r, sink, piece);
}

void TMake::DataXmlPiecesFromReader(TStringWrapper& r, const std::function<void(std::string_view)>& sink,
                                    size_t piece) {
  TCOSEMPduBase::PduToXmlPieces(xmlData, &T_Data::ClassInfo, r, sink, piece);
}

PduStr TMake::COSEMPduBytesFromXml(std::string_view xml) {
  return TCOSEMPduBase::XmlToPduStr(xmlIgnore, &T_COSEMpdu::ClassInfo, xml);
}

PduStr TMake::DataBytesFromXml(std::string_view xml) {
  return TCOSEMPduBase::XmlToPduStr(xmlData, &T_Data::ClassInfo, xml);
}

std::unique_ptr<T_Data> TMake::DataFromReader(TStringWrapper& r) {
  return Downcast<T_Data>(T_Data::ClassInfo.CreateFromPduStr(xmlData, r));
}

// ------------------------------------------------------ built as objects

std::unique_ptr<T_COSEMpdu> TMake::GetRequestForNextDataBlock(uint8_t invokeIdAndPriority, uint32_t blockNumber) {
  T_GetRequestForNextDatablock* alt = nullptr;
  auto pdu = MakeService<T_GetRequest>(xmlGetRequest, xmlGetRequestForNextDataBlock, alt);
  alt->FInvokeIdAndPriority()->Value = invokeIdAndPriority;
  alt->FBlockNumber()->Value = blockNumber;
  return pdu;
}

std::unique_ptr<T_COSEMpdu> TMake::SetRequestWithFirstDataBlock(uint16_t classId, const PduStr& instanceId,
                                                                int attributeId, uint8_t invokeIdAndPriority) {
  T_SetRequestWithFirstDataBlock* alt = nullptr;
  auto pdu = MakeService<T_SetRequest>(xmlSetRequest, xmlSetRequestWithFirstDataBlock, alt);
  alt->FInvokeIdAndPriority()->Value = invokeIdAndPriority;
  T_AttributeDescriptor& d = *alt->FAttributeDescriptor();
  d.FClassId()->Value = classId;
  SetInstanceId(*d.FInstanceId(), instanceId);
  d.FAttributeId()->Value = static_cast<int8_t>(attributeId & 0xFF);
  return pdu;
}

std::unique_ptr<T_COSEMpdu> TMake::SetRequestWithDataBlock() {
  T_SetRequestWithDataBlock* alt = nullptr;
  return MakeService<T_SetRequest>(xmlSetRequest, xmlSetRequestWithDataBlock, alt);
}

std::unique_ptr<T_COSEMpdu> TMake::WriteRequest(int16_t objectName, std::unique_ptr<T_Data> data) {
  CheckAssertion(data != nullptr, "WriteRequest has a value");
  auto pdu = T_COSEMpdu::CreateVariant(xmlWriteRequest);
  auto& request = static_cast<T_WriteRequest&>(*pdu->Value);
  request.FListOfVariableAccessSpecification()->Add(T_VariableAccessSpecification::CreateVariant(
      xmlVariableName, std::make_unique<T_ObjectName>(xmlVariableName, objectName)));
  request.FListOfData()->Add(PduPtr(data.release()));
  return pdu;
}

std::unique_ptr<T_COSEMpdu> TMake::WriteRequestBlockTransfer(bool lastBlock, uint16_t blockNumber,
                                                             const PduStr& rawData) {
  auto access = std::make_unique<T_WriteDataBlockAccess>(xmlWriteDataBlockAccess);
  access->FLastBlock()->Value = lastBlock ? 1 : 0;
  access->FBlockNumber()->Value = blockNumber;
  auto pdu = T_COSEMpdu::CreateVariant(xmlWriteRequest);
  auto& request = static_cast<T_WriteRequest&>(*pdu->Value);
  request.FListOfVariableAccessSpecification()->Add(
      T_VariableAccessSpecification::CreateVariant(xmlWriteDataBlockAccess, PduPtr(access.release())));
  request.FListOfData()->Add(DataOctetString(rawData));
  return pdu;
}

std::unique_ptr<T_Data> TMake::DataOctetString(const PduStr& s) {
  return T_Data::CreateVariant(xmlOctetString, std::make_unique<T_OctetString>(xmlOctetString, s));
}

std::unique_ptr<T_Data> TMake::EmptyDataArray() { return T_Data::CreateVariant(xmlArray); }

std::unique_ptr<T_DataAccessResult> TMake::DataAccessResult(int32_t v) {
  return std::make_unique<T_DataAccessResult>(xml_DataAccessResult, v);
}

// ------------------------------------------------------ from templates

std::unique_ptr<T_COSEMpdu> TMake::GetRequestNormal(uint32_t classId, const PduStr& instanceId, int attributeId,
                                                    uint32_t invokeIdAndPriority,
                                                    T_SelectiveAccessDescriptor* selectiveAccessDescriptor) {
  std::string selection;
  if (selectiveAccessDescriptor) {
    selectiveAccessDescriptor->XMLId = xmlAccessSelection;
    selection = selectiveAccessDescriptor->ToXMLString();
  }
  return COSEMPduFromXml(Format(
      "<GetRequest><GetRequestNormal><InvokeIdAndPriority Value=\"%s\" /><AttributeDescriptor><ClassId Value=\"%s\" "
      "/><InstanceId Value=\"%s\" /><AttributeId Value=\"%s\" /></AttributeDescriptor>%s</GetRequestNormal></"
      "GetRequest>",
      Hex(invokeIdAndPriority, 2).c_str(), Hex(classId, 4).c_str(), TMisc::ByteStrToHexStr(instanceId).c_str(),
      Hex(static_cast<uint32_t>(attributeId) & 0xFF, 2).c_str(), selection.c_str()));
}

std::unique_ptr<T_COSEMpdu> TMake::SetRequestNormal(uint32_t classId, const PduStr& instanceId, int attributeId,
                                                    uint32_t invokeIdAndPriority, const T_Data& data) {
  return COSEMPduFromXml(Format(
      "<SetRequest><SetRequestNormal><InvokeIdAndPriority Value=\"%s\" /><AttributeDescriptor><ClassId Value=\"%s\" "
      "/><InstanceId Value=\"%s\" /><AttributeId Value=\"%s\" /></AttributeDescriptor><Value>%s</Value></"
      "SetRequestNormal></SetRequest>",
      Hex(invokeIdAndPriority, 2).c_str(), Hex(classId, 4).c_str(), TMisc::ByteStrToHexStr(instanceId).c_str(),
      Hex(static_cast<uint32_t>(attributeId) & 0xFF, 2).c_str(), DataValueToXml(data).c_str()));
}

std::unique_ptr<T_COSEMpdu> TMake::ActionRequestNormal(uint32_t classId, const PduStr& instanceId, uint32_t methodId,
                                                       uint32_t invokeIdAndPriority, const T_Data* data) {
  std::string parameters;
  if (data)
    parameters = Format("<MethodInvocationParameters>%s</MethodInvocationParameters>", DataValueToXml(*data).c_str());
  return COSEMPduFromXml(Format(
      "<ActionRequest><ActionRequestNormal><InvokeIdAndPriority Value=\"%s\" /><MethodDescriptor><ClassId "
      "Value=\"%s\" /><InstanceId Value=\"%s\" /><MethodId Value=\"%s\" /></MethodDescriptor>%s</"
      "ActionRequestNormal></ActionRequest>",
      Hex(invokeIdAndPriority, 2).c_str(), Hex(classId, 4).c_str(), TMisc::ByteStrToHexStr(instanceId).c_str(),
      Hex(methodId, 2).c_str(), parameters.c_str()));
}

// ------------------------------------------------------- free routines

std::string DataValueToXml(const T_Data& data) {
  CheckAssertion(data.Value != nullptr, "Data value has an alternative");
  std::string xml = data.Value->ToXMLString();
  if (xml.size() >= 2 && xml.compare(xml.size() - 2, 2, "\r\n") == 0) xml.resize(xml.size() - 2);
  return xml;
}

std::string StripDataTags(std::string_view xml) {
  static constexpr std::string_view kOpen = "<Data>", kClose = "</Data>";
  std::string s(xml);
  if (s.compare(0, kOpen.size(), kOpen) == 0) s.erase(0, kOpen.size());
  size_t at = s.find(kClose);
  if (at != std::string::npos) s.erase(at, kClose.size());
  return s;
}

PduStr DateTimeToCOSEMDateTime(const TLocalDateTime& t) {
  using namespace std::chrono;
  year_month_day date{year{t.Year}, month{static_cast<unsigned>(t.Month)}, day{static_cast<unsigned>(t.Day)}};
  if (t.Year < 0 || t.Year > 0xFFFF || !date.ok() || t.Hour < 0 || t.Hour > 23 || t.Minute < 0 || t.Minute > 59 ||
      t.Second < 0 || t.Second > 59)
    RaiseGeneral(Format("Invalid date and time %d-%.2d-%.2d %.2d:%.2d:%.2d", t.Year, t.Month, t.Day, t.Hour, t.Minute,
                        t.Second));
  unsigned dayOfWeek = weekday{sys_days{date}}.iso_encoding();  // 1 = Monday .. 7 = Sunday
  PduStr s;
  s += static_cast<char>(t.Year >> 8);
  s += static_cast<char>(t.Year & 0xFF);
  s += static_cast<char>(t.Month);
  s += static_cast<char>(t.Day);
  s += static_cast<char>(dayOfWeek);
  s += static_cast<char>(t.Hour);
  s += static_cast<char>(t.Minute);
  s += static_cast<char>(t.Second);
  s += '\x00';  // hundredths
  s += '\x80';  // deviation not specified
  s += '\x00';
  s += '\xFF';  // clock status not specified
  return s;
}

PduStr DateTimeToCOSEMDateTime(std::chrono::system_clock::time_point t) {
  std::time_t secs = std::chrono::system_clock::to_time_t(t);
  std::tm local{};
  localtime_r(&secs, &local);
  TLocalDateTime d;
  d.Year = local.tm_year + 1900;
  d.Month = local.tm_mon + 1;
  d.Day = local.tm_mday;
  d.Hour = local.tm_hour;
  d.Minute = local.tm_min;
  // A leap second shows as second 60; the COSEM field has no room for it.
  d.Second = local.tm_sec > 59 ? 59 : local.tm_sec;
  return DateTimeToCOSEMDateTime(d);
}

}  // namespace quillon
