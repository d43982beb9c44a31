// The engine's services behind the exported entry points, and the three stages
// of the transfer chain every APDU passes through: ciphering, general block
// transfer and the byte exchange with the caller.
#pragma once

#include <memory>
#include <string>

#include "engine/DLMSProtocol.h"
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
  // The association exchange of a context that is not pre-established.
  static void DoEstablishAA(PDLMSProtocolContext ctx);
  // Releases the association when the record asks for it, then discards the
  // engine state. On failure the state stays so that the caller may retry.
  static void ReleaseAA(PDLMSProtocolContext ctx);
  // One APDU through the whole transfer chain; the caller owns the response.
  static std::unique_ptr<T_COSEMpdu> SendReceiveCOSEMPdu(PDLMSProtocolContext ctx, const T_COSEMpdu& request);
  // The work of the SendReceiveAPDU entry point: plain APDU bytes in and out.
  static PduStr SendReceiveAPDUBytes(PDLMSProtocolContext ctx, const PduStr& request);
};

class TCiphering {
public:
  static void SendReceiveAPDUs(PDLMSProtocolContext ctx, const T_COSEMpdu& request,
                               std::unique_ptr<T_COSEMpdu>& response);
};

class TBlockTransfer {
public:
  static void SendReceiveData(PDLMSProtocolContext ctx, const PduStr& requestPdu, PduStr& responsePdu);
};

}  // namespace quillon
