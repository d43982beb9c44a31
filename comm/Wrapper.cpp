#include "comm/Wrapper.h"

namespace quillon {

PduStr THeaderHelper::Bytes() const {
  const uint16_t words[4] = {H.Version, H.SrcWPort, H.DstWPort, H.DataLength};
  PduStr r;
  for (uint16_t w : words) {
    r += static_cast<char>(w >> 8);
    r += static_cast<char>(w & 0xFF);
  }
  return r;
}

THeaderHelper THeaderHelper::FromBytes(const PduStr& s) {
  auto word = [&](size_t i) -> uint16_t {
    auto byte = [&](size_t k) { return k < s.size() ? static_cast<uint8_t>(s[k]) : 0; };
    return static_cast<uint16_t>(byte(i) << 8 | byte(i + 1));
  };
  THeaderHelper h;
  h.H = {word(0), word(2), word(4), word(6)};
  return h;
}

void TProtocolLayerWrapper::InstallFrameCheck(TProtocolLayerAbstract& layer) {
  layer.CheckFrameCompleteCallBack = [this](TProtocolLayerAbstract& sender, const PduStr& bytes) {
    return CheckFrameComplete(sender, bytes);
  };
}

void TProtocolLayerWrapper::Connect() {
  TProtocolLayerAbstract& layer = SupportingLayerObject();
  layer.Connect();
  InstallFrameCheck(layer);
}

void TProtocolLayerWrapper::Disconnect() { SupportingLayerObject().Disconnect(); }

void TProtocolLayerWrapper::DisconnectSupportingLayer() { SupportingLayerObject().Disconnect(); }

bool TProtocolLayerWrapper::IsConnected() { return SupportingLayerObject().IsConnected(); }

void TProtocolLayerWrapper::ClearInputBuffer() {
  throw EAssertionFailed(Name + ": ClearInputBuffer is not offered by the wrapper layer");
}

void TProtocolLayerWrapper::MakeRequestPdu(const PduStr& s, PduStr& PDU, THeaderHelper& Header) const {
  // A wrapper port is 16 bits; a larger address would reach another port.
  CheckAddressRange<EProtocolLayerWrapper>("ClientAddress", ClientAddress, 0xFFFF);
  CheckAddressRange<EProtocolLayerWrapper>("ServerAddress", ServerAddress, 0xFFFF);
  Header.H = {1, static_cast<uint16_t>(ClientAddress), static_cast<uint16_t>(ServerAddress),
              static_cast<uint16_t>(s.size())};
  PDU = Header.Bytes() + s;
}

bool TProtocolLayerWrapper::CheckFrameComplete(TProtocolLayerAbstract&, const PduStr& CurrentReceivedBytes) const {
  // A header with a version other than 1 is as long as its length says too:
  // taken whole, it is refused at once for its version instead of waiting
  // out the time for a frame that will never be right.
  const PduStr& s = CurrentReceivedBytes;
  if (s.size() < 8) return false;
  return IsWPdu(s) || s.size() - 8 >= THeaderHelper::FromBytes(s).H.DataLength;
}

bool TProtocolLayerWrapper::IsWPdu(const PduStr& s) {
  if (s.size() <= 7 || s[0] != 0 || s[1] != 1) return false;
  return s.size() - 8 >= THeaderHelper::FromBytes(s).H.DataLength;
}

uint32_t TProtocolLayerWrapper::ReleaseDelay() {
  uint32_t elapsed = MillisecondsSince(TickOfLastSend);
  uint32_t wait = 0;
  if (elapsed < MinOutWPduFramesDelay) {
    wait = MinOutWPduFramesDelay - elapsed;
    SleepMs(wait);
  }
  TickOfLastSend = GetTickCount32();
  return wait;
}

void TProtocolLayerWrapper::ListSent(const PduStr& wpdu, uint32_t wait) {
  if (!LogProc) return;
  std::string hex = TMisc::ByteStrToHexStr(wpdu);
  std::string text = wait == 0 ? Name + " Sent " + hex
                               : Format("%s Wait %u then send %s", Name.c_str(), wait, hex.c_str());
  FLogStringList.assign(1, ListingLine(false, 0, text));
  WriteListing(FLogStringList);
}

void TProtocolLayerWrapper::ListReceived(const PduStr& wpdu, int64_t ms) {
  if (!LogProc) return;
  std::string text = wpdu.empty() ? Name + " Rec (timeout)" : Name + " Rec " + TMisc::ByteStrToHexStr(wpdu);
  FLogStringList.assign(1, ListingLine(true, ms, text));
  WriteListing(FLogStringList);
}

THeaderHelper TProtocolLayerWrapper::CheckAnswer(const PduStr& answer) {
  if (answer.empty()) throw ENoResponse();
  if (answer.size() < 8) throw EProtocolLayerWrapper("Illegal WPDU");
  THeaderHelper h = THeaderHelper::FromBytes(answer);
  if (h.H.Version != 1)
    throw EProtocolLayerWrapper(Format("Illegal version %d in response WPDU", h.H.Version));
  return h;
}

PduStr TProtocolLayerWrapper::SendRec(const PduStr& S) {
  PduStr wpdu;
  THeaderHelper request;
  MakeRequestPdu(S, wpdu, request);
  if (S.empty()) wpdu.clear();  // nothing to send: the exchange only listens

  // An answer that came after its request timed out (or came twice) is still
  // waiting in the input; read now, it would pass for the answer to this
  // request and every later answer would be one behind. A request drops it.
  if (!wpdu.empty()) SupportingLayerObject().ClearInputBuffer();
  uint32_t wait = ReleaseDelay();
  int64_t started = 0;
  if (LogProc) {
    ListSent(wpdu, wait);
    started = QueryPerformanceCounter();
  }
  PduStr answer = SupportingLayerObject().SendRec(wpdu);
  if (LogProc) ListReceived(answer, PerformanceCounterDiffMs(started, QueryPerformanceCounter()));

  THeaderHelper h = CheckAnswer(answer);
  if (h.H.SrcWPort != request.H.DstWPort)
    throw EProtocolLayerWrapper(Format("Illegal Src in response WPDU, expected=%d, received=%d",
                                       request.H.DstWPort, h.H.SrcWPort));
  if (h.H.DstWPort != request.H.SrcWPort)
    throw EProtocolLayerWrapper(Format("Illegal Dst in response WPDU, expected=%d, received=%d",
                                       request.H.SrcWPort, h.H.DstWPort));
  return answer.substr(8);
}

void TProtocolLayerWrapper::Send(const PduStr& s) {
  uint32_t wait = ReleaseDelay();
  PduStr wpdu;
  THeaderHelper header;
  MakeRequestPdu(s, wpdu, header);
  ListSent(wpdu, wait);
  SupportingLayerObject().Send(wpdu);
}

PduStr TProtocolLayerWrapper::Rec() {
  TProtocolLayerAbstract& layer = SupportingLayerObject();
  InstallFrameCheck(layer);
  PduStr answer = layer.Rec();
  ListReceived(answer, 0);
  THeaderHelper h = CheckAnswer(answer);
  ServerAddress = h.H.SrcWPort;
  ClientAddress = h.H.DstWPort;
  return answer.substr(8);
}

void TProtocolLayerWrapper::WPduGetAsStrings(const PduStr& WPdu, std::vector<std::string>& StringList,
                                             int Indent) {
  std::string outer(static_cast<size_t>(Indent < 0 ? 0 : Indent), ' ');
  std::string inner = outer + "  ";
  THeaderHelper h = THeaderHelper::FromBytes(WPdu);
  StringList.push_back(Format("%sWPDU(", outer.c_str()));
  StringList.push_back(Format("%sVersion: %d, SrcWPort:%d, DstWPort:%d, Length:%d", inner.c_str(), h.H.Version,
                              h.H.SrcWPort, h.H.DstWPort, h.H.DataLength));
  std::string data = WPdu.size() > 8 ? TMisc::ByteStrToHexStr(std::string_view(WPdu).substr(8)) : std::string();
  StringList.push_back(Format("%sData:'%s'", inner.c_str(), data.c_str()));
  StringList.push_back(Format("%s)", outer.c_str()));
}

std::string TProtocolLayerWrapper::GetHexAPduPayLoad(const std::string& HexWPdu) {
  PduStr w = HexStrToByteStr2(HexWPdu);
  size_t start = 8;
  // An LLC header (E6 ...) in front of the APDU: its byte 3 tells how far to skip.
  if (w.size() > 8 && static_cast<uint8_t>(w[8]) == 0xE6)
    start = w.size() > 10 ? 11 + static_cast<size_t>(static_cast<uint8_t>(w[10])) : w.size();
  if (start >= w.size()) return std::string();
  return TMisc::ByteStrToHexStr(std::string_view(w).substr(start));
}

}  // namespace quillon
