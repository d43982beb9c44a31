// The DLMS framing of AES-GCM (security control byte, invocation counter,
// ciphertext, 12-byte tag), the GMAC challenge response, and the combined
// compress-and-encrypt step the protection layers call.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "security/ProtectionTypes.h"

namespace quillon {

class TGCMCipher {
public:
  static constexpr size_t kTagLength = 12;
  static constexpr size_t kHeaderLength = 5;  // SC and IC

  static PduStr GCMEncrypt(std::string_view SystemTitle, std::string_view Information, std::string_view EK,
                           std::string_view AK, const TSecurityControl& SecurityControl, uint32_t FrameCounter,
                           std::string_view ExtraAAD);
  static void GCMDecrypt(std::string_view SystemTitle, std::string_view CipheredInformation,
                         std::string_view ExtraAAD, std::string_view EK, std::string_view AK,
                         TSecurityControl& SecurityControl, uint32_t& FrameCounter, PduStr& Information);
  static PduStr ResponseToChallenge(std::string_view SystemTitle, std::string_view Challenge, std::string_view EK,
                                    std::string_view AK, uint32_t FrameCounter, int32_t SecuritySuite);
  static bool CheckOtherResponseToChallenge(std::string_view OtherSystemTitle, std::string_view OtherResponse,
                                            std::string_view MyChallenge, std::string_view EK, std::string_view AK,
                                            int32_t SecuritySuite);
};

class TGCMAndCompression {
public:
  using TLogProc = std::function<void(const std::string&)>;

  static PduStr CompressAndEncrypt(std::string_view SystemTitle, std::string_view Information, std::string_view EK,
                                   std::string_view AK, const TSecurityControl& SecurityControl,
                                   uint32_t FrameCounter, std::string_view ExtraAAD, const TLogProc& LogProc);
  static void DecryptAndDecompress(std::string_view SystemTitle, std::string_view CipheredInformation,
                                   std::string_view ExtraAAD, std::string_view EK, std::string_view AK,
                                   TSecurityControl& SecurityControl, uint32_t& FrameCounter, PduStr& Information,
                                   const TLogProc& LogProc);
};

}  // namespace quillon
