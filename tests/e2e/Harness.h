// Test harness for the whole road: the meter simulator on a thread (DLMS
// wrapper over loopback TCP, or HDLC over a pseudo-terminal), the client's
// transport stack, and an engine context whose callbacks use them.
#pragma once

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <thread>

#include "comm/MidLayers.h"
#include "engine/DLMSProtocol.h"
#include "security/CryptoServices.h"
#include "SimStack.h"

namespace quillon::e2e {

using namespace quillon::sim;

enum TProfile { pWrapper, pHdlc, pHdlcTcp };

struct TCase {
  const char* Name;
  TProfile Profile;
  bool LN;
  int Mechanism;
  bool Ciphered;
};

inline const PduStr kEK = TMisc::HexStrToByteStr("000102030405060708090A0B0C0D0E0F");
inline const PduStr kAK = TMisc::HexStrToByteStr("D0D1D2D3D4D5D6D7D8D9DADBDCDDDEDF");
inline const PduStr kKEK = TMisc::HexStrToByteStr("101112131415161718191A1B1C1D1E1F");
inline const PduStr kClientTitle = TMisc::HexStrToByteStr("4D4D4D0000BC614E");
inline const PduStr kServerTitle = TMisc::HexStrToByteStr("5153494D00000001");
inline const PduStr kSecret = "Quillon-HLS-secret";
inline const PduStr kPassword = "12345678";
inline const PduStr kP2Secret = "1A2B3C4";  // seven hex digits, for the manufacturer mechanism

// Everything the engine's callbacks need; reached through ReservedForDllUser.
struct THarness {
  TMidLayerAbstract* Mid = nullptr;
  TSimModel* Model = nullptr;
  // Base names of attributes by class and logical name, as read from the
  // meter's object list; when empty, the model's own are used.
  std::map<std::pair<int, PduStr>, int> BaseNames;
  int Client = 0;
  int Server = 1;
};

inline int32_t SendReceive(PDLMSProtocolContext ctx, const uint8_t* out, int32_t outLen, uint8_t* in, int32_t maxIn,
                    int32_t* inLen) {
  auto* h = static_cast<THarness*>(ctx->ReservedForDllUser);
  try {
    PduStr answer;
    h->Mid->SendReceiveData(h->Client, h->Server, PduStr(reinterpret_cast<const char*>(out), static_cast<size_t>(outLen)),
                            answer);
    if (static_cast<int32_t>(answer.size()) > maxIn) throw EGeneralError("answer too long");
    std::memcpy(in, answer.data(), answer.size());
    *inLen = static_cast<int32_t>(answer.size());
    return 0;
  } catch (const std::exception& e) {
    std::snprintf(ctx->CallBackResult, sizeof ctx->CallBackResult, "%s", e.what());
    return 1;
  }
}

// Short names from the meter's object list, as an application would keep it:
// attributes every 8 from the base name, methods after the attributes.
inline int32_t ShortName(PDLMSProtocolContext ctx, const uint8_t* instance, int32_t classId, int32_t id, bool method,
                  uint16_t* sn) {
  auto* h = static_cast<THarness*>(ctx->ReservedForDllUser);
  PduStr ln(reinterpret_cast<const char*>(instance), 6);
  if (!h->BaseNames.empty() && !method) {
    auto it = h->BaseNames.find({classId, ln});
    if (it == h->BaseNames.end()) {
      std::snprintf(ctx->CallBackResult, sizeof ctx->CallBackResult, "no short name");
      return 1;
    }
    *sn = static_cast<uint16_t>(it->second + 8 * (id - 1));
    return 0;
  }
  TSimObject* o = h->Model->Find(static_cast<uint16_t>(classId), ln);
  if (!o || o->ShortName < 0) {
    std::snprintf(ctx->CallBackResult, sizeof ctx->CallBackResult, "no short name");
    return 1;
  }
  *sn = static_cast<uint16_t>(o->ShortName + 8 * (method ? o->AttributeCount() + id - 1 : id - 1));
  return 0;
}
inline int32_t ShortNameOfAttribute(PDLMSProtocolContext c, const uint8_t* i, int32_t cls, int32_t a, uint16_t* sn) {
  return ShortName(c, i, cls, a, false, sn);
}
inline int32_t ShortNameOfMethod(PDLMSProtocolContext c, const uint8_t* i, int32_t cls, int32_t m, uint16_t* sn) {
  return ShortName(c, i, cls, m, true, sn);
}

inline std::string GetNormal(const char* cls, const char* ln, const char* attr, const std::string& selection = "") {
  return std::string("<GetRequestNormal><InvokeIdAndPriority Value=\"C1\" /><AttributeDescriptor><ClassId Value=\"") +
         cls + "\" /><InstanceId Value=\"" + ln + "\" /><AttributeId Value=\"" + attr + "\" /></AttributeDescriptor>" +
         selection + "</GetRequestNormal>";
}

inline size_t Count(const std::string& s, const std::string& what) {
  size_t n = 0;
  for (size_t p = s.find(what); p != std::string::npos; p = s.find(what, p + 1)) ++n;
  return n;
}

class TE2ESession {
public:
  // Starts the simulator for the case and connects the client stack; throws
  // when something cannot be set up.
  void Start(const TCase& c) {
    started = true;
    model.LoadFile(std::string(QUILLON_SOURCE_DIR) + "/data/sim/meter.txt");
    if (ProfileEntries > 0) {
      // Every profile with another number of entries than the built-in ones.
      std::ifstream f(std::string(QUILLON_SOURCE_DIR) + "/data/sim/meter.txt");
      std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
      for (size_t p = text.find(" profile="); p != std::string::npos; p = text.find(" profile=", p + 1)) {
        size_t slash = text.find('/', p);
        text.replace(p + 9, slash - p - 9, std::to_string(ProfileEntries));
      }
      model.Load(text);
    }
    TSimSecurity sec;
    sec.Suite = 0;
    sec.SystemTitle = kServerTitle;
    sec.EK = kEK;
    sec.AK = kAK;
    sec.KEK = kKEK;
    if (c.Mechanism == 8) {
      sec.Suite = 1;
      TKeyPair server, client, agreement;
      if (!GenerateKeyPair(1, server) || !GenerateKeyPair(1, client) || !GenerateKeyPair(1, agreement))
        throw EGeneralError("no key pair");
      sec.SigningPrivateKey = server.PrivateKey;
      sec.SigningPublicKey = server.PublicKey;
      sec.ClientSigningPublicKey = client.PublicKey;
      clientSigning = client;
      clientAgreement = agreement;
      serverSigningPublic = server.PublicKey;
    }
    assoc = std::make_unique<TSimAssociation>(model, sec);
    // QUILLON_E2E_LOG=1 shows both sides' logs on standard error.
    if (std::getenv("QUILLON_E2E_LOG")) {
      assoc->SetLog([](const std::string& s) { std::fprintf(stderr, "sim: %s\n", s.c_str()); });
      ctx.LogStringFunc = [](const char* s) { std::fprintf(stderr, "engine: %s\n", s); };
    }
    TSimClient client;
    client.Address = ClientAddress;
    client.LogicalNames = c.LN;
    client.Ciphered = c.Ciphered;
    client.Mechanism = c.Mechanism;
    client.Secret = c.Mechanism == 2 ? kPassword : c.Mechanism == 3 ? kP2Secret : kSecret;
    assoc->AddClient(client);
    harness.Model = &model;
    harness.Client = client.Address;

    harness.Mid = c.Profile == pWrapper ? &stack.StartWrapper(*assoc, TrafficLog())
                                        : &stack.StartHdlc(*assoc, client.Address, HdlcInfoLength, TrafficLog(),
                                                           c.Profile == pHdlcTcp);
    CurrentMidLayer = harness.Mid;
    harness.Mid->Connect(harness.Client, harness.Server);

    TLogStringFunc logFunc = ctx.LogStringFunc;
    std::memset(&ctx, 0, sizeof ctx);
    ctx.LogStringFunc = logFunc;
    ctx.ClientId = harness.Client;
    ctx.ServerId = harness.Server;
    ctx.ApplicationContext = (c.LN ? 3 : 1) + (c.Ciphered ? 1 : 0);
    ctx.MechanismName = c.Mechanism;
    const PduStr& secret = c.Mechanism == 2 ? kPassword : c.Mechanism == 3 ? kP2Secret : kSecret;
    ctx.Secret.Size = static_cast<int32_t>(secret.size());
    ctx.Secret.Bytes = reinterpret_cast<uint8_t*>(const_cast<char*>(secret.data()));
    ctx.ClientMaxReceivePDUSize = 512;
    ctx.RLRQSupported = 1;
    bool keys = c.Ciphered || c.Mechanism >= 6;
    if (keys) {
      ctx.SecuritySuite = c.Mechanism == 8 ? 2 : 1;
      ctx.EncryptionKey = reinterpret_cast<const uint8_t*>(kEK.data());
      ctx.AuthenticationKey = reinterpret_cast<const uint8_t*>(kAK.data());
      ctx.KeyEncryptionKey = reinterpret_cast<const uint8_t*>(kKEK.data());
      ctx.ClientSystemTitle = reinterpret_cast<const uint8_t*>(kClientTitle.data());
      ctx.ServerSystemTitle = reinterpret_cast<const uint8_t*>(kServerTitle.data());
    }
    if (c.Mechanism == 8) {
      ctx.ClientPrivateSigningKey = reinterpret_cast<const uint8_t*>(clientSigning.PrivateKey.data());
      ctx.ClientPublicSigningKey = reinterpret_cast<const uint8_t*>(clientSigning.PublicKey.data());
      ctx.ClientPrivateKeyAgreementKey = reinterpret_cast<const uint8_t*>(clientAgreement.PrivateKey.data());
      ctx.ClientPublicKeyAgreementKey = reinterpret_cast<const uint8_t*>(clientAgreement.PublicKey.data());
      ctx.ServerPublicSigningKey = reinterpret_cast<const uint8_t*>(serverSigningPublic.data());
    }
    if (c.Ciphered) {
      ctx.ProtectionLayers[0].Kind = 1;
      ctx.ProtectionLayers[0].Style = 1;
      ctx.ProtectionLayers[0].ProtectionServices = 3;
      // Service-specific ciphering has no protected form of the access
      // service: use GET, SET and ACTION.
      ctx.Options |= DLMS_OPTION_NO_ACCESS_SERVICE;
    }
    ctx.SendReceiveDataFunc = &SendReceive;
    ctx.GetShortNameOfAttributeFunc = &ShortNameOfAttribute;
    ctx.GetShortNameOfMethodFunc = &ShortNameOfMethod;
    ctx.ReservedForDllUser = &harness;
  }

  void Stop() {
    if (!started) return;
    started = false;
    // The engine state outlives a failed establishment; a release without
    // the release request discards it.
    if (ctx.ReservedRef) {
      ctx.RLRQSupported = 0;
      ReleaseAA(&ctx);
    }
    ClearContext(&ctx);
    stack.Stop();
    CurrentMidLayer = nullptr;
  }

  ~TE2ESession() { Stop(); }

  static TTrafficLog TrafficLog() {
    if (!std::getenv("QUILLON_E2E_LOG")) return nullptr;
    return [](const std::string& s) { std::fprintf(stderr, "link: %s\n", s.c_str()); };
  }

  std::string Result() const { return ctx.Result ? ctx.Result : ""; }

  TSimModel model;
  std::unique_ptr<TSimAssociation> assoc;
  TSimStack stack;
  bool started = false;
  int ProfileEntries = 0;    // entries of every profile; 0: the built-in model's
  int HdlcInfoLength = 128;  // largest HDLC information field, both ways
  int ClientAddress = 0x30;
  THarness harness;
  TDLMSProtocolContext ctx{};
  TKeyPair clientSigning, clientAgreement;
  PduStr serverSigningPublic;
};


}  // namespace quillon::e2e
