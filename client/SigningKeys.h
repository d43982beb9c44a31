// ECDSA keys from PEM files, as the engine takes them: a private key as its
// scalar, a public key as the two coordinates of its point, each as long as
// the curve of the security suite asks (suite 1: P-256, 32 bytes; suite 2:
// P-384, 48 bytes).
#pragma once

#include <string>

#include "client/MeterProfile.h"

namespace quillon::client {

struct TEcKeyPair {
  std::string Private;  // empty for a public key alone
  std::string Public;   // X then Y
};

// The client's private signing key from a PEM private key ("PRIVATE KEY" or
// "EC PRIVATE KEY", unencrypted); its public half is derived from it.
// `field` names the key in errors, e.g. "Client signing key".
TEcKeyPair LoadPrivateKeyPem(const std::string& path, int suite, const char* field);
// A public key from a PEM public key, or from a certificate holding one.
std::string LoadPublicKeyPem(const std::string& path, int suite, const char* field);

// A fresh key pair on the suite's curve.
TEcKeyPair GenerateEcKeyPair(int suite);

// The ECDSA keys of a profile (--auth ecdsa): the client's signing pair and
// the meter's public signing key, read from the profile's PEM files. Throws
// a general error naming the key and the file: "Client signing key
// \"FILE\": cannot be read (...)", a file without a key, a key on another
// curve.
struct TSigningKeys {
  TEcKeyPair Client;
  std::string ServerPublic;
};
TSigningKeys LoadSigningKeys(const TMeterProfile& p);

}  // namespace quillon::client
