#include "tools/meter-sim/SimServer.h"

namespace quillon::sim {

namespace {

// Bytes that a GetResponseWithDataBlock adds around its raw data: tag, choice,
// invoke id, last-block flag, block number, result choice and a length field.
constexpr uint32_t kGetBlockOverhead = 1 + 1 + 1 + 1 + 4 + 1 + 4;
// The same for a general block: tag, control, two block numbers, length.
constexpr uint32_t kGbtOverhead = 1 + 1 + 2 + 2 + 4;

template <class T>
std::unique_ptr<T> Seq(TXMLId id) {
  return std::make_unique<T>(id);
}

PduPtr Apdu(TXMLId alternative, PduPtr value) { return T_COSEMpdu::CreateVariant(alternative, std::move(value)); }

std::unique_ptr<T_GetDataResult> DataResult(int result, std::unique_ptr<T_Data> value) {
  if (result == darSuccess) return T_GetDataResult::CreateVariant(xmlData, std::move(value));
  return T_GetDataResult::CreateVariant(xmlDataAccessError, std::make_unique<T_DataAccessResult>(xmlIgnore, result));
}

uint8_t InvokeIdOf(const TCOSEMPduBase* seq) {
  // Every service request begins with its invoke-id-and-priority.
  auto* s = dynamic_cast<const TSequence*>(seq);
  if (s && !s->Members.empty())
    if (auto* id = dynamic_cast<const T_InvokeIdAndPriority*>(s->Members[0].get())) return id->Value;
  return 0xC1;
}

}  // namespace

PduStr TSimServer::ExceptionResponse(int stateError, int serviceError) {
  auto e = Seq<T_ExceptionResponse>(xmlExceptionResponse);
  e->FStateError()->Value = stateError;
  e->FServiceError()->Value = serviceError;
  return Apdu(xmlExceptionResponse, std::move(e))->Encoded();
}

TSimObject* TSimServer::FindLN(uint16_t classId, const PduStr& logicalName) {
  TSimObject* obj = FModel.Find(classId, logicalName);
  return obj && TSimModel::Addressable(*obj, true) ? obj : nullptr;
}

TSimObject* TSimServer::FindSN(int sn, int& index) {
  // Attributes every 8 from the base name, methods after the attributes.
  int offset = 0;
  TSimObject* obj = sn >= 0 ? FModel.FindByShortName(sn, offset) : nullptr;
  if (!obj || offset % 8 != 0 || !TSimModel::Addressable(*obj, false)) return nullptr;
  index = offset / 8 + 1;
  return obj;
}

int TSimServer::ReadAttribute(const T_AttributeDescriptor& ad, const T_SelectiveAccessDescriptor* sel,
                              std::unique_ptr<T_Data>& v) {
  TSimObject* obj = FindLN(ad.FClassId()->Value, ad.FInstanceId()->Value);
  if (!obj) return darObjectUndefined;
  if (sel && !(FSession.Conformance & cbSelectiveAccess)) return darScopeOfAccessViolated;
  return FModel.Read(*obj, ad.FAttributeId()->Value, sel ? sel->FAccessParameters() : nullptr,
                     sel ? sel->FAccessSelector()->Value : 0, v, FSession);
}

int TSimServer::WriteAttribute(const T_AttributeDescriptor& ad, const T_Data& v) {
  TSimObject* obj = FindLN(ad.FClassId()->Value, ad.FInstanceId()->Value);
  if (!obj) return darObjectUndefined;
  return FModel.Write(*obj, ad.FAttributeId()->Value, v);
}

int TSimServer::InvokeMethod(const T_MethodDescriptor& md, const T_Data* params, std::unique_ptr<T_Data>& returned) {
  TSimObject* obj = FindLN(md.FClassId()->Value, md.FInstanceId()->Value);
  if (!obj) return darObjectUndefined;
  return FModel.Invoke(*obj, md.FMethodId()->Value, params, returned);
}

// The next GET block from FSession.GetData, or the first when `first`.
PduPtr TSimServer::GetResultBlock(uint8_t invokeId, bool first) {
  if (first) FSession.GetBlock = 0;
  uint32_t room = FSession.ClientMaxPdu > kGetBlockOverhead + 16 ? FSession.ClientMaxPdu - kGetBlockOverhead : 16;
  size_t offset = static_cast<size_t>(FSession.GetBlock) * room;
  PduStr chunk = offset < FSession.GetData.size() ? FSession.GetData.substr(offset, room) : PduStr();
  ++FSession.GetBlock;
  bool last = offset + room >= FSession.GetData.size();
  auto block = Seq<T_DataBlock_G>(xmlResult);
  block->FLastBlock()->Value = last ? 1 : 0;
  block->FBlockNumber()->Value = FSession.GetBlock;
  block->SetFResult(T_DataBlockGResult::CreateVariant(xmlRawData, std::make_unique<T_OctetString>(xmlIgnore, chunk)));
  auto wdb = Seq<T_GetResponseWithDataBlock>(xmlGetResponseWithDataBlock);
  wdb->FInvokeIdAndPriority()->Value = invokeId;
  wdb->SetFResult(std::move(block));
  if (last) {
    FSession.GetData.clear();
    FSession.GetBlock = 0;
  }
  return Apdu(xmlGetResponse, T_GetResponse::CreateVariant(xmlGetResponseWithDataBlock, std::move(wdb)));
}

PduPtr TSimServer::HandleGet(const T_GetRequest& req) {
  uint8_t invokeId = InvokeIdOf(req.Value.get());
  bool blocksAllowed = FSession.Conformance & cbBlockTransferWithGetOrRead;
  if (req.Tag == 1) {
    auto& n = static_cast<const T_GetRequestNormal&>(*req.Value);
    std::unique_ptr<T_Data> v;
    int r = ReadAttribute(*n.FAttributeDescriptor(), n.FAccessSelection(), v);
    auto resp = Seq<T_GetResponseNormal>(xmlGetResponseNormal);
    resp->FInvokeIdAndPriority()->Value = invokeId;
    if (r == darSuccess && blocksAllowed) {
      PduStr data = v->Encoded();
      if (data.size() + 4 > FSession.ClientMaxPdu) {
        FSession.GetData = std::move(data);
        return GetResultBlock(invokeId, true);
      }
    }
    resp->SetFResult(DataResult(r, std::move(v)));
    return Apdu(xmlGetResponse, T_GetResponse::CreateVariant(xmlGetResponseNormal, std::move(resp)));
  }
  if (req.Tag == 2) {
    auto& n = static_cast<const T_GetRequestForNextDatablock&>(*req.Value);
    if (FSession.GetData.empty() || n.FBlockNumber()->Value != FSession.GetBlock) {
      int r = FSession.GetData.empty() ? 16 /* NoLongGetOrReadInProgress */ : 19 /* DataBlockNumberInvalid */;
      FSession.GetData.clear();
      auto block = Seq<T_DataBlock_G>(xmlResult);
      block->FLastBlock()->Value = 1;
      block->FBlockNumber()->Value = n.FBlockNumber()->Value;
      block->SetFResult(
          T_DataBlockGResult::CreateVariant(xmlDataAccessResult, std::make_unique<T_DataAccessResult>(xmlIgnore, r)));
      auto wdb = Seq<T_GetResponseWithDataBlock>(xmlGetResponseWithDataBlock);
      wdb->FInvokeIdAndPriority()->Value = invokeId;
      wdb->SetFResult(std::move(block));
      return Apdu(xmlGetResponse, T_GetResponse::CreateVariant(xmlGetResponseWithDataBlock, std::move(wdb)));
    }
    return GetResultBlock(invokeId, false);
  }
  auto& l = static_cast<const T_GetRequestWithList&>(*req.Value);
  auto results = std::make_unique<T_ListOfGetDataResult>(xmlResult);
  const auto& list = *l.FAttributeDescriptorList();
  for (int i = 0; i < list.ElementCount(); ++i) {
    auto* item = list[i];
    std::unique_ptr<T_Data> v;
    int r = ReadAttribute(*item->FAttributeDescriptor(), item->FAccessSelection(), v);
    results->Add(DataResult(r, std::move(v)));
  }
  if (blocksAllowed) {
    PduStr data = results->Encoded();
    if (data.size() + 4 > FSession.ClientMaxPdu) {
      FSession.GetData = std::move(data);
      return GetResultBlock(invokeId, true);
    }
  }
  auto resp = Seq<T_GetResponseWithList>(xmlGetResponseWithList);
  resp->FInvokeIdAndPriority()->Value = invokeId;
  resp->SetFResult(std::move(results));
  return Apdu(xmlGetResponse, T_GetResponse::CreateVariant(xmlGetResponseWithList, std::move(resp)));
}

PduPtr TSimServer::HandleSet(const T_SetRequest& req) {
  uint8_t invokeId = InvokeIdOf(req.Value.get());
  auto normalResponse = [&](int r) {
    auto resp = Seq<T_SetResponseNormal>(xmlSetResponseNormal);
    resp->FInvokeIdAndPriority()->Value = invokeId;
    resp->FResult()->Value = r;
    return Apdu(xmlSetResponse, T_SetResponse::CreateVariant(xmlSetResponseNormal, std::move(resp)));
  };
  auto blockStep = [&](const T_DataBlock_SA& block) -> PduPtr {
    FSession.SetData += block.FRawData()->Value;
    FSession.SetBlock = block.FBlockNumber()->Value;
    if (!block.FLastBlock()->Value) {
      auto resp = Seq<T_SetResponseForDataBlock>(xmlSetResponseForDataBlock);
      resp->FInvokeIdAndPriority()->Value = invokeId;
      resp->FBlockNumber()->Value = FSession.SetBlock;
      return Apdu(xmlSetResponse, T_SetResponse::CreateVariant(xmlSetResponseForDataBlock, std::move(resp)));
    }
    int r;
    try {
      auto value = MakeFromPdu<T_Data>(xmlIgnore, FSession.SetData);
      r = FSession.SetTarget ? WriteAttribute(*FSession.SetTarget, *value) : darOtherReason;
    } catch (const std::exception&) {
      r = darTypeUnmatched;
    }
    auto resp = Seq<T_SetResponseForLastDataBlock>(xmlSetResponseForLastDataBlock);
    resp->FInvokeIdAndPriority()->Value = invokeId;
    resp->FResult()->Value = r;
    resp->FBlockNumber()->Value = FSession.SetBlock;
    FSession.SetData.clear();
    FSession.SetTarget.reset();
    return Apdu(xmlSetResponse, T_SetResponse::CreateVariant(xmlSetResponseForLastDataBlock, std::move(resp)));
  };
  switch (req.Tag) {
    case 1: {
      auto& n = static_cast<const T_SetRequestNormal&>(*req.Value);
      if (n.FAccessSelection()) return normalResponse(darScopeOfAccessViolated);
      return normalResponse(WriteAttribute(*n.FAttributeDescriptor(), *n.FValue()));
    }
    case 2: {
      auto& n = static_cast<const T_SetRequestWithFirstDataBlock&>(*req.Value);
      if (!(FSession.Conformance & cbBlockTransferWithSetOrWrite)) return normalResponse(darOtherReason);
      FSession.SetData.clear();
      FSession.SetTarget.reset(static_cast<T_AttributeDescriptor*>(n.FAttributeDescriptor()->Clone().release()));
      if (n.FDataBlock()->FBlockNumber()->Value != 1) return normalResponse(19);
      return blockStep(*n.FDataBlock());
    }
    case 3: {
      auto& n = static_cast<const T_SetRequestWithDataBlock&>(*req.Value);
      if (!FSession.SetTarget) return normalResponse(18 /* NoLongSetOrWriteInProgress */);
      if (n.FDataBlock()->FBlockNumber()->Value != FSession.SetBlock + 1) {
        FSession.SetTarget.reset();
        FSession.SetData.clear();
        return normalResponse(19 /* DataBlockNumberInvalid */);
      }
      return blockStep(*n.FDataBlock());
    }
    case 4: {
      auto& l = static_cast<const T_SetRequestWithList&>(*req.Value);
      auto results = std::make_unique<T_ListOfDataAccessResult>(xmlResult);
      const auto& ads = *l.FAttributeDescriptorList();
      const auto& values = *l.FValueList();
      for (int i = 0; i < ads.ElementCount(); ++i) {
        int r = i < values.ElementCount() ? WriteAttribute(*ads[i]->FAttributeDescriptor(), *values[i]) : darOtherReason;
        results->Add(std::make_unique<T_DataAccessResult>(xml_DataAccessResult, r));
      }
      auto resp = Seq<T_SetResponseWithList>(xmlSetResponseWithList);
      resp->FInvokeIdAndPriority()->Value = invokeId;
      resp->SetFResult(std::move(results));
      return Apdu(xmlSetResponse, T_SetResponse::CreateVariant(xmlSetResponseWithList, std::move(resp)));
    }
    default:
      return normalResponse(darOtherReason);
  }
}

PduPtr TSimServer::HandleAction(const T_ActionRequest& req) {
  uint8_t invokeId = InvokeIdOf(req.Value.get());
  if (req.Tag == 1) {
    auto& n = static_cast<const T_ActionRequestNormal&>(*req.Value);
    std::unique_ptr<T_Data> ret;
    int r = InvokeMethod(*n.FMethodDescriptor(), n.FMethodInvocationParameters(), ret);
    auto resp = Seq<T_ActionResponseNormal>(xmlActionResponseNormal);
    resp->FInvokeIdAndPriority()->Value = invokeId;
    resp->FResult()->Value = r;
    if (ret) resp->SetFReturnParameters(DataResult(darSuccess, std::move(ret)));
    return Apdu(xmlActionResponse, T_ActionResponse::CreateVariant(xmlActionResponseNormal, std::move(resp)));
  }
  if (req.Tag == 3) {
    auto& l = static_cast<const T_ActionRequestWithList&>(*req.Value);
    auto list = std::make_unique<T_ListOfSingleActionResponse>(xmlListOfSingleActionResponse);
    const auto& mds = *l.FMethodDescriptorList();
    const auto& params = *l.FMethodInvocationParameters();
    for (int i = 0; i < mds.ElementCount(); ++i) {
      std::unique_ptr<T_Data> ret;
      int r = InvokeMethod(*mds[i], i < params.ElementCount() ? params[i] : nullptr, ret);
      auto single = Seq<T_SingleActionResponse>(xml_SingleActionResponse);
      single->FResult()->Value = r;
      if (ret) single->SetFReturnParameters(DataResult(darSuccess, std::move(ret)));
      list->Add(std::move(single));
    }
    auto resp = Seq<T_ActionResponseWithList>(xmlActionResponseWithList);
    resp->FInvokeIdAndPriority()->Value = invokeId;
    resp->SetFListOfSingleActionResponse(std::move(list));
    return Apdu(xmlActionResponse, T_ActionResponse::CreateVariant(xmlActionResponseWithList, std::move(resp)));
  }
  return nullptr;
}

PduPtr TSimServer::HandleAccess(const T_AccessRequest& req) {
  const auto& specs = *req.FAccessRequestBody()->FAccessRequestSpecification();
  const auto& data = *req.FAccessRequestBody()->FAccessRequestListOfData();
  auto outData = std::make_unique<T_ListOfData>(xmlAccessResponseListOfData);
  auto outSpecs = std::make_unique<T_ListOfAccessResponseSpecification>(xmlAccessResponseSpecification);
  for (int i = 0; i < specs.ElementCount(); ++i) {
    const T_AccessRequestSpecification& spec = *specs[i];
    const T_Data* param = i < data.ElementCount() ? data[i] : nullptr;
    std::unique_ptr<T_Data> value;
    int r = darOtherReason;
    TXMLId kind = xmlAccessResponseGet;
    switch (spec.Tag) {
      case 1:
        r = ReadAttribute(*static_cast<const T_AccessRequestGet&>(*spec.Value).FAttributeDescriptor(), nullptr, value);
        break;
      case 4: {
        auto& g = static_cast<const T_AccessRequestGetWithSelection&>(*spec.Value);
        r = ReadAttribute(*g.FAttributeDescriptor(), g.FAccessSelection(), value);
        break;
      }
      case 2:
      case 5:
        kind = xmlAccessResponseSet;
        // Both set forms begin with the attribute descriptor.
        r = param ? WriteAttribute(static_cast<const T_AttributeDescriptor&>(
                                       *static_cast<const TSequence&>(*spec.Value).Members[0]),
                                   *param)
                  : darOtherReason;
        break;
      case 3: {
        kind = xmlAccessResponseAction;
        auto& md = *static_cast<const T_AccessRequestAction&>(*spec.Value).FMethodDescriptor();
        r = InvokeMethod(md, param && param->Tag != 0 ? param : nullptr, value);
        break;
      }
    }
    outData->Add(r == darSuccess && value ? std::move(value) : MakeData(xmlNullData));
    PduPtr result;
    if (kind == xmlAccessResponseAction) {
      auto a = Seq<T_AccessResponseAction>(xmlAccessResponseAction);
      a->FResult()->Value = r;
      result = std::move(a);
    } else if (kind == xmlAccessResponseSet) {
      auto a = Seq<T_AccessResponseSet>(xmlAccessResponseSet);
      a->FResult()->Value = r;
      result = std::move(a);
    } else {
      auto a = Seq<T_AccessResponseGet>(xmlAccessResponseGet);
      a->FResult()->Value = r;
      result = std::move(a);
    }
    outSpecs->Add(T_AccessResponseSpecification::CreateVariant(kind, std::move(result)));
  }
  auto body = Seq<T_AccessResponseBody>(xmlAccessResponseBody);
  body->SetFAccessResponseListOfData(std::move(outData));
  body->SetFAccessResponseSpecification(std::move(outSpecs));
  auto resp = Seq<T_AccessResponse>(xmlAccessResponse);
  resp->FLongInvokeIdAndPriority()->Value = req.FLongInvokeIdAndPriority()->Value;
  resp->SetFAccessResponseBody(std::move(body));
  return Apdu(xmlAccessResponse, std::move(resp));
}

// The next block of FSession.ReadData, as a read response of one
// data-block-result.
PduPtr TSimServer::ReadResultBlock() {
  uint32_t room = FSession.ClientMaxPdu > 32 ? FSession.ClientMaxPdu - 12 : 20;
  size_t offset = static_cast<size_t>(FSession.ReadBlock) * room;
  PduStr chunk = FSession.ReadData.substr(std::min(offset, FSession.ReadData.size()), room);
  ++FSession.ReadBlock;
  bool last = offset + room >= FSession.ReadData.size();
  auto block = std::make_unique<T_DataBlockResult>(xmlDataBlockResult);
  block->FLastBlock()->Value = last ? 1 : 0;
  block->FBlockNumber()->Value = FSession.ReadBlock;
  block->FRawData()->Value = chunk;
  if (last) {
    FSession.ReadData.clear();
    FSession.ReadBlock = 0;
  }
  auto resp = std::make_unique<T_ReadResponse>(xmlReadResponse);
  resp->Add(T_SingleReadResponse::CreateVariant(xmlDataBlockResult, std::move(block)));
  return Apdu(xmlReadResponse, std::move(resp));
}

PduPtr TSimServer::HandleRead(const T_ReadRequest& req) {
  if (req.ElementCount() == 1 && req[0]->Tag == 5) {
    // Next block of a long read; anything out of turn ends the transfer.
    uint16_t n = static_cast<const T_BlockNumberAccess&>(*req[0]->Value).FBlockNumber()->Value;
    if (FSession.ReadData.empty() || n != FSession.ReadBlock) {
      FSession.ReadData.clear();
      auto resp = std::make_unique<T_ReadResponse>(xmlReadResponse);
      resp->Add(T_SingleReadResponse::CreateVariant(xmlDataAccessError, std::make_unique<T_DataAccessResult>(xmlIgnore, 19)));
      return Apdu(xmlReadResponse, std::move(resp));
    }
    return ReadResultBlock();
  }
  auto resp = std::make_unique<T_ReadResponse>(xmlReadResponse);
  for (int i = 0; i < req.ElementCount(); ++i) {
    const T_VariableAccessSpecification& spec = *req[i];
    std::unique_ptr<T_Data> value;
    int r = darObjectUndefined;
    int sn = -1, selector = 0;
    const T_Data* param = nullptr;
    if (spec.Tag == 2) {
      sn = static_cast<uint16_t>(static_cast<const T_ObjectName&>(*spec.Value).Value);
    } else if (spec.Tag == 4) {
      auto& p = static_cast<const T_ParametrisedAccess&>(*spec.Value);
      sn = static_cast<uint16_t>(p.FVariableName()->Value);
      selector = p.FSelector()->Value;
      param = p.FParameter();
    }
    int index = 0;
    if (TSimObject* obj = FindSN(sn, index)) {
      int attributes = obj->AttributeCount();
      if (index <= attributes) {
        r = FModel.Read(*obj, index, param, selector, value, FSession);
      } else {
        r = FModel.Invoke(*obj, index - attributes, param, value);
        if (r == darSuccess && !value) value = MakeData(xmlNullData);
      }
    }
    if (r == darSuccess)
      resp->Add(T_SingleReadResponse::CreateVariant(xmlData, std::move(value)));
    else
      resp->Add(T_SingleReadResponse::CreateVariant(xmlDataAccessError, std::make_unique<T_DataAccessResult>(xmlIgnore, r)));
  }
  if (FSession.Conformance & cbBlockTransferWithGetOrRead) {
    PduStr whole = resp->Encoded();
    if (whole.size() + 1 > FSession.ClientMaxPdu) {
      FSession.ReadData = std::move(whole);
      FSession.ReadBlock = 0;
      return ReadResultBlock();
    }
  }
  return Apdu(xmlReadResponse, std::move(resp));
}

PduPtr TSimServer::HandleWrite(const T_WriteRequest& req) {
  auto resp = std::make_unique<T_WriteResponse>(xmlWriteResponse);
  const auto& specs = *req.FListOfVariableAccessSpecification();
  const auto& data = *req.FListOfData();
  for (int i = 0; i < specs.ElementCount(); ++i) {
    int r = darObjectUndefined;
    if (specs[i]->Tag == 2 && i < data.ElementCount()) {
      int sn = static_cast<uint16_t>(static_cast<const T_ObjectName&>(*specs[i]->Value).Value);
      int index = 0;
      if (TSimObject* obj = FindSN(sn, index)) {
        int attributes = obj->AttributeCount();
        std::unique_ptr<T_Data> ignored;
        r = index <= attributes ? FModel.Write(*obj, index, *data[i])
                                : FModel.Invoke(*obj, index - attributes, data[i], ignored);
      }
    }
    if (r == darSuccess)
      resp->Add(T_SingleWriteResponse::CreateVariant(xmlSuccess));
    else
      resp->Add(T_SingleWriteResponse::CreateVariant(xmlDataAccessError, std::make_unique<T_DataAccessResult>(xmlIgnore, r)));
  }
  return Apdu(xmlWriteResponse, std::move(resp));
}

PduStr TSimServer::MaybeSplitGbt(const PduStr& response) {
  if (response.size() <= FSession.ClientMaxPdu || !(FSession.Conformance & cbGeneralBlockTransfer)) return response;
  FSession.GbtOut = response;
  FSession.GbtOutPos = 0;
  FSession.GbtOutBlock = 0;
  auto ack = Seq<T_GeneralBlockTransfer>(xmlGeneralBlockTransfer);
  ack->FBlockNumber()->Value = 0;
  return HandleGbt(*ack);
}

PduStr GeneralBlock(uint8_t control, uint16_t number, uint16_t ack, const PduStr& data) {
  auto g = Seq<T_GeneralBlockTransfer>(xmlGeneralBlockTransfer);
  g->FBlockControl()->Value = control;
  g->FBlockNumber()->Value = number;
  g->FBlockNumberAck()->Value = ack;
  g->FBlockData()->Value = data;
  return Apdu(xmlGeneralBlockTransfer, std::move(g))->Encoded();
}

// One general block in; the answer is an acknowledgement, the next block of
// a long response, or the response to a request that is now complete.
PduStr TSimServer::HandleGbt(const T_GeneralBlockTransfer& gbt) {
  const auto& block = GeneralBlock;
  const PduStr& data = gbt.FBlockData()->Value;
  if (data.empty() && !FSession.GbtOut.empty()) {
    // The client acknowledged: send the next part of the long response.
    uint32_t room = FSession.ClientMaxPdu > kGbtOverhead + 16 ? FSession.ClientMaxPdu - kGbtOverhead : 16;
    PduStr chunk = FSession.GbtOut.substr(FSession.GbtOutPos, room);
    FSession.GbtOutPos += chunk.size();
    bool last = FSession.GbtOutPos >= FSession.GbtOut.size();
    ++FSession.GbtOutBlock;
    PduStr out = block(last ? 0x81 : 0x01, FSession.GbtOutBlock, gbt.FBlockNumber()->Value, chunk);
    if (last) FSession.GbtOut.clear();
    return out;
  }
  FSession.GbtIn += data;
  FSession.GbtInBlock = gbt.FBlockNumber()->Value;
  if (!(gbt.FBlockControl()->Value & 0x80)) return block(0x01, 0, FSession.GbtInBlock, PduStr());
  PduStr request = std::move(FSession.GbtIn);
  FSession.GbtIn.clear();
  PduStr response = Inner ? Inner(request) : HandleService(request);
  return block(0x81, 1, FSession.GbtInBlock, response);
}

PduStr TSimServer::HandleApdu(const PduStr& request) {
  if (!request.empty() && static_cast<uint8_t>(request[0]) == 0xE0) {
    if (!(FSession.Conformance & cbGeneralBlockTransfer))
      return ExceptionResponse(1 /* ServiceNotAllowed */, 2 /* ServiceNotSupported */);
    std::unique_ptr<T_COSEMpdu> pdu;
    try {
      pdu = MakeFromPdu<T_COSEMpdu>(xmlIgnore, request);
    } catch (const std::exception&) {
      return ExceptionResponse(2 /* ServiceUnknown */, 2 /* ServiceNotSupported */);
    }
    return HandleGbt(static_cast<const T_GeneralBlockTransfer&>(*pdu->Value));
  }
  return MaybeSplitGbt(Inner ? Inner(request) : HandleService(request));
}

PduStr TSimServer::HandleService(const PduStr& request) {
  std::unique_ptr<T_COSEMpdu> pdu;
  try {
    pdu = MakeFromPdu<T_COSEMpdu>(xmlIgnore, request);
  } catch (const std::exception&) {
    return ExceptionResponse(2 /* ServiceUnknown */, 2 /* ServiceNotSupported */);
  }
  const TCOSEMPduBase& v = *pdu->Value;
  PduPtr response;
  bool ln = FSession.LogicalNames;
  switch (pdu->Tag) {
    case 0xC0:
      if (ln && (FSession.Conformance & cbGet)) response = HandleGet(static_cast<const T_GetRequest&>(v));
      break;
    case 0xC1:
      if (ln && (FSession.Conformance & cbSet)) response = HandleSet(static_cast<const T_SetRequest&>(v));
      break;
    case 0xC3:
      if (ln && (FSession.Conformance & cbAction)) response = HandleAction(static_cast<const T_ActionRequest&>(v));
      break;
    case 0xD9:
      if (ln && (FSession.Conformance & cbAccess)) response = HandleAccess(static_cast<const T_AccessRequest&>(v));
      break;
    case 0x05:
      if (!ln && (FSession.Conformance & cbRead)) response = HandleRead(static_cast<const T_ReadRequest&>(v));
      break;
    case 0x06:
      if (!ln && (FSession.Conformance & cbWrite)) response = HandleWrite(static_cast<const T_WriteRequest&>(v));
      break;
    default:
      break;
  }
  if (!response) return ExceptionResponse(1 /* ServiceNotAllowed */, 2 /* ServiceNotSupported */);
  return response->Encoded();
}

}  // namespace quillon::sim
