#include "security/GCMCipher.h"

#include "security/AesGcm.h"
#include "security/V44.h"

namespace quillon {

namespace {

const TCOSEMProtectionServices kAuthOnly{psAuthentication};
const TCOSEMProtectionServices kEncOnly{psEncryption};
const TCOSEMProtectionServices kAuthEnc{psAuthentication, psEncryption};

void PutBE32(PduStr& s, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) s += static_cast<char>((v >> shift) & 0xFF);
}

uint32_t GetBE32(std::string_view s, size_t at) {
  uint32_t v = 0;
  for (size_t i = 0; i < 4; ++i) v = (v << 8) | static_cast<uint8_t>(s[at + i]);
  return v;
}

PduStr MakeIv(std::string_view systemTitle, uint32_t frameCounter) {
  PduStr iv(systemTitle);
  PutBE32(iv, frameCounter);
  return iv;
}

PduStr Concat(std::initializer_list<std::string_view> parts) {
  PduStr r;
  for (auto p : parts) r.append(p.data(), p.size());
  return r;
}

void RaiseOnGcmResult(int result) {
  if (result == kGcmAuthenticationFailure) throw EProtection("Authentication failure (Decrypt error)");
  if (result != kGcmOk) throw EProtection(Format("Crypto error %d", result));
}

std::string Hex(std::string_view s) { return TMisc::ByteStrToHexStr(s); }

std::string Factor(size_t num, size_t den) {
  if (den == 0) den = 1;
  return Format("COMPRESSION FACTOR: %.2f", static_cast<double>(num) / static_cast<double>(den));
}

}  // namespace

PduStr TGCMCipher::GCMEncrypt(std::string_view SystemTitle, std::string_view Information, std::string_view EK,
                              std::string_view AK, const TSecurityControl& SecurityControl, uint32_t FrameCounter,
                              std::string_view ExtraAAD) {
  const char sc = static_cast<char>(SecurityControl.ToByte());
  const std::string_view scView(&sc, 1);
  PduStr out(1, sc);
  PutBE32(out, FrameCounter);
  TCOSEMProtectionServices services = SecurityControl.COSEMProtectionServices;
  services.Exclude(psCompression);
  PduStr ciphertext, tag;
  if (services.Empty()) {
    out.append(Information);
  } else if (services == kAuthOnly) {
    GCMEncryptString(EK, MakeIv(SystemTitle, FrameCounter), {}, Concat({scView, AK, ExtraAAD, Information}),
                     ciphertext, tag);
    out.append(Information);
    out.append(tag, 0, kTagLength);
  } else if (services == kEncOnly) {
    GCMEncryptString(EK, MakeIv(SystemTitle, FrameCounter), Information, {}, ciphertext, tag);
    out.append(ciphertext);
  } else {
    CheckAssertion(services == kAuthEnc, "GCMEncrypt services are a combination of authentication and encryption");
    GCMEncryptString(EK, MakeIv(SystemTitle, FrameCounter), Information, Concat({scView, AK, ExtraAAD}),
                     ciphertext, tag);
    out.append(ciphertext);
    out.append(tag, 0, kTagLength);
  }
  return out;
}

void TGCMCipher::GCMDecrypt(std::string_view SystemTitle, std::string_view CipheredInformation,
                            std::string_view ExtraAAD, std::string_view EK, std::string_view AK,
                            TSecurityControl& SecurityControl, uint32_t& FrameCounter, PduStr& Information) {
  // The caller hands in bytes from the wire: check the framing fits before
  // reading any field of it.
  if (CipheredInformation.size() < kHeaderLength) throw EProtection("Ciphered information too short");
  const uint8_t scByte = static_cast<uint8_t>(CipheredInformation[0]);
  const std::string_view scView = CipheredInformation.substr(0, 1);
  TSecurityControl sc = TSecurityControl::FromByte(scByte);
  sc.COSEMProtectionServices.Exclude(psCompression);
  const uint32_t ic = GetBE32(CipheredInformation, 1);
  const std::string_view body = CipheredInformation.substr(kHeaderLength);
  const TCOSEMProtectionServices services = sc.COSEMProtectionServices;
  if (services.Contains(psAuthentication) && body.size() < kTagLength)
    throw EProtection("Ciphered information too short");

  PduStr info;
  if (services.Empty()) {
    info.assign(body);
  } else if (services == kAuthOnly) {
    const std::string_view plain = body.substr(0, body.size() - kTagLength);
    PduStr empty;
    RaiseOnGcmResult(GCMDecryptString(EK, MakeIv(SystemTitle, ic), {}, Concat({scView, AK, ExtraAAD, plain}),
                                      body.substr(plain.size()), empty));
    info.assign(plain);
  } else if (services == kEncOnly) {
    // Without a tag there is nothing to authenticate: counter mode is its
    // own inverse.
    PduStr unusedTag;
    GCMEncryptString(EK, MakeIv(SystemTitle, ic), body, {}, info, unusedTag);
  } else {
    const std::string_view ciphertext = body.substr(0, body.size() - kTagLength);
    RaiseOnGcmResult(GCMDecryptString(EK, MakeIv(SystemTitle, ic), ciphertext, Concat({scView, AK, ExtraAAD}),
                                      body.substr(ciphertext.size()), info));
  }
  if (scByte & 0x80) sc.COSEMProtectionServices.Include(psCompression);
  SecurityControl = sc;
  FrameCounter = ic;
  Information = std::move(info);
}

PduStr TGCMCipher::ResponseToChallenge(std::string_view SystemTitle, std::string_view Challenge, std::string_view EK,
                                       std::string_view AK, uint32_t FrameCounter, int32_t SecuritySuite) {
  TSecurityControl sc;
  sc.COSEMProtectionServices = kAuthOnly;
  sc.SecuritySuite = SecuritySuite;
  PduStr framed = GCMEncrypt(SystemTitle, Challenge, EK, AK, sc, FrameCounter, {});
  return framed.erase(kHeaderLength, Challenge.size());
}

bool TGCMCipher::CheckOtherResponseToChallenge(std::string_view OtherSystemTitle, std::string_view OtherResponse,
                                               std::string_view MyChallenge, std::string_view EK,
                                               std::string_view AK, int32_t SecuritySuite) {
  if (OtherResponse.size() != kHeaderLength + kTagLength) return false;
  const uint32_t ic = GetBE32(OtherResponse, 1);
  return ResponseToChallenge(OtherSystemTitle, MyChallenge, EK, AK, ic, SecuritySuite) == OtherResponse;
}

PduStr TGCMAndCompression::CompressAndEncrypt(std::string_view SystemTitle, std::string_view Information,
                                              std::string_view EK, std::string_view AK,
                                              const TSecurityControl& SecurityControl, uint32_t FrameCounter,
                                              std::string_view ExtraAAD, const TLogProc& LogProc) {
  TSecurityControl sc = SecurityControl;
  std::string_view toSend = Information;
  PduStr compressed;
  if (sc.COSEMProtectionServices.Contains(psCompression)) {
    // Only worth it when it shrinks; a failed compression sends plain data.
    if (V44Compress(Information, compressed) && compressed.size() < Information.size()) {
      toSend = compressed;
      LogProc("TO COMPRESS " + Hex(Information));
      LogProc("COMPRESSED  " + Hex(compressed));
      LogProc(Factor(Information.size(), compressed.size()));
    } else {
      sc.COSEMProtectionServices.Exclude(psCompression);
    }
  }
  LogProc("ENCRYPTION GUEK= " + Hex(EK) + ", GAK=" + Hex(AK) + ", IC: " + TMisc::IntToHex(FrameCounter, 8));
  return TGCMCipher::GCMEncrypt(SystemTitle, toSend, EK, AK, sc, FrameCounter, ExtraAAD);
}

void TGCMAndCompression::DecryptAndDecompress(std::string_view SystemTitle, std::string_view CipheredInformation,
                                              std::string_view ExtraAAD, std::string_view EK, std::string_view AK,
                                              TSecurityControl& SecurityControl, uint32_t& FrameCounter,
                                              PduStr& Information, const TLogProc& LogProc) {
  LogProc("DECRYPTION GUEK= " + Hex(EK) + ", GAK=" + Hex(AK));
  TSecurityControl sc;
  uint32_t ic = 0;
  PduStr info;
  TGCMCipher::GCMDecrypt(SystemTitle, CipheredInformation, ExtraAAD, EK, AK, sc, ic, info);
  if (sc.COSEMProtectionServices.Contains(psCompression)) {
    PduStr plain;
    // Authenticated but undecodable data must not pass as the empty APDU.
    if (!V44Decompress(info, plain)) throw EProtection("Decompression failed: " + V44LastError);
    LogProc("COMPRESSED   " + Hex(info));
    LogProc("DECOMPRESSED " + Hex(plain));
    LogProc(Factor(plain.size(), info.size()));
    info = std::move(plain);
  }
  SecurityControl = sc;
  FrameCounter = ic;
  Information = std::move(info);
}

}  // namespace quillon
