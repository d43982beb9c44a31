// The registries that create every layer once and name it, the mid layers
// through which the application drives one of the two stacks (HDLC over a
// serial port, DLMS wrapper over TCP), and the stack in use.
//
// Building a stack:
//   TCP:    configure LowerLayers().TCPClient (IP, port, IP version, timeouts);
//           WRAPPERLayers().WRAPPER(1).SupportingLayer = "TCPClient";
//           MidLayerWRAPPER().WRAPPERLayer = &WRAPPERLayers().WRAPPER(1);
//           CurrentMidLayer = &MidLayerWRAPPER();
//   Serial: configure LowerLayers().Serial(1) (COMNr or DevicePath, baud,
//           mode E); HDLCLayers().HDLC(1).SetSupportingLayer("Serial[1]") and
//           its addressing; MidLayerHDLC().HDLCLayer = &HDLCLayers().HDLC(1);
//           CurrentMidLayer = &MidLayerHDLC();
// then CurrentMidLayer->Connect(client, server) and, per APDU,
// CurrentMidLayer->SendReceiveData(client, server, apdu, answer); close with
// CurrentMidLayer->Disconnect() and LowerLayers().DisconnectAllChannels().
#pragma once

#include <functional>

#include "comm/HDLC.h"
#include "comm/Serial.h"
#include "comm/TCPClient.h"
#include "comm/TCPServer.h"
#include "comm/Wrapper.h"

namespace quillon {

class TLowerLayers {
public:
  TLowerLayers();
  TProtocolLayerAbstract& GetLayer(const std::string& LayerName);
  void DisconnectAllChannels();

  TProtocolLayerSerial& Serial(int index) { return Serials[index - 1]; }  // 1 or 2
  TProtocolLayerSerial Serials[2];
  TProtocolLayerTCPClient TCPClient;
  TProtocolLayerTCPServer TCPServer;
};

class THDLCLayers {
public:
  THDLCLayers();
  TProtocolLayerHDLC& HDLC(int index) { return HDLCs[index - 1]; }  // 1
  void DisconnectAllChannels();
  TProtocolLayerHDLC HDLCs[1];
};

class TWRAPPERLayers {
public:
  TWRAPPERLayers();
  TProtocolLayerWrapper& WRAPPER(int index) { return WRAPPERs[index - 1]; }  // 1 or 2
  void DisconnectAllChannels();
  TProtocolLayerWrapper WRAPPERs[2];
};

// The process-wide registries, created on first use and freed at exit.
TLowerLayers& LowerLayers();
THDLCLayers& HDLCLayers();
TWRAPPERLayers& WRAPPERLayers();

enum TMidLayerKind { mlHDLC, mlWrapper, mlSMS };

class TMidLayerAbstract {
public:
  virtual ~TMidLayerAbstract() = default;
  virtual void Connect(int32_t ClientId, int32_t ServerId) = 0;
  virtual void Disconnect() = 0;
  virtual TMidLayerKind Kind() const = 0;
  virtual bool Connected() = 0;
  virtual bool NeedRelease() const = 0;
  virtual bool SupportPreEstablishedClient() const = 0;
  virtual TProtocolLayerAbstract& LowerLayer() = 0;
  virtual void SendReceiveData(int32_t ClientId, int32_t ServerId, const PduStr& OutData, PduStr& InData) = 0;
  virtual void SendData(int32_t ClientId, int32_t ServerId, const PduStr& OutData) = 0;
  virtual PduStr ReceiveData() = 0;

  std::function<void(TMidLayerAbstract& Sender)> OnDisconnected;
};

class TMidLayerHDLC : public TMidLayerAbstract {
public:
  void Connect(int32_t ClientId, int32_t ServerId) override;
  void Disconnect() override;
  TMidLayerKind Kind() const override { return mlHDLC; }
  bool Connected() override { return Layer().IsConnected(); }
  bool NeedRelease() const override { return false; }
  bool SupportPreEstablishedClient() const override { return true; }
  TProtocolLayerAbstract& LowerLayer() override { return Layer().SupportingLayerObject(); }
  void SendReceiveData(int32_t ClientId, int32_t ServerId, const PduStr& OutData, PduStr& InData) override;
  void SendData(int32_t ClientId, int32_t ServerId, const PduStr& OutData) override;
  // Unsolicited data does not exist on this stack; calling it is a programming error.
  PduStr ReceiveData() override;

  TProtocolLayerHDLC* HDLCLayer = nullptr;  // not owned
  int32_t DiscToNDMTimeout = 0;
  uint32_t FTickOfLastDisconnect = 0;

private:
  TProtocolLayerHDLC& Layer() const;
  void Close();
};

class TMidLayerWRAPPER : public TMidLayerAbstract {
public:
  void Connect(int32_t ClientId, int32_t ServerId) override;
  void Disconnect() override;
  TMidLayerKind Kind() const override { return mlWrapper; }
  bool Connected() override { return Layer().IsConnected(); }
  bool NeedRelease() const override { return true; }
  bool SupportPreEstablishedClient() const override { return true; }
  TProtocolLayerAbstract& LowerLayer() override { return Layer().SupportingLayerObject(); }
  void SendReceiveData(int32_t ClientId, int32_t ServerId, const PduStr& OutData, PduStr& InData) override;
  void SendData(int32_t ClientId, int32_t ServerId, const PduStr& OutData) override;
  PduStr ReceiveData() override;

  TProtocolLayerWrapper* WRAPPERLayer = nullptr;  // not owned

private:
  TProtocolLayerWrapper& Layer() const;
};

// The one instance of each mid layer, and the stack in use (unset at start).
TMidLayerHDLC& MidLayerHDLC();
TMidLayerWRAPPER& MidLayerWRAPPER();
extern TMidLayerAbstract* CurrentMidLayer;

}  // namespace quillon
