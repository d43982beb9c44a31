#include <gtest/gtest.h>

#include "security/SecurityMaterial.h"
#include "tests/security/TestSupport.h"

namespace quillon {
namespace {

using test::H;

using test::ErrorOf;

TEST(SecurityMaterial, SymmetricKeysMissingEmptyAndReplaced) {
  TSecurityMaterialClient m(0);
  m.AddSymmetricKey(kiGUEK, PduStr(16, 'e'));
  m.AddSymmetricKey(kiGAK, PduStr(16, 'a'));
  EXPECT_EQ(m.GetSymmetricKey(kiGAK), PduStr(16, 'a'));
  EXPECT_EQ(ErrorOf([&] { m.GetSymmetricKey(kiKEK); }), "Key KEK not defined");
  EXPECT_THROW(m.GetSymmetricKey(kiKEK), EProtection);
  EXPECT_EQ(ErrorOf([&] { m.ReplaceSymmetricKey(kiDEK, "x"); }), "Key DEK not defined");
  m.AddSymmetricKey(kiKEK, "");
  EXPECT_EQ(ErrorOf([&] { m.GetSymmetricKey(kiKEK); }), "Key KEK empty");
  EXPECT_EQ(m.ReplaceSymmetricKey(kiGUEK, PduStr(16, 'n')), PduStr(16, 'e'));
  EXPECT_EQ(m.GetSymmetricKey(kiGUEK), PduStr(16, 'n'));
}

TEST(SecurityMaterial, KeyPairsByTitleAndType) {
  const PduStr client = "CLIENT01", server = H("4D4D4D0000BC614E");
  TSecurityMaterialClient m(1);
  m.AddKeyPair(client, kpSigning, {PduStr(32, 'd'), PduStr(64, 'q')});
  m.AddKeyPair(server, kpSigning, {"", PduStr(64, 's')});
  EXPECT_EQ(m.GetPrivateKey(client, kpSigning), PduStr(32, 'd'));
  EXPECT_EQ(m.GetPublicKey(server, kpSigning), PduStr(64, 's'));
  EXPECT_EQ(ErrorOf([&] { m.GetPrivateKey(server, kpSigning); }),
            "No private key Signing defined for 4D4D4D0000BC614E ");
  EXPECT_THROW(m.GetPrivateKey(server, kpSigning), EProtection);
  EXPECT_EQ(ErrorOf([&] { m.GetPublicKey(client, kpAgreement); }), "No public key Agreement defined for \\CLIENT01 ");
  EXPECT_EQ(ErrorOf([&] { m.GetPrivateKey("CLIENT02", kpSigning); }),
            "No private key Signing defined for \\CLIENT02 ");
  EXPECT_EQ(m.GetKeyPair("nobody", kpEphemeral), TKeyPair());
}

TEST(SecurityMaterial, KeyPairSourceIsAskedUntilItAnswers) {
  TSecurityMaterialClient m(2);
  int calls = 0;
  TKeyPair answer;
  m.FGetKeyPairFunc = [&](const PduStr& title, TKeyPairType type) {
    ++calls;
    EXPECT_EQ(title, "THIRDPTY");
    EXPECT_EQ(type, kpEphemeral);
    return answer;
  };
  EXPECT_EQ(m.GetKeyPair("THIRDPTY", kpEphemeral), TKeyPair());
  EXPECT_EQ(m.GetKeyPair("THIRDPTY", kpEphemeral), TKeyPair());
  EXPECT_EQ(calls, 2);  // an empty answer is not stored
  answer = {PduStr(48, 'd'), ""};
  EXPECT_EQ(m.GetPrivateKey("THIRDPTY", kpEphemeral), PduStr(48, 'd'));
  EXPECT_EQ(m.GetPrivateKey("THIRDPTY", kpEphemeral), PduStr(48, 'd'));
  EXPECT_EQ(calls, 3);  // stored from then on
}

TEST(SecurityMaterial, KeySizesAndRandomKeys) {
  const int sizes[][3] = {{0, 16, -1}, {1, 16, 64}, {2, 32, 96}};
  for (const auto& s : sizes) {
    TSecurityMaterialClient m(s[0]);
    EXPECT_EQ(m.SymetricKeySize(), s[1]);
    if (s[2] < 0)
      EXPECT_THROW(m.PublicKeySize(), EAssertionFailed);
    else
      EXPECT_EQ(m.PublicKeySize(), s[2]);
    const PduStr a = m.GetRandomSymetricKey(), b = m.GetRandomSymetricKey();
    EXPECT_EQ(a.size(), static_cast<size_t>(s[1]));
    EXPECT_NE(a, b);
  }
  TSecurityMaterialClient m2(2);
  for (int i = 0; i < 200; ++i) EXPECT_EQ(m2.GetRandomSymetricKey().find('\0'), PduStr::npos);
  EXPECT_THROW(TSecurityMaterialClient(3).SymetricKeySize(), EAssertionFailed);
}

}  // namespace
}  // namespace quillon
