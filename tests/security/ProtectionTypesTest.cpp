#include <gtest/gtest.h>

#include "security/ByteArray.h"
#include "security/ProtectionTypes.h"
#include "tests/security/TestSupport.h"

namespace quillon {
namespace {

using test::H;
using namespace std::string_literals;

const TCOSEMProtectionServices kNone;
const TCOSEMProtectionServices kAll{psAuthentication, psEncryption, psSignature, psCompression};

struct TScCase {
  TCOSEMProtectionServices services;
  bool broadcast;
  int suite;
  uint8_t byte;
};

TEST(SecurityControl, ComposesTheByte) {
  const TScCase cases[] = {
      {{psAuthentication, psEncryption}, false, 0, 0x30},
      {{psAuthentication}, false, 1, 0x11},
      {{psEncryption, psCompression}, true, 2, 0xE2},
      {{psSignature}, false, 0, 0x00},
      {{psSignature}, false, 5, 0x05},
      {kNone, true, 15, 0x4F},
      {kAll, true, 0, 0xF0},
  };
  for (const auto& c : cases) {
    TSecurityControl sc{c.services, c.broadcast, c.suite};
    EXPECT_EQ(sc.ToByte(), c.byte) << int(c.byte);
  }
}

TEST(SecurityControl, DecomposesEveryByteAndRecomposesIt) {
  TSecurityControl sc = TSecurityControl::FromByte(0x92);
  EXPECT_EQ(sc.SecuritySuite, 2);
  EXPECT_FALSE(sc.BroadCast);
  EXPECT_EQ(sc.COSEMProtectionServices, (TCOSEMProtectionServices{psAuthentication, psCompression}));
  // Every byte is reachable and the signature member never appears.
  for (int b = 0; b < 256; ++b) {
    TSecurityControl d = TSecurityControl::FromByte(static_cast<uint8_t>(b));
    EXPECT_FALSE(d.COSEMProtectionServices.Contains(psSignature));
    EXPECT_EQ(d.ToByte(), b);
  }
}

TEST(ProtectionServiceSets, ConvertBetweenNumberings) {
  EXPECT_EQ(COSEMProtectionServicesToCTI({psAuthentication, psSignature}).Bits(), 0x0Au);
  EXPECT_EQ(CTIToCOSEMProtectionServices(TProtectionServices::FromBits(0x1E)), kAll);
  EXPECT_EQ(CTIToCOSEMProtectionServices(TProtectionServices::FromBits(0x20)), kNone);
  EXPECT_EQ(CTIToCOSEMProtectionServices(TProtectionServices::FromBits(0xFFFFFFE1)), kNone);
  for (unsigned bits = 0; bits < 16; ++bits) {
    auto s = TCOSEMProtectionServices::FromBits(static_cast<uint8_t>(bits));
    EXPECT_EQ(CTIToCOSEMProtectionServices(COSEMProtectionServicesToCTI(s)), s);
  }
  EXPECT_TRUE(COSEMProtectionServicesToCTI({psCompression}).Contains(rcCOMPRESSION));
  EXPECT_TRUE(COSEMProtectionServicesToCTI({psAuthentication}).Contains(rcAUTHENTICATION));
}

TEST(TextForms, NamesSetsAndKeyInformation) {
  EXPECT_EQ(ServicesToString(kNone), "[]");
  EXPECT_EQ(ServicesToString(kAll), "[AUTHENTICATION,ENCRYPTION,SIGNATURE,COMPRESSION]");
  EXPECT_EQ(ServicesToString(TCOSEMProtectionServices{psEncryption, psAuthentication}), "[AUTHENTICATION,ENCRYPTION]");
  EXPECT_EQ(ServicesToString(TProtectionServices{rcSIGNATURE, rcGET, rcENCRYPTION}), "[ENCRYPTION,SIGNATURE]");
  EXPECT_EQ(ServicesToString(TProtectionServices{rcACTION}), "[]");

  const std::pair<TKeyInfo, const char*> keyInfos[] = {
      {TKeyInfo::Identified(kiGUEK), "Identified KeyId=GUEK"},
      {TKeyInfo::Wrapped(kiKEK), "Wrapped KekId=KEK"},
      {TKeyInfo::Agreed(kaOPDH), "Agreed KeyAgreementKind=OPDH"},
      {TKeyInfo::Agreed(kaSUM), "Agreed KeyAgreementKind=SUM"},
      {TKeyInfo::Identified(kiDEK), "Identified KeyId=DEK"},
  };
  for (const auto& [k, text] : keyInfos) EXPECT_EQ(KeyInfoToString(k), text);

  EXPECT_EQ(NameOf(kpEphemeral), "Ephemeral");
  EXPECT_EQ(NameOf(kiGBEK), "GBEK");
  EXPECT_EQ(NameOf(rcBLOCK_TRANSFER_WITH_SET_OR_WRITE), "BLOCK_TRANSFER_WITH_SET_OR_WRITE");
  EXPECT_EQ(NameOf(rcACTION), "ACTION");
}

TEST(KeyInfo, ConstructorsLeaveUnusedFieldsZeroAndCompareAllBytes) {
  TKeyInfo w = TKeyInfo::Wrapped(kiKEK);
  EXPECT_EQ(w.KeyInfoKind, kiWrapped);
  EXPECT_EQ(w.KeyId, 0);
  EXPECT_EQ(w.KeyAgreementKind, 0);
  EXPECT_EQ(w.KekId, kiKEK);
  EXPECT_NE(TKeyInfo::Identified(kiGUEK), TKeyInfo::Identified(kiGAK));
  EXPECT_NE(TKeyInfo::Agreed(kaOPDH), TKeyInfo::Identified(kiGUEK));
  EXPECT_EQ(TKeyInfo::Agreed(kaSUM), TKeyInfo::Agreed(kaSUM));
}

TEST(ProtectionHelper, FormattedStringsAndHex) {
  const std::pair<PduStr, std::string> cases[] = {
      {"MMM\x00\x01\x02\x03\x04"s, "4D4D4D0001020304"},
      {"ABCDEFGH", "\\ABCDEFGH"},
      {"ABC'DEFG", "\\ABC'DEFG"},
      {"ABC\"DEFG", "4142432244454647"},
      {"ABC~ DEF", "\\ABC~ DEF"},
      {"ABC\x7F" "DEFG", "414243" "7F" "44454647"},
      {"", ""},
  };
  for (const auto& [bytes, text] : cases) EXPECT_EQ(TProtectionHelper::ByteStrToFormatedString(bytes), text);

  EXPECT_EQ(TProtectionHelper::HexStrToByteStr("01 a0FF"), H("01A0FF"));
  EXPECT_EQ(TProtectionHelper::ByteStrToHexStr(H("00ABff")), "00ABFF");
  try {
    TProtectionHelper::HexStrToByteStr("ABC");
    FAIL();
  } catch (const EGeneralError& e) {
    EXPECT_STREQ(e.what(), "HexStrToByteStr: Hex-character missing");
  }
  EXPECT_THROW(TProtectionHelper::HexStrToByteStr("GG"), EGeneralError);
}

TEST(ProtectionHelper, AlgorithmIdentifiersAndKeySizes) {
  EXPECT_EQ(TProtectionHelper::GetAlgorithmOID(aiAES_GCM_128), H("60857405080300"));
  EXPECT_EQ(TProtectionHelper::GetAlgorithmOID(aiAES_GCM_256), H("60857405080301"));
  EXPECT_EQ(TProtectionHelper::GetAlgorithmOID(aiAES_WRAP_128), H("60857405080302"));
  EXPECT_EQ(TProtectionHelper::GetAlgorithmOID(aiAES_WRAP_256), H("60857405080303"));

  const int sizes[][4] = {{0, 16, -1, -1}, {1, 16, 32, 64}, {2, 32, 48, 96}};
  for (const auto& s : sizes) {
    EXPECT_EQ(SymmetricKeySizeOfSuite(s[0]), s[1]);
    if (s[2] < 0) {
      EXPECT_THROW(PrivateKeySizeOfSuite(s[0]), EAssertionFailed);
      EXPECT_THROW(PublicKeySizeOfSuite(s[0]), EAssertionFailed);
    } else {
      EXPECT_EQ(PrivateKeySizeOfSuite(s[0]), s[2]);
      EXPECT_EQ(PublicKeySizeOfSuite(s[0]), s[3]);
    }
  }
  EXPECT_THROW(SymmetricKeySizeOfSuite(3), EAssertionFailed);
  EXPECT_THROW(SymmetricKeySizeOfSuite(-1), EAssertionFailed);
}

TEST(Exceptions, SignatureCheckIsAProtectionErrorIsAGeneralError) {
  try {
    throw ESignatureCheck("Signature check failed in GeneralSigning");
  } catch (const EProtection& e) {
    EXPECT_STREQ(e.what(), "Signature check failed in GeneralSigning");
    EXPECT_NE(dynamic_cast<const EGeneralError*>(&e), nullptr);
  }
}

TEST(ByteArrays, ConvertAndRelease) {
  for (const PduStr& s : {PduStr(), PduStr("\x00\xFF\x80", 3), PduStr(1000, 'x')}) {
    TByteArray a = PduStrToByteArray(s);
    EXPECT_EQ(a.Size, static_cast<int32_t>(s.size()));
    EXPECT_EQ(a.Bytes == nullptr, s.empty());
    EXPECT_EQ(ByteArrayToPduStr(a), s);
    ReleaseByteArray(a);
    EXPECT_EQ(a.Size, 0);
    EXPECT_EQ(a.Bytes, nullptr);
    ReleaseByteArray(a);  // twice is harmless
  }
  uint8_t bytes[] = {1, 2};
  EXPECT_EQ(ByteArrayToPduStr(TByteArray{-5, 0, bytes}), "");
  EXPECT_EQ(ByteArrayToPduStr(TByteArray{0, 0, bytes}), "");
  EXPECT_EQ(ByteArrayToPduStr(TByteArray{2, 0, bytes}), H("0102"));
}

}  // namespace
}  // namespace quillon
