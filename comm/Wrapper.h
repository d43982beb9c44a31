// DLMS/COSEM transport-layer wrapper (IEC 62056-47): every APDU travels behind
// an 8-byte header naming version, source and destination wrapper ports and
// payload length.
#pragma once

#include <string>
#include <vector>

#include "comm/ProtocolLayer.h"

namespace quillon {

struct TWrapperHeader {
  uint16_t Version = 0;
  uint16_t SrcWPort = 0;
  uint16_t DstWPort = 0;
  uint16_t DataLength = 0;
};

// The header in host order together with its 8 bytes on the wire (big-endian words).
struct THeaderHelper {
  TWrapperHeader H;
  PduStr Bytes() const;
  // Reads the first 8 bytes of s (missing bytes count as 0).
  static THeaderHelper FromBytes(const PduStr& s);
};

class TProtocolLayerWrapper : public TProtocolLayerAbstract {
public:
  void Connect() override;
  void Disconnect() override;
  void DisconnectSupportingLayer() override;
  bool IsConnected() override;
  PduStr SendRec(const PduStr& S) override;
  void Send(const PduStr& s) override;
  PduStr Rec() override;
  // The wrapper has no input buffer of its own; calling this is a programming error.
  void ClearInputBuffer() override;

  // A session's own stack hands its supporting layer over directly; the
  // window's stack finds it by name in the process-wide registry.
  TProtocolLayerAbstract* SupportingLayerInstance = nullptr;
  TProtocolLayerAbstract& SupportingLayerObject() const {
    return SupportingLayerInstance ? *SupportingLayerInstance : GetLayer(SupportingLayer);
  }
  void MakeRequestPdu(const PduStr& s, PduStr& PDU, THeaderHelper& Header) const;
  bool CheckFrameComplete(TProtocolLayerAbstract& Sender, const PduStr& CurrentReceivedBytes) const;

  static bool IsWPdu(const PduStr& s);
  static void WPduGetAsStrings(const PduStr& WPdu, std::vector<std::string>& StringList, int Indent);
  static std::string GetHexAPduPayLoad(const std::string& HexWPdu);

  int32_t ClientAddress = 1;
  int32_t ServerAddress = 16;
  std::string SupportingLayer = "TCPClient";
  uint32_t MinOutWPduFramesDelay = 0;
  uint32_t TickOfLastSend = 0;

  // Tells the byte layer below where a frame ends (Connect does it; a
  // connection that is up before the wrapper is used needs it done apart).
  void InstallFrameCheck(TProtocolLayerAbstract& layer);

private:
  uint32_t ReleaseDelay();
  void ListSent(const PduStr& wpdu, uint32_t wait);
  void ListReceived(const PduStr& wpdu, int64_t ms);
  // Fails on an empty, short or wrong-version answer; returns its header.
  static THeaderHelper CheckAnswer(const PduStr& answer);

  std::vector<std::string> FLogStringList;
};

}  // namespace quillon
