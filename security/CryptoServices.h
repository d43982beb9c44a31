// Key wrapping, hashes, ECDSA, ECDH and key derivation on OpenSSL 3
// libcrypto. Keys and signatures travel in the raw DLMS forms: private keys
// as big-endian scalars, public keys as X||Y without a format byte,
// signatures as r||s, each part as long as a private key.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "security/ProtectionTypes.h"

namespace quillon {

class TKeyWrap {
public:
  // RFC 3394 AES key wrap: AES-128 for suites 0 and 1, AES-256 for suite 2.
  static PduStr Wrap(int32_t SecuritySuite, std::string_view Key, std::string_view MasterKey);
  static PduStr UnWrap(int32_t SecuritySuite, std::string_view WrappedKey, std::string_view MasterKey);
};

class THASH {
public:
  static PduStr MD5(std::string_view s);
  static PduStr MD5(const void* bytes, size_t size);
  static PduStr SHA1(std::string_view s);
  static PduStr SHA256(std::string_view s);
  static PduStr SHA384(std::string_view s);
};

// Elliptic-curve services; suite 1 is P-256 with SHA-256, suite 2 P-384 with
// SHA-384. A false result leaves the reason in GetLastErrorString.
bool ECDSASign(int32_t SecuritySuite, std::string_view Data, std::string_view PrivateKey, PduStr& Signature);
// Returns false only when the check could not be made (bad suite or public
// key); a malformed or wrong signature gives true with Valid false.
bool ECDSAVerify(int32_t SecuritySuite, std::string_view Data, std::string_view Signature,
                 std::string_view PublicKey, bool& Valid);
// The X coordinate of PrivateKey * PublicKey.
bool GetSharedSecret(int32_t SecuritySuite, std::string_view PrivateKey, std::string_view PublicKey,
                     PduStr& Secret);
// NIST SP 800-56A concatenation KDF (SHA-256 / SHA-384) giving the suite's
// symmetric key size.
bool GetDerivedKey(int32_t SecuritySuite, std::string_view SharedSecret, std::string_view OtherInformation,
                   PduStr& Key);
// A fresh key pair on the suite's curve.
bool GenerateKeyPair(int32_t SecuritySuite, TKeyPair& KeyPair);
void GetLastErrorString(std::string& Text);
// Routing of the elliptic-curve services' trace lines made on the calling
// thread; an empty callable switches it off. Other threads are not affected.
void SetLoggingCallback(std::function<void(const std::string&)> Callback);

}  // namespace quillon
