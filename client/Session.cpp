#include "client/Session.h"

#include <algorithm>
#include <cstring>
#include <random>

#include "client/InvocationCounters.h"
#include "client/SigningKeys.h"
#include "client/CallerTrust.h"
#include "comm/CallIn.h"
#include "comm/HDLC.h"
#include "comm/MidLayers.h"
#include "comm/Serial.h"
#include "comm/TCPClient.h"
#include "comm/Wrapper.h"
#include "engine/DLMSProtocol.h"
#include "knowledge/COSEMClasses.h"
#include "knowledge/COSEMUnits.h"
#include "knowledge/OBISData.h"
#include "xmlpdu/infra/Errors.h"
#include "xmlpdu/infra/ExchangeErrors.h"
#include "xmlpdu/infra/Misc.h"

namespace quillon::client {

namespace {

// Short names of the current association object on SN associations.
constexpr int kAssociationSNBase = 0xFA00;
const TLogicalName kAssociationName{0, 0, 40, 0, 0, 255};
const TLogicalName kClockName{0, 0, 1, 0, 0, 255};
const TLogicalName kInvocationCounterName{0, 0, 43, 1, 0, 255};

}  // namespace

struct TSession::TState {
  TMeterProfile Profile;
  std::function<void(const std::string&)> Log;

  // The stack: at most one of each, linked directly (no registry names).
  std::unique_ptr<TProtocolLayerTCPClient> Tcp;
  std::unique_ptr<TProtocolLayerSerial> Serial;
  std::unique_ptr<TProtocolLayerWrapper> Wrapper;
  std::unique_ptr<TProtocolLayerHDLC> Hdlc;
  std::unique_ptr<TMidLayerAbstract> Mid;

  TDLMSProtocolContext Context{};
  bool Associated = false;
  // The bytes the context points to; they stay put while it lives.
  PduStr Secret, EK, AK, KEK, ClientTitle, ServerTitle, Challenge;
  // ECDSA: the client's signing pair, the meter's public signing key, and
  // a key-agreement pair of this session alone (see LoadEcdsaKeys).
  TEcKeyPair Signing, Agreement;
  PduStr ServerSigning;

  std::optional<std::vector<TObjectListEntry>> Objects;
  std::string LastXml;
  TProgress Progress;
  // The next read's answer is a profile buffer: its decoding is reported.
  bool ReportEntries = false;
  const TCall* Call = nullptr;
  uint32_t NextInvocationCounter = 1;
  // Counters kept between sessions and processes (KeepInvocationCounter):
  // the lock of the (meter, client) while the session runs, and the end of
  // the block reserved (0: nothing reserved).
  std::optional<TCounterKeeping> Keeping;
  std::unique_ptr<TFileLock> SessionLock;
  uint32_t ReservedEnd = 0;
  bool GivenCounterUsed = false;
  // No further block could be reserved: nothing more is sent.
  std::string CounterFailure;
  // A call was cancelled: the session hangs up without a release request,
  // which would keep the one who cancelled waiting for the meter.
  mutable bool Cancelled = false;
  TLayerNames LayerNames;
  TShortNameSource ShortNames;
  std::optional<int> RequestProtection;
  // The engine's log lines of the current call: what the meter answered,
  // for explaining a failure.
  std::string Traffic;
  std::string AnnouncedTitle;
  std::optional<uint32_t> AnswerCounter;
  // A meter that called in: its connection, and whether the session took
  // it itself (then it hangs up when it closes).
  std::shared_ptr<TCallerConnection> Connection;
  bool OwnsConnection = false;
  std::string Peer;
  std::function<void(const std::string&)> CallInNotice;
  // Told of each tolerated deviation besides the log; the deviations said
  // so far (one line each per session, however often the engine meets them).
  std::function<void(const std::string&)> DeviationNotice;
  std::vector<const TToleratedDeviation*> DeviationsNoted;
};

namespace {

// How often a profile read reports the entries decoded so far.
constexpr size_t kEntriesPerReport = 1000;

// The engine's log callback carries no context: the session that is calling
// into the engine on this thread receives the lines.
thread_local TSession::TState* tCurrent = nullptr;

// Enough for the answers that explain a failure; an object list read in
// one call may be far longer and is of no use for that.
constexpr size_t kTrafficKept = 256 * 1024;

// The engine's line when it let a deviation pass, which the session says in
// words of its own; nothing for every other line.
const TToleratedDeviation* DeviationPassed(std::string_view line) {
  for (const TToleratedDeviation& d : ToleratedDeviations()) {
    const std::string_view sign = d.EngineSign;
    if (line.size() >= sign.size() && line.substr(line.size() - sign.size()) == sign) return &d;
  }
  return nullptr;
}

void EngineLog(const char* s) {
  if (!tCurrent) return;
  TSession::TState& state = *tCurrent;
  std::string line = s ? s : "";
  if (const TToleratedDeviation* d = DeviationPassed(line)) {
    // The engine says it once per association; a session says it once.
    auto& noted = state.DeviationsNoted;
    if (std::find(noted.begin(), noted.end(), d) != noted.end()) return;
    noted.push_back(d);
    line = DeviationNote(*d, HasQuirk(state.Profile.Quirks, d->Quirk));
    if (state.DeviationNotice) state.DeviationNotice(line);
  }
  std::string& t = state.Traffic;
  if (t.size() > kTrafficKept) t.erase(0, t.size() - kTrafficKept / 2);
  t += line;
  t += '\n';
  if (state.Log) state.Log(line);
}

void CounterWarning(const TSession::TState& s, const std::string& text) {
  if (s.Keeping && s.Keeping->Warning) s.Keeping->Warning(text);
  else if (s.Log) s.Log(text);
}

// Reserves the next block of counters for a session that has used its own;
// a failure stops the session from sending (see SendReceiveData).
void ExtendReservation(TSession::TState& s) {
  try {
    uint32_t end = 0;
    const uint32_t first =
        TInvocationCounterFile(s.Keeping->File).Reserve(s.Profile, std::nullopt, s.ReservedEnd, s.Keeping->Block, end);
    s.NextInvocationCounter = first;
    s.ReservedEnd = end;
    if (s.Log) s.Log(Format("invocation counters %u to %u reserved", first, end - 1));
  } catch (const std::exception& e) {
    s.CounterFailure = std::string("invocation counter: ") + e.what();
  }
}

uint32_t NextInvocationCounter() {
  // Engine calls run inside a call scope, so the session is known here.
  if (!tCurrent) return 0;
  TSession::TState& s = *tCurrent;
  if (s.ReservedEnd != 0 && s.NextInvocationCounter >= s.ReservedEnd && s.CounterFailure.empty()) ExtendReservation(s);
  return s.NextInvocationCounter++;
}

// A quirk of the profile took effect: said in the session's log.
void NoteQuirk(TSession::TState& s, const std::string& text) {
  if (s.Log) s.Log("quirk " + text);
}

void SetCallBackResult(PDLMSProtocolContext ctx, const std::string& text) {
  const size_t n = std::min(text.size(), sizeof ctx->CallBackResult - 1);
  std::memcpy(ctx->CallBackResult, text.data(), n);
  ctx->CallBackResult[n] = '\0';
}

int32_t SendReceiveData(PDLMSProtocolContext ctx, const uint8_t* out, int32_t outLength, uint8_t* in,
                        int32_t maxInLength, int32_t* inLength) {
  auto* s = static_cast<TSession::TState*>(ctx->ReservedForDllUser);
  // A message whose counter is not reserved never reaches the meter.
  if (!s->CounterFailure.empty()) {
    SetCallBackResult(ctx, s->CounterFailure);
    return 1;
  }
  try {
    const PduStr request(reinterpret_cast<const char*>(out), static_cast<size_t>(std::max(outLength, 0)));
    PduStr response;
    s->Mid->SendReceiveData(s->Profile.ClientAddress, s->Profile.ServerAddress, request, response);
    if (response.size() > static_cast<size_t>(std::max(maxInLength, 0)))
      RaiseGeneral(Format("Response too long (%d bytes, at most %d)", static_cast<int>(response.size()), maxInLength));
    std::memcpy(in, response.data(), response.size());
    *inLength = static_cast<int32_t>(response.size());
    ++s->Progress.Blocks;
    s->Progress.Bytes += response.size();
    // The engine takes a while over a large answer before it returns: the
    // decoding is said to have begun as soon as the last part is in.
    if (s->ReportEntries && IsLastPartOfAnswer(response)) s->Progress.Decoding = true;
    if (s->Call && s->Call->Progress) s->Call->Progress(s->Progress);
    return 0;
  } catch (const std::exception& e) {
    SetCallBackResult(ctx, e.what());
    return 1;
  }
}

}  // namespace

std::string ProgressText(const TProgress& p) {
  std::string text = Format("%llu blocks, %llu bytes", static_cast<unsigned long long>(p.Blocks),
                            static_cast<unsigned long long>(p.Bytes));
  if (p.Decoding) text += Format(", decoding: %llu entries", static_cast<unsigned long long>(p.Entries));
  return text;
}

bool IsLastPartOfAnswer(std::string_view apdu) {
  // An HDLC link may hand the LLC header up with the APDU.
  if (apdu.size() >= 3 && static_cast<uint8_t>(apdu[0]) == 0xE6 && (static_cast<uint8_t>(apdu[1]) & 0xFE) == 0xE6 &&
      apdu[2] == 0)
    apdu.remove_prefix(3);
  const auto at = [apdu](size_t i) { return static_cast<uint8_t>(apdu[i]); };
  if (apdu.size() < 2) return false;
  if (at(0) == 0xE0) return (at(1) & 0x80) != 0;  // general block: the last-block bit of its control byte
  if (at(0) != 0xC4) return false;                // get-response
  if (at(1) == 0x01) return true;                 // normal: all in one
  return at(1) == 0x02 && apdu.size() >= 4 && at(3) != 0;  // with a data block: its last-block flag
}

namespace {

const TObjectListEntry* FindEntry(const std::vector<TObjectListEntry>& list, int classId, const TLogicalName& name) {
  for (const TObjectListEntry& e : list)
    if (e.Name == name && (classId == 0 || e.ClassId == classId)) return &e;
  return nullptr;
}

// Short names as the meter's object list gives them: attributes every 8
// from the base name, methods after the attributes of the class.
int32_t ShortName(PDLMSProtocolContext ctx, const uint8_t* instance, int32_t classId, int32_t id, bool method,
                  uint16_t* sn) {
  auto* s = static_cast<TSession::TState*>(ctx->ReservedForDllUser);
  const TLogicalName name = LogicalNameOfBytes(std::string_view(reinterpret_cast<const char*>(instance), 6));
  if (s->ShortNames && !method) {
    int found = 0;
    std::string error;
    if (!s->ShortNames(classId, name, id, found, error)) {
      SetCallBackResult(ctx, error);
      return 1;
    }
    *sn = static_cast<uint16_t>(found);
    return 0;
  }
  int base = -1, attributes = 0;
  if (classId == 12 && name == kAssociationName) {
    base = kAssociationSNBase;
    attributes = 4;
  } else if (s->Objects) {
    if (const TObjectListEntry* e = FindEntry(*s->Objects, classId, name)) {
      base = e->ShortName;
      attributes = static_cast<int>(e->AttributeNames.size());
    }
  }
  if (base < 0) {
    SetCallBackResult(ctx, Format("No short name for %d/%s in the object list", classId, LogicalNameDotted(name).c_str()));
    return 1;
  }
  if (method && attributes == 0) {
    SetCallBackResult(ctx, Format("Class %d is not in the class catalogue: its method short names are unknown", classId));
    return 1;
  }
  *sn = static_cast<uint16_t>(base + 8 * (method ? attributes + id - 1 : id - 1));
  return 0;
}

int32_t ShortNameOfAttribute(PDLMSProtocolContext c, const uint8_t* i, int32_t cls, int32_t a, uint16_t* sn) {
  return ShortName(c, i, cls, a, false, sn);
}
int32_t ShortNameOfMethod(PDLMSProtocolContext c, const uint8_t* i, int32_t cls, int32_t m, uint16_t* sn) {
  return ShortName(c, i, cls, m, true, sn);
}

const uint8_t* BytesOrNull(const PduStr& s) {
  return s.empty() ? nullptr : reinterpret_cast<const uint8_t*>(s.data());
}

// Runs one step of an operation with the call's cancel token watched by
// every wait of this thread and the engine's log routed to this session.
class TCallScope {
public:
  TCallScope(TSession::TState& s, const TCall& call)
      : FState(s), FPreviousFlag(ThreadAbortFlag), FPreviousSession(tCurrent) {
    ThreadAbortFlag = call.Cancel ? &call.Cancel->Flag() : nullptr;
    tCurrent = &s;
    s.Call = &call;
    s.Progress = TProgress{};
    s.Traffic.clear();
  }
  ~TCallScope() {
    ThreadAbortFlag = FPreviousFlag;
    tCurrent = FPreviousSession;
    FState.Call = nullptr;
  }

private:
  TSession::TState& FState;
  const std::atomic<bool>* FPreviousFlag;
  TSession::TState* FPreviousSession;
};

std::string Hex2(int v, int digits) { return TMisc::IntToHex(static_cast<uint64_t>(v), digits); }

std::string Descriptor(const char* kind, int classId, const TLogicalName& name, int member) {
  return Format("<%sDescriptor><ClassId Value=\"%s\" /><InstanceId Value=\"%s\" /><%sId Value=\"%s\" /></%sDescriptor>",
                kind, Hex2(classId, 4).c_str(), LogicalNameHex(name).c_str(), kind, Hex2(member, 2).c_str(), kind);
}

// The first <Data>...</Data> of an engine answer, if any.
std::optional<std::string> DataElementOf(const std::string& xml) {
  const size_t open = xml.find("<Data>");
  if (open == std::string::npos) return std::nullopt;
  const size_t close = xml.rfind("</Data>");
  if (close == std::string::npos || close < open) return std::nullopt;
  return xml.substr(open, close + 7 - open);
}

// The value of the first Value="..." after `tag` in an engine answer.
std::optional<std::string> ValueAfter(const std::string& xml, const std::string& tag) {
  const size_t at = xml.find(tag);
  if (at == std::string::npos) return std::nullopt;
  const size_t v = xml.find("Value=\"", at);
  if (v == std::string::npos) return std::nullopt;
  const size_t end = xml.find('"', v + 7);
  if (end == std::string::npos) return std::nullopt;
  return xml.substr(v + 7, end - v - 7);
}

std::string AccessModeText(int mode) {
  switch (mode) {
    case 0: return "-";
    case 1: return "R";
    case 2: return "W";
    case 3: return "RW";
    default: return Format("%d", mode);
  }
}

}  // namespace

TGetAnswer GetAnswerOf(const std::string& xml) {
  if (auto data = DataElementOf(xml)) return TGetAnswer{*data, {}};
  if (auto why = ValueAfter(xml, "DataAccessError"); why && !why->empty()) return TGetAnswer{{}, *why};
  throw EMeterError("the meter's answer holds neither data nor a data-access-result");
}

std::optional<std::string> RefusalIn(const std::string& xml) {
  // Every result of the answer: a SET or ACTION answer's, each one of a
  // list, each one of an ACCESS answer's result list; a data-access
  // error in place of data as well.
  std::optional<std::string> first;
  for (const char* tag : {"<Result Value=\"", "<DataAccessError Value=\"", "<DataAccessResult Value=\""}) {
    const std::string_view t(tag);
    for (size_t at = xml.find(t); at != std::string::npos; at = xml.find(t, at + t.size())) {
      const size_t from = at + t.size();
      const size_t end = xml.find('"', from);
      if (end == std::string::npos) break;
      const std::string value = xml.substr(from, end - from);
      if (!first) first = std::string();
      if (value != "Success" && first->empty()) *first = value;
    }
  }
  return first;
}

std::string TObjectListEntry::AccessText() const {
  std::string s;
  for (const auto& [id, mode] : AttributeAccess) s += (s.empty() ? "" : " ") + std::to_string(id) + ":" + AccessModeText(mode);
  return s;
}

namespace {

std::optional<int> AccessOf(const std::vector<std::pair<int, int>>& rights, int id) {
  for (const auto& [listed, mode] : rights)
    if (listed == id) return mode;
  return std::nullopt;
}

}  // namespace

std::optional<int> TObjectListEntry::AttributeAccessOf(int attribute) const { return AccessOf(AttributeAccess, attribute); }

std::optional<int> TObjectListEntry::MethodAccessOf(int method) const { return AccessOf(MethodAccess, method); }

bool TObjectListEntry::MayRead(int attribute) const {
  if (AttributeAccess.empty()) return true;
  const std::optional<int> mode = AttributeAccessOf(attribute);
  // Read-only, read and write, and their authenticated forms.
  return mode && (*mode == 1 || *mode == 3 || *mode == 4 || *mode == 6);
}

std::vector<TObjectListEntry> DecodeObjectList(const TValue& list, std::optional<bool> shortNames) {
  if (list.Kind != TValueKind::vkArray) RaiseGeneral("Object list: an array of structures is expected");
  std::vector<TObjectListEntry> result;
  result.reserve(list.Items.size());
  const TOBISData& obis = EmbeddedOBISData();
  int row = 0;
  for (const TValue& item : list.Items) {
    ++row;
    if (item.Kind != TValueKind::vkStructure) RaiseGeneral(Format("Object list, entry %d: a structure is expected", row));
    auto member = [&](size_t index, const char* type) -> const TValue& {
      if (index >= item.Items.size() || item.Items[index].Type != type)
        RaiseGeneral(Format("Object list, entry %d: element %d is not of the expected type", row, static_cast<int>(index)));
      return item.Items[index];
    };
    const bool sn = shortNames ? *shortNames : !(!item.Items.empty() && item.Items[0].Type == "LongUnsigned");
    TObjectListEntry e;
    size_t i = 0;
    if (sn) e.ShortName = static_cast<int>(static_cast<uint16_t>(member(i++, "Long").Signed));
    e.ClassId = static_cast<int>(member(i++, "LongUnsigned").Unsigned);
    e.Version = static_cast<int>(member(i++, "Unsigned").Unsigned);
    const TValue& ln = member(i++, "OctetString");
    if (ln.Bytes.size() != 6) RaiseGeneral(Format("Object list, entry %d: the logical name must have 6 bytes", row));
    e.Name = LogicalNameOfBytes(ln.Bytes);
    // LN lists end with the access rights {attribute access, method access}.
    if (i < item.Items.size() && item.Items[i].Kind == TValueKind::vkStructure && item.Items[i].Items.size() == 2) {
      auto rights = [](const TValue& entries, std::vector<std::pair<int, int>>& out) {
        for (const TValue& a : entries.Items)
          if (a.Kind == TValueKind::vkStructure && a.Items.size() >= 2) {
            // Method access of the first association version is a Boolean.
            const TValue& mode = a.Items[1];
            const int m = mode.Kind == TValueKind::vkBoolean ? static_cast<int>(mode.Unsigned)
                                                              : static_cast<int>(mode.Integer().value_or(0));
            out.emplace_back(static_cast<int>(a.Items[0].Integer().value_or(0)), m);
          }
      };
      rights(item.Items[i].Items[0], e.AttributeAccess);
      rights(item.Items[i].Items[1], e.MethodAccess);
    }
    try {
      e.Description = obis.GetOBISText(e.Name);
    } catch (const std::exception&) {
      // No description is not a failure of the object list.
    }
    const TCOSEMClassInfo* c = COSEMClassesInfo().Search(e.ClassId, e.Version);
    if (!c) c = COSEMClassesInfo().Search(e.ClassId, -1);
    if (c) {
      e.ClassName = c->Description;
      e.AttributeNames = c->AttributeNames;
      e.MethodCount = c->MethodsQty;
    }
    result.push_back(std::move(e));
  }
  return result;
}

std::string TProfileColumn::Heading() const {
  std::string h = Description.empty() ? LogicalNameDotted(Name) : Description;
  h += " [" + LogicalNameDotted(Name) + "/" + std::to_string(Attribute);
  if (ScalerUnit) {
    const std::string unit = COSEMUnitName(ScalerUnit->Unit);
    if (!unit.empty()) h += ", " + unit;
  }
  return h + "]";
}

std::string ProfileCellText(const TValue& v, const TProfileColumn* column) {
  if (column && column->ScalerUnit) {
    if (auto t = ScaledText(v, column->ScalerUnit->Scaler)) return *t;
  }
  return ValueToCsvCell(v);
}

std::string ProfileCsv(const TProfileTable& t) {
  std::vector<std::string> head;
  for (const auto& col : t.Columns) head.push_back(col.Heading());
  std::string out = CsvLine(head);
  for (const auto& row : t.Rows) {
    std::vector<std::string> cells;
    for (size_t i = 0; i < row.size(); ++i) cells.push_back(ProfileCellText(row[i], i < t.Columns.size() ? &t.Columns[i] : nullptr));
    out += CsvLine(cells);
  }
  return out;
}

// ---------------------------------------------------------------- session

TSession::TSession(TMeterProfile profile) : F(std::make_unique<TState>()) { F->Profile = std::move(profile); }

TSession::~TSession() { Close(); }

void TSession::SetLog(std::function<void(const std::string&)> log) { F->Log = std::move(log); }

void TSession::SetDeviationNotice(std::function<void(const std::string&)> notice) {
  F->DeviationNotice = std::move(notice);
}

const TMeterProfile& TSession::Profile() const { return F->Profile; }
bool TSession::IsOpen() const { return F->Associated; }
int TSession::NegotiatedMaxPduSize() const { return F->Context.NegotiatedMaxPduSize; }
uint32_t TSession::NegotiatedConformance() const { return F->Context.NegotiatedConformance; }
const std::string& TSession::AnnouncedSystemTitle() const { return F->AnnouncedTitle; }
std::optional<uint32_t> TSession::AnswerInvocationCounter() const { return F->AnswerCounter; }
const std::string& TSession::LastXml() const { return F->LastXml; }
void TSession::SetInvocationCounter(uint32_t next) { F->NextInvocationCounter = next; }
void TSession::KeepInvocationCounter(TCounterKeeping keeping) { F->Keeping = std::move(keeping); }
void TSession::SetCallInNotice(std::function<void(const std::string&)> notice) { F->CallInNotice = std::move(notice); }
void TSession::UseConnection(std::shared_ptr<TCallerConnection> connection) {
  F->Connection = std::move(connection);
  F->OwnsConnection = false;
  F->Peer = F->Connection ? F->Connection->Peer() : std::string();
}
const std::string& TSession::Peer() const { return F->Peer; }
void TSession::SetLayerNames(const TLayerNames& names) { F->LayerNames = names; }
void TSession::SetShortNameSource(TShortNameSource source) { F->ShortNames = std::move(source); }
void TSession::SetRequestProtection(std::optional<int> policy) { F->RequestProtection = policy; }
bool TSession::LinkConnected() const { return F->Associated && F->Mid && F->Mid->Connected(); }
uint32_t TSession::InvocationCounter() const { return F->NextInvocationCounter; }

namespace {

// A profile whose meter calls in: listens on its [host:]port and takes the
// first connection within its wait; the listening socket closes once the
// meter is there, so that nobody else gets in after it.
void AwaitCaller(TSession::TState& s) {
  const TMeterProfile& p = s.Profile;
  TCallInListener listener(p.Host, p.Port, 1);
  if (s.CallInNotice) s.CallInNotice(WaitingForMeterText(listener.Port()));
  std::unique_ptr<TCallerConnection> c = listener.Accept(p.CallInWait * 1000);
  if (!c) throw EProtocolLayerTCPServer(Format("no meter called within %d s", p.CallInWait));
  s.Connection = std::move(c);
  s.OwnsConnection = true;
  s.Peer = s.Connection->Peer();
  if (s.CallInNotice) s.CallInNotice(MeterConnectedText(s.Peer));
}

void BuildStack(TSession::TState& s) {
  const TMeterProfile& p = s.Profile;
  TProtocolLayerAbstract* byteLayer = nullptr;
  if (p.Transport == TTransport::tHdlcSerial) {
    s.Serial = std::make_unique<TProtocolLayerSerial>();
    TProtocolLayerSerial& serial = *s.Serial;
    serial.Name = s.LayerNames.Serial;
    serial.SetDevicePath(p.Device);
    serial.SetFormat("8N1");
    serial.ShowTraffic = true;
    serial.ResponseTimeout = p.ResponseTimeout;
    serial.NeedsMode_E = p.ModeE;
    serial.NeedsWakeUp = false;
    serial.SetBaud(p.Baud);
    serial.Mode_E_Delay1 = 0;
    serial.Mode_E_Delay2 = 300;
    serial.Mode_E_Delay3 = 1000;
    if (p.Quirks.InterFrameDelayMs) {
      serial.DelayBeforeSend = p.Quirks.InterFrameDelayMs;
      NoteQuirk(s, Format("inter-frame-delay: %d ms before each frame", p.Quirks.InterFrameDelayMs));
    }
    byteLayer = &serial;
  } else {
    s.Tcp = std::make_unique<TProtocolLayerTCPClient>();
    TProtocolLayerTCPClient& tcp = *s.Tcp;
    tcp.Name = s.LayerNames.Tcp;
    tcp.SetDisconnectToConnectDelay(0);
    tcp.SetShowTraffic(true);
    tcp.SetResponseTimeout(p.ResponseTimeout);
    if (s.Connection) {
      tcp.Adopt(s.Connection->Share(), s.Connection->Peer());
    } else {
      tcp.SetIP(p.Host);
      tcp.SetPort(p.Port);
      tcp.SetIPVersion(p.Host.find(':') != std::string::npos ? IPv6 : IPv4);
      tcp.SetConnectTimeout(p.ConnectTimeout);
    }
    byteLayer = &tcp;
  }
  if (p.Transport == TTransport::tWrapperTcp) {
    s.Wrapper = std::make_unique<TProtocolLayerWrapper>();
    s.Wrapper->Name = s.LayerNames.Wrapper;
    s.Wrapper->SupportingLayerInstance = byteLayer;
    // A connection the meter opened is up already, so the wrapper is never
    // asked to connect, where it would install its frame check.
    if (s.Connection) s.Wrapper->InstallFrameCheck(*byteLayer);
    auto mid = std::make_unique<TMidLayerWRAPPER>();
    mid->WRAPPERLayer = s.Wrapper.get();
    s.Mid = std::move(mid);
  } else {
    s.Hdlc = std::make_unique<TProtocolLayerHDLC>();
    TProtocolLayerHDLC& hdlc = *s.Hdlc;
    hdlc.Name = s.LayerNames.Hdlc;
    hdlc.SupportingLayerInstance = byteLayer;
    hdlc.SetServerAddressSize(ServerAddressSize(p));
    hdlc.SetServerLowerAddress(p.PhysicalAddress >= 0 ? p.PhysicalAddress : 0);
    hdlc.SetServerUpperAddress(p.ServerAddress);
    hdlc.InformationFieldLength = 128;
    if (p.Quirks.HdlcInfoLength) {
      hdlc.InformationFieldLength = p.Quirks.HdlcInfoLength;
      NoteQuirk(s, Format("hdlc-info: information field of %d bytes", p.Quirks.HdlcInfoLength));
    }
    hdlc.InactivityTimeout = p.InactivityTimeout;
    // Installs the frame check on the byte layer handed over above.
    hdlc.SetSupportingLayer(byteLayer->Name);
    auto mid = std::make_unique<TMidLayerHDLC>();
    mid->HDLCLayer = s.Hdlc.get();
    mid->DiscToNDMTimeout = 0;
    s.Mid = std::move(mid);
  }
}

void FillContext(TSession::TState& s) {
  const TMeterProfile& p = s.Profile;
  TDLMSProtocolContext& c = s.Context;
  ClearContext(&c);
  c.ClientId = p.ClientAddress;
  c.ServerId = p.ServerAddress;
  c.ApplicationContext = p.ApplicationContext();
  c.MechanismName = p.Mechanism;
  c.UseDedicatedKey = p.UseDedicatedKey ? 1 : 0;
  c.RLRQSupported = p.Quirks.NoRelease ? 0 : 1;
  // The engine logs these itself when they take effect (see EngineLog).
  const TQuirks effective = EffectiveQuirks(p.Quirks, p.Strict);
  if (effective.BlocksWithoutBit) c.Options |= DLMS_OPTION_BLOCKS_WITHOUT_CONFORMANCE;
  if (effective.TrailingBytes) c.Options |= DLMS_OPTION_IGNORE_TRAILING_BYTES;
  if (p.Quirks.ChallengeLength && p.Mechanism >= mMD5) {
    std::random_device random;
    s.Challenge.clear();
    for (int i = 0; i < p.Quirks.ChallengeLength; ++i) s.Challenge += static_cast<char>(random() & 0xFF);
    c.HLSChallenge.Size = static_cast<int32_t>(s.Challenge.size());
    c.HLSChallenge.Bytes = reinterpret_cast<uint8_t*>(s.Challenge.data());
    NoteQuirk(s, Format("challenge-%d: HLS challenge of %d bytes", p.Quirks.ChallengeLength, p.Quirks.ChallengeLength));
  }
  if (p.Quirks.MaxPduSize) c.ClientMaxReceivePDUSize = p.Quirks.MaxPduSize;
  if (p.Mechanism != mLowest && p.Mechanism != mGMAC && p.Mechanism != mECDSA) {
    s.Secret = p.Secret;
    c.Secret.Size = static_cast<int32_t>(s.Secret.size());
    c.Secret.Bytes = reinterpret_cast<uint8_t*>(s.Secret.data());
  }
  if (p.CountsInvocations()) {
    s.EK = p.EK;
    s.AK = p.AK;
    s.KEK = p.KEK;
    s.ClientTitle = p.ClientSystemTitle.empty() ? PduStr(kDefaultClientSystemTitle) : p.ClientSystemTitle;
    s.ServerTitle = p.ServerSystemTitle;
    c.EncryptionKey = BytesOrNull(s.EK);
    c.AuthenticationKey = BytesOrNull(s.AK);
    c.KeyEncryptionKey = BytesOrNull(s.KEK);
    c.ClientSystemTitle = BytesOrNull(s.ClientTitle);
    c.ServerSystemTitle = BytesOrNull(s.ServerTitle);
    c.SecuritySuite = p.Suite + 1;
    if (p.Mechanism == mECDSA) {
      c.ClientPrivateSigningKey = BytesOrNull(s.Signing.Private);
      c.ClientPublicSigningKey = BytesOrNull(s.Signing.Public);
      c.ClientPrivateKeyAgreementKey = BytesOrNull(s.Agreement.Private);
      c.ClientPublicKeyAgreementKey = BytesOrNull(s.Agreement.Public);
      c.ServerPublicSigningKey = BytesOrNull(s.ServerSigning);
    }
  } else if (p.Mechanism == mSHA256) {
    // The SHA-256 challenge response covers both system titles.
    s.ClientTitle = p.ClientSystemTitle.empty() ? PduStr(kDefaultClientSystemTitle) : p.ClientSystemTitle;
    s.ServerTitle = p.ServerSystemTitle;
    c.ClientSystemTitle = BytesOrNull(s.ClientTitle);
    c.ServerSystemTitle = BytesOrNull(s.ServerTitle);
  }
  c.LogStringFunc = &EngineLog;
  c.SendReceiveDataFunc = &SendReceiveData;
  c.GetShortNameOfAttributeFunc = &ShortNameOfAttribute;
  c.GetShortNameOfMethodFunc = &ShortNameOfMethod;
  c.GetNextInvocationCounterFunc = &NextInvocationCounter;
  c.ReservedForDllUser = &s;
}

// The ECDSA keys from the profile's PEM files, before anything is sent.
// The engine holds a key-agreement pair beside the signing pair of every
// suite 1 or 2 association; we never agree keys with a meter (no general
// ciphering with agreed keys), so a fresh pair that no meter knows takes
// its place rather than the signing key serving two purposes.
void LoadEcdsaKeys(TSession::TState& s) {
  if (s.Profile.Mechanism != mECDSA) return;
  try {
    const TSigningKeys keys = LoadSigningKeys(s.Profile);
    s.Signing = keys.Client;
    s.ServerSigning = keys.ServerPublic;
    s.Agreement = GenerateEcKeyPair(s.Profile.Suite);
  } catch (const std::exception& e) {
    throw EMeterError(e.what());
  }
}

// Requests after the association carry the profile's protection.
void ApplyProtection(TSession::TState& s) {
  if (!s.Profile.Ciphered()) return;
  TProtectionLayer& p = s.Context.ProtectionLayers[0];
  p = TProtectionLayer{};
  // No protection chosen: a layer left from an earlier request would
  // otherwise keep protecting every request.
  const int policy = s.RequestProtection.value_or(s.Profile.Policy);
  if (policy == 0) return;
  p.Kind = 1;
  // General ciphering needs the general-protection or the general-block-
  // transfer conformance bit (ACCESS requests have no other ciphered form).
  p.Style = (s.Context.NegotiatedConformance & (2u | 4u)) ? 3 : 1;
  p.ProtectionServices = static_cast<uint32_t>(policy);
}

// The failure as the engine reported it, explained from the meter's answer
// where the diagnosis table has a row for it.
[[noreturn]] void RaiseExplained(const TSession::TState& s, const std::string& what, const std::string& engineText,
                                 std::vector<std::string> meterMechanisms = {}) {
  TFailureEvidence evidence{engineText, s.Traffic, s.Profile, std::move(meterMechanisms), s.Peer};
  if (auto d = Diagnose(evidence)) throw EMeterError(what, *d, engineText);
  throw EMeterError(what, engineText);
}

[[noreturn]] void RaiseEngineFailure(const TSession::TState& s, const TCall& call) {
  const std::string text = s.Context.Result ? s.Context.Result : "Engine call failed";
  if (call.Cancel && call.Cancel->Cancelled()) {
    s.Cancelled = true;
    throw EMeterError("cancelled", text);
  }
  RaiseExplained(s, text, text);
}

void SetResponseTimeout(TSession::TState& s, int ms) {
  if (s.Serial) s.Serial->ResponseTimeout = ms;
  if (s.Tcp) s.Tcp->SetResponseTimeout(ms);
}

// One request through the engine with the call's cancel token and the
// session's protection; the engine's answer is kept as the last XML.
const std::string& RunRequest(TSession::TState& s, TRequestKind kind, const std::string& xml, const TCall& call,
                              bool expectReturn) {
  TCallScope scope(s, call);
  ApplyProtection(s);
  int32_t result = 0;
  switch (kind) {
    case TRequestKind::rkGet: result = ReadAttributes(&s.Context, xml.c_str()); break;
    case TRequestKind::rkSet: result = WriteAttributes(&s.Context, xml.c_str()); break;
    case TRequestKind::rkAction: result = InvokeMethod(&s.Context, xml.c_str(), expectReturn ? 1 : 0); break;
  }
  if (result != 0) RaiseEngineFailure(s, call);
  s.LastXml = s.Context.Result ? s.Context.Result : "";
  return s.LastXml;
}

std::string Endpoint(const TMeterProfile& p) {
  if (p.Transport == TTransport::tHdlcSerial) return p.Device;
  if (p.CallIn) return (p.Host.empty() ? std::string() : p.Host + " ") + "port " + std::to_string(p.Port) + " (call-in)";
  const bool v6 = p.Host.find(':') != std::string::npos;
  return (v6 ? "[" + p.Host + "]" : p.Host) + ":" + std::to_string(p.Port);
}

// The meter's count of the invocation counters it accepted, read through
// the public client, so that a ciphered association starts above it.
void ReadMeterInvocationCounter(TSession::TState& s, const TCall& call) {
  TSession reader(PublicClientProfile(s.Profile));
  if (s.Connection) reader.UseConnection(s.Connection);
  reader.Open(call);
  const auto v = reader.Get(TObjectRef{1, kInvocationCounterName, 2}, call).Value.Integer();
  reader.Close();
  if (!v || *v < 0 || *v >= 0xFFFFFFFFll)
    throw EMeterError("invocation counter: 1/0.0.43.1.0.255/2 is not a counter the meter can go on from");
  s.NextInvocationCounter = static_cast<uint32_t>(*v + 1);
  if (s.Log) s.Log(Format("invocation counter %u read from the meter: starting at %u", static_cast<uint32_t>(*v), s.NextInvocationCounter));
}

// Before the association: the session's (meter, client) locked, and its
// first block of counters reserved, from the counter the caller gave, or
// from the file's next (never below the meter's own count with --ic auto).
void StartCounting(TSession::TState& s, const TCall& call) {
  const TMeterProfile& p = s.Profile;
  if (!p.CountsInvocations()) return;
  s.CounterFailure.clear();
  const bool keep = s.Keeping.has_value();
  std::optional<TInvocationCounterFile> file;
  if (keep) {
    file.emplace(s.Keeping->File);
    s.SessionLock = LockMeterSession(*file, p, call.Cancel ? &call.Cancel->Flag() : nullptr);
  }
  if (p.InvocationCounterAuto) ReadMeterInvocationCounter(s, call);
  if (!keep) return;
  std::optional<uint32_t> given;
  if (!s.GivenCounterUsed) given = s.Keeping->First;
  s.GivenCounterUsed = true;
  try {
    uint32_t end = 0;
    const uint32_t first = file->Reserve(p, given, s.NextInvocationCounter, s.Keeping->Block, end);
    s.NextInvocationCounter = first;
    s.ReservedEnd = end;
    if (s.Log) s.Log(Format("invocation counters %u to %u reserved", first, end - 1));
  } catch (const EGeneralError& e) {
    // A damaged file may not even say which counters are taken: a given
    // counter could be one another meter under the key already used.
    if (!given || dynamic_cast<const ECounterFileDamaged*>(&e))
      throw EMeterError(std::string("invocation counter: ") + e.what(), e.what());
    // The caller's counter is used as given; only its keeping failed.
    s.NextInvocationCounter = *given;
    CounterWarning(s, Format("invocation counter %u is not kept: %s", *given, e.what()));
  }
}

// The session is over: the counters it did not use go back to the file,
// and its (meter, client) is free for the next session.
void EndCounting(TSession::TState& s) {
  if (s.ReservedEnd != 0 && s.Keeping) {
    try {
      TInvocationCounterFile(s.Keeping->File)
          .GiveBack(s.Profile, std::min(s.NextInvocationCounter, s.ReservedEnd), s.ReservedEnd);
    } catch (const std::exception& e) {
      CounterWarning(s, std::string("invocation counter: ") + e.what());
    }
  }
  s.ReservedEnd = 0;
  s.SessionLock.reset();
}

// The mechanisms the meter's association objects name, read through the
// public client, as "md5 for client 18": only the one of `client` when an
// object names it. Nothing when the meter does not let them be read.
std::vector<std::string> MeterMechanisms(const TMeterProfile& profile, const TCall& call) {
  static const std::string kMechanismPrefix("\x60\x85\x74\x05\x08\x02", 6);
  const TMeterProfile reading = PublicClientProfile(profile);
  std::vector<std::string> all, mine;
  if (reading.ClientAddress == profile.ClientAddress) return all;
  try {
    TSession reader(reading);
    reader.Open(call);
    for (const TObjectListEntry& e : reader.ObjectList(call)) {
      if (e.ClassId != 15) continue;
      try {
        const TValue name = reader.Get(TObjectRef{15, e.Name, 6}, call).Value;
        const TValue partners = reader.Get(TObjectRef{15, e.Name, 3}, call).Value;
        if (name.Kind != TValueKind::vkOctetString || name.Bytes.size() != 7 ||
            name.Bytes.compare(0, 6, kMechanismPrefix) != 0 || partners.Kind != TValueKind::vkStructure ||
            partners.Items.empty() || !partners.Items[0].Integer())
          continue;
        const int client = static_cast<int>(*partners.Items[0].Integer());
        // The current association describes the public client itself.
        if (client == reading.ClientAddress) continue;
        const std::string entry = Format("%s for client %d", MechanismName(static_cast<uint8_t>(name.Bytes[6]) + 1), client);
        if (std::find(all.begin(), all.end(), entry) == all.end()) all.push_back(entry);
        if (client == profile.ClientAddress) mine = {entry};
      } catch (const EMeterError&) {
        // An association object the public client may not read names nothing.
      }
    }
    reader.Close();
  } catch (const std::exception&) {
    // The explanation stands without the list.
  }
  return mine.empty() ? all : mine;
}

}  // namespace

void TSession::Open(const TCall& call) {
  if (F->Associated) return;
  TState& s = *F;
  const TMeterProfile& p = s.Profile;
  LoadEcdsaKeys(s);
  // A meter that calls in is waited for first: everything after runs over its connection.
  if (p.CallIn && !s.Connection) {
    TCallScope scope(s, call);
    try {
      AwaitCaller(s);
    } catch (const EUserAbort& e) {
      throw EMeterError("cancelled", e.what());
    } catch (const std::exception& e) {
      throw EMeterError(Format("%s: %s", Endpoint(p).c_str(), e.what()), e.what());
    }
  }
  // Whoever called gets nothing secret before it proved it is the meter.
  if (s.Connection) {
    const TCallerVerdict v = JudgeCaller(
        p, s.Connection->Peer(),
        "bind it to the addresses it calls from (--caller, or caller in the meters file) or trust unproven callers "
        "(--trust-unproven-caller, or trust-unproven-caller=1)");
    if (v.Trust == TCallerTrust::ctRefused) {
      const std::string peer = s.Connection->Peer();
      Close();
      throw EMeterError(Format("%s: %s", peer.c_str(), v.Why.c_str()));
    }
  }
  try {
    StartCounting(s, call);
  } catch (...) {
    EndCounting(s);
    Close();
    throw;
  }
  TCallScope scope(s, call);
  const int firstTimeout = s.Profile.Quirks.FirstResponseTimeoutMs;
  // The caller hears which stage the opening is in.
  const auto stage = [&call](const char* name) {
    if (!call.Progress) return;
    TProgress p;
    p.Stage = name;
    call.Progress(p);
  };
  try {
    stage("link");
    BuildStack(s);
    if (firstTimeout) {
      SetResponseTimeout(s, firstTimeout);
      NoteQuirk(s, Format("first-response-timeout: %d ms until the association stands", firstTimeout));
    }
    s.Mid->Connect(s.Profile.ClientAddress, s.Profile.ServerAddress);
  } catch (const EUserAbort& e) {
    Close();
    throw EMeterError("cancelled", e.what());
  } catch (const std::exception& e) {
    Close();
    // A meter that called is named by where it called from.
    const std::string where = s.Connection ? s.Connection->Peer() : Endpoint(s.Profile);
    const std::string what = Format("%s: %s", where.c_str(), e.what());
    if (auto d = Diagnose(TFailureEvidence{e.what(), {}, s.Profile, {}, s.Peer})) throw EMeterError(what, *d, e.what());
    throw EMeterError(what, e.what());
  }
  stage("association");
  FillContext(s);
  const int32_t established = EstablishAA(&s.Context);
  s.AnnouncedTitle = client::AnnouncedSystemTitle(s.Traffic);
  s.AnswerCounter = established == 0 && p.Ciphered() ? client::AnswerInvocationCounter(s.Traffic) : std::nullopt;
  if (established != 0) {
    const std::string text = s.Context.Result ? s.Context.Result : "Association failed";
    const bool cancelled = call.Cancel && call.Cancel->Cancelled();
    const std::string traffic = s.Traffic;
    Close();
    if (cancelled) throw EMeterError("cancelled", text);
    s.Traffic = traffic;
    std::vector<std::string> mechanisms;
    // A meter that called in is asked over its own connection or not at all.
    if (auto d = Diagnose(TFailureEvidence{text, traffic, p, {}, s.Peer});
        !s.Connection && d && d->Condition == TCondition::cMechanismNotSupported)
      mechanisms = MeterMechanisms(p, call);
    RaiseExplained(s, "association: " + text, text, std::move(mechanisms));
  }
  if (firstTimeout) SetResponseTimeout(s, s.Profile.ResponseTimeout);
  if (const int cap = s.Profile.Quirks.MaxPduSize; cap && s.Context.NegotiatedMaxPduSize > cap) {
    NoteQuirk(s, Format("max-pdu: PDU size %d instead of the %d the meter announced", cap, s.Context.NegotiatedMaxPduSize));
    s.Context.NegotiatedMaxPduSize = cap;
  }
  s.Associated = true;
}

void TSession::Close(bool release) {
  TState& s = *F;
  if (s.Context.ReservedRef != nullptr) {
    const TCall none;
    TCallScope scope(s, none);
    // A link that is gone gets no release request; the engine state is freed either way.
    if (!release || s.Cancelled || !s.Associated || !s.Mid || !s.Mid->Connected()) s.Context.RLRQSupported = 0;
    else if (s.Profile.Quirks.NoRelease) NoteQuirk(s, "no-rlrq: hanging up without a release request");
    ApplyProtection(s);
    ReleaseAA(&s.Context);
  }
  s.Associated = false;
  s.Cancelled = false;
  try {
    if (s.Mid) s.Mid->Disconnect();
  } catch (const std::exception&) {
    // Hanging up a link that already broke reports nothing useful.
  }
  try {
    if (s.Tcp && s.Tcp->IsConnected()) s.Tcp->Disconnect();
    if (s.Serial && s.Serial->IsConnected()) s.Serial->Disconnect();
  } catch (const std::exception&) {
  }
  s.Mid.reset();
  s.Hdlc.reset();
  s.Wrapper.reset();
  s.Serial.reset();
  s.Tcp.reset();
  if (s.OwnsConnection) {
    // The meter called this session: it hangs up, and the next Open waits for a call again.
    s.Connection->HangUp();
    s.Connection.reset();
    s.OwnsConnection = false;
  }
  EndCounting(s);
}

namespace {

void RequireOpen(const TSession::TState& s) {
  if (!s.Associated) throw EMeterError("no association: the session is not open");
}

// A write or method answer whose results are not all success names the
// first one that is not, explained where the diagnosis table can.
void RequireSuccess(const TSession::TState& s, const TObjectRef& ref, const char* what) {
  const std::optional<std::string> refusal = RefusalIn(s.LastXml);
  if (refusal && refusal->empty()) return;
  const std::string why = refusal ? *refusal : "no result in the answer";
  const std::string message =
      Format("%s: the meter refused the %s (%s)", ObjectRefText(ref).c_str(), what, why.c_str());
  EMeterError e = [&] {
    if (auto d = Diagnose(TFailureEvidence{message, s.LastXml, s.Profile, {}, s.Peer})) return EMeterError(message, *d);
    return EMeterError(message);
  }();
  e.Refusal = refusal.value_or(std::string());
  throw e;
}

bool IsAssociationObject(const TObjectRef& ref) { return ref.Name == kAssociationName && ref.ClassId == 12; }

}  // namespace

const std::vector<TObjectListEntry>& TSession::ObjectList(const TCall& call) {
  TState& s = *F;
  if (s.Objects) return *s.Objects;
  RequireOpen(s);
  const bool sn = s.Profile.ShortNames;
  TObjectRef ref;
  ref.ClassId = sn ? 12 : 15;
  ref.Name = kAssociationName;
  ref.Member = 2;
  TReading r = Get(ref, call);
  std::vector<TObjectListEntry> list;
  try {
    list = DecodeObjectList(r.Value, sn);
  } catch (const EMeterError&) {
    throw;
  } catch (const EGeneralError& e) {
    throw EMeterError(e.what());
  }
  s.Objects = std::move(list);
  return *s.Objects;
}

int TSession::ClassOf(const TLogicalName& name, const TCall& call) {
  const auto& list = ObjectList(call);
  if (const TObjectListEntry* e = FindEntry(list, 0, name)) return e->ClassId;
  throw EMeterError(Format("object %s: not in the association's object list", LogicalNameDotted(name).c_str()));
}

namespace {

// The unit-bearing attribute of a class and the attributes it applies to.
int ScalerUnitAttribute(int classId, int attribute) {
  if ((classId == 3 || classId == 4) && attribute == 2) return 3;
  if (classId == 5 && (attribute == 2 || attribute == 3)) return 4;
  return 0;
}

}  // namespace

TObjectRef TSession::Prepare(TObjectRef ref, int defaultMember, const TCall& call) {
  RequireOpen(*F);
  // Short names come from the object list: it is read before the first request.
  // (Attributes' short names may come from the caller's own source instead.)
  const bool ownSource = F->ShortNames && defaultMember == 2;
  if (F->Profile.ShortNames && !F->Objects && !IsAssociationObject(ref) && !ownSource) ObjectList(call);
  if (ref.Member == 0) ref.Member = defaultMember;
  if (ref.ClassId == 0) ref.ClassId = ClassOf(ref.Name, call);
  return ref;
}

const std::string& TSession::Request(TRequestKind kind, const std::string& requestXml, const TCall& call) {
  RequireOpen(*F);
  return RunRequest(*F, kind, requestXml, call, true);
}

TReading TSession::Get(TObjectRef ref, const TCall& call, const std::string& selection) {
  TState& s = *F;
  ref = Prepare(ref, 2, call);
  TReading r;
  r.Ref = ref;
  RunRequest(s, TRequestKind::rkGet,
             "<GetRequestNormal><InvokeIdAndPriority Value=\"C1\" />" +
                 Descriptor("Attribute", ref.ClassId, ref.Name, ref.Member) + selection + "</GetRequestNormal>",
             call, false);
  auto data = DataElementOf(s.LastXml);
  if (!data) {
    const auto why = ValueAfter(s.LastXml, "DataAccessError");
    const std::string message = Format("%s: the meter refused the read (%s)", ObjectRefText(ref).c_str(),
                                       why ? why->c_str() : "no data in the answer");
    EMeterError e = [&] {
      if (auto d = Diagnose(TFailureEvidence{message, s.LastXml, s.Profile, {}, s.Peer})) return EMeterError(message, *d);
      return EMeterError(message);
    }();
    e.Refusal = why.value_or(std::string());
    throw e;
  }
  r.DataXml = *data;
  // A buffer of tens of thousands of entries takes a while to decode: the
  // caller hears of it now and then, so a view need not sit silent.
  std::function<void(size_t)> entryRead;
  if (s.ReportEntries && call.Progress) {
    s.Progress.Decoding = true;
    s.Progress.Entries = 0;
    call.Progress(s.Progress);
    entryRead = [&s, &call](size_t n) {
      if (n % kEntriesPerReport) return;
      s.Progress.Entries = n;
      call.Progress(s.Progress);
    };
  }
  try {
    r.Value = ParseDataXml(*data, entryRead);
  } catch (const std::exception& e) {
    throw EMeterError(Format("%s: unreadable answer (%s)", ObjectRefText(ref).c_str(), e.what()));
  }
  if (const int su = ScalerUnitAttribute(ref.ClassId, ref.Member); su && selection.empty()) {
    const std::string keep = s.LastXml;
    TObjectRef unitRef = ref;
    unitRef.Member = su;
    r.ScalerUnit = ScalerUnitOf(Get(unitRef, call).Value);
    s.LastXml = keep;
  }
  return r;
}

void TSession::Set(TObjectRef ref, const std::string& dataXml, const TCall& call) {
  TState& s = *F;
  ref = Prepare(ref, 2, call);
  RunRequest(s, TRequestKind::rkSet,
             "<SetRequestNormal><InvokeIdAndPriority Value=\"C1\" />" +
                 Descriptor("Attribute", ref.ClassId, ref.Name, ref.Member) + "<Value>" + dataXml +
                 "</Value></SetRequestNormal>",
             call, false);
  RequireSuccess(s, ref, "write");
}

std::optional<TValue> TSession::Action(TObjectRef ref, const std::string& parametersXml, const TCall& call) {
  TState& s = *F;
  ref = Prepare(ref, 1, call);
  const std::string request =
      "<ActionRequestNormal><InvokeIdAndPriority Value=\"C1\" />" + Descriptor("Method", ref.ClassId, ref.Name, ref.Member) +
      (parametersXml.empty() ? std::string()
                             : "<MethodInvocationParameters>" + parametersXml + "</MethodInvocationParameters>") +
      "</ActionRequestNormal>";
  RunRequest(s, TRequestKind::rkAction, request, call, false);
  RequireSuccess(s, ref, "method");
  if (auto data = DataElementOf(s.LastXml)) {
    try {
      return ParseDataXml(*data);
    } catch (const std::exception& e) {
      throw EMeterError(Format("%s: unreadable answer (%s)", ObjectRefText(ref).c_str(), e.what()));
    }
  }
  return std::nullopt;
}

std::vector<TProfileColumn> ObjectDefinitionsOf(const TValue& list, const std::string& owner, const char* what,
                                                const char* one) {
  if (list.Kind != TValueKind::vkArray) throw EMeterError(Format("%s: %s are not an array", owner.c_str(), what));
  std::vector<TProfileColumn> out;
  for (const TValue& c : list.Items) {
    if (c.Kind != TValueKind::vkStructure || c.Items.size() < 4 || c.Items[1].Bytes.size() != 6)
      throw EMeterError(Format("%s: %s is not the structure expected", owner.c_str(), one));
    TProfileColumn col;
    col.ClassId = static_cast<int>(c.Items[0].Integer().value_or(0));
    col.Name = LogicalNameOfBytes(c.Items[1].Bytes);
    col.Attribute = static_cast<int>(c.Items[2].Integer().value_or(0));
    col.DataIndex = static_cast<int>(c.Items[3].Integer().value_or(0));
    out.push_back(std::move(col));
  }
  return out;
}

TProfileTable TSession::ReadProfile(TObjectRef ref, const TProfileRange& range, const TCall& call) {
  TState& s = *F;
  RequireOpen(s);
  if (ref.ClassId == 0) ref.ClassId = ClassOf(ref.Name, call);
  if (ref.ClassId != 7)
    throw EMeterError(Format("%s: not a profile (class %d, expected 7)", ObjectRefText(ref).c_str(), ref.ClassId));
  TProfileTable t;
  TObjectRef captureRef = ref;
  captureRef.Member = 3;
  const TOBISData& obis = EmbeddedOBISData();
  for (TProfileColumn& col :
       ObjectDefinitionsOf(Get(captureRef, call).Value, ObjectRefText(ref), "capture objects", "a capture object")) {
    try {
      col.Description = obis.GetOBISText(col.Name);
    } catch (const std::exception&) {
    }
    if (const int su = ScalerUnitAttribute(col.ClassId, col.Attribute)) {
      TObjectRef unitRef{col.ClassId, col.Name, su};
      try {
        col.ScalerUnit = ScalerUnitOf(Get(unitRef, call).Value);
      } catch (const EMeterError&) {
        // A column whose unit cannot be read is shown unscaled.
      }
    }
    t.Columns.push_back(std::move(col));
  }
  std::string selection;
  if (range.Kind == TProfileRange::rTime) {
    // The restricting object is the clock column (the first column when none is).
    const TProfileColumn* clock = nullptr;
    for (const TProfileColumn& c : t.Columns)
      if (c.ClassId == 8 && c.Attribute == 2 && !clock) clock = &c;
    if (!clock && !t.Columns.empty()) clock = &t.Columns[0];
    const TProfileColumn fallback{8, kClockName, 2, 0, "", std::nullopt};
    if (!clock) clock = &fallback;
    selection = Format(
        "<AccessSelection><AccessSelector Value=\"01\" /><AccessParameters><Structure Qty=\"0004\">"
        "<Structure Qty=\"0004\"><LongUnsigned Value=\"%s\" /><OctetString Value=\"%s\" /><Integer Value=\"%s\" />"
        "<LongUnsigned Value=\"%s\" /></Structure><OctetString Value=\"%s\" /><OctetString Value=\"%s\" />"
        "<Array Qty=\"0000\" ></Array></Structure></AccessParameters></AccessSelection>",
        Hex2(clock->ClassId, 4).c_str(), LogicalNameHex(clock->Name).c_str(), Hex2(clock->Attribute & 0xFF, 2).c_str(),
        Hex2(clock->DataIndex, 4).c_str(), TMisc::ByteStrToHexStr(EncodeDateTime(range.From, 0)).c_str(),
        TMisc::ByteStrToHexStr(EncodeDateTime(range.To, 0)).c_str());
  } else if (range.Kind == TProfileRange::rEntries) {
    selection = Format(
        "<AccessSelection><AccessSelector Value=\"02\" /><AccessParameters><Structure Qty=\"0004\">"
        "<DoubleLongUnsigned Value=\"%s\" /><DoubleLongUnsigned Value=\"%s\" /><LongUnsigned Value=\"0001\" />"
        "<LongUnsigned Value=\"0000\" /></Structure></AccessParameters></AccessSelection>",
        TMisc::IntToHex(range.FirstEntry, 8).c_str(), TMisc::IntToHex(range.LastEntry, 8).c_str());
  }
  TObjectRef bufferRef = ref;
  bufferRef.Member = 2;
  s.ReportEntries = true;
  TValue buffer;
  try {
    buffer = Get(bufferRef, call, selection).Value;
  } catch (...) {
    s.ReportEntries = false;
    throw;
  }
  s.ReportEntries = false;
  if (buffer.Kind != TValueKind::vkArray)
    throw EMeterError(Format("%s: the buffer is not an array", ObjectRefText(ref).c_str()));
  for (TValue& entry : buffer.Items) {
    if (entry.Kind != TValueKind::vkStructure)
      throw EMeterError(Format("%s: a buffer entry is not a structure", ObjectRefText(ref).c_str()));
    t.Rows.push_back(std::move(entry.Items));
  }
  if (call.Progress) {
    s.Progress.Entries = t.Rows.size();
    call.Progress(s.Progress);
  }
  return t;
}

}  // namespace quillon::client
