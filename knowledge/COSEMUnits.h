// The COSEM unit table: the unit codes a register's scaler_unit carries and
// the symbols metering people write for them.
#pragma once

#include <string>

namespace quillon {

// The symbol of a unit code ("Wh", "V", "m3", ...); empty for 255 (a count,
// no unit) and for codes the table does not name.
std::string COSEMUnitName(int unit);

}  // namespace quillon
