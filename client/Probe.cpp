#include "client/Probe.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "xmlpdu/infra/Misc.h"

namespace quillon::client {

namespace {

using TClock = std::chrono::steady_clock;

const std::vector<int> kDirectBauds = {9600, 19200, 38400, 57600, 115200};
// Physical addresses tried when nothing points elsewhere: the usual factory
// setting (1 + 16), then 1 and 16.
const std::vector<int> kCommonPhysical = {17, 1, 16};
const TLogicalName kLogicalDeviceName{0, 0, 42, 0, 0, 255};
const TLogicalName kSerialNumber{0, 0, 96, 1, 0, 255};

void AddOnce(std::vector<int>& list, int v) {
  if (v >= 0 && std::find(list.begin(), list.end(), v) == list.end()) list.push_back(v);
}

// Ends the attempt in progress when the caller cancels or the budget is
// spent: every wait of the session watches this token.
class TWatchdog {
public:
  TWatchdog(const TCancelToken* user, TClock::time_point deadline) : FUser(user), FDeadline(deadline) {
    FThread = std::thread([this] {
      std::unique_lock lock(FMutex);
      while (!FStop) {
        if ((FUser && FUser->Cancelled()) || TClock::now() >= FDeadline) Token.Cancel();
        FWake.wait_for(lock, std::chrono::milliseconds(50));
      }
    });
  }
  ~TWatchdog() {
    {
      std::lock_guard lock(FMutex);
      FStop = true;
    }
    FWake.notify_all();
    FThread.join();
  }
  TCancelToken Token;

private:
  const TCancelToken* FUser;
  TClock::time_point FDeadline;
  std::mutex FMutex;
  std::condition_variable FWake;
  bool FStop = false;
  std::thread FThread;
};

// The HDLC server addresses to try for one upper address: each physical
// address in the two- and four-byte forms it fits, then the one-byte form.
std::vector<std::pair<int, int>> AddressForms(int upper, const std::vector<int>& physicals) {
  std::vector<std::pair<int, int>> forms;  // (physical or -1, size)
  for (int physical : physicals) {
    if (upper < 128 && physical < 128) forms.emplace_back(physical, 2);
    forms.emplace_back(physical, 4);
  }
  if (upper < 128) forms.emplace_back(-1, 1);
  return forms;
}

std::string Text(const std::string& s) {
  std::string out;
  for (unsigned char c : s) out += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '.';
  return out;
}

// The quirk a failure calls for, added to `q` with its name; false when
// none does (or it is set already).
bool QuirkFor(const std::string& failure, TQuirks& q, std::string& name) {
  const std::optional<TQuirkCure> cure = QuirkCuring(failure);
  if (!cure || HasQuirk(q, cure->Quirk)) return false;
  ParseQuirk(cure->Quirk, q);
  name = cure->Quirk;
  return true;
}

}  // namespace

int PhysicalAddressOfSerialNumber(const std::string& serialNumber) {
  std::string digits;
  for (char c : serialNumber)
    if (c >= '0' && c <= '9') digits += c;
  if (digits.empty()) return -1;
  const int last4 = std::stoi(digits.substr(digits.size() > 4 ? digits.size() - 4 : 0));
  return (16 + last4) % 16384;
}

std::string AttemptText(const TMeterProfile& p) {
  std::string s;
  switch (p.Transport) {
    case TTransport::tWrapperTcp: s = "wrapper " + p.Host + ":" + std::to_string(p.Port); break;
    case TTransport::tHdlcTcp: s = "hdlc-tcp " + p.Host + ":" + std::to_string(p.Port); break;
    case TTransport::tHdlcSerial:
      s = "serial " + p.Device + (p.ModeE ? " mode E" : " " + std::to_string(p.Baud) + " baud");
      break;
  }
  s += " client " + std::to_string(p.ClientAddress) + " server " + std::to_string(p.ServerAddress);
  if (p.Transport != TTransport::tWrapperTcp) {
    if (p.PhysicalAddress >= 0) s += "/" + std::to_string(p.PhysicalAddress);
    s += " (" + std::to_string(p.AddressSize) + "-byte)";
  }
  s += p.ShortNames ? " SN" : " LN";
  if (p.Mechanism != mLowest) s += std::string(" ") + MechanismName(p.Mechanism);
  return s;
}

TProbeResult Probe(const TProbeOptions& o, const TCall& call, const std::function<void(const TProbeAttempt&)>& onAttempt) {
  const TClock::time_point start = TClock::now();
  const TClock::time_point deadline = start + std::chrono::milliseconds(o.BudgetMs);
  TWatchdog watchdog(call.Cancel, deadline);
  TCall attemptCall;
  attemptCall.Cancel = &watchdog.Token;
  TProbeResult result;

  // The public client's profile on a link; the given client's comes later.
  TMeterProfile pub = PublicClientProfile(o.Base);
  pub.ResponseTimeout = o.AttemptTimeoutMs;
  pub.ConnectTimeout = std::min(o.Base.ConnectTimeout, std::max(o.AttemptTimeoutMs, 1000));
  pub.ServerAddress = 1;

  std::vector<int> uppers{1};
  AddOnce(uppers, o.Server);
  std::vector<int> physicals;
  for (int p : o.PhysicalAddresses) AddOnce(physicals, p);
  AddOnce(physicals, PhysicalAddressOfSerialNumber(o.SerialNumber));
  for (int p : kCommonPhysical) AddOnce(physicals, p);

  // Every way to reach the meter, in the order tried.
  std::vector<TMeterProfile> links;
  auto addHdlc = [&](TMeterProfile p) {
    for (int upper : uppers)
      for (auto [physical, size] : AddressForms(upper, physicals)) {
        p.ServerAddress = upper;
        p.PhysicalAddress = physical;
        p.AddressSize = size;
        links.push_back(p);
      }
  };
  if (!o.Serial) {
    if (o.Wrapper)
      for (int upper : uppers) {
        TMeterProfile p = pub;
        p.Transport = TTransport::tWrapperTcp;
        p.ServerAddress = upper;
        p.PhysicalAddress = -1;
        p.AddressSize = 0;
        links.push_back(p);
      }
    if (o.HdlcTcp) {
      TMeterProfile p = pub;
      p.Transport = TTransport::tHdlcTcp;
      addHdlc(p);
    }
  } else {
    TMeterProfile p = pub;
    p.Transport = TTransport::tHdlcSerial;
    if (o.ModeE) {
      p.ModeE = true;
      p.Baud = 19200;  // the highest speed we accept from the meter's offer
      addHdlc(p);
    }
    if (o.Direct) {
      p.ModeE = false;
      for (int baud : o.Bauds.empty() ? kDirectBauds : o.Bauds) {
        p.Baud = baud;
        addHdlc(p);
      }
    }
  }

  // One attempt: open, read what a public association shows, close. A meter
  // refuses an invocation counter it has seen: counted attempts go on from
  // the counters file and leave their next counter there.
  auto attempt = [&](const TMeterProfile& p, bool readInfo) -> TProbeAttempt {
    if (o.OnStart) o.OnStart(p);
    TProbeAttempt a;
    a.Profile = p;
    const TClock::time_point t0 = TClock::now();
    TSession session(p);
    session.SetLayerNames(o.LayerNames);
    if (o.Log) session.SetLog(o.Log);
    session.KeepInvocationCounter();
    try {
      session.Open(attemptCall);
      a.Outcome = "associated";
      if (readInfo) {
        auto text = [&](const TLogicalName& name) {
          try {
            const TValue v = session.Get(TObjectRef{1, name, 2}, attemptCall).Value;
            return v.Kind == TValueKind::vkOctetString || v.Kind == TValueKind::vkVisibleString ||
                           v.Kind == TValueKind::vkUtf8String
                       ? Text(v.Bytes)
                       : ValueToText(v);
          } catch (const EMeterError&) {
            return std::string();
          }
        };
        a.LogicalDeviceName = text(kLogicalDeviceName);
        a.SerialNumber = text(kSerialNumber);
        try {
          a.ObjectCount = static_cast<int>(session.ObjectList(attemptCall).size());
        } catch (const EMeterError& e) {
          a.Detail = e.what();
        }
      }
    } catch (const EMeterError& e) {
      const std::string what = e.what();
      // A deviation a quirk cures stays in the engine's words, which the
      // search for the quirk reads.
      a.Detail = e.Diagnosis && e.Diagnosis->Condition != TCondition::cMeterQuirk ? e.Diagnosis->What : what;
      const bool association = what.rfind("association: ", 0) == 0;
      if (e.Diagnosis && IsRejection(e.Diagnosis->Condition)) a.Outcome = "AARE rejected";
      else if (association && what.find("No response") != std::string::npos)
        a.Outcome = p.Transport == TTransport::tWrapperTcp ? "nothing" : "UA";
      else if (association) a.Outcome = "AARE";
      else if (what.find("No response") != std::string::npos || what == "cancelled") a.Outcome = "nothing";
      else if (what.find("(DM)") != std::string::npos) a.Outcome = "DM";
      else if (what.find("Connection refused") != std::string::npos) a.Outcome = "nothing";
      else a.Outcome = "frame error";
    }
    session.Close();
    a.ElapsedMs = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - t0).count());
    return a;
  };
  auto stopped = [&] {
    if (call.Cancel && call.Cancel->Cancelled()) result.Cancelled = true;
    else if (TClock::now() >= deadline) result.OutOfTime = true;
    return result.Cancelled || result.OutOfTime;
  };
  auto record = [&](TProbeAttempt a) {
    // An attempt cut short by the budget or the caller says nothing about the meter.
    if (stopped()) return false;
    if (onAttempt) onAttempt(a);
    result.Attempts.push_back(std::move(a));
    return true;
  };
  // An attempt whose failure a quirk may cure is repeated with it; the
  // profile that then works (the object list read, when it was read) is
  // returned and the quirk suggested.
  auto withQuirks = [&](const TProbeAttempt& failed, bool readInfo) -> std::optional<TMeterProfile> {
    TMeterProfile q = failed.Profile;
    std::string detail = failed.Detail, name;
    std::vector<std::string> names;
    while (QuirkFor(detail, q.Quirks, name) && !stopped()) {
      names.push_back(name);
      TProbeAttempt b = attempt(q, readInfo);
      const bool took = b.Outcome == "associated" && b.Detail.empty();
      detail = b.Detail;
      if (!record(b)) break;
      if (took) {
        result.SuggestedQuirks.insert(result.SuggestedQuirks.end(), names.begin(), names.end());
        return q;
      }
    }
    return std::nullopt;
  };

  // 1. The link: the first way on which the meter answers anything.
  std::optional<TMeterProfile> link;
  for (const TMeterProfile& p : links) {
    if (stopped()) return result;
    TProbeAttempt a = attempt(p, true);
    if (!record(a)) return result;
    const std::string out = result.Attempts.back().Outcome;
    if (out == "associated" || out == "AARE rejected" || out == "AARE" || out == "UA") {
      link = p;
      if (out == "associated") result.Recommended = p;
      if (out == "associated" && !a.Detail.empty())
        if (auto q = withQuirks(a, true)) result.Recommended = link = q;
      break;
    }
  }
  if (!link) return result;

  // 2. The association on that link: short names when logical names were
  // not taken, then the client given with its secrets.
  std::vector<TMeterProfile> associations;
  if (!result.Recommended) {
    TMeterProfile sn = *link;
    sn.ShortNames = true;
    associations.push_back(sn);
  }
  if (o.Client >= 0 && o.Client != 16) {
    TMeterProfile given = o.Base;
    given.Transport = link->Transport;
    given.Host = link->Host;
    given.Port = link->Port;
    given.Device = link->Device;
    given.Baud = link->Baud;
    given.ModeE = link->ModeE;
    given.ServerAddress = link->ServerAddress;
    given.PhysicalAddress = link->PhysicalAddress;
    given.AddressSize = link->AddressSize;
    given.ClientAddress = o.Client;
    // What the link needed, the given client needs too.
    given.Quirks.BlocksWithoutBit = given.Quirks.BlocksWithoutBit || link->Quirks.BlocksWithoutBit;
    given.ResponseTimeout = o.AttemptTimeoutMs;
    associations.push_back(given);
    TMeterProfile other = given;
    other.ShortNames = !given.ShortNames;
    associations.push_back(other);
  }
  bool givenDone = false;
  for (const TMeterProfile& p : associations) {
    if (p.ClientAddress == 16 && result.Recommended) continue;
    if (p.ClientAddress != 16 && givenDone) break;
    if (stopped()) break;
    TProbeAttempt a = attempt(p, p.ClientAddress == 16);
    const bool ok = a.Outcome == "associated";
    if (!record(a)) break;
    // A failure a quirk may cure, of the given client or of the public one
    // reading its object list with short names, is tried again with it.
    if (!ok || !a.Detail.empty())
      if (auto q = withQuirks(a, p.ClientAddress == 16)) {
        result.Recommended = q;
        if (p.ClientAddress != 16) givenDone = true;
        continue;
      }
    if (ok) {
      result.Recommended = p;
      if (p.ClientAddress != 16) givenDone = true;
    }
    // A meter that refuses the given client's HLS challenge by its
    // authentication may only take certain lengths.
    if (!ok && p.ClientAddress != 16 && p.Mechanism >= mMD5 && p.Mechanism != mECDSA &&
        result.Attempts.back().Detail.find("authentication failure") != std::string::npos) {
      for (int length : {16, 32}) {
        TMeterProfile q = p;
        q.Quirks.ChallengeLength = length;
        if (stopped()) break;
        TProbeAttempt b = attempt(q, false);
        const bool took = b.Outcome == "associated";
        if (!record(b)) break;
        if (took) {
          result.Recommended = q;
          result.SuggestedQuirks.push_back("challenge-" + std::to_string(length));
          givenDone = true;
          break;
        }
      }
    }
  }
  if (result.Recommended) {
    // The recommendation keeps the user's own timeouts.
    result.Recommended->ResponseTimeout = o.Base.ResponseTimeout;
    result.Recommended->ConnectTimeout = o.Base.ConnectTimeout;
  }
  return result;
}

}  // namespace quillon::client
