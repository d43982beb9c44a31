// The simulated meter's application layer: takes one request APDU, answers
// with one response APDU, as a DLMS/COSEM server does.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "tools/meter-sim/SimModel.h"

namespace quillon::sim {

// Conformance bits (bit k = conformance bit k of the standard's numbering).
enum : uint32_t {
  cbGeneralProtection = 1u << 1,
  cbGeneralBlockTransfer = 1u << 2,
  cbRead = 1u << 3,
  cbWrite = 1u << 4,
  cbUnconfirmedWrite = 1u << 5,
  cbAttribute0SupportedWithSet = 1u << 8,
  cbPriorityMgmtSupported = 1u << 9,
  cbAttribute0SupportedWithGet = 1u << 10,
  cbBlockTransferWithGetOrRead = 1u << 11,
  cbBlockTransferWithSetOrWrite = 1u << 12,
  cbBlockTransferWithAction = 1u << 13,
  cbMultipleReferences = 1u << 14,
  cbInformationReport = 1u << 15,
  cbDataNotification = 1u << 16,
  cbAccess = 1u << 17,
  cbParameterizedAccess = 1u << 18,
  cbGet = 1u << 19,
  cbSet = 1u << 20,
  cbSelectiveAccess = 1u << 21,
  cbEventNotification = 1u << 22,
  cbAction = 1u << 23,
};

// One general-block-transfer APDU: block control (0x80 the last block, 0x40
// streaming, the low bits the window), its number and the number of the
// block it acknowledges, and its part of the long APDU.
PduStr GeneralBlock(uint8_t control, uint16_t number, uint16_t ack, const PduStr& data);

// What one association negotiated, and the transfers it has under way.
struct TSimSession : TSimAssociationView {
  bool Associated = false;

  // GET with block transfer, server to client.
  PduStr GetData;
  uint32_t GetBlock = 0;
  // Short-name read with block transfer, server to client.
  PduStr ReadData;
  uint16_t ReadBlock = 0;
  // SET with block transfer, client to server.
  PduStr SetData;
  uint32_t SetBlock = 0;
  std::unique_ptr<T_AttributeDescriptor> SetTarget;
  // General block transfer in both directions.
  PduStr GbtIn;
  uint16_t GbtInBlock = 0;
  PduStr GbtOut;
  size_t GbtOutPos = 0;
  uint16_t GbtOutBlock = 0;
};

class TSimServer {
public:
  explicit TSimServer(TSimModel& model) : FModel(model) {}

  // Answers one APDU of an open association, general blocks included; a
  // long response goes out in general blocks when they were negotiated. An
  // empty result means no answer is sent.
  PduStr HandleApdu(const PduStr& request);
  // Answers one complete plain request, without general blocks.
  PduStr HandleService(const PduStr& request);
  // What handles a complete request (after general blocks are joined); the
  // association layer puts its deciphering here. Default: HandleService.
  std::function<PduStr(const PduStr&)> Inner;

  TSimSession& Session() { return FSession; }
  TSimModel& Model() { return FModel; }

  // Services on decoded requests (the association layer calls these after
  // it has removed any protection).
  PduPtr HandleGet(const T_GetRequest& req);
  PduPtr HandleSet(const T_SetRequest& req);
  PduPtr HandleAction(const T_ActionRequest& req);
  PduPtr HandleAccess(const T_AccessRequest& req);
  PduPtr HandleRead(const T_ReadRequest& req);
  PduPtr HandleWrite(const T_WriteRequest& req);

  // Splits an encoded response into general blocks when it is longer than
  // the client takes and general block transfer was negotiated.
  PduStr MaybeSplitGbt(const PduStr& response);

  static PduStr ExceptionResponse(int stateError, int serviceError);

private:
  int ReadAttribute(const T_AttributeDescriptor& ad, const T_SelectiveAccessDescriptor* sel, std::unique_ptr<T_Data>& v);
  int WriteAttribute(const T_AttributeDescriptor& ad, const T_Data& v);
  int InvokeMethod(const T_MethodDescriptor& md, const T_Data* params, std::unique_ptr<T_Data>& returned);
  // The object a logical-name request addresses, if this association reaches it.
  TSimObject* FindLN(uint16_t classId, const PduStr& logicalName);
  // The object and attribute or method index a short name addresses.
  TSimObject* FindSN(int sn, int& index);
  PduPtr GetResultBlock(uint8_t invokeId, bool first);
  PduPtr ReadResultBlock();
  PduStr HandleGbt(const T_GeneralBlockTransfer& gbt);

  TSimModel& FModel;
  TSimSession FSession;
};

}  // namespace quillon::sim
