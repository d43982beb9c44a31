// Conversions between byte strings and the exported TByteArray record.
#pragma once

#include <string_view>

#include "security/DLMSRecords.h"
#include "xmlpdu/infra/Misc.h"

namespace quillon {

// Size <= 0 (or no bytes) reads as the empty string.
PduStr ByteArrayToPduStr(const TByteArray& a);
// Allocates exactly the string's length (nothing for an empty string); the
// record is released with ReleaseByteArray.
TByteArray PduStrToByteArray(std::string_view s);
// Frees the bytes and leaves Size 0 and Bytes null.
void ReleaseByteArray(TByteArray& a);

}  // namespace quillon
