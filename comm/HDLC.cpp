#include "comm/HDLC.h"

#include <algorithm>

namespace quillon {

namespace {
const PduStr kLLCRequest("\xE6\xE6\x00", 3);
const PduStr kLLCResponse("\xE6\xE7\x00", 3);
// A server that answers every poll with UI frames must not keep us for ever.
const int kMaxSkippedUIFrames = 64;
}  // namespace

TProtocolLayerHDLC::TProtocolLayerHDLC() {
  PollingThread = std::thread([this] { PollingThreadExecute(); });
}

TProtocolLayerHDLC::~TProtocolLayerHDLC() {
  {
    std::lock_guard<std::mutex> lock(FStopLock);
    FStopRequested = true;
  }
  FStopSignal.notify_all();
  if (PollingThread.joinable()) PollingThread.join();
}

void TProtocolLayerHDLC::PollingThreadExecute() {
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(FStopLock);
      FStopSignal.wait_for(lock, std::chrono::milliseconds(PollingInterval.load()), [this] { return FStopRequested; });
      if (FStopRequested) return;
    }
    try {
      std::lock_guard<std::mutex> lock(CriticalSection);
      int32_t timeout = InactivityTimeout.load();
      if (timeout > 0 && MillisecondsSince(LastSendTick.load()) >= static_cast<uint32_t>(timeout) && IsConnected())
        SupportingSendRec(RRPollFrame());
    } catch (const std::exception&) {
      // A failed keep-alive shows up in the next exchange; the thread goes on.
    }
  }
}

void TProtocolLayerHDLC::SetClientAddress(int32_t v) {
  CheckAddressRange<EProtocolLayerHDLC>("ClientAddress", v, kMaxOneByteAddress);
  FClientAddress = v;
  FLocalAddress = {static_cast<uint16_t>(v), 0, 1};
}

void TProtocolLayerHDLC::SetServerAddressSize(int32_t v) {
  FServerAddressSize = v;
  FRemoteAddress.FSize = v;
}

void TProtocolLayerHDLC::SetServerLowerAddress(int32_t v) {
  // Whether the value fits the chosen form is checked when a frame is built,
  // as the size may be set after the address.
  CheckAddressRange<EProtocolLayerHDLC>("ServerLowerAddress", v, kMaxTwoByteAddress);
  FServerLowerAddress = v;
  FRemoteAddress.FLower = static_cast<uint16_t>(v);
}

void TProtocolLayerHDLC::SetServerUpperAddress(int32_t v) {
  CheckAddressRange<EProtocolLayerHDLC>("ServerUpperAddress", v, kMaxTwoByteAddress);
  FServerUpperAddress = v;
  FRemoteAddress.FUpper = static_cast<uint16_t>(v);
}

void TProtocolLayerHDLC::InstallFrameCheck(TProtocolLayerAbstract& layer) {
  layer.CheckFrameCompleteCallBack = [](TProtocolLayerAbstract&, const PduStr& bytes) { return IsHDLCPdu(bytes); };
}

void TProtocolLayerHDLC::SetSupportingLayer(const std::string& v) {
  FSupportingLayer = v;
  InstallFrameCheck(SupportingLayerObject());
}

bool TProtocolLayerHDLC::IsConnected() { return FState == hpNRM && SupportingLayerObject().IsConnected(); }

void TProtocolLayerHDLC::DisconnectSupportingLayer() { SupportingLayerObject().Disconnect(); }

void TProtocolLayerHDLC::ClearInputBuffer() {
  // The keep-alive thread may be reading from the same byte layer.
  std::lock_guard<std::mutex> lock(CriticalSection);
  SupportingLayerObject().ClearInputBuffer();
}

bool TProtocolLayerHDLC::IsHDLCPdu(const PduStr& s) {
  size_t n = s.size();
  if (n <= 2) return false;
  auto b = [&](size_t i) { return static_cast<uint8_t>(s[i]); };
  if (b(0) == 0x7E) return n - 2 >= static_cast<size_t>((b(1) & 7) << 8 | b(2));
  // The opening flag was shared with the closing flag of the frame before.
  if ((b(0) >> 4) == 0x0A) return n - 1 >= static_cast<size_t>((b(0) & 7) << 8 | b(1));
  return false;
}

bool TProtocolLayerHDLC::IsHexFrameSegmented(const std::string& hex) {
  TFrame f;
  f.SetFromPduByteStr(HexStrToByteStr2(hex));
  return f.Segmented;
}

std::string TProtocolLayerHDLC::GetHexFrameHexInfo(const std::string& hex) {
  TFrame f;
  f.SetFromPduByteStr(HexStrToByteStr2(hex));
  return TMisc::ByteStrToHexStr(f.FData);
}

TFrame TProtocolLayerHDLC::NewFrame(TFrameKind kind, bool pollFinal) const {
  TFrame f;
  f.SetKind(kind);
  f.SrcAddress = FLocalAddress;
  f.DstAddress = FRemoteAddress;
  f.PollFinal = pollFinal;
  return f;
}

PduStr TProtocolLayerHDLC::RRPollFrame() const {
  TFrame f = NewFrame(fkRR, true);
  f.RSequenceNr = static_cast<uint8_t>(RSN);
  return f.GetPDUByteStr();
}

void TProtocolLayerHDLC::ListFrame(bool received, int64_t ms, const PduStr& frame) {
  if (!LogProc) return;
  FLogStringList.clear();
  std::string text = frame.empty() ? "Rec (timeout)" : (received ? "Rec " : "Sent ") + TMisc::ByteStrToHexStr(frame);
  FLogStringList.push_back(ListingLine(received, ms, text));
  if (!frame.empty()) {
    try {
      TFrame f;
      f.SetFromPduByteStr(frame);
      std::vector<std::string> listing;
      f.GetAsStrings(listing, 12);
      FLogStringList.insert(FLogStringList.end(), listing.begin(), listing.end());
    } catch (const EGeneralError&) {
      FLogStringList.push_back(ListingLine(received, ms, "    Illegal frame"));
    }
  }
  WriteListing(FLogStringList);
}

PduStr TProtocolLayerHDLC::SupportingSendRec(const PduStr& s) {
  LastSendTick = GetTickCount32();
  int64_t started = 0;
  if (LogProc) {
    ListFrame(false, 0, s);
    started = QueryPerformanceCounter();
  }
  PduStr answer = SupportingLayerObject().SendRec(s);
  if (LogProc) ListFrame(true, PerformanceCounterDiffMs(started, QueryPerformanceCounter()), answer);
  return answer;
}

void TProtocolLayerHDLC::SupportingSend(const PduStr& s) {
  SupportingLayerObject().Send(s);
  ListFrame(false, 0, s);
}

PduStr TProtocolLayerHDLC::SupportingLayerRec() {
  PduStr answer = SupportingLayerObject().Rec();
  ListFrame(true, 0, answer);
  return answer;
}

bool TProtocolLayerHDLC::ExchangeSkippingUI(const PduStr& s, TFrame& f, PduStr* raw) {
  PduStr answer = SupportingSendRec(s);
  if (raw) raw->clear();
  for (int skipped = 0;; ++skipped) {
    if (answer.empty()) return false;
    f.SetFromPduByteStr(answer);
    if (f.Kind() != fkUI) {
      if (raw) *raw = std::move(answer);
      return true;
    }
    if (skipped >= kMaxSkippedUIFrames) return false;
    CheckUserAbort();
    answer = SupportingLayerObject().Rec();
    if (answer.empty()) return false;
    if (static_cast<uint8_t>(answer[0]) != 0x7E) answer.insert(answer.begin(), '\x7E');
    ListFrame(true, 0, answer);
  }
}

PduStr TProtocolLayerHDLC::SupportingSendRecFilterUI(const PduStr& s) {
  TFrame f;
  PduStr answer;
  ExchangeSkippingUI(s, f, &answer);
  return answer;
}

void TProtocolLayerHDLC::RaiseUnexpected(const TFrame& f) {
  if (f.Kind() == fkDM) FState = hpNDM;
  throw EProtocolLayerHDLC(Format("Unexpected frame %s.", FrameKindName(f.Kind())));
}

void TProtocolLayerHDLC::CheckSync(bool ok) const {
  if (!ok) throw EProtocolLayerHDLC("R(S)/N(S) synchronization lost");
}

void TProtocolLayerHDLC::ReadUAParameters(const PduStr& info) {
  // Format identifier, group identifier and group length are skipped unread.
  size_t i = 3, n = info.size();
  auto bad = [] { throw EProtocolLayerHDLC("Illegal UA data"); };
  while (i < n) {
    uint8_t id = static_cast<uint8_t>(info[i++]);
    if (id < 5 || id > 8 || i >= n) bad();
    int len = static_cast<uint8_t>(info[i++]);
    if ((len != 1 && len != 2 && len != 4) || n - i < static_cast<size_t>(len)) bad();
    int32_t v = ReadUAValue(info.data() + i, len);
    i += static_cast<size_t>(len);
    switch (id) {
      case 5: MaxInfoFieldLengthReceive = v; break;
      case 6: MaxInfoFieldLengthTransmit = v; break;
      case 7: WindowSizeReceive = v; break;
      default: WindowSizeTransmit = v; break;
    }
  }
  // A server that would take no information at all leaves nothing to send with.
  if (MaxInfoFieldLengthTransmit < 1) bad();
}

size_t TProtocolLayerHDLC::SegmentSize(uint32_t wanted) const {
  int32_t fits = MaxInformationFieldLength(FRemoteAddress.FSize, FLocalAddress.FSize);
  return std::max<size_t>(1, std::min<size_t>(wanted, static_cast<size_t>(fits)));
}

void TProtocolLayerHDLC::Connect() {
  std::lock_guard<std::mutex> lock(CriticalSection);
  TProtocolLayerAbstract& layer = SupportingLayerObject();
  layer.Connect();
  InstallFrameCheck(layer);

  TFrame snrm = NewFrame(fkSNRM, true);
  if (InformationFieldLength != 128) {
    uint32_t v = InformationFieldLength;
    PduStr value = v <= 255 ? PduStr{'\x01', static_cast<char>(v)}
                            : PduStr{'\x02', static_cast<char>((v >> 8) & 0xFF), static_cast<char>(v & 0xFF)};
    PduStr params = "\x05" + value + "\x06" + value;
    snrm.FData = PduStr("\x81\x80", 2) + static_cast<char>(params.size()) + params;
  }
  PduStr answer = SupportingSendRec(snrm.GetPDUByteStr());
  if (answer.empty()) throw ENoResponse("No response to SNRM");
  TFrame ua;
  ua.SetFromPduByteStr(answer);
  if (ua.Kind() != fkUA)
    throw EProtocolLayerHDLC(Format("Unexpected response to SNRM frame (%s)", FrameKindName(ua.Kind())));

  MaxInfoFieldLengthTransmit = 128;
  MaxInfoFieldLengthReceive = 128;
  WindowSizeTransmit = 1;
  WindowSizeReceive = 1;
  ReadUAParameters(ua.FData);
  SSN = 0;
  RSN = 0;
  for (PduStr& f : InfoFragments) f.clear();
  FState = hpNRM;
}

void TProtocolLayerHDLC::Disconnect() {
  std::lock_guard<std::mutex> lock(CriticalSection);
  try {
    if (IsConnected()) {
      SupportingSendRec(NewFrame(fkDISC, true).GetPDUByteStr());
      SupportingLayerObject().CheckFrameCompleteCallBack = nullptr;
      DisconnectSupportingLayer();
    }
  } catch (const std::exception&) {
    // Closing goes on whatever the line does.
  }
  FState = hpNDM;
}

PduStr TProtocolLayerHDLC::SendRec(const PduStr& s) {
  std::unique_lock<std::mutex> lock(CriticalSection);
  // Before the first link set-up there is no segment size to cut with.
  if (MaxInfoFieldLengthTransmit < 1) throw EProtocolLayerHDLC(Format("\"%s\" is not connected", Name.c_str()));

  PduStr data = kLLCRequest + s;
  PduStr result;
  bool more = false;
  if (!s.empty()) {
    size_t seg = SegmentSize(static_cast<uint32_t>(MaxInfoFieldLengthTransmit));
    for (size_t pos = 0; pos < data.size(); pos += seg) {
      bool last = pos + seg >= data.size();
      PduStr segment = data.substr(pos, seg);
      InfoFragments[SSN] = segment;
      TFrame frame = NewFrame(fkI, true);
      frame.Segmented = !last;
      frame.RSequenceNr = static_cast<uint8_t>(RSN);
      frame.SSequenceNr = static_cast<uint8_t>(SSN);
      frame.FData = segment;
      SSN = (SSN + 1) % 8;

      PduStr current = frame.GetPDUByteStr();
      int silence = 0, rnr = 0;
      for (bool done = false; !done;) {
        TFrame f;
        if (!ExchangeSkippingUI(current, f)) {
          if (silence == 1) throw ENoResponse();
          ++silence;
          current = RRPollFrame();
          continue;
        }
        switch (f.Kind()) {
          case fkI:
            CheckSync(f.RSequenceNr == SSN && f.SSequenceNr == RSN);
            RSN = (RSN + 1) % 8;
            result = f.FData;
            more = f.Segmented;
            done = true;
            break;
          case fkRR:
          case fkRNR:
            CheckSync(f.RSequenceNr == SSN);
            if (f.Kind() == fkRR) {
              // An RR to the last segment only acknowledges it: the answer
              // is still due and is collected with RR polls below.
              if (last) more = true;
              done = true;
            } else {
              if (++rnr > MaxRNRInSendPhase) throw ENoResponse();
              current = RRPollFrame();
            }
            break;
          default: RaiseUnexpected(f);
        }
        CheckUserAbort();
      }
      CheckUserAbort();
    }
  } else {
    more = true;
  }

  int rrCount = 0, silent = 0;
  while (more) {
    CheckUserAbort();
    TFrame f;
    if (!ExchangeSkippingUI(RRPollFrame(), f)) {
      if (++silent >= MaxSilentPolls) throw ENoResponse();
      continue;
    }
    silent = 0;
    switch (f.Kind()) {
      case fkI:
        CheckSync(f.RSequenceNr == SSN && f.SSequenceNr == RSN);
        RSN = (RSN + 1) % 8;
        if (result.size() + f.FData.size() > MaxAnswerLength)
          throw EProtocolLayerHDLC(Format("Answer longer than %zu bytes", MaxAnswerLength));
        result += f.FData;
        more = f.Segmented;
        rrCount = 0;
        break;
      case fkRR:
      case fkRNR:
        CheckSync(f.RSequenceNr == SSN);
        if (++rrCount > 10) throw ENoResponse();
        break;
      default: RaiseUnexpected(f);
    }
  }
  lock.unlock();

  if (result.empty()) return result;
  if (result.compare(0, 3, kLLCResponse) != 0) throw EProtocolLayerHDLC("LLC prefix missing");
  return result.substr(3);
}

void TProtocolLayerHDLC::UnconfirmedSend(const PduStr& s) {
  CheckAssertion(FState == hpNDM, 1109);
  std::lock_guard<std::mutex> lock(CriticalSection);
  PduStr data = kLLCRequest + s;
  size_t seg = SegmentSize(UIFrameLength);
  for (size_t pos = 0; pos < data.size(); pos += seg) {
    TFrame frame = NewFrame(fkUI, false);
    frame.Segmented = pos + seg < data.size();
    frame.FData = data.substr(pos, seg);
    SupportingSend(frame.GetPDUByteStr());
    SleepMs(UIFrameDelay);
    CheckUserAbort();
  }
}

}  // namespace quillon
