#include "TestMeter.h"

#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace enginetest {

// ------------------------------------------------------------ primitives

std::string Digest(const char* name, const std::string& data) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  if (EVP_Digest(data.data(), data.size(), out, &n, EVP_get_digestbyname(name), nullptr) != 1)
    throw std::runtime_error("digest failed");
  return std::string(reinterpret_cast<char*>(out), n);
}

namespace {

const EVP_CIPHER* GcmFor(const std::string& key) {
  return key.size() == 32 ? EVP_aes_256_gcm() : EVP_aes_128_gcm();
}

const unsigned char* U(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }

struct TCipherCtx {
  TCipherCtx() : P(EVP_CIPHER_CTX_new()) {}
  ~TCipherCtx() { EVP_CIPHER_CTX_free(P); }
  EVP_CIPHER_CTX* P;
};

std::string Be32(uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
}


}  // namespace

// Reads tag, BER length and value at pos; false at the end or on a bad length.
bool ReadTlv(const std::string& s, size_t& pos, uint8_t& tag, std::string& value) {
  if (pos + 2 > s.size()) return false;
  tag = static_cast<uint8_t>(s[pos]);
  size_t len = static_cast<uint8_t>(s[pos + 1]);
  pos += 2;
  if (len & 0x80) {
    const size_t n = len & 0x7F;
    if (n == 0 || n > 2 || pos + n > s.size()) return false;
    len = 0;
    for (size_t i = 0; i < n; ++i) len = (len << 8) | static_cast<uint8_t>(s[pos + i]);
    pos += n;
  }
  if (pos + len > s.size()) return false;
  value = s.substr(pos, len);
  pos += len;
  return true;
}

std::string GcmSeal(const std::string& key, const std::string& iv, const std::string& aad, const std::string& plain) {
  TCipherCtx c;
  int n = 0;
  std::string out(plain.size() + 16, '\0');
  auto* o = reinterpret_cast<unsigned char*>(out.data());
  EVP_EncryptInit_ex(c.P, GcmFor(key), nullptr, nullptr, nullptr);
  EVP_CIPHER_CTX_ctrl(c.P, EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(iv.size()), nullptr);
  EVP_EncryptInit_ex(c.P, nullptr, nullptr, U(key), U(iv));
  if (!aad.empty()) EVP_EncryptUpdate(c.P, nullptr, &n, U(aad), static_cast<int>(aad.size()));
  int total = 0;
  if (!plain.empty()) {
    EVP_EncryptUpdate(c.P, o, &n, U(plain), static_cast<int>(plain.size()));
    total = n;
  }
  EVP_EncryptFinal_ex(c.P, o + total, &n);
  total += n;
  unsigned char tag[16];
  EVP_CIPHER_CTX_ctrl(c.P, EVP_CTRL_GCM_GET_TAG, 16, tag);
  out.resize(static_cast<size_t>(total));
  return out + std::string(reinterpret_cast<char*>(tag), 12);
}

bool GcmOpen(const std::string& key, const std::string& iv, const std::string& aad, const std::string& sealed,
             std::string& plain) {
  if (sealed.size() < 12) return false;
  const std::string body = sealed.substr(0, sealed.size() - 12);
  std::string tag = sealed.substr(sealed.size() - 12);
  TCipherCtx c;
  int n = 0;
  plain.assign(body.size() + 16, '\0');
  auto* o = reinterpret_cast<unsigned char*>(plain.data());
  EVP_DecryptInit_ex(c.P, GcmFor(key), nullptr, nullptr, nullptr);
  EVP_CIPHER_CTX_ctrl(c.P, EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(iv.size()), nullptr);
  EVP_DecryptInit_ex(c.P, nullptr, nullptr, U(key), U(iv));
  if (!aad.empty()) EVP_DecryptUpdate(c.P, nullptr, &n, U(aad), static_cast<int>(aad.size()));
  int total = 0;
  if (!body.empty()) {
    EVP_DecryptUpdate(c.P, o, &n, U(body), static_cast<int>(body.size()));
    total = n;
  }
  EVP_CIPHER_CTX_ctrl(c.P, EVP_CTRL_GCM_SET_TAG, 12, tag.data());
  const bool ok = EVP_DecryptFinal_ex(c.P, o + total, &n) == 1;
  plain.resize(static_cast<size_t>(total));
  return ok;
}

TEcKey::TEcKey() {
  FKey = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
  if (FKey == nullptr) throw std::runtime_error("key generation failed");
  BIGNUM* d = nullptr;
  EVP_PKEY_get_bn_param(FKey, OSSL_PKEY_PARAM_PRIV_KEY, &d);
  Private.assign(32, '\0');
  BN_bn2binpad(d, reinterpret_cast<unsigned char*>(Private.data()), 32);
  BN_clear_free(d);
  unsigned char pub[65];
  size_t len = 0;
  EVP_PKEY_get_octet_string_param(FKey, OSSL_PKEY_PARAM_PUB_KEY, pub, sizeof pub, &len);
  Public.assign(reinterpret_cast<char*>(pub) + 1, 64);  // without the 04 format byte
}

TEcKey::~TEcKey() { EVP_PKEY_free(FKey); }

std::string TEcKey::Sign(const std::string& data) const {
  EVP_MD_CTX* md = EVP_MD_CTX_new();
  EVP_DigestSignInit(md, nullptr, EVP_sha256(), nullptr, FKey);
  size_t len = 0;
  EVP_DigestSign(md, nullptr, &len, U(data), data.size());
  std::string der(len, '\0');
  EVP_DigestSign(md, reinterpret_cast<unsigned char*>(der.data()), &len, U(data), data.size());
  EVP_MD_CTX_free(md);
  const unsigned char* p = U(der);
  ECDSA_SIG* sig = d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(len));
  std::string rs(64, '\0');
  BN_bn2binpad(ECDSA_SIG_get0_r(sig), reinterpret_cast<unsigned char*>(rs.data()), 32);
  BN_bn2binpad(ECDSA_SIG_get0_s(sig), reinterpret_cast<unsigned char*>(rs.data()) + 32, 32);
  ECDSA_SIG_free(sig);
  return rs;
}

bool TEcKey::Verify(const std::string& data, const std::string& rs) const {
  if (rs.size() != 64) return false;
  ECDSA_SIG* sig = ECDSA_SIG_new();
  ECDSA_SIG_set0(sig, BN_bin2bn(U(rs), 32, nullptr), BN_bin2bn(U(rs) + 32, 32, nullptr));
  unsigned char* der = nullptr;
  const int derLen = i2d_ECDSA_SIG(sig, &der);
  ECDSA_SIG_free(sig);
  EVP_MD_CTX* md = EVP_MD_CTX_new();
  EVP_DigestVerifyInit(md, nullptr, EVP_sha256(), nullptr, FKey);
  const bool ok = EVP_DigestVerify(md, der, static_cast<size_t>(derLen), U(data), data.size()) == 1;
  EVP_MD_CTX_free(md);
  OPENSSL_free(der);
  return ok;
}

std::string BerLen(size_t n) {
  if (n < 128) return std::string(1, static_cast<char>(n));
  if (n < 256) return std::string("\x81", 1) + static_cast<char>(n);
  return std::string("\x82", 1) + static_cast<char>(n >> 8) + static_cast<char>(n & 0xFF);
}

std::string Tlv(uint8_t tag, const std::string& value) {
  return std::string(1, static_cast<char>(tag)) + BerLen(value.size()) + value;
}

bool FindTlv(const std::string& content, uint8_t tag, std::string& value) {
  size_t pos = 0;
  uint8_t t;
  std::string v;
  while (ReadTlv(content, pos, t, v))
    if (t == tag) {
      value = v;
      return true;
    }
  return false;
}

// --------------------------------------------------------------- the meter

std::string TAare::Encoded() const {
  std::string c;
  if (!ProtocolVersion.empty()) c += Tlv(0x80, ProtocolVersion);
  if (!Context.empty()) c += Tlv(0xA1, Tlv(0x06, Bytes("608574050801") + Context));
  if (!Result.empty()) c += Tlv(0xA2, Result);
  if (!Diagnostic.empty()) c += Tlv(0xA3, Diagnostic);
  if (!APTitle.empty()) c += Tlv(0xA4, Tlv(0x04, APTitle));
  if (!AcseRequirement.empty()) c += Tlv(0x88, AcseRequirement);
  if (!Mechanism.empty()) c += Tlv(0x89, Bytes("608574050802") + Mechanism);
  if (!StoC.empty()) c += Tlv(0xAA, Tlv(0x80, StoC));
  if (!UserInformation.empty()) c += Tlv(0xBE, Tlv(0x04, UserInformation));
  return Tlv(0x61, c);
}

TTestMeter::TTestMeter(int32_t applicationContext, int32_t mechanism)
    : ApplicationContext(applicationContext), Mechanism(mechanism) {
  if (mechanism == 3) ServerChallenge = "89ABCDE0";
  if (mechanism == 8) {
    Suite = 1;
    ClientSigning = std::make_unique<TEcKey>();
    ServerSigning = std::make_unique<TEcKey>();
  }
}

// The short name of the association object's reply method, for the
// short-name contexts.
int32_t ShortNameOfMethod(PDLMSProtocolContext ctx, const uint8_t* instance, int32_t classId, int32_t methodId,
                          uint16_t* shortName) {
  if (classId != 12 || methodId != 8 || std::memcmp(instance, "\x00\x00\x28\x00\x00\xFF", 6) != 0) {
    std::snprintf(ctx->CallBackResult, sizeof ctx->CallBackResult, "no short name");
    return 1;
  }
  *shortName = 0xFA08;
  return 0;
}

void TTestMeter::Configure(TDLMSProtocolContext& ctx) {
  ctx.GetShortNameOfMethodFunc = &ShortNameOfMethod;
  auto p = [](const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); };
  ctx.ApplicationContext = ApplicationContext;
  ctx.MechanismName = Mechanism;
  ctx.Secret.Size = static_cast<int32_t>(Keys.Secret.size());
  ctx.Secret.Bytes = const_cast<uint8_t*>(p(Keys.Secret));
  ctx.SecuritySuite = Mechanism == 8 ? 2 : (Ciphered() || Mechanism == 6) ? 1 : 0;
  ctx.EncryptionKey = p(Keys.EK);
  ctx.AuthenticationKey = p(Keys.AK);
  ctx.KeyEncryptionKey = p(Keys.KEK);
  ctx.ClientSystemTitle = p(Keys.ClientTitle);
  ctx.ServerSystemTitle = p(Keys.ServerTitle);
  if (ClientSigning) {
    ctx.ClientPrivateSigningKey = p(ClientSigning->Private);
    ctx.ClientPublicSigningKey = p(ClientSigning->Public);
    ctx.ClientPrivateKeyAgreementKey = p(ClientSigning->Private);
    ctx.ClientPublicKeyAgreementKey = p(ClientSigning->Public);
    ctx.ServerPublicSigningKey = p(ServerSigning->Public);
  }
}

TScriptStep TTestMeter::Step() {
  TScriptStep step;
  step.Respond = [this](const std::string& request) { return Respond(request); };
  return step;
}

std::string TTestMeter::Seal(uint8_t tag, const std::string& plain, const std::string& title, uint32_t counter,
                             uint8_t sc) const {
  sc = static_cast<uint8_t>(sc | Suite);
  const std::string header = std::string(1, static_cast<char>(sc)) + Be32(counter);
  std::string body;
  if ((sc & 0xF0) == 0x10) {
    body = plain + GcmSeal(Keys.EK, title + Be32(counter), header.substr(0, 1) + Keys.AK + plain, "");
  } else {
    body = GcmSeal(Keys.EK, title + Be32(counter), header.substr(0, 1) + Keys.AK, plain);
  }
  return Tlv(tag, header + body);
}

std::string TTestMeter::Open(const std::string& apdu, uint8_t expectedTag) {
  size_t pos = 0;
  uint8_t tag;
  std::string value, plain;
  if (!ReadTlv(apdu, pos, tag, value) || tag != expectedTag || value.size() < 5 ||
      static_cast<uint8_t>(value[0]) != (0x30 | Suite)) {
    ADD_FAILURE() << "not an authenticated and encrypted APDU with tag " << int(expectedTag) << ": " << Hex(apdu);
    return {};
  }
  const std::string iv = Keys.ClientTitle + value.substr(1, 4);
  if (!GcmOpen(Keys.EK, iv, value.substr(0, 1) + Keys.AK, value.substr(5), plain)) {
    ADD_FAILURE() << "client APDU does not authenticate: " << Hex(apdu);
    return {};
  }
  return plain;
}

std::string TTestMeter::InitiateResponse() const {
  std::string conf(3, '\0');
  for (int k = 0; k < 24; ++k)
    if (Conformance & (1u << k)) conf[static_cast<size_t>(k / 8)] |= static_cast<char>(0x80 >> (k % 8));
  return Bytes("08 00 06 5F 1F 04 00") + conf + static_cast<char>(MaxPdu >> 8) + static_cast<char>(MaxPdu & 0xFF) +
         (LN() ? Bytes("0007") : Bytes("FA00"));
}

std::string TTestMeter::ProofOfClient(const std::string& stoc) const {
  const std::string& st = Keys.ServerTitle;
  switch (Mechanism) {
    case 4: return Digest("MD5", stoc + Keys.Secret);
    case 5: return Digest("SHA1", stoc + Keys.Secret);
    case 7: return Digest("SHA256", Keys.Secret + CallingTitle + st + stoc + CtoS);
    default: return {};
  }
}

bool TTestMeter::CheckClientProof(const std::string& proof) const {
  switch (Mechanism) {
    case 3: {
      // The variant "0" answer: digit-wise sum modulo 16, then the variant.
      std::string expected;
      auto nib = [](char c) { return c <= '9' ? c - '0' : c - 'A' + 10; };
      for (size_t i = 0; i < 7; ++i) expected += "0123456789ABCDEF"[(nib(ServerChallenge[i]) + nib(Keys.Secret[i])) & 15];
      return proof == expected + ServerChallenge[7];
    }
    case 6: {
      if (proof.size() != 17 || proof[0] != 0x10) return false;
      const std::string tag = GcmSeal(Keys.EK, CallingTitle + proof.substr(1, 4),
                                      std::string("\x10") + Keys.AK + ServerChallenge, "");
      return proof.substr(5) == tag;
    }
    case 8:
      return ClientSigning->Verify(CallingTitle + Keys.ServerTitle + ServerChallenge + CtoS, proof);
    default: return proof == ProofOfClient(ServerChallenge);
  }
}

std::string TTestMeter::ProofOfServer() const {
  const std::string& st = Keys.ServerTitle;
  switch (Mechanism) {
    case 4: return Digest("MD5", CtoS + Keys.Secret);
    case 5: return Digest("SHA1", CtoS + Keys.Secret);
    case 6: {
      const uint32_t ic = 0x00000777;
      return std::string("\x10") + Be32(ic) + GcmSeal(Keys.EK, st + Be32(ic), std::string("\x10") + Keys.AK + CtoS, "");
    }
    case 7: return Digest("SHA256", Keys.Secret + st + CallingTitle + CtoS + ServerChallenge);
    case 8: return ServerSigning->Sign(st + CallingTitle + CtoS + ServerChallenge);
    default: return {};
  }
}

std::string TTestMeter::Respond(const std::string& request) {
  ++Exchanges;
  const uint8_t tag = request.empty() ? 0 : static_cast<uint8_t>(request[0]);
  if (tag == 0x60) {
    size_t pos = 0;
    uint8_t t;
    std::string content, v;
    ReadTlv(request, pos, t, content);
    if (FindTlv(content, 0xA6, v)) CallingTitle = v.substr(2);
    if (FindTlv(content, 0xAC, v)) CtoS = v.substr(2);
    if (FindTlv(content, 0xBE, v)) {
      std::string apdu = v.substr(2);
      // General-glo-ciphering: DB, the system title with its length, then
      // the ciphered content as a glo APDU carries it.
      InitiateInGeneralGlo = !apdu.empty() && static_cast<uint8_t>(apdu[0]) == 0xDB;
      if (InitiateInGeneralGlo) {
        EXPECT_EQ(Hex(apdu.substr(1, 9)), Hex("\x08" + Keys.ClientTitle));
        apdu = "\x21" + apdu.substr(10);
      }
      InitiateRequest = Ciphered() ? Open(apdu, 0x21) : apdu;
    }
    const bool hls = Mechanism >= 3;
    TAare aare;
    aare.Context = std::string(1, static_cast<char>(ApplicationContext == 1 ? 2 : ApplicationContext == 2 ? 4
                                                    : ApplicationContext == 3 ? 1 : 3));
    aare.Diagnostic = Tlv(0xA1, Tlv(0x02, std::string(1, static_cast<char>(hls ? 14 : 0))));
    if (Ciphered() || Mechanism >= 6) aare.APTitle = Keys.ServerTitle;
    if (hls) {
      aare.AcseRequirement = Bytes("0780");
      aare.Mechanism = std::string(1, static_cast<char>(Mechanism - 1));
      aare.StoC = ServerChallenge;
    }
    aare.UserInformation = Ciphered() ? Seal(0x28, InitiateResponse(), Keys.ServerTitle, Counter++) : InitiateResponse();
    if (MutateAare) MutateAare(aare);
    return aare.Encoded();
  }
  // The reply to the challenge: an ACTION on the association object (LN), a
  // parameterised read of its method's short name, or a write of it when no
  // answer comes back (SN, mechanism 3). Glo tags are the plain ones + 8 for
  // the C0 family and + 0x20 for the short-name family.
  const bool lnReply = tag == 0xC3 || tag == 0xCB;
  const bool snRead = tag == 0x05 || tag == 0x25;
  const bool snWrite = tag == 0x06 || tag == 0x26;
  if (lnReply || snRead || snWrite) {
    const bool glo = tag == 0xCB || tag == 0x25 || tag == 0x26;
    const std::string plain = glo ? Open(request, tag) : request;
    EXPECT_EQ(Ciphered(), glo) << "reply to the challenge protected like the InitiateRequest";
    // Up to the octet-string tag 09 of the parameter; its length follows.
    const std::string head = lnReply ? Bytes("C3 01 C1 000F 0000280000FF 01 01 09")
                             : snRead ? Bytes("05 01 04 FA08 00 09")
                                      : Bytes("06 01 02 FA08 01 09");
    EXPECT_EQ(Hex(plain.substr(0, head.size())), Hex(head));
    ClientProof = plain.size() > head.size() + 1 ? plain.substr(head.size() + 1) : std::string();
    ClientProofValid = CheckClientProof(ClientProof);
    std::string answer;
    if (!ActionResponseOverride.empty()) {
      answer = ActionResponseOverride;
    } else if (snWrite) {
      answer = Bytes("0D 01 00");
    } else if (Mechanism == 3) {
      answer = Bytes("C7 01 C1 00 00");
    } else {
      std::string proof = ProofOfServer();
      if (ServerProofOverride) proof = ServerProofOverride(proof);
      const std::string data = Bytes("09") + BerLen(proof.size()) + proof;
      answer = lnReply ? Bytes("C7 01 C1 00 01 00") + data : Bytes("0C 01 00") + data;
    }
    const uint8_t answerTag = lnReply ? 0xCF : snRead ? 0x2C : 0x2D;
    return Ciphered() ? Seal(answerTag, answer, Keys.ServerTitle, Counter++) : answer;
  }
  if (tag == 0xC0) return GetResponse;
  if (tag == 0xC8) {
    Open(request, 0xC8);
    return Seal(0xCC, GetResponse, Keys.ServerTitle, Counter++);
  }
  if (tag == 0x62) {
    std::string body = Bytes("80 01 00");
    if (Ciphered()) {
      std::string content, v;
      size_t pos = 0;
      uint8_t t;
      ReadTlv(request, pos, t, content);
      EXPECT_TRUE(FindTlv(content, 0xBE, v)) << "release request carries the InitiateRequest";
      if (v.size() > 2) {
        EXPECT_EQ(Hex(Open(v.substr(2), 0x21)), Hex(InitiateRequest));
      }
      body += Tlv(0xBE, Tlv(0x04, Seal(0x28, InitiateResponse(), Keys.ServerTitle, Counter++)));
    }
    return Tlv(0x63, body);
  }
  ADD_FAILURE() << "meter got an unexpected request " << Hex(request);
  return Bytes("D8 01 02");
}

}  // namespace enginetest
