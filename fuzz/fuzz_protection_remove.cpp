// Removing the protection from an arbitrary received APDU, with one fixed set
// of keys and system titles, as the engine does for every response.
#include "FuzzSupport.h"
#include "security/ProtectionLayers.h"
#include "security/SecurityMaterial.h"

namespace {

quillon::TSecurityMaterialClient& Material() {
  static quillon::TSecurityMaterialClient m = [] {
    using quillon::TMisc;
    quillon::TSecurityMaterialClient k(0);
    k.AddSymmetricKey(quillon::kiGUEK, TMisc::HexStrToByteStr("000102030405060708090A0B0C0D0E0F"));
    k.AddSymmetricKey(quillon::kiGAK, TMisc::HexStrToByteStr("D0D1D2D3D4D5D6D7D8D9DADBDCDDDEDF"));
    k.AddSymmetricKey(quillon::kiDEK, TMisc::HexStrToByteStr("101112131415161718191A1B1C1D1E1F"));
    k.AddSymmetricKey(quillon::kiKEK, TMisc::HexStrToByteStr("A0A1A2A3A4A5A6A7A8A9AAABACADAEAF"));
    return k;
  }();
  return m;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quillon;
  static const PduStr kServer = TMisc::HexStrToByteStr("4D4D4D0000BC614E");
  TSecurityMaterialClient& material = Material();
  fuzz::TAllocationBudget budget(size);
  PduStr in(reinterpret_cast<const char*>(data), size);
  // The engine logs every layer it peels; the listing must not fail either.
  TLoggingContext log;
  log.FLogStringProc = [](const std::string&) {};
  log.FLogProtocolItemProc = [](const TCOSEMPduBase& item, const std::string&, int32_t) {
    fuzz::Expecting([&] { item.ToXMLString(); });
  };
  TProtectionLayers layers;
  std::unique_ptr<T_COSEMpdu> plain;
  if (!fuzz::Expecting([&] { layers.Remove(in, &material, &log, kServer, plain); })) return 0;
  // An APDU without protection is left to the caller to decode.
  if (!plain) return 0;
  PduStr bytes;
  fuzz::Require(fuzz::Expecting([&] { bytes = plain->Encoded(); }), "the unprotected APDU does not encode",
                TMisc::ByteStrToHexStr(in));
  return 0;
}
