#include "security/SecurityMaterial.h"

#include <openssl/rand.h>

namespace quillon {

PduStr TSecurityMaterial::GetRandomSymetricKey() {
  const size_t size = static_cast<size_t>(SymetricKeySize());
  PduStr key;
  unsigned char buf[64];
  while (key.size() < size) {
    if (RAND_bytes(buf, sizeof buf) != 1) throw EProtection("No random data for a fresh key");
    for (unsigned char b : buf)
      if (b != 0 && key.size() < size) key += static_cast<char>(b);
  }
  return key;
}

PduStr TSecurityMaterialClient::GetSymmetricKey(TKeyId KeyId) {
  auto it = SymetricKeys.find(KeyId);
  if (it == SymetricKeys.end()) throw EProtection(Format("Key %s not defined", NameOf(KeyId).c_str()));
  if (it->second.empty()) throw EProtection(Format("Key %s empty", NameOf(KeyId).c_str()));
  return it->second;
}

PduStr TSecurityMaterialClient::ReplaceSymmetricKey(TKeyId KeyId, const PduStr& Value) {
  PduStr former = GetSymmetricKey(KeyId);
  SymetricKeys[KeyId] = Value;
  return former;
}

TKeyPair TSecurityMaterialClient::GetKeyPair(const PduStr& SystemTitle, TKeyPairType KeyPairType) {
  CheckAssertion(KeyPairType <= kpEphemeral, "key pair type in range");
  auto& pairs = AssymetricKeys[KeyPairType];
  auto it = pairs.find(SystemTitle);
  if (it != pairs.end()) return it->second;
  if (FGetKeyPairFunc) {
    TKeyPair p = FGetKeyPairFunc(SystemTitle, KeyPairType);
    if (!p.PrivateKey.empty() || !p.PublicKey.empty()) pairs[SystemTitle] = p;
    return p;
  }
  return TKeyPair();
}

namespace {
PduStr RequirePart(const PduStr& key, const char* which, const PduStr& systemTitle, TKeyPairType type) {
  if (key.empty())
    throw EProtection(Format("No %s key %s defined for %s ", which, NameOf(type).c_str(),
                             TProtectionHelper::ByteStrToFormatedString(systemTitle).c_str()));
  return key;
}
}  // namespace

PduStr TSecurityMaterialClient::GetPrivateKey(const PduStr& SystemTitle, TKeyPairType KeyPairType) {
  return RequirePart(GetKeyPair(SystemTitle, KeyPairType).PrivateKey, "private", SystemTitle, KeyPairType);
}

PduStr TSecurityMaterialClient::GetPublicKey(const PduStr& SystemTitle, TKeyPairType KeyPairType) {
  return RequirePart(GetKeyPair(SystemTitle, KeyPairType).PublicKey, "public", SystemTitle, KeyPairType);
}

}  // namespace quillon
