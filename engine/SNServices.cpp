// The short-name family: the caller still addresses attributes and methods by
// class id, logical name and item id; every item becomes a short name through
// the caller's lookup, the request a ReadRequest or WriteRequest, and the
// answer is turned back into the GetResponse or ActionResponse the caller
// expects.
#include "engine/DLMSServices.h"
#include "engine/ExtendedContext.h"
#include "engine/PduHelpers.h"
#include "engine/ServiceFamilies.h"
#include "xmlpdu/infra/ExchangeErrors.h"

namespace quillon {

namespace {

std::string Hex4(unsigned value) { return TMisc::IntToHex(value & 0xFFFF, 4); }

[[noreturn]] void Unexpected(const std::string& received, const std::string& to) {
  throw EProtocol(Format("Unexpected response %s to %s", received.c_str(), to.c_str()));
}

// ------------------------------------------------------------ requests

uint16_t ShortNameOf(PDLMSProtocolContext ctx, const T_AttributeDescriptor& attribute) {
  return TContextHelper::ShortNameOfAttribute(ctx, attribute.FInstanceId()->Value, attribute.FClassId()->Value,
                                              attribute.FAttributeId()->Value);
}

// One entry of a ReadRequest: the bare short name, or the short name with
// the caller's selective access as a parameterised access.
std::string ReadEntryXml(PDLMSProtocolContext ctx, const T_AttributeDescriptor& attribute,
                         const T_SelectiveAccessDescriptor* selection) {
  const uint16_t name = ShortNameOf(ctx, attribute);
  if (selection == nullptr) return Format("<VariableName Value = \"%s\" />", Hex4(name).c_str());
  return Format(
      "<ParameterisedAccess><VariableName Value=\"%s\" /><Selector Value=\"%s\" /><Parameter>%s</Parameter>"
      "</ParameterisedAccess>",
      Hex4(name).c_str(), Hex2(selection->FAccessSelector()->Value).c_str(),
      DataValueToXml(*selection->FAccessParameters()).c_str());
}

std::unique_ptr<T_COSEMpdu> ReadRequestOf(const std::string& entries, size_t count) {
  // The self-closed opening element starts the list; the reader takes it as
  // the opening of a list whose elements follow.
  return TMake::COSEMPduFromXml(Format("<ReadRequest Qty = \"%s\"/>", Hex4(static_cast<unsigned>(count)).c_str()) +
                                entries + "</ReadRequest>");
}

// --------------------------------------------------- read block transfer

// Collects a long answer that the server sends as data blocks, asking for
// each next block, and decodes the whole as the ReadResponse it stands for.
std::unique_ptr<T_ReadResponse> CollectReadBlocks(PDLMSProtocolContext ctx, const T_DataBlockResult& first) {
  CheckBlocksAllowed(ctx, false);
  PduStr collected = first.FRawData()->Value;
  uint32_t number = first.FBlockNumber()->Value;
  bool last = first.FLastBlock()->Value != 0;
  TBlockLimit limit;
  limit.Count(collected.size());
  while (!last) {
    auto request = TMake::COSEMPduFromXml(
        Format("<ReadRequest Qty=\"01\">  <BlockNumberAccess>    <BlockNumber Value=\"%s\"/>  </BlockNumberAccess>"
               "</ReadRequest>",
               Hex4(number).c_str()));
    auto response = TDLMSServices::SendReceiveCOSEMPdu(ctx, *request);
    const T_ReadResponse* read = ServiceOf<T_ReadResponse>(*response);
    if (read == nullptr)
      throw EProtocol(
          Format("Unexpected response %s during ReadRequest block transfer", ApduName(*response).c_str()));
    if (read->ElementCount() != 1)
      throw EProtocol(
          Format("Unexpected element count %d during ReadRequest block transfer", read->ElementCount()));
    const T_SingleReadResponse& element = *(*read)[0];
    if (element.Tag != 2)
      throw EProtocol(
          Format("Unexpected variant %s during ReadRequest block transfer", ChoiceName(element).c_str()));
    const auto& block = static_cast<const T_DataBlockResult&>(*element.Value);
    const uint32_t received = block.FBlockNumber()->Value;
    if (received != number + 1)
      throw EProtocol(Format("Unexpected block number %d during ReadRequest block transfer",
                             static_cast<int>(received)));
    limit.Count(block.FRawData()->Value.size());
    collected += block.FRawData()->Value;
    CheckReassembledSize(collected.size());
    number = received;
    last = block.FLastBlock()->Value != 0;
  }
  auto whole = DecodeReceived<T_ReadResponse>(TContextHelper::Logging(ctx), xmlReadResponse, collected,
                                              "reassembled data");
  TContextHelper::Logging(ctx).LogProtocolItem(*whole, "", 0);
  return whole;
}

// The ReadResponse a read ends with: the one received, or the one its data
// blocks make up when its only element opens a block transfer.
struct TReadAnswer {
  std::unique_ptr<T_COSEMpdu> Response;
  std::unique_ptr<T_ReadResponse> Reassembled;
  const T_ReadResponse* Read = nullptr;
};

// expectedCount: how many results the answer must carry once any data
// blocks are reassembled.
TReadAnswer SendRead(PDLMSProtocolContext ctx, const T_COSEMpdu& request, int expectedCount) {
  TReadAnswer answer;
  answer.Response = TDLMSServices::SendReceiveCOSEMPdu(ctx, request);
  answer.Read = ServiceOf<T_ReadResponse>(*answer.Response);
  if (answer.Read == nullptr) Unexpected(ApduName(*answer.Response), "ReadRequest");
  const auto checkCount = [&answer](int expected) {
    if (expected >= 0 && answer.Read->ElementCount() != expected)
      throw EProtocol(Format("Wrong element count (%d) in ReadResponse", answer.Read->ElementCount()));
  };
  // A list read may get its results in one block transfer; a single read
  // must see its one element before it follows blocks.
  if (expectedCount == 1) checkCount(1);
  if (answer.Read->ElementCount() == 1 && (*answer.Read)[0]->Tag == 2) {
    answer.Reassembled = CollectReadBlocks(ctx, static_cast<const T_DataBlockResult&>(*(*answer.Read)[0]->Value));
    answer.Read = answer.Reassembled.get();
  }
  // Results are matched to attributes by position: a short or long answer
  // would hand the caller values of the wrong attributes.
  checkCount(expectedCount);
  return answer;
}

// ------------------------------------------------------------- results

std::string GetResponseNormalOf(const T_SingleReadResponse& element, const std::string& invokeId) {
  if (element.Tag == 0) return GetResponseNormalData(invokeId, static_cast<const T_Data&>(*element.Value));
  if (element.Tag == 1)
    return GetResponseNormalError(invokeId, static_cast<const T_DataAccessResult&>(*element.Value).GetString());
  // A block number or a block inside a reassembled answer is no result.
  Unexpected(ChoiceName(element), "ReadRequest");
}

std::string GetResponseWithListOf(const T_ReadResponse& read) {
  std::string xml = Format("<GetResponseWithList><InvokeIdAndPriority Value=\"00\" /><Result Qty=\"%s\">",
                           Hex4(static_cast<unsigned>(read.ElementCount())).c_str());
  for (int i = 0; i < read.ElementCount(); ++i) {
    const T_SingleReadResponse& element = *read[i];
    if (element.Tag == 0)
      xml += DataElementXml(static_cast<const T_Data&>(*element.Value));
    else if (element.Tag == 1)
      xml += Format("<DataAccessError Value = \"%s\"/>",
                    static_cast<const T_DataAccessResult&>(*element.Value).GetString().c_str());
    else
      Unexpected(ChoiceName(element), "ReadRequest");
  }
  xml += "</Result></GetResponseWithList>";
  return TCOSEMPduBase::Clean(xmlGetResponseWithList, &T_GetResponseWithList::ClassInfo, xml);
}

// ------------------------------------------------------------- services

std::string ReadOne(PDLMSProtocolContext ctx, const T_GetRequestNormal& normal) {
  auto request = ReadRequestOf(ReadEntryXml(ctx, *normal.FAttributeDescriptor(), normal.FAccessSelection()), 1);
  TReadAnswer answer = SendRead(ctx, *request, 1);
  return GetResponseNormalOf(*(*answer.Read)[0], Hex2(normal.FInvokeIdAndPriority()->Value));
}

std::string ReadList(PDLMSProtocolContext ctx, const T_GetRequestWithList& withList) {
  const T_ListOfAttributeDescriptorWithSelection& list = *withList.FAttributeDescriptorList();
  std::string entries;
  for (int i = 0; i < list.ElementCount(); ++i)
    entries += ReadEntryXml(ctx, *list[i]->FAttributeDescriptor(), list[i]->FAccessSelection());
  auto request = ReadRequestOf(entries, static_cast<size_t>(list.ElementCount()));
  TReadAnswer answer = SendRead(ctx, *request, list.ElementCount());
  if (answer.Read->ElementCount() == 1) return GetResponseNormalOf(*(*answer.Read)[0], "00");
  return GetResponseWithListOf(*answer.Read);
}

// Writes one value to one short name; the answer has the shape of an
// action response.
std::string WriteShortName(PDLMSProtocolContext ctx, uint16_t name, const std::string& valueXml) {
  auto request = TMake::COSEMPduFromXml(
      Format("<WriteRequest><ListOfVariableAccessSpecification Qty=\"01\"><VariableName Value=\"%s\" />"
             "</ListOfVariableAccessSpecification><ListOfData Qty=\"01\">%s</ListOfData></WriteRequest>",
             Hex4(name).c_str(), valueXml.c_str()));
  auto response = TDLMSServices::SendReceiveCOSEMPdu(ctx, *request);
  const T_WriteResponse* write = ServiceOf<T_WriteResponse>(*response);
  if (write == nullptr) Unexpected(ApduName(*response), ApduName(*request));
  if (write->ElementCount() != 1)
    throw EProtocol(Format("Wrong element count (%d) in WriteResponse", write->ElementCount()));
  const T_SingleWriteResponse& element = *(*write)[0];
  if (element.Tag == 0) return ActionResponseNormalOf("00", "Success");
  if (element.Tag == 1)
    return ActionResponseNormalOf("00", static_cast<const T_DataAccessResult&>(*element.Value).GetString());
  Unexpected(ChoiceName(element), ApduName(*request));
}

}  // namespace

std::string TSNServices::Read(PDLMSProtocolContext ctx, const std::string& requestXml) {
  auto request = TMake::COSEMPduFromXml(Format("<GetRequest> %s </GetRequest>", requestXml.c_str()));
  const T_GetRequest* get = ServiceOf<T_GetRequest>(*request);
  CheckAssertion(get != nullptr, "T_GetRequest");
  if (get->Tag == 1) return ReadOne(ctx, static_cast<const T_GetRequestNormal&>(*get->Value));
  if (get->Tag == 3) return ReadList(ctx, static_cast<const T_GetRequestWithList&>(*get->Value));
  RaiseGeneral(Format("Unsupported request %s", ChoiceName(*get).c_str()));
}

std::string TSNServices::Write(PDLMSProtocolContext ctx, const std::string& requestXml) {
  auto request = TMake::COSEMPduFromXml(Format("<SetRequest> %s </SetRequest>", requestXml.c_str()));
  const T_SetRequest* set = ServiceOf<T_SetRequest>(*request);
  CheckAssertion(set != nullptr, "T_SetRequest");
  if (set->Tag == 4) RaiseGeneral("WriteRequest for more that one attribute not implemented");
  if (set->Tag != 1) RaiseGeneral(Format("Unsupported request %s", ChoiceName(*set).c_str()));
  const auto& normal = static_cast<const T_SetRequestNormal&>(*set->Value);
  // Short-name writes have no selective access; a selection is not sent.
  return WriteShortName(ctx, ShortNameOf(ctx, *normal.FAttributeDescriptor()), DataValueToXml(*normal.FValue()));
}

std::string TSNServices::Invoke(PDLMSProtocolContext ctx, const std::string& requestXml, bool expectReturnParameters) {
  auto action = MakeFromXml<T_ActionRequestNormal>(xmlActionRequestNormal, requestXml);
  const T_MethodDescriptor& method = *action->FMethodDescriptor();
  const uint16_t name = TContextHelper::ShortNameOfMethod(ctx, method.FInstanceId()->Value, method.FClassId()->Value,
                                                          method.FMethodId()->Value);
  const std::string parameter = MethodParameterXml(action->FMethodInvocationParameters());
  if (!expectReturnParameters) return WriteShortName(ctx, name, parameter);

  auto request = TMake::COSEMPduFromXml(
      Format("<ReadRequest Qty=\"01\">  <ParameterisedAccess>    <VariableName Value=\"%s\" />    <Selector "
             "Value=\"00\" />    <Parameter>      %s    </Parameter>  </ParameterisedAccess></ReadRequest>",
             Hex4(name).c_str(), parameter.c_str()));
  // A long return value may come in data blocks like any read.
  TReadAnswer answer = SendRead(ctx, *request, 1);
  const T_SingleReadResponse& element = *(*answer.Read)[0];
  if (element.Tag == 0) return ActionResponseNormalOf("00", "Success", static_cast<const T_Data*>(element.Value.get()));
  if (element.Tag == 1)
    return ActionResponseNormalOf("00", static_cast<const T_DataAccessResult&>(*element.Value).GetString());
  Unexpected(ChoiceName(element), ApduName(*request));
}

// ------------------------------------------- shared with the ACCESS service

std::string MethodParameterXml(const T_Data* parameters) {
  return parameters != nullptr ? DataValueToXml(*parameters) : std::string("<NullData />");
}

// A GetResponseNormal around the Data element `data` writes, as the
// response's tree would write it: no tree of the response is made and no
// text of it read again, which for a load profile of megabytes is most of
// the work.
template <class F>
std::string GetResponseNormalAround(const std::string& invokeId, size_t valueBytes, F&& data) {
  TScriptStream s;
  s.ReserveForBytes(valueBytes);
  s.XMLOpenTagLn(XMLIdName(xmlGetResponseNormal));
  ++s.Indent;
  s.EmitTagAttrLn(XMLIdName(xmlInvokeIdAndPriority), XMLIdName(xmlValue), invokeId);
  s.XMLOpenTagLn(XMLIdName(xmlResult));
  ++s.Indent;
  data(s);
  --s.Indent;
  s.XMLCloseTagLn(XMLIdName(xmlResult));
  --s.Indent;
  s.XMLCloseTagLn(XMLIdName(xmlGetResponseNormal));
  if (s.Deferred) std::rethrow_exception(s.Deferred);
  return s.Take();
}

std::string GetResponseNormalData(const std::string& invokeId, const T_Data& data) {
  CheckAssertion(data.Value != nullptr, "CHOICE has a selected alternative");
  return GetResponseNormalAround(invokeId, 0, [&](TScriptStream& s) {
    s.Element(xmlData, [&] { data.Value->ToXML(s); });
  });
}

std::string GetResponseNormalOfRawData(const TLoggingContext& logging, uint8_t invokeId, const PduStr& raw) {
  TStringWrapper r(raw);
  std::string xml = GetResponseNormalAround(Hex2(invokeId), raw.size(), [&](TScriptStream& s) {
    T_Data::ClassInfo.PduToXml(xmlData, r, s);
  });
  LogIgnoredBytes(logging, r.GetRemainingBytes(), "reassembled data");
  return xml;
}

std::string GetResponseNormalError(const std::string& invokeId, const std::string& resultName) {
  // The reader matches names regardless of case: this reads as GetResponseNormal.
  return TCOSEMPduBase::Clean(
      xmlGetResponseNormal, &T_GetResponseNormal::ClassInfo,
      Format("<GetResponsenormal><InvokeIdAndPriority Value=\"%s\" /><Result><DataAccessError Value=\"%s\" />"
             "</Result></GetResponsenormal>",
             invokeId.c_str(), resultName.c_str()));
}

std::string ActionResponseNormalOf(const std::string& invokeId, const std::string& resultName,
                                   const T_Data* returnParameters) {
  const std::string returned =
      returnParameters != nullptr
          ? Format("<ReturnParameters>%s</ReturnParameters>", DataElementXml(*returnParameters).c_str())
          : std::string();
  return TCOSEMPduBase::Clean(
      xmlActionResponseNormal, &T_ActionResponseNormal::ClassInfo,
      Format("<ActionResponseNormal><InvokeIdAndPriority Value=\"%s\" /><Result Value=\"%s\" />%s"
             "</ActionResponseNormal>",
             invokeId.c_str(), resultName.c_str(), returned.c_str()));
}

std::string DataElementXml(const T_Data& data) {
  PduPtr copy = data.Clone();
  copy->XMLId = xmlData;
  return copy->ToXMLString();
}

}  // namespace quillon
