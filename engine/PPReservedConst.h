// One numbering for protection services and conformance bits together, so a
// single 32-bit set can say which services a request needs and what the
// association allows. Conformance bit k sits at bit k + 5.
#pragma once

#include <cstdint>

namespace quillon {

enum TPPReservedConst : uint8_t {
  rcDUMMY,
  rcAUTHENTICATION,
  rcENCRYPTION,
  rcSIGNATURE,
  rcCOMPRESSION,
  rcRESERVED0,
  rcGENERAL_PROTECTION,
  rcGENERAL_BLOCK_TRANSFER,
  rcREAD,
  rcWRITE,
  rcUNCONFIRMED_WRITE,
  rcRESERVED6,
  rcRESERVED7,
  rcATTRIBUTE0_SUPPORTED_WITH_SET,
  rcPRIORITY_MGMT_SUPPORTED,
  rcATTRIBUTE0_SUPPORTED_WITH_GET,
  rcBLOCK_TRANSFER_WITH_GET_OR_READ,
  rcBLOCK_TRANSFER_WITH_SET_OR_WRITE,
  rcBLOCK_TRANSFER_WITH_ACTION,
  rcMULTIPLE_REFERENCES,
  rcINFORMATION_REPORT,
  rcDATA_NOTIFICATION,
  rcACCESS,
  rcPARAMETRIZED_ACCESS,
  rcGET,
  rcSET,
  rcSELECTIVE_ACCESS,
  rcEVENT_NOTIFICATION,
  rcACTION,
};

// A set of TPPReservedConst values, bit n for value n.
using TProtectionServices = uint32_t;

constexpr TProtectionServices RcBit(TPPReservedConst c) { return TProtectionServices{1} << c; }
constexpr bool RcHas(TProtectionServices set, TPPReservedConst c) { return (set & RcBit(c)) != 0; }

// Plain conformance numbering (bit k = conformance bit k, k = 0..23) to the
// combined numbering above.
constexpr TProtectionServices ConformanceToParameterSet(uint32_t conformance) {
  return (conformance & 0x00FFFFFFu) << rcRESERVED0;
}

}  // namespace quillon
