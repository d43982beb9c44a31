// The simulator's link on a thread of its own, and the client's own transport
// stack pointed at it: DLMS wrapper over loopback TCP, or HDLC over a
// pseudo-terminal.
#pragma once

#include <atomic>
#include <memory>
#include <thread>

#include "comm/MidLayers.h"
#include "tools/meter-sim/SimTransport.h"

namespace quillon::sim {

class TSimStack {
public:
  ~TSimStack() { Stop(); }

  TMidLayerAbstract& StartWrapper(TSimAssociation& assoc, const TTrafficLog& log = nullptr) {
    auto listener = std::make_shared<TSimListener>("127.0.0.1", 0);
    int port = listener->Port();
    FServer = std::thread([this, listener, &assoc, log] {
      while (!FStop) {
        int fd = listener->Accept(50);
        if (fd < 0) continue;
        TSimLink link(fd);
        ServeWrapper(link, assoc, FStop, log);
      }
    });
    ConfigureTcp(port);
    WRAPPERLayers().WRAPPER(1).SupportingLayer = "TCPClient";
    MidLayerWRAPPER().WRAPPERLayer = &WRAPPERLayers().WRAPPER(1);
    return *(Mid = &MidLayerWRAPPER());
  }

  // The meter answers at logical device 1, physical device 17; overTcp puts
  // the HDLC frames on a loopback TCP connection instead of a pseudo-terminal.
  // modeE opens the pseudo-terminal with the IEC 62056-21 mode E handshake
  // on both sides.
  TMidLayerAbstract& StartHdlc(TSimAssociation& assoc, int clientAddress, int infoLength = 128,
                               const TTrafficLog& log = nullptr, bool overTcp = false, bool modeE = false) {
    THdlcSettings s;
    s.ServerUpper = 1;
    s.ServerLower = 17;
    s.MaxInfoLength = infoLength;
    s.ModeE = modeE;
    std::string supporting;
    if (overTcp) {
      auto listener = std::make_shared<TSimListener>("127.0.0.1", 0);
      int port = listener->Port();
      FServer = std::thread([this, listener, &assoc, s, log] {
        while (!FStop) {
          int fd = listener->Accept(50);
          if (fd < 0) continue;
          TSimLink link(fd);
          ServeHdlc(link, assoc, s, FStop, log);
        }
      });
      ConfigureTcp(port);
      supporting = "TCPClient";
    } else {
      std::string path;
      auto link = std::make_shared<TSimLink>(OpenPseudoTerminal(path));
      FServer = std::thread([this, link, &assoc, s, log] {
        while (!FStop) ServeHdlc(*link, assoc, s, FStop, log);
      });
      auto& serial = LowerLayers().Serial(1);
      serial.SetDevicePath(path);
      serial.ResponseTimeout = 3000;
      serial.NeedsMode_E = modeE;
      if (modeE) serial.SetBaud(9600);  // the ceiling of the speed the opening agrees
      supporting = "Serial[1]";
    }
    auto& hdlc = HDLCLayers().HDLC(1);
    hdlc.SetServerAddressSize(2);
    hdlc.SetServerUpperAddress(1);
    hdlc.SetServerLowerAddress(17);
    hdlc.SetClientAddress(clientAddress);
    hdlc.SetSupportingLayer(supporting);
    hdlc.InformationFieldLength = static_cast<uint32_t>(infoLength);
    MidLayerHDLC().HDLCLayer = &hdlc;
    MidLayerHDLC().DiscToNDMTimeout = 0;
    return *(Mid = &MidLayerHDLC());
  }

  void Stop() {
    if (Mid) Mid->Disconnect();
    Mid = nullptr;
    LowerLayers().DisconnectAllChannels();
    FStop = true;
    if (FServer.joinable()) FServer.join();
  }

  TMidLayerAbstract* Mid = nullptr;

private:
  static void ConfigureTcp(int port) {
    auto& tcp = LowerLayers().TCPClient;
    tcp.SetIP("127.0.0.1");
    tcp.SetPort(port);
    tcp.SetConnectTimeout(3000);
    tcp.SetResponseTimeout(3000);
    tcp.SetDisconnectToConnectDelay(0);
    tcp.SetShowTraffic(false);
  }

  std::atomic<bool> FStop{false};
  std::thread FServer;
};

}  // namespace quillon::sim
