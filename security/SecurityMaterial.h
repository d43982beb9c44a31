// The key store of one association: symmetric keys by identifier, key pairs
// by type and owner system title, and the security suite that sizes them.
#pragma once

#include <array>
#include <functional>
#include <map>

#include "security/ProtectionTypes.h"

namespace quillon {

class TSecurityMaterial {
public:
  virtual ~TSecurityMaterial() = default;
  virtual PduStr GetSymmetricKey(TKeyId KeyId) = 0;
  virtual PduStr ReplaceSymmetricKey(TKeyId KeyId, const PduStr& Value) = 0;
  virtual int32_t GetSecuritySuite() = 0;
  virtual PduStr GetPublicKey(const PduStr& SystemTitle, TKeyPairType KeyPairType) = 0;
  virtual PduStr GetPrivateKey(const PduStr& SystemTitle, TKeyPairType KeyPairType) = 0;
  virtual TKeyPair GetKeyPair(const PduStr& SystemTitle, TKeyPairType KeyPairType) = 0;

  int32_t SymetricKeySize() { return SymmetricKeySizeOfSuite(GetSecuritySuite()); }
  int32_t PublicKeySize() { return PublicKeySizeOfSuite(GetSecuritySuite()); }
  // A fresh key from a cryptographically strong source; no byte is 0.
  PduStr GetRandomSymetricKey();
};

class TSecurityMaterialClient : public TSecurityMaterial {
public:
  using TGetKeyPairFunc = std::function<TKeyPair(const PduStr& SystemTitle, TKeyPairType KeyPairType)>;
  using TAssymetricKeys = std::array<std::map<PduStr, TKeyPair>, 3>;

  explicit TSecurityMaterialClient(int32_t securitySuite) : FSecuritySuite(securitySuite) {}

  PduStr GetSymmetricKey(TKeyId KeyId) override;
  PduStr ReplaceSymmetricKey(TKeyId KeyId, const PduStr& Value) override;
  int32_t GetSecuritySuite() override { return FSecuritySuite; }
  PduStr GetPublicKey(const PduStr& SystemTitle, TKeyPairType KeyPairType) override;
  PduStr GetPrivateKey(const PduStr& SystemTitle, TKeyPairType KeyPairType) override;
  TKeyPair GetKeyPair(const PduStr& SystemTitle, TKeyPairType KeyPairType) override;

  void AddSymmetricKey(TKeyId KeyId, const PduStr& Value) { SymetricKeys[KeyId] = Value; }
  void AddKeyPair(const PduStr& SystemTitle, TKeyPairType KeyPairType, const TKeyPair& KeyPair) {
    AssymetricKeys[KeyPairType][SystemTitle] = KeyPair;
  }

  int32_t FSecuritySuite;
  std::map<TKeyId, PduStr> SymetricKeys;
  TAssymetricKeys AssymetricKeys;
  TGetKeyPairFunc FGetKeyPairFunc;
};

}  // namespace quillon
