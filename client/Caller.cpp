#include "client/Caller.h"

#include <random>

#include "comm/CallIn.h"
#include "xmlpdu/infra/Misc.h"

namespace quillon::client {

namespace {

const TObjectRef kDeviceName{1, {0, 0, 42, 0, 0, 255}, 2};
const TObjectRef kSerialNumber{1, {0, 0, 96, 1, 0, 255}, 2};

std::string RandomKey(size_t bytes) {
  std::random_device random;
  std::string key;
  for (size_t i = 0; i < bytes; ++i) key += static_cast<char>(random() & 0xFF);
  return key;
}

// A string value as text: a device name as DeviceNameText, anything else
// (numbers too: some meters keep serials as integers) as it reads.
// Whoever called chose these bytes: what goes into a log line is cut short.
constexpr size_t kMaxIdentityText = 64;

std::string TextOf(const TValue& v) {
  if (auto n = v.Integer()) return std::to_string(*n);
  std::string text = DeviceNameText(v.Bytes);
  if (text.size() > kMaxIdentityText) text = text.substr(0, kMaxIdentityText) + "...";
  return text;
}

bool Cancelled(const TCall& call) { return call.Cancel && call.Cancel->Cancelled(); }

}  // namespace

std::string TCallerIdentity::Text() const {
  std::string t;
  auto add = [&](const char* what, const std::string& value) {
    if (!value.empty()) t += (t.empty() ? "" : ", ") + std::string(what) + " " + value;
  };
  add("system title", TitleHex);
  add("logical device name", DeviceName);
  add("serial number", Serial);
  return t.empty() ? "nothing" : t;
}

TCallerIdentifier::TCallerIdentifier(const std::vector<TFleetMeter>& meters, TTransport transport) : FIndex(meters) {
  const TFleetMeter* first = nullptr;
  for (const TFleetMeter& m : meters) {
    if (!m.ConfigError.empty() || m.Profile.Transport != transport) continue;
    if (!first) first = &m;
    if (!m.Serial.empty()) FSerials = true;
    if (!FTitleProbe && m.Profile.Ciphered()) {
      // The meter's context and addresses, but keys of our own: the probe
      // only wants the answer's system title.
      TMeterProfile p = m.Profile;
      p.Name.clear();
      p.Mechanism = p.Mechanism == mGMAC ? mGMAC : mLowest;
      p.Secret.clear();
      const size_t keyBytes = p.Suite == 2 ? 32 : 16;
      p.EK = RandomKey(keyBytes);
      p.AK = RandomKey(keyBytes);
      p.KEK = RandomKey(keyBytes);
      // The engine wants a title to hold the answer's against; the answer's is the one wanted.
      p.ServerSystemTitle = std::string(8, '\0');
      p.InvocationCounterAuto = false;
      p.UseDedicatedKey = false;
      FTitleProbe = p;
    }
  }
  if (first) FPublic = PublicClientProfile(first->Profile);
  FPublic.Transport = transport;
  for (TMeterProfile* p : {&FPublic, FTitleProbe ? &*FTitleProbe : nullptr}) {
    if (!p) continue;
    // The probes run over the meter's connection and never dial. They carry
    // nothing secret, so whoever called may answer them from anywhere.
    p->Host.clear();
    p->CallIn = false;
    p->Callers.clear();
  }
}

TCallerIdentity TCallerIdentifier::Identify(const std::shared_ptr<TCallerConnection>& connection,
                                            const TCall& call) const {
  TCallerIdentity id;
  if (FTitleProbe) {
    TSession probe(*FTitleProbe);
    probe.UseConnection(connection);
    probe.SetInvocationCounter(1);
    try {
      probe.Open(call);
      probe.Close(false);
    } catch (const EMeterError&) {
      // Refused, as expected: the answer still told who it is.
    }
    if (Cancelled(call)) throw EMeterError("cancelled");
    id.TitleHex = probe.AnnouncedSystemTitle();
    if (id.TitleHex.size() > kMaxIdentityText) id.TitleHex = id.TitleHex.substr(0, kMaxIdentityText) + "...";
    if (!id.TitleHex.empty() && id.TitleHex.size() == 16) {
      id.Meter = FIndex.ByTitle(TMisc::HexStrToByteStr(id.TitleHex));
      if (id.Meter >= 0) {
        id.By = "system title";
        return id;
      }
    }
  }
  TSession reader(FPublic);
  reader.UseConnection(connection);
  try {
    reader.Open(call);
    try {
      id.DeviceName = TextOf(reader.Get(kDeviceName, call).Value);
      id.Meter = FIndex.ByDeviceName(id.DeviceName);
      if (id.Meter >= 0) id.By = "logical device name";
    } catch (const EMeterError&) {
      if (Cancelled(call)) throw;
    }
    if (id.Meter < 0 && FSerials) {
      try {
        id.Serial = TextOf(reader.Get(kSerialNumber, call).Value);
        id.Meter = FIndex.BySerial(id.Serial);
        if (id.Meter >= 0) id.By = "serial number";
      } catch (const EMeterError&) {
        if (Cancelled(call)) throw;
      }
    }
    reader.Close();
  } catch (const EMeterError&) {
    if (Cancelled(call)) throw;
  }
  return id;
}

std::string CallerIdentityText(TSession& session, const TCall& call) {
  std::string what;
  if (!session.AnnouncedSystemTitle().empty()) {
    what = "system title " + session.AnnouncedSystemTitle();
  } else {
    try {
      what = "logical device name " + TextOf(session.Get(kDeviceName, call).Value);
    } catch (const EMeterError& e) {
      what = std::string("no logical device name to be read: ") + e.what();
    }
  }
  return "meter at " + session.Peer() + ": " + what;
}

}  // namespace quillon::client
