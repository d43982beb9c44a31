// Client side of the DLMS/COSEM connection-oriented HDLC data-link layer
// (IEC 62056-46) over a serial byte layer: SNRM/UA set-up, segmented I
// frames with the LLC header, RR polling, UI frames, DISC, and a keep-alive
// thread that polls an idle link.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "comm/HDLCFrame.h"

namespace quillon {

enum THDLCProtocolState { hpNDM, hpNRM };

class TProtocolLayerHDLC : public TProtocolLayerAbstract {
public:
  TProtocolLayerHDLC();
  ~TProtocolLayerHDLC() override;

  void Connect() override;
  void Disconnect() override;
  bool IsConnected() override;
  PduStr SendRec(const PduStr& s) override;
  void DisconnectSupportingLayer() override;
  void ClearInputBuffer() override;
  void UnconfirmedSend(const PduStr& s);

  // A session's own stack hands its supporting layer over directly; the
  // window's stack finds it by name in the process-wide registry.
  TProtocolLayerAbstract* SupportingLayerInstance = nullptr;
  TProtocolLayerAbstract& SupportingLayerObject() const {
    return SupportingLayerInstance ? *SupportingLayerInstance : GetLayer(FSupportingLayer);
  }
  PduStr SupportingSendRec(const PduStr& s);
  PduStr SupportingSendRecFilterUI(const PduStr& s);
  void SupportingSend(const PduStr& s);
  PduStr SupportingLayerRec();

  static bool IsHDLCPdu(const PduStr& s);
  static bool IsHexFrameSegmented(const std::string& hex);
  static std::string GetHexFrameHexInfo(const std::string& hex);

  int32_t ServerAddressSize() const { return FServerAddressSize; }
  void SetServerAddressSize(int32_t v);
  int32_t ClientAddress() const { return FClientAddress; }
  void SetClientAddress(int32_t v);
  int32_t ServerLowerAddress() const { return FServerLowerAddress; }
  void SetServerLowerAddress(int32_t v);
  int32_t ServerUpperAddress() const { return FServerUpperAddress; }
  void SetServerUpperAddress(int32_t v);
  const std::string& SupportingLayer() const { return FSupportingLayer; }
  void SetSupportingLayer(const std::string& v);
  THDLCProtocolState State() const { return FState.load(); }

  std::atomic<int32_t> InactivityTimeout{120000};
  uint32_t UIFrameDelay = 0;
  uint32_t UIFrameLength = 128;
  uint32_t InformationFieldLength = 128;
  // How long the keep-alive thread sleeps between its checks.
  std::atomic<uint32_t> PollingInterval{1000};
  // Silent RR polls in a row after which collecting an answer gives up
  // (the send phase gives up at its second silence too).
  int MaxSilentPolls = 2;
  // RNR answers in a row to one segment after which sending gives up
  // (the same bound the receive phase puts on RR/RNR answers).
  int MaxRNRInSendPhase = 10;
  // Upper bound of one collected answer; a server that keeps sending
  // segments cannot make it grow without limit.
  size_t MaxAnswerLength = 16 << 20;

  // Negotiated at Connect.
  int32_t MaxInfoFieldLengthTransmit = 0;
  int32_t MaxInfoFieldLengthReceive = 0;
  int32_t WindowSizeTransmit = 0;
  int32_t WindowSizeReceive = 0;
  int32_t SSN = 0;
  int32_t RSN = 0;
  PduStr InfoFragments[8];
  std::atomic<uint32_t> LastSendTick{0};

private:
  TFrame NewFrame(TFrameKind kind, bool pollFinal) const;
  PduStr RRPollFrame() const;
  // SupportingSendRecFilterUI that also hands back the decoded answer; false
  // when no answer came.
  bool ExchangeSkippingUI(const PduStr& s, TFrame& answer, PduStr* raw = nullptr);
  void ListFrame(bool received, int64_t ms, const PduStr& frame);
  [[noreturn]] void RaiseUnexpected(const TFrame& f);
  void CheckSync(bool ok) const;
  void ReadUAParameters(const PduStr& info);
  void InstallFrameCheck(TProtocolLayerAbstract& layer);
  size_t SegmentSize(uint32_t wanted) const;
  void PollingThreadExecute();

  int32_t FServerAddressSize = 1;
  int32_t FClientAddress = 16;
  int32_t FServerLowerAddress = 0;
  int32_t FServerUpperAddress = 1;
  std::string FSupportingLayer = "Serial[1]";
  TFrameAddress FLocalAddress{16, 0, 1};
  TFrameAddress FRemoteAddress{1, 0, 1};
  std::atomic<THDLCProtocolState> FState{hpNDM};
  std::vector<std::string> FLogStringList;

  std::mutex CriticalSection;
  std::mutex FStopLock;
  std::condition_variable FStopSignal;
  bool FStopRequested = false;
  std::thread PollingThread;
};

}  // namespace quillon
