// The server side of an association, computed in the test from OpenSSL
// primitives (AES-GCM, hashes, ECDSA) and hand-written BER, never from the
// engine's own codecs or security code: a misunderstanding shared by client
// and server code cannot pass unnoticed.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ScriptedConversation.h"
#include "engine/DLMSProtocol.h"

namespace enginetest {

// ------------------------------------------------------------ primitives

std::string Digest(const char* name, const std::string& data);
// AES-GCM with a 12-byte tag; the key size picks AES-128 or AES-256.
std::string GcmSeal(const std::string& key, const std::string& iv, const std::string& aad, const std::string& plain);
// The plain text, or false when the tag does not match.
bool GcmOpen(const std::string& key, const std::string& iv, const std::string& aad, const std::string& sealed,
             std::string& plain);

// A P-256 key pair made by OpenSSL, with its raw forms as the record takes
// them (private scalar 32 bytes, public X||Y 64 bytes).
class TEcKey {
public:
  TEcKey();
  ~TEcKey();
  TEcKey(const TEcKey&) = delete;
  TEcKey& operator=(const TEcKey&) = delete;
  std::string Sign(const std::string& data) const;  // r||s
  bool Verify(const std::string& data, const std::string& rs) const;
  std::string Private, Public;

private:
  EVP_PKEY* FKey = nullptr;
};

// BER length as DLMS writes it (one byte, or 81/82 and the length).
std::string BerLen(size_t n);
std::string Tlv(uint8_t tag, const std::string& value);
// Reads tag, BER length and value at pos; false at the end or on a bad length.
bool ReadTlv(const std::string& s, size_t& pos, uint8_t& tag, std::string& value);
// The value of the first top-level element with this tag inside content, or
// false.
bool FindTlv(const std::string& content, uint8_t tag, std::string& value);

// --------------------------------------------------------------- the meter

// One AARE as fields; an empty string leaves the field out.
struct TAare {
  std::string ProtocolVersion;  // contents of tag 80
  std::string Context;          // one byte: 1 LN, 2 SN, 3 LN ciphered, 4 SN ciphered
  std::string Result = Bytes("02 01 00");
  std::string Diagnostic;  // whole contents of A3
  std::string APTitle;     // system title
  std::string AcseRequirement;
  std::string Mechanism;  // one byte, wire mechanism id
  std::string StoC;
  std::string UserInformation;  // the xDLMS APDU (plain or ciphered)
  std::string Encoded() const;
};

struct TMeterKeys {
  std::string EK = Bytes("000102030405060708090A0B0C0D0E0F");
  std::string AK = Bytes("D0D1D2D3D4D5D6D7D8D9DADBDCDDDEDF");
  std::string KEK = Bytes("1112131415161718191A1B1C1D1E1F10");
  std::string ClientTitle = Bytes("4D4D4D0000BC614E");
  std::string ServerTitle = Bytes("4D4D4D0000000001");
  std::string Secret = "1234567";
};

class TTestMeter {
public:
  TTestMeter(int32_t applicationContext, int32_t mechanism);

  // Fills the record's keys, titles, secret and suite to match this meter.
  void Configure(TDLMSProtocolContext& ctx);
  // One step that answers whatever the engine sends next.
  TScriptStep Step();

  std::string Respond(const std::string& request);

  // Glo ciphering as the meter does it (authenticated and encrypted, SC 30).
  std::string Seal(uint8_t tag, const std::string& plain, const std::string& title, uint32_t counter,
                   uint8_t sc = 0x30) const;
  // Opens a glo APDU from the client; fails the test when it does not open.
  std::string Open(const std::string& apdu, uint8_t expectedTag);

  int32_t ApplicationContext, Mechanism;
  TMeterKeys Keys;
  std::unique_ptr<TEcKey> ClientSigning, ServerSigning;
  std::string ServerChallenge = Bytes("0102030405060708090A0B0C0D0E0F10");
  uint32_t Conformance = 0x001FFFFF;
  uint16_t MaxPdu = 0x0400;
  uint32_t Counter = 100;  // the meter's invocation counter
  uint8_t Suite = 0;       // the security suite of its security headers

  // What the client sent.
  std::string CtoS, CallingTitle, InitiateRequest, ClientProof;
  bool ClientProofValid = false;
  bool InitiateInGeneralGlo = false;  // InitiateRequest came as general-glo-ciphering
  int Exchanges = 0;

  // Hooks that break the meter's answers on purpose.
  std::function<void(TAare&)> MutateAare;
  std::function<std::string(const std::string& proof)> ServerProofOverride;
  std::string ActionResponseOverride;  // whole plain ActionResponse when set
  std::string GetResponse = Bytes("C4 01 C1 00 11 05");

  bool Ciphered() const { return ApplicationContext == 2 || ApplicationContext == 4; }
  bool LN() const { return ApplicationContext >= 3; }
  std::string InitiateResponse() const;
  std::string ProofOfClient(const std::string& stoc) const;  // what F(StoC) must be
  std::string ProofOfServer() const;                         // F(CtoS)
  bool CheckClientProof(const std::string& proof) const;
};

}  // namespace enginetest
