// What the simulated meter measured and when: every quantity it keeps a
// history of is a fixed function of time, so an entry stamped 12:15 holds the
// same values in every run, energy registers only ever rise, and power,
// voltages and currents follow a household's day (low at night, peaks in the
// morning and the evening, export around noon).
#pragma once

#include <cstdint>
#include <memory>

#include "xmlpdu/Catalogue.h"

namespace quillon::sim {

// The value of the quantity with this logical name at `t` (seconds since
// 1970, UTC) in its unit without scaler (Wh, varh, W, V, A, Hz, ...), or false
// when the meter keeps no history of it.
bool HistoricValue(const PduStr& logicalName, int64_t t, double& value);

// `value` (in the unit without scaler) as a Data value of the same type as
// `like`, with the scaler applied: integers rounded (counters rounded down,
// so that they never fall) and held to the type's range, floats as they are.
std::unique_ptr<T_Data> ScaledLike(const T_Data& like, double value, int scaler, bool counter);

}  // namespace quillon::sim
