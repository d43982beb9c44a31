// The ACCESS service: reads, writes and method invocations of an LN
// association that negotiated it travel as one AccessRequest whose
// specifications and data follow the caller's request element by element.
// The AccessResponse is checked against the request and turned back into the
// GetResponse, SetResponse or ActionResponse the caller expects.
#include <vector>

#include "engine/DLMSServices.h"
#include "engine/PduHelpers.h"
#include "engine/ServiceFamilies.h"
#include "xmlpdu/infra/ExchangeErrors.h"

namespace quillon {

namespace {

// Invoke id 1; confirmed service (bit 30) and break-on-error (bit 29); not
// self-descriptive (bit 28) and normal priority (bit 31).
constexpr uint32_t kLongInvokeIdAndPriority = (1u << 30) | (1u << 29) | 1u;

// Tags of the access-request/response-specification alternatives.
enum : int { kSpecGet = 1, kSpecSet = 2, kSpecAction = 3, kSpecGetWithSelection = 4 };

// One element of the caller's request: its access-request-specification XML and its data.
struct TAccessItem {
  std::string SpecXml;
  std::string DataXml;
};

std::string DescriptorXml(const char* element, const char* itemElement, unsigned classId, const PduStr& instanceId,
                          unsigned itemId) {
  return Format("<%s><ClassId Value = \"%s\"/><InstanceId Value = \"%s\" /><%s Value = \"%s\" /></%s>", element,
                TMisc::IntToHex(classId & 0xFFFF, 4).c_str(), TMisc::ByteStrToHexStr(instanceId).c_str(),
                itemElement, Hex2(itemId).c_str(), element);
}

std::string AttributeXml(const T_AttributeDescriptor& a) {
  return DescriptorXml("AttributeDescriptor", "AttributeId", a.FClassId()->Value, a.FInstanceId()->Value,
                       static_cast<uint8_t>(a.FAttributeId()->Value));
}

TAccessItem GetItem(const T_AttributeDescriptor& attribute, const T_SelectiveAccessDescriptor* selection) {
  if (selection == nullptr)
    return {Format("<AccessRequestGet>%s</AccessRequestGet>", AttributeXml(attribute).c_str()), "<NullData />"};
  PduPtr renamed = selection->Clone();
  renamed->XMLId = xmlAccessSelection;
  return {Format("<AccessRequestGetWithSelection>%s%s</AccessRequestGetWithSelection>",
                 AttributeXml(attribute).c_str(), renamed->ToXMLString().c_str()),
          "<NullData />"};
}

TAccessItem SetItem(const T_AttributeDescriptor& attribute, const T_Data& value) {
  return {Format("<AccessRequestSet>%s</AccessRequestSet>", AttributeXml(attribute).c_str()), DataValueToXml(value)};
}

// The access-response-specification that answers an access-request-specification.
int AnswerTag(int requestTag) {
  if (requestTag == kSpecGet || requestTag == kSpecGetWithSelection) return kSpecGet;
  return requestTag == kSpecAction ? kSpecAction : kSpecSet;
}

// What came back for the request: its specifications, each with the data at
// the same position. Owns the response those point into.
struct TAccessAnswer {
  std::unique_ptr<T_COSEMpdu> Response;
  const T_ListOfAccessResponseSpecification* Specifications = nullptr;
  const T_ListOfData* Data = nullptr;
  const T_AccessResponseSpecification& Spec(int i) const { return *(*Specifications)[i]; }
  template <class T>
  const T& Result(int i) const {
    return static_cast<const T&>(*Spec(i).Value);
  }
  const T_Data& DataAt(int i) const { return *(*Data)[i]; }
};

TAccessAnswer Exchange(PDLMSProtocolContext ctx, const std::vector<TAccessItem>& items) {
  std::string specifications, data;
  for (const TAccessItem& item : items) {
    specifications += item.SpecXml;
    data += item.DataXml;
  }
  auto request = TMake::COSEMPduFromXml(Format(
      "<AccessRequest>  <LongInvokeIdAndPriority Value = \"00000000\" />  <DateTime Value = \"\" />  "
      "<AccessRequestBody>    <AccessRequestSpecification Qty = \"AUTO\">%s    </AccessRequestSpecification>    "
      "<AccessRequestListOfData Qty = \"AUTO\">%s    </AccessRequestListOfData>  </AccessRequestBody>"
      "</AccessRequest>",
      specifications.c_str(), data.c_str()));
  T_AccessRequest* access = ServiceOf<T_AccessRequest>(*request);
  CheckAssertion(access != nullptr, "T_AccessRequest");
  access->FLongInvokeIdAndPriority()->Value = kLongInvokeIdAndPriority;
  const T_ListOfAccessRequestSpecification& asked = *access->FAccessRequestBody()->FAccessRequestSpecification();

  // Every request built here is confirmed, so a missing answer (the
  // transport's "No response") stands as the failure it is.
  TAccessAnswer answer;
  answer.Response = TDLMSServices::SendReceiveCOSEMPdu(ctx, *request);
  if (ServiceOf<T_ExceptionResponse>(*answer.Response) != nullptr) throw EExceptionResponse("Unexpected response");
  const T_AccessResponse* response = ServiceOf<T_AccessResponse>(*answer.Response);
  if (response == nullptr) throw EProtocol("Unexpected response");
  if (response->FLongInvokeIdAndPriority()->Value != access->FLongInvokeIdAndPriority()->Value)
    throw EProtocol("Wrong value of long-invoke-id-and-priority");
  if (!response->FDateTime()->Value.empty()) throw EProtocol("Unexpected \"date-time\"");
  const T_AccessResponseBody& body = *response->FAccessResponseBody();
  if (body.FAccessRequestSpecification() != nullptr)
    throw EProtocol("Unexpected \"access-request-specification\" in response");
  answer.Data = body.FAccessResponseListOfData();
  if (answer.Data->ElementCount() != asked.ElementCount())
    throw EProtocol("Unexpected number of elements in \"list-of-data\" in response");
  // The results are read by position: each access-request-specification needs its
  // own answer of the matching kind.
  answer.Specifications = body.FAccessResponseSpecification();
  if (answer.Specifications->ElementCount() != asked.ElementCount())
    throw EProtocol("Unexpected number of elements in \"access-response-specification\" in response");
  for (int i = 0; i < asked.ElementCount(); ++i)
    if (answer.Spec(i).Tag != AnswerTag(asked[i]->Tag))
      throw EProtocol("Access-response-specification does not match the request");
  return answer;
}

std::string GetNormalResult(const TAccessAnswer& answer, const std::string& invokeId) {
  const T_DataAccessResult& result = *answer.Result<T_AccessResponseGet>(0).FResult();
  if (result.Value != 0) return GetResponseNormalError(invokeId, result.GetString());
  return GetResponseNormalData(invokeId, answer.DataAt(0));
}

std::string GetListResult(const TAccessAnswer& answer, const std::string& invokeId) {
  const int count = answer.Specifications->ElementCount();
  std::string xml = Format("<GetResponseWithList><InvokeIdAndPriority Value = \"%s\" /><Result Qty=\"%s\">",
                           invokeId.c_str(), TMisc::IntToHex(static_cast<unsigned>(count), 4).c_str());
  for (int i = 0; i < count; ++i) {
    const T_DataAccessResult& result = *answer.Result<T_AccessResponseGet>(i).FResult();
    xml += result.Value != 0 ? Format("<DataAccessError Value = \"%s\" />", result.GetString().c_str())
                             : DataElementXml(answer.DataAt(i));
  }
  xml += "</Result></GetResponseWithList>";
  return TCOSEMPduBase::Clean(xmlGetResponseWithList, &T_GetResponseWithList::ClassInfo, xml);
}

}  // namespace

std::string TAccessServices::Read(PDLMSProtocolContext ctx, const std::string& requestXml) {
  auto request = TMake::COSEMPduFromXml(Format("<GetRequest> %s </GetRequest>", requestXml.c_str()));
  const T_GetRequest* get = ServiceOf<T_GetRequest>(*request);
  CheckAssertion(get != nullptr, "T_GetRequest");
  if (get->Tag == 1) {
    const auto& normal = static_cast<const T_GetRequestNormal&>(*get->Value);
    TAccessAnswer answer = Exchange(ctx, {GetItem(*normal.FAttributeDescriptor(), normal.FAccessSelection())});
    return GetNormalResult(answer, Hex2(normal.FInvokeIdAndPriority()->Value));
  }
  if (get->Tag != 3) RaiseGeneral(Format("Unsupported request %s", ChoiceName(*get).c_str()));
  const auto& withList = static_cast<const T_GetRequestWithList&>(*get->Value);
  const T_ListOfAttributeDescriptorWithSelection& list = *withList.FAttributeDescriptorList();
  std::vector<TAccessItem> items;
  for (int i = 0; i < list.ElementCount(); ++i)
    items.push_back(GetItem(*list[i]->FAttributeDescriptor(), list[i]->FAccessSelection()));
  return GetListResult(Exchange(ctx, items), Hex2(withList.FInvokeIdAndPriority()->Value));
}

std::string TAccessServices::Write(PDLMSProtocolContext ctx, const std::string& requestXml) {
  auto request = TMake::COSEMPduFromXml(Format("<SetRequest> %s </SetRequest>", requestXml.c_str()));
  const T_SetRequest* set = ServiceOf<T_SetRequest>(*request);
  CheckAssertion(set != nullptr, "T_SetRequest");
  if (set->Tag == 1) {
    const auto& normal = static_cast<const T_SetRequestNormal&>(*set->Value);
    // Dropping the selection would overwrite the whole attribute where the
    // caller meant a part of it.
    if (normal.FAccessSelection() != nullptr) RaiseGeneral("SetRequest with access selection is not supported");
    TAccessAnswer answer = Exchange(ctx, {SetItem(*normal.FAttributeDescriptor(), *normal.FValue())});
    return TCOSEMPduBase::Clean(
        xmlSetResponseNormal, &T_SetResponseNormal::ClassInfo,
        Format("<SetResponseNormal><InvokeIdAndPriority Value=\"%s\" /><Result Value = \"%s\" /></SetResponseNormal>",
               Hex2(normal.FInvokeIdAndPriority()->Value).c_str(),
               answer.Result<T_AccessResponseSet>(0).FResult()->GetString().c_str()));
  }
  if (set->Tag != 4) RaiseGeneral(Format("Unsupported request %s", ChoiceName(*set).c_str()));
  const auto& withList = static_cast<const T_SetRequestWithList&>(*set->Value);
  const T_ListOfAttributeDescriptorWithSelection& list = *withList.FAttributeDescriptorList();
  const T_ListOfData& values = *withList.FValueList();
  // Each attribute needs its value; a request that pairs them unevenly is
  // the caller's mistake and must not reach the meter.
  if (values.ElementCount() != list.ElementCount())
    RaiseGeneral(Format("SetRequestWithList has %d attributes but %d values", list.ElementCount(),
                        values.ElementCount()));
  std::vector<TAccessItem> items;
  for (int i = 0; i < list.ElementCount(); ++i) {
    if (list[i]->FAccessSelection() != nullptr) RaiseGeneral("Access/WithList/SelectiveAccess not implemented");
    items.push_back(SetItem(*list[i]->FAttributeDescriptor(), *values[i]));
  }
  TAccessAnswer answer = Exchange(ctx, items);
  std::string xml = Format("<SetResponseWithList><InvokeIdAndPriority Value = \"%s\" /><Result Qty=\"%s\">",
                           Hex2(withList.FInvokeIdAndPriority()->Value).c_str(),
                           TMisc::IntToHex(static_cast<unsigned>(answer.Specifications->ElementCount()), 4).c_str());
  for (int i = 0; i < answer.Specifications->ElementCount(); ++i)
    xml += Format("<_DataAccessResult Value = \"%s\" />",
                  answer.Result<T_AccessResponseSet>(i).FResult()->GetString().c_str());
  xml += "</Result></SetResponseWithList>";
  return TCOSEMPduBase::Clean(xmlSetResponseWithList, &T_SetResponseWithList::ClassInfo, xml);
}

std::string TAccessServices::Invoke(PDLMSProtocolContext ctx, const std::string& requestXml) {
  auto request = TMake::COSEMPduFromXml("<ActionRequest>" + requestXml + "</ActionRequest>");
  const T_ActionRequest* action = ServiceOf<T_ActionRequest>(*request);
  CheckAssertion(action != nullptr, "T_ActionRequest");
  if (action->Tag != 1) RaiseGeneral(Format("Unsupported request %s", ChoiceName(*action).c_str()));
  const auto& normal = static_cast<const T_ActionRequestNormal&>(*action->Value);
  const T_MethodDescriptor& m = *normal.FMethodDescriptor();
  TAccessAnswer answer = Exchange(
      ctx, {{Format("<AccessRequestAction>%s</AccessRequestAction>",
                    DescriptorXml("MethodDescriptor", "MethodId", m.FClassId()->Value, m.FInstanceId()->Value,
                                  static_cast<uint8_t>(m.FMethodId()->Value))
                        .c_str()),
             MethodParameterXml(normal.FMethodInvocationParameters())}});
  const std::string invokeId = Hex2(normal.FInvokeIdAndPriority()->Value);
  const T_ActionResult& result = *answer.Result<T_AccessResponseAction>(0).FResult();
  if (result.Value != 0) return ActionResponseNormalOf(invokeId, result.GetString());
  return ActionResponseNormalOf(invokeId, "Success", &answer.DataAt(0));
}

}  // namespace quillon
