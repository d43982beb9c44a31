// The engine's services behind the exported entry points, and the three stages
// of the transfer chain every APDU passes through: ciphering, general block
// transfer and the byte exchange with the caller.
#pragma once

#include <memory>
#include <string>

#include "engine/DLMSProtocol.h"
#include "security/ProtectionTypes.h"
#include "xmlpdu/infra/Misc.h"

namespace quillon {

class T_COSEMpdu;

class TDLMSServices {
public:
  // Each takes one request element as DLMS XML and returns the response XML.
  static std::string DoReadAttributes(PDLMSProtocolContext ctx, const std::string& requestXml);
  static std::string DoWriteAttributes(PDLMSProtocolContext ctx, const std::string& requestXml);
  static std::string DoInvokeMethod(PDLMSProtocolContext ctx, const std::string& requestXml,
                                    bool expectReturnParameters);
  // Checks the record's security fields and loads its keys into the state's
  // security material; runs for every EstablishAA, pre-established or not.
  static void LoadSecurityMaterial(PDLMSProtocolContext ctx);
  // The association exchange of a context that is not pre-established.
  static void DoEstablishAA(PDLMSProtocolContext ctx);
  // High-level security: the client's answer to the server's challenge and
  // the check of the server's answer to ours.
  static void DoEstablishAA_Pass_3_4(PDLMSProtocolContext ctx);
  // The manufacturer-specific answer of mechanism 3 (8 characters).
  static std::string GetP2Response(const std::string& challenge, const std::string& secret);
  // Releases the association when the record asks for it, then discards the
  // engine state. On failure the state stays so that the caller may retry.
  static void ReleaseAA(PDLMSProtocolContext ctx);
  // One APDU through the whole transfer chain; the caller owns the response.
  static std::unique_ptr<T_COSEMpdu> SendReceiveCOSEMPdu(PDLMSProtocolContext ctx, const T_COSEMpdu& request);
  // The work of the SendReceiveAPDU entry point: plain APDU bytes in and out.
  static PduStr SendReceiveAPDUBytes(PDLMSProtocolContext ctx, const PduStr& request);
};

// A GET or READ answer in data blocks needs block transfer with GET or READ
// in the negotiated conformance, an answer in general blocks (`general`)
// general block transfer; with DLMS_OPTION_BLOCKS_WITHOUT_CONFORMANCE either
// is taken anyway, and the log says so once per association.
void CheckBlocksAllowed(PDLMSProtocolContext ctx, bool general);

class TProtectionLayers;
class T_BERCOSEMpdu;

class TCiphering {
public:
  // The layers the record's ProtectionLayers entries describe.
  static TProtectionLayers LayersFromRecord(PDLMSProtocolContext ctx);
  // The layers that protect the InitiateRequest (and, while high-level
  // security runs, the reply to the challenge) for the services in s.
  static TProtectionLayers LayersForInitiateRequest(PDLMSProtocolContext ctx, TProtectionServices s);
  // Replaces a user-information's content by its protected form.
  static void ProtectUserInformation(PDLMSProtocolContext ctx, T_BERCOSEMpdu& userInformation);
  // Replaces a ciphered user-information's content by the plain APDU and
  // returns the protection services found on it.
  static TProtectionServices UnprotectUserInformation(PDLMSProtocolContext ctx, T_BERCOSEMpdu& userInformation);
  static void SendReceiveAPDUs(PDLMSProtocolContext ctx, const T_COSEMpdu& request,
                               std::unique_ptr<T_COSEMpdu>& response);
  // True when a request would go out unprotected and no protocol item would
  // be logged: the request and response then need no element tree of their
  // own, and a service may exchange the bytes of its request directly.
  static bool ExchangesPlainBytes(PDLMSProtocolContext ctx);
  // The chain of SendReceiveAPDUs for such a request, given as its bytes.
  // Returns the response bytes when the response came unprotected; a
  // protected response is unprotected as SendReceiveAPDUs does, and its tree
  // is returned in unprotected (the bytes returned are then empty).
  static PduStr SendReceivePlainBytes(PDLMSProtocolContext ctx, const PduStr& request,
                                      std::unique_ptr<T_COSEMpdu>& unprotected);
};

class TBlockTransfer {
public:
  static void SendReceiveData(PDLMSProtocolContext ctx, const PduStr& requestPdu, PduStr& responsePdu);
};

}  // namespace quillon
