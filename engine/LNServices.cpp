// The read, write and invoke services: the choice of service family, and the
// logical-name family itself (GET, SET and ACTION with their block transfers).
#include "engine/DLMSServices.h"

#include <optional>

#include "xmlpdu/infra/ExchangeErrors.h"
#include "engine/ExtendedContext.h"
#include "engine/PduHelpers.h"
#include "engine/ServiceFamilies.h"

namespace quillon {

namespace {

// Room kept free in an APDU for the protection a request may still receive.
constexpr int64_t kProtectionReserve = 28;

enum class TServiceFamily { sfShortName, sfAccess, sfLogicalName };

TServiceFamily FamilyFor(PDLMSProtocolContext ctx, bool isInvoke) {
  if (!TContextHelper::IsLNReferencing(ctx)) return TServiceFamily::sfShortName;
  const bool accessAllowed = (ctx->Options & DLMS_OPTION_NO_ACCESS_SERVICE) == 0 &&
                             TContextHelper::NegotiatedConformanceAsParameterSet(ctx).Contains(rcACCESS);
  if (accessAllowed && !(isInvoke && TContextHelper::State(ctx).UseProtectionAppliedToInitiateRequest))
    return TServiceFamily::sfAccess;
  return TServiceFamily::sfLogicalName;
}

bool Negotiated(PDLMSProtocolContext ctx, TPPReservedConst bit) {
  return TContextHelper::NegotiatedConformanceAsParameterSet(ctx).Contains(bit);
}

// The service CHOICE of a request the engine wrapped itself.
template <class T>
T& RequestService(const T_COSEMpdu& request) {
  T* service = ServiceOf<T>(request);
  CheckAssertion(service != nullptr, T::ClassInfo.Name);
  return *service;
}

[[noreturn]] void UnexpectedResponse(const std::string& received, const std::string& to) {
  throw EProtocol(Format("Unexpected response %s to %s", received.c_str(), to.c_str()));
}

// ---------------------------------------------------------------- GET

// What a GET block transfer delivered: raw data, or a result that ended it.
struct TGetBlocks {
  PduStr RawData;
  const T_DataAccessResult* Error = nullptr;
  std::unique_ptr<T_COSEMpdu> LastResponse;  // owns Error
};

TGetBlocks CollectGetBlocks(PDLMSProtocolContext ctx, std::unique_ptr<T_COSEMpdu> first) {
  CheckBlocksAllowed(ctx, false);
  TGetBlocks out;
  out.LastResponse = std::move(first);
  TBlockLimit limit;
  for (;;) {
    auto& withBlock = static_cast<T_GetResponseWithDataBlock&>(*ServiceOf<T_GetResponse>(*out.LastResponse)->Value);
    T_DataBlock_G& block = *withBlock.FResult();
    T_DataBlockGResult& result = *block.FResult();
    if (result.Tag == 1) {
      out.Error = static_cast<const T_DataAccessResult*>(result.Value.get());
      return out;
    }
    const PduStr& raw = static_cast<const T_OctetString&>(*result.Value).Value;
    limit.Count(raw.size());
    out.RawData += raw;
    CheckReassembledSize(out.RawData.size());
    if (block.FLastBlock()->Value != 0) return out;

    const uint32_t number = block.FBlockNumber()->Value;
    auto next = TMake::GetRequestForNextDataBlock(0xC1, number);
    out.LastResponse = TDLMSServices::SendReceiveCOSEMPdu(ctx, *next);
    T_GetResponse* response = ServiceOf<T_GetResponse>(*out.LastResponse);
    if (response == nullptr)
      throw EProtocol(Format("Unexpected response %s to GetRequest", ApduName(*out.LastResponse).c_str()));
    if (response->Tag != 2)
      throw EProtocol(
          Format("Unexpected response %s to GetRequestForNextDataBlock", ChoiceName(*response).c_str()));
    const uint32_t received =
        static_cast<T_GetResponseWithDataBlock&>(*response->Value).FResult()->FBlockNumber()->Value;
    if (received != number + 1)
      throw EProtocol(Format("Block number out of sequence rec.%u, exp.%u", received, number + 1));
  }
}

std::string GetResultFromBlocks(PDLMSProtocolContext ctx, const TGetBlocks& blocks, bool withList, uint8_t invokeId) {
  if (blocks.Error != nullptr) return GetResponseNormalError(Hex2(invokeId), blocks.Error->GetString());
  const TLoggingContext& logging = TContextHelper::Logging(ctx);
  if (!withList) return GetResponseNormalOfRawData(logging, invokeId, blocks.RawData);
  auto results = DecodeReceived<T_ListOfGetDataResult>(logging, xmlResult, blocks.RawData, "reassembled data");
  return TCOSEMPduBase::Clean(
      xmlGetResponseWithList, &T_GetResponseWithList::ClassInfo,
      Format("<GetResponseWithList><InvokeIdAndPriority Value=\"%s\" />%s</GetResponseWithList>",
             Hex2(invokeId).c_str(), results->ToXMLString().c_str()));
}

// What a GET's response gives the caller. request is the GetRequest sent.
std::string GetResult(PDLMSProtocolContext ctx, const T_COSEMpdu& request, std::unique_ptr<T_COSEMpdu> response) {
  const T_GetRequest& get = RequestService<T_GetRequest>(request);
  const bool withList = get.Tag == 3;
  const uint8_t invokeId =
      withList ? static_cast<T_GetRequestWithList&>(*get.Value).FInvokeIdAndPriority()->Value
               : static_cast<T_GetRequestNormal&>(*get.Value).FInvokeIdAndPriority()->Value;
  T_GetResponse* got = ServiceOf<T_GetResponse>(*response);
  if (got == nullptr) UnexpectedResponse(ApduName(*response), ApduName(request));
  if (got->Tag == 2) return GetResultFromBlocks(ctx, CollectGetBlocks(ctx, std::move(response)), withList, invokeId);
  if (got->Tag != (withList ? 3 : 1)) UnexpectedResponse(ChoiceName(*got), ChoiceName(get));
  return got->Value->ToXMLString();
}

constexpr uint8_t kGetRequestTag = 192;
constexpr uint8_t kGetResponseTag = 196;
constexpr uint8_t kNormalTag = 1;

// A GetRequestNormal exchanged without element trees: its bytes come straight
// from the XML and a GetResponseNormal's XML straight from its bytes, as the
// trees would give them. Anything else in answer is read into a tree and
// handled as always. Empty when the request is not a GetRequestNormal.
std::optional<std::string> GetNormalWithoutTrees(PDLMSProtocolContext ctx, const std::string& xml) {
  const PduStr request = TCOSEMPduBase::XmlToPduStr(xmlIgnore, &T_COSEMpdu::ClassInfo, xml);
  if (request.size() < 2 || static_cast<uint8_t>(request[0]) != kGetRequestTag ||
      static_cast<uint8_t>(request[1]) != kNormalTag)
    return std::nullopt;
  std::unique_ptr<T_COSEMpdu> response;
  const PduStr answer = TCiphering::SendReceivePlainBytes(ctx, request, response);
  const TLoggingContext& logging = TContextHelper::Logging(ctx);
  if (response == nullptr && answer.size() >= 2 && static_cast<uint8_t>(answer[0]) == kGetResponseTag &&
      static_cast<uint8_t>(answer[1]) == kNormalTag) {
    TStringWrapper r(answer);
    r.FIndex = 3;
    // The response APDU and its service CHOICE count towards the nesting
    // limit as they do when the whole APDU is read into a tree.
    TNestingGuard apdu;
    TNestingGuard service;
    std::string result =
        TCOSEMPduBase::PduToXMLString(xmlGetResponseNormal, &T_GetResponseNormal::ClassInfo, r);
    LogIgnoredBytes(logging, r.GetRemainingBytes(), "response APDU");
    return result;
  }
  if (response == nullptr) response = DecodeReceived<T_COSEMpdu>(logging, xmlIgnore, answer, "response APDU");
  return GetResult(ctx, *TMake::COSEMPduFromPdu(request), std::move(response));
}

std::string DoGet(PDLMSProtocolContext ctx, const std::string& requestXml) {
  std::string xml;
  xml.reserve(requestXml.size() + 32);
  xml.append("<GetRequest> ").append(requestXml).append(" </GetRequest>");
  if (TCiphering::ExchangesPlainBytes(ctx))
    if (auto result = GetNormalWithoutTrees(ctx, xml)) return *result;
  auto request = TMake::COSEMPduFromXml(xml);
  T_GetRequest& get = RequestService<T_GetRequest>(*request);
  if (get.Tag != 1 && get.Tag != 3) RaiseGeneral(Format("Unsupported request %s", ChoiceName(get).c_str()));
  auto response = TDLMSServices::SendReceiveCOSEMPdu(ctx, *request);
  return GetResult(ctx, *request, std::move(response));
}

// ---------------------------------------------------------------- SET

// Moves the next part of the value into a block: as much as the negotiated
// size leaves room for, the rest in later blocks.
void FillBlock(PDLMSProtocolContext ctx, const T_COSEMpdu& request, T_DataBlock_SA& block, uint32_t number,
               const PduStr& value, size_t& pos) {
  block.FBlockNumber()->Value = number;
  block.FRawData()->Value.clear();
  const int64_t room =
      static_cast<int64_t>(ctx->NegotiatedMaxPduSize) - kProtectionReserve - request.PDUSize() - 4;
  if (room <= 0)
    RaiseGeneral(Format("Negotiated max PDU size %d too small for block transfer", ctx->NegotiatedMaxPduSize));
  const size_t left = value.size() - pos;
  const size_t take = static_cast<uint64_t>(room) < left ? static_cast<size_t>(room) : left;
  block.FRawData()->Value = value.substr(pos, take);
  block.FLastBlock()->Value = take == left ? 1 : 0;
  pos += take;
}

std::string SetInBlocks(PDLMSProtocolContext ctx, const T_SetRequestNormal& normal) {
  const PduStr value = normal.FValue()->Encoded();
  const uint8_t invokeId = normal.FInvokeIdAndPriority()->Value;
  size_t pos = 0;
  uint32_t number = 1;

  const T_AttributeDescriptor& attribute = *normal.FAttributeDescriptor();
  auto request = TMake::SetRequestWithFirstDataBlock(attribute.FClassId()->Value, attribute.FInstanceId()->Value,
                                                     static_cast<uint8_t>(attribute.FAttributeId()->Value), invokeId);
  FillBlock(ctx, *request,
            *static_cast<T_SetRequestWithFirstDataBlock&>(*ServiceOf<T_SetRequest>(*request)->Value).FDataBlock(),
            number, value, pos);
  for (;;) {
    const bool sentLast = pos >= value.size();
    auto response = TDLMSServices::SendReceiveCOSEMPdu(ctx, *request);
    T_SetResponse* set = ServiceOf<T_SetResponse>(*response);
    if (set == nullptr)
      throw EProtocol(Format("Unexpected response %s to SetRequest", ApduName(*response).c_str()));
    if (set->Tag == 3) {
      // Success for the last block while blocks remain unsent, or for another
      // block than the last one sent, would report a partial write as done.
      auto& last = static_cast<T_SetResponseForLastDataBlock&>(*set->Value);
      if (!sentLast)
        throw EProtocol(Format("SetResponseForLastDataBlock received after block %u, before the last block was sent",
                               number));
      if (last.FBlockNumber()->Value != number)
        throw EProtocol(Format("Unexpected BlockNumber %u in SetResponseForLastDataBlock, last block sent %u",
                               last.FBlockNumber()->Value, number));
      return TCOSEMPduBase::Clean(
          xmlSetResponseNormal, &T_SetResponseNormal::ClassInfo,
          Format("<SetResponseNormal><InvokeIdAndPriority Value=\"%s\" /><Result Value=\"%s\" /></SetResponseNormal>",
                 Hex2(invokeId).c_str(), last.FResult()->GetString().c_str()));
    }
    // Acknowledging the last block as an ordinary one would make us send
    // empty blocks for as long as the server keeps asking.
    if (set->Tag != 2 || sentLast) throw EProtocol("Unexpected response during Block-transfer_with_set");
    const uint32_t acknowledged = static_cast<T_SetResponseForDataBlock&>(*set->Value).FBlockNumber()->Value;
    if (acknowledged != number)
      throw EProtocol(Format("Unexpected BlockNumber %u in SetResponseForDataBlock", acknowledged));
    ++number;
    request = TMake::SetRequestWithDataBlock();
    auto& next = static_cast<T_SetRequestWithDataBlock&>(*ServiceOf<T_SetRequest>(*request)->Value);
    next.FInvokeIdAndPriority()->Value = invokeId;
    FillBlock(ctx, *request, *next.FDataBlock(), number, value, pos);
  }
}

std::string DoSet(PDLMSProtocolContext ctx, const std::string& requestXml) {
  auto request = TMake::COSEMPduFromXml(Format("<SetRequest> %s </SetRequest>", requestXml.c_str()));
  T_SetRequest& set = RequestService<T_SetRequest>(*request);
  if (set.Tag != 1 && set.Tag != 4) RaiseGeneral(Format("Unsupported request %s", ChoiceName(set).c_str()));
  const bool withList = set.Tag == 4;
  if (!withList && static_cast<T_SetRequestNormal&>(*set.Value).FAccessSelection() != nullptr)
    RaiseGeneral("SetRequest with access selection is not supported");

  const bool fits = request->PDUSize() + kProtectionReserve <= static_cast<int64_t>(ctx->NegotiatedMaxPduSize);
  if (!fits) {
    if (Negotiated(ctx, rcBLOCK_TRANSFER_WITH_SET_OR_WRITE)) {
      if (withList) RaiseGeneral("SetRequest with list and block transfer not supported");
      return SetInBlocks(ctx, static_cast<T_SetRequestNormal&>(*set.Value));
    }
    if (!Negotiated(ctx, rcGENERAL_BLOCK_TRANSFER)) RaiseGeneral("Block transfer needed but not supported");
  }
  auto response = TDLMSServices::SendReceiveCOSEMPdu(ctx, *request);
  T_SetResponse* answer = ServiceOf<T_SetResponse>(*response);
  if (answer == nullptr)
    throw EProtocol(Format("Unexpected response %s to SetRequest", ApduName(*response).c_str()));
  if (answer->Tag != (withList ? 5 : 1))
    throw EProtocol(Format("Unexpected response %s to SetRequest", ChoiceName(*answer).c_str()));
  return answer->Value->ToXMLString();
}

// ---------------------------------------------------------------- ACTION

std::string DoAction(PDLMSProtocolContext ctx, const std::string& requestXml) {
  auto request = TMake::COSEMPduFromXml("<ActionRequest>" + requestXml + "</ActionRequest>");
  T_ActionRequest& action = RequestService<T_ActionRequest>(*request);
  if (action.Tag != 1) RaiseGeneral(Format("Unsupported request %s", ChoiceName(action).c_str()));
  auto response = TDLMSServices::SendReceiveCOSEMPdu(ctx, *request);
  T_ActionResponse* answer = ServiceOf<T_ActionResponse>(*response);
  if (answer == nullptr) UnexpectedResponse(ApduName(*response), ApduName(*request));
  if (answer->Tag != 1) UnexpectedResponse(ChoiceName(*answer), ChoiceName(action));
  return answer->Value->ToXMLString();
}

}  // namespace

void CheckBlocksAllowed(PDLMSProtocolContext ctx, bool general) {
  if (Negotiated(ctx, general ? rcGENERAL_BLOCK_TRANSFER : rcBLOCK_TRANSFER_WITH_GET_OR_READ)) return;
  const std::string refused = std::string(general ? "General-block-transfer" : "Block-transfer-with-get") +
                              " received when not allowed by the conformance block";
  if ((ctx->Options & DLMS_OPTION_BLOCKS_WITHOUT_CONFORMANCE) == 0) throw EProtocol(refused);
  bool& logged = TContextHelper::State(ctx).BlocksWithoutConformanceLogged;
  if (!logged) TContextHelper::Logging(ctx).LogString(refused + ": accepted");
  logged = true;
}

std::string TDLMSServices::DoReadAttributes(PDLMSProtocolContext ctx, const std::string& requestXml) {
  switch (FamilyFor(ctx, false)) {
    case TServiceFamily::sfShortName: return TSNServices::Read(ctx, requestXml);
    case TServiceFamily::sfAccess: return TAccessServices::Read(ctx, requestXml);
    case TServiceFamily::sfLogicalName: break;
  }
  return DoGet(ctx, requestXml);
}

std::string TDLMSServices::DoWriteAttributes(PDLMSProtocolContext ctx, const std::string& requestXml) {
  switch (FamilyFor(ctx, false)) {
    case TServiceFamily::sfShortName: return TSNServices::Write(ctx, requestXml);
    case TServiceFamily::sfAccess: return TAccessServices::Write(ctx, requestXml);
    case TServiceFamily::sfLogicalName: break;
  }
  return DoSet(ctx, requestXml);
}

std::string TDLMSServices::DoInvokeMethod(PDLMSProtocolContext ctx, const std::string& requestXml,
                                          bool expectReturnParameters) {
  // Return parameters matter only to the short-name family.
  switch (FamilyFor(ctx, true)) {
    case TServiceFamily::sfShortName: return TSNServices::Invoke(ctx, requestXml, expectReturnParameters);
    case TServiceFamily::sfAccess: return TAccessServices::Invoke(ctx, requestXml);
    case TServiceFamily::sfLogicalName: break;
  }
  return DoAction(ctx, requestXml);
}

}  // namespace quillon
