#include "comm/MidLayers.h"

#include <strings.h>

namespace quillon {

TMidLayerAbstract* CurrentMidLayer = nullptr;

namespace {
std::string IndexedName(const char* family, int index) { return Format("%s[%d]", family, index); }
}  // namespace

// ---------------------------------------------------------------- registries

TLowerLayers::TLowerLayers() {
  Serials[0].Name = IndexedName("Serial", 1);
  Serials[1].Name = IndexedName("Serial", 2);
  TCPClient.Name = "TCPClient";
  TCPServer.Name = "TCPServer";
}

TProtocolLayerAbstract& TLowerLayers::GetLayer(const std::string& LayerName) {
  if (LayerName.empty()) RaiseGeneral("Lower Layer not specified");
  TProtocolLayerAbstract* layers[] = {&Serials[0], &Serials[1], &TCPClient, &TCPServer};
  for (TProtocolLayerAbstract* l : layers)
    if (::strcasecmp(l->Name.c_str(), LayerName.c_str()) == 0) return *l;
  RaiseGeneral(Format("Lower Layer \"%s\" unknown", LayerName.c_str()));
}

void TLowerLayers::DisconnectAllChannels() {
  Serials[0].Disconnect();
  Serials[1].Disconnect();
  TCPClient.Disconnect();
  TCPServer.Disconnect();
  TCPServer.StopListening();
}

TProtocolLayerAbstract& GetLayer(const std::string& LayerName) { return LowerLayers().GetLayer(LayerName); }

TLowerLayers& LowerLayers() {
  static TLowerLayers instance;
  return instance;
}

THDLCLayers::THDLCLayers() {
  HDLCs[0].Name = IndexedName("HDLC", 1);
}

void THDLCLayers::DisconnectAllChannels() {
  for (TProtocolLayerHDLC& l : HDLCs) l.Disconnect();
}

THDLCLayers& HDLCLayers() {
  // The byte layers must outlive the HDLC layers, whose keep-alive thread
  // looks them up until it has stopped: create them first.
  LowerLayers();
  static THDLCLayers instance;
  return instance;
}

TWRAPPERLayers::TWRAPPERLayers() {
  WRAPPERs[0].Name = IndexedName("WRAPPER", 1);
  WRAPPERs[1].Name = IndexedName("WRAPPER", 2);
}

void TWRAPPERLayers::DisconnectAllChannels() {
  for (TProtocolLayerWrapper& l : WRAPPERs) l.Disconnect();
}

TWRAPPERLayers& WRAPPERLayers() {
  LowerLayers();
  static TWRAPPERLayers instance;
  return instance;
}

// ---------------------------------------------------------------- HDLC mid layer

TProtocolLayerHDLC& TMidLayerHDLC::Layer() const {
  if (!HDLCLayer) throw EAssertionFailed("TMidLayerHDLC.HDLCLayer is set");
  return *HDLCLayer;
}

void TMidLayerHDLC::Close() {
  Layer().Disconnect();
  FTickOfLastDisconnect = GetTickCount32();
  if (OnDisconnected) OnDisconnected(*this);
}

void TMidLayerHDLC::Connect(int32_t ClientId, int32_t ServerId) {
  TProtocolLayerHDLC& hdlc = Layer();
  if (Connected()) {
    if (hdlc.ClientAddress() == ClientId && hdlc.ServerUpperAddress() == ServerId) return;
    Close();
  }
  hdlc.SetClientAddress(ClientId);
  hdlc.SetServerUpperAddress(ServerId);
  // Give the server time to fall back to its disconnected mode before the next SNRM.
  uint32_t elapsed = MillisecondsSince(FTickOfLastDisconnect);
  if (DiscToNDMTimeout > 0 && elapsed < static_cast<uint32_t>(DiscToNDMTimeout)) {
    uint32_t wait = static_cast<uint32_t>(DiscToNDMTimeout) - elapsed;
    TProtocolLayerAbstract& lower = LowerLayer();
    if (lower.LogProc) lower.LogProc({WaitingText(wait, "DISCToNDMTimeout")});
    WaitInSteps(wait);
  }
  hdlc.Connect();
}

void TMidLayerHDLC::Disconnect() {
  if (Connected()) Close();
}

void TMidLayerHDLC::SendReceiveData(int32_t ClientId, int32_t ServerId, const PduStr& OutData, PduStr& InData) {
  TProtocolLayerHDLC& hdlc = Layer();
  if (!Connected() || hdlc.ClientAddress() != ClientId || hdlc.ServerUpperAddress() != ServerId) {
    if (Connected()) Close();
    Connect(ClientId, ServerId);
  }
  InData = hdlc.SendRec(OutData);
}

void TMidLayerHDLC::SendData(int32_t ClientId, int32_t ServerId, const PduStr& OutData) {
  TProtocolLayerHDLC& hdlc = Layer();
  if (Connected()) Disconnect();  // unconfirmed data needs the disconnected mode
  LowerLayer().Connect();
  hdlc.SetClientAddress(ClientId);
  hdlc.SetServerUpperAddress(ServerId);
  hdlc.UnconfirmedSend(OutData);
}

PduStr TMidLayerHDLC::ReceiveData() {
  throw EAssertionFailed("TMidLayerHDLC.ReceiveData is not offered");
}

// ---------------------------------------------------------------- wrapper mid layer

TProtocolLayerWrapper& TMidLayerWRAPPER::Layer() const {
  if (!WRAPPERLayer) throw EAssertionFailed("TMidLayerWRAPPER.WRAPPERLayer is set");
  return *WRAPPERLayer;
}

void TMidLayerWRAPPER::Connect(int32_t ClientId, int32_t ServerId) {
  TProtocolLayerWrapper& w = Layer();
  if (!w.IsConnected()) w.Connect();
  // The addresses travel in every header: a change never reconnects.
  w.ClientAddress = ClientId;
  w.ServerAddress = ServerId;
}

void TMidLayerWRAPPER::Disconnect() {
  if (Layer().IsConnected()) Layer().Disconnect();
}

void TMidLayerWRAPPER::SendReceiveData(int32_t ClientId, int32_t ServerId, const PduStr& OutData, PduStr& InData) {
  Connect(ClientId, ServerId);
  InData = Layer().SendRec(OutData);
}

void TMidLayerWRAPPER::SendData(int32_t ClientId, int32_t ServerId, const PduStr& OutData) {
  Connect(ClientId, ServerId);
  Layer().Send(OutData);
}

PduStr TMidLayerWRAPPER::ReceiveData() {
  if (!Connected()) throw EAssertionFailed("TMidLayerWRAPPER.ReceiveData: Connected");
  return Layer().Rec();
}

TMidLayerHDLC& MidLayerHDLC() {
  static TMidLayerHDLC instance;
  return instance;
}

TMidLayerWRAPPER& MidLayerWRAPPER() {
  static TMidLayerWRAPPER instance;
  return instance;
}

}  // namespace quillon
