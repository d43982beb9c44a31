// The road every APDU takes: the ciphering stage protects the request and
// logs it, the general-block-transfer stage splits long requests and joins
// long responses, and TIOTransfer hands the bytes to the caller.
#include "engine/DLMSServices.h"
#include "engine/ExtendedContext.h"
#include "engine/PduHelpers.h"
#include "security/ProtectionLayers.h"

namespace quillon {

namespace {

constexpr int32_t kLogIndent = 20;
constexpr uint8_t kGeneralBlockTransferTag = 0xE0;
constexpr uint8_t kLastBlock = 0x80;
constexpr uint8_t kLastBlockWindowOne = 0x81;
constexpr uint8_t kMoreBlocksWindowOne = 0x01;

const char kGeneralBlockTemplate[] =
    "<GeneralBlockTransfer>  <BlockControl Value = \"00\" />  <BlockNumber Value = \"0000\" />  "
    "<BlockNumberAck Value = \"0000\" />  <BlockData Value = \"\" /></GeneralBlockTransfer>";

void Log(PDLMSProtocolContext ctx, const TCOSEMPduBase& pdu, const char* title) {
  TContextHelper::Logging(ctx).LogProtocolItem(pdu, title, kLogIndent);
}

// One general block built from the template; each outgoing block starts from
// a fresh copy of it.
class TGeneralBlock {
public:
  TGeneralBlock() : FPdu(TMake::COSEMPduFromXml(kGeneralBlockTemplate)) {}

  PduStr Encoded(PDLMSProtocolContext ctx, uint8_t control, uint16_t number, uint16_t ack, PduStr data) {
    T_GeneralBlockTransfer& b = Block(*FPdu);
    b.FBlockControl()->Value = control;
    b.FBlockNumber()->Value = number;
    b.FBlockNumberAck()->Value = ack;
    b.FBlockData()->Value = std::move(data);
    Log(ctx, *FPdu, "SENT GBT:");
    return FPdu->Encoded();
  }

  static T_GeneralBlockTransfer& Block(const T_COSEMpdu& pdu) {
    auto* b = ServiceOf<T_GeneralBlockTransfer>(pdu);
    CheckAssertion(b != nullptr, "general block transfer APDU");
    return *b;
  }

private:
  std::unique_ptr<T_COSEMpdu> FPdu;
};

// A received general block; anything after it is logged and ignored.
std::unique_ptr<T_COSEMpdu> DecodeReceivedBlock(PDLMSProtocolContext ctx, const PduStr& bytes) {
  return DecodeReceived<T_COSEMpdu>(TContextHelper::Logging(ctx), xmlIgnore, bytes, "general block");
}

// Sends a request longer than the negotiated PDU size as numbered blocks and
// returns the response carried by the answer to the last one.
PduStr SendInBlocks(PDLMSProtocolContext ctx, const PduStr& request) {
  const int64_t blockSize = static_cast<int64_t>(ctx->NegotiatedMaxPduSize) - 13;
  // Below 14 bytes no block could carry data and the transfer would never end.
  if (blockSize < 1)
    RaiseGeneral(Format("Negotiated max PDU size %d too small for general block transfer", ctx->NegotiatedMaxPduSize));
  if (static_cast<int64_t>(request.size()) / blockSize >= 0xFFFF)
    RaiseGeneral("Request too long for general block transfer");
  TGeneralBlock block;
  uint16_t number = 1;
  uint16_t acknowledged = 0;
  size_t pos = 0;
  for (;;) {
    PduStr data = request.substr(pos, static_cast<size_t>(blockSize));
    pos += static_cast<size_t>(blockSize);
    const bool last = pos >= request.size();
    PduStr answer;
    TIOTransfer::SendReceiveData(
        ctx, block.Encoded(ctx, last ? kLastBlockWindowOne : kMoreBlocksWindowOne, number, acknowledged, data),
        answer);
    if (answer.empty() || static_cast<uint8_t>(answer[0]) != kGeneralBlockTransferTag)
      RaiseGeneral("GeneralBlockTransfer expected");
    auto received = DecodeReceivedBlock(ctx, answer);
    Log(ctx, *received, "RECEIVED GBT:");
    T_GeneralBlockTransfer& r = TGeneralBlock::Block(*received);
    if (r.FBlockNumberAck()->Value != number) RaiseGeneral("Unexpected \"BlockNumberAck\"");
    if (last) {
      if (r.FBlockControl()->Value != kLastBlockWindowOne)
        RaiseGeneral("Last GBT received is does not indicate 'last block' (not supported)");
      return r.FBlockData()->Value;
    }
    ++number;
    ++acknowledged;
  }
}

// Joins a response that the server started sending as general blocks,
// acknowledging every block but the last.
PduStr ReceiveBlocks(PDLMSProtocolContext ctx, const PduStr& firstBlock) {
  auto received = DecodeReceivedBlock(ctx, firstBlock);
  Log(ctx, *received, "RECEIVED GBT:");
  TGeneralBlock ack;
  uint32_t expected = 1;
  uint16_t own = 1;
  PduStr collected;
  TBlockLimit limit;
  for (;;) {
    T_GeneralBlockTransfer& r = TGeneralBlock::Block(*received);
    const uint16_t number = r.FBlockNumber()->Value;
    if (number != expected) RaiseGeneral(Format("Unexpected block number %d", number));
    ++expected;
    limit.Count(r.FBlockData()->Value.size());
    collected += r.FBlockData()->Value;
    CheckReassembledSize(collected.size());
    if (r.FBlockControl()->Value & kLastBlock) break;
    PduStr answer;
    TIOTransfer::SendReceiveData(ctx, ack.Encoded(ctx, kLastBlockWindowOne, own++, number, PduStr()), answer);
    received = DecodeReceivedBlock(ctx, answer);
    if (ServiceOf<T_GeneralBlockTransfer>(*received) == nullptr)
      RaiseGeneral(Format("Unexpected service \"%s\"", ApduName(*received).c_str()));
    Log(ctx, *received, "RECEIVED GBT:");
  }
  if (collected.empty()) RaiseGeneral("GBT transfered no data");
  return collected;
}

bool IsAssociationControl(const T_COSEMpdu& pdu) {
  return pdu.Value != nullptr && (pdu.Value->XMLId == xmlAssociationRequest || pdu.Value->XMLId == xmlReleaseRequest);
}

}  // namespace

void TBlockTransfer::SendReceiveData(PDLMSProtocolContext ctx, const PduStr& requestPdu, PduStr& responsePdu) {
  if (static_cast<int64_t>(requestPdu.size()) > static_cast<int64_t>(ctx->NegotiatedMaxPduSize)) {
    responsePdu = SendInBlocks(ctx, requestPdu);
    return;
  }
  TIOTransfer::SendReceiveData(ctx, requestPdu, responsePdu);
  if (!responsePdu.empty() && static_cast<uint8_t>(responsePdu[0]) == kGeneralBlockTransferTag) {
    CheckBlocksAllowed(ctx, true);
    TContextHelper::State(ctx).ResponseReceivedUsingGBT = true;
    responsePdu = ReceiveBlocks(ctx, responsePdu);
  }
}

namespace {

TProtectionLayerSources SourcesOf(PDLMSProtocolContext ctx) {
  TProtectionLayerSources sources;
  sources.ClientSystemTitle = TContextHelper::BytesOf(ctx->ClientSystemTitle, 8);
  sources.ThirdPartySystemTitle = TContextHelper::BytesOf(ctx->ThirdPartysystemTitle, 8);
  sources.ServerSystemTitle = TContextHelper::BytesOf(ctx->ServerSystemTitle, 8);
  sources.FrameCounterFunc = [ctx] { return TContextHelper::NextInvocationCounter(ctx); };
  return sources;
}

TSecurityMaterial* MaterialOf(PDLMSProtocolContext ctx) {
  return TContextHelper::State(ctx).FSecurityMaterial.get();
}

// The layers this request gets: the InitiateRequest's while the reply to a
// high-level-security challenge runs, the record's otherwise. Empty when the
// request goes plain: no security suite, or an association-control APDU,
// which carries its protection inside its user-information instead.
TProtectionLayers LayersFor(PDLMSProtocolContext ctx, const T_COSEMpdu& request) {
  if (ctx->SecuritySuite < 1 || ctx->SecuritySuite > 3 || IsAssociationControl(request)) return {};
  const TExtendedContext& state = TContextHelper::State(ctx);
  if (state.UseProtectionAppliedToInitiateRequest)
    return TCiphering::LayersForInitiateRequest(ctx, state.ProtectionAppliedToInitiateRequest);
  return TCiphering::LayersFromRecord(ctx);
}

// Within one association every authenticated response carries a higher
// invocation counter than the one before it under the same key; anything
// else is a recorded response played back.
void CheckReceivedCounters(PDLMSProtocolContext ctx, const TProtectionLayers& found) {
  TExtendedContext& state = TContextHelper::State(ctx);
  for (const auto& layer : found.Layers) {
    if (!layer->COSEMProtectionServices.Contains(psAuthentication)) continue;
    uint32_t counter = 0;
    bool dedicated = false;
    if (const auto* g = dynamic_cast<const TProtectionLayerGloDed*>(layer.get())) {
      counter = g->FrameCounter;
      dedicated = g->Dedicated;
    } else if (const auto* c = dynamic_cast<const TProtectionLayerGeneralCiphering*>(layer.get())) {
      counter = c->FrameCounter;
    } else {
      continue;
    }
    TExtendedContext::TReceivedCounter& last = state.ServerCounters[dedicated ? 1 : 0];
    if (last.Seen && counter <= last.Last)
      throw EProtection(Format("Invocation counter %u of the response is not above the last one received (%u)",
                               counter, last.Last));
    last.Seen = true;
    last.Last = counter;
  }
}

// Peels every protection off a response; null when the response came plain.
std::unique_ptr<T_COSEMpdu> RemoveProtectionIfAny(PDLMSProtocolContext ctx, const PduStr& answer,
                                                  TProtectionLayers& found) {
  std::unique_ptr<T_COSEMpdu> plain;
  found.IgnoreTrailingBytes = (ctx->Options & DLMS_OPTION_IGNORE_TRAILING_BYTES) != 0;
  found.Remove(answer, MaterialOf(ctx), &TContextHelper::Logging(ctx),
               TContextHelper::BytesOf(ctx->ServerSystemTitle, 8), plain);
  CheckReceivedCounters(ctx, found);
  return plain;
}

// Peels every protection off a response; a plain response passes unchanged.
std::unique_ptr<T_COSEMpdu> RemoveProtection(PDLMSProtocolContext ctx, const PduStr& answer,
                                             TProtectionLayers& found) {
  std::unique_ptr<T_COSEMpdu> plain = RemoveProtectionIfAny(ctx, answer, found);
  if (plain == nullptr)
    plain = DecodeReceived<T_COSEMpdu>(TContextHelper::Logging(ctx), xmlIgnore, answer, "response APDU");
  return plain;
}

// A response that carries data must be protected at least as the request
// was: otherwise anyone on the line could answer an authenticated and
// encrypted read with a plain value. Failures reported by the server are not
// data; they pass and fail the service as they would unprotected.
void CheckResponseProtection(const TProtectionLayers& sent, const TProtectionLayers& found,
                             const T_COSEMpdu& response) {
  const TProtectionServices expected =
      sent.GetProtectionServices(TProtectionLayers::psCurrent) * TProtectionServices{rcAUTHENTICATION, rcENCRYPTION};
  const TProtectionServices received = found.GetProtectionServices(TProtectionLayers::psCurrent);
  if ((expected - received).Empty()) return;
  if (ServiceOf<T_ExceptionResponse>(response) != nullptr || ServiceOf<T_ConfirmedServiceError>(response) != nullptr)
    return;
  throw EProtection(Format("Response protection %s does not cover the request's %s",
                           ServicesToString(received).c_str(), ServicesToString(expected).c_str()));
}

}  // namespace

TProtectionLayers TCiphering::LayersFromRecord(PDLMSProtocolContext ctx) {
  return TProtectionLayers::FromRecords(ctx->ProtectionLayers, SourcesOf(ctx));
}

TProtectionLayers TCiphering::LayersForInitiateRequest(PDLMSProtocolContext ctx, TProtectionServices s) {
  TProtectionLayers result;
  const TProtectionLayerSources sources = SourcesOf(ctx);
  if (s.Contains(rcSIGNATURE)) {
    TProtectionLayers fromRecord = LayersFromRecord(ctx);
    std::unique_ptr<TProtectionLayer> signing;
    for (auto& layer : fromRecord.Layers) {
      auto* g = dynamic_cast<TProtectionLayerGeneralSigning*>(layer.get());
      if (g != nullptr && g->OriginatorSystemTitle == sources.ClientSystemTitle) {
        g->RecipientSystemTitle = sources.ServerSystemTitle;
        g->MinCOSEMProtectionServices = TCOSEMProtectionServices{psSignature};
        g->COSEMProtectionServices = g->MinCOSEMProtectionServices;
        signing = std::move(layer);
        break;
      }
    }
    if (signing == nullptr) RaiseGeneral("No layer found to apply SIGNATURE");
    result.Add(std::move(signing));
  }
  const TProtectionServices ciphering = s * TProtectionServices{rcAUTHENTICATION, rcENCRYPTION};
  if (!ciphering.Empty()) {
    std::unique_ptr<TProtectionLayerGloDed> g;
    if (s.Contains(rcSIGNATURE) || (ctx->Options & DLMS_OPTION_GENERAL_CIPHERING_INITIATE) != 0)
      g = std::make_unique<TProtectionLayerGloDedGeneral>();
    else
      g = std::make_unique<TProtectionLayerGloDedService>();
    g->Dedicated = false;
    g->SystemTitle = sources.ClientSystemTitle;
    g->MinCOSEMProtectionServices = TProtectionLayers::CTIToCOSEMProtectionServices(ciphering);
    g->MaxCOSEMProtectionServices = g->MinCOSEMProtectionServices;
    g->COSEMProtectionServices = g->MinCOSEMProtectionServices;
    g->FrameCounterFunc = sources.FrameCounterFunc;
    g->SecurityMaterial = MaterialOf(ctx);
    g->LoggingContext = &TContextHelper::Logging(ctx);
    result.Add(std::move(g));
  }
  return result;
}

void TCiphering::ProtectUserInformation(PDLMSProtocolContext ctx, T_BERCOSEMpdu& userInformation) {
  const TExtendedContext& state = TContextHelper::State(ctx);
  TProtectionLayers layers = LayersForInitiateRequest(ctx, state.ProtectionAppliedToInitiateRequest);
  layers.SetMinimumProtection();
  auto protectedPdu = layers.Apply(userInformation, MaterialOf(ctx), &TContextHelper::Logging(ctx));
  userInformation.Tag = protectedPdu->Tag;
  userInformation.Value = std::move(protectedPdu->Value);
}

TProtectionServices TCiphering::UnprotectUserInformation(PDLMSProtocolContext ctx, T_BERCOSEMpdu& userInformation) {
  // Only the three forms a ciphered xDLMS APDU can take in an ACSE APDU.
  const bool ciphered = dynamic_cast<const T_OctetString*>(userInformation.Value.get()) != nullptr ||
                        userInformation.Value->XMLId == xmlGeneralGloCiphering ||
                        userInformation.Value->XMLId == xmlGeneralCiphering;
  if (!ciphered) RaiseGeneral("User-information not ciphered");
  PduStr bytes;
  userInformation.EncodeToPduStrNoLen(bytes);
  TProtectionLayers found;
  auto plain = RemoveProtection(ctx, bytes, found);
  userInformation.Tag = plain->Tag;
  userInformation.Value = std::move(plain->Value);
  return found.GetProtectionServices(TProtectionLayers::psCurrent);
}

void TCiphering::SendReceiveAPDUs(PDLMSProtocolContext ctx, const T_COSEMpdu& request,
                                  std::unique_ptr<T_COSEMpdu>& response) {
  TProtectionLayers layers = LayersFor(ctx, request);
  std::unique_ptr<T_COSEMpdu> protectedRequest;
  if (layers.Count() > 0) {
    layers.SetMinimumProtection();
    protectedRequest = layers.Apply(request, MaterialOf(ctx), &TContextHelper::Logging(ctx));
  }
  const T_COSEMpdu& sent = protectedRequest ? *protectedRequest : request;
  Log(ctx, sent, "REQUEST:");
  PduStr answer;
  TBlockTransfer::SendReceiveData(ctx, sent.Encoded(), answer);
  TProtectionLayers found;
  response = RemoveProtection(ctx, answer, found);
  Log(ctx, *response, "RESPONSE:");
  CheckResponseProtection(layers, found, *response);
}

bool TCiphering::ExchangesPlainBytes(PDLMSProtocolContext ctx) {
  return (ctx->SecuritySuite < 1 || ctx->SecuritySuite > 3) && !TContextHelper::Logging(ctx).LogsProtocolItems();
}

PduStr TCiphering::SendReceivePlainBytes(PDLMSProtocolContext ctx, const PduStr& request,
                                         std::unique_ptr<T_COSEMpdu>& unprotected) {
  CheckAssertion(ExchangesPlainBytes(ctx), "request exchanged as plain bytes");
  PduStr answer;
  TBlockTransfer::SendReceiveData(ctx, request, answer);
  // Nothing was protected, so whatever protection the response has covers
  // the request's; as in SendReceiveAPDUs it is removed and checked.
  TProtectionLayers found;
  unprotected = RemoveProtectionIfAny(ctx, answer, found);
  if (unprotected != nullptr) answer.clear();
  return answer;
}

std::unique_ptr<T_COSEMpdu> TDLMSServices::SendReceiveCOSEMPdu(PDLMSProtocolContext ctx, const T_COSEMpdu& request) {
  std::unique_ptr<T_COSEMpdu> response;
  TCiphering::SendReceiveAPDUs(ctx, request, response);
  return response;
}

PduStr TDLMSServices::SendReceiveAPDUBytes(PDLMSProtocolContext ctx, const PduStr& request) {
  std::unique_ptr<T_COSEMpdu> pdu;
  try {
    int trailing = 0;
    pdu = DecodeFront<T_COSEMpdu>(xmlIgnore, request, trailing);
    if (trailing > 0) RaiseGeneral(BytesAfterEndText(trailing, "APDU"));
  } catch (const std::exception& e) {
    RaiseGeneral(Format("OutAPDU is not legal (%s)", e.what()));
  }
  return SendReceiveCOSEMPdu(ctx, *pdu)->Encoded();
}

void BindProtocolItemLogging(TLoggingContext& logging) {
  logging.FLogProtocolItemProc = [&logging](const TCOSEMPduBase& item, const std::string& title, int32_t indent) {
    std::vector<std::string> lines;
    if (!title.empty()) lines.push_back(title);
    try {
      item.AddXmlToLines(indent, lines);
    } catch (const std::exception& e) {
      // A meter may send values the XML has no name for. Logging is a
      // bystander: the call must end as it would without a log, so the item
      // is shown by its bytes and the service judges the answer itself.
      std::string bytes;
      try {
        bytes = TMisc::ByteStrToHexStr(item.Encoded());
      } catch (const std::exception&) {
        bytes = "(bytes not available)";
      }
      lines.assign(1, (title.empty() ? std::string() : title + " ") + "not shown as XML (" + e.what() + "): " + bytes);
    }
    for (const std::string& line : lines) logging.LogString(line);
  };
}

}  // namespace quillon
