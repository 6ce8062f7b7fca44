#pragma once

// The date formats of Access values: Date/Time (days since 1899-12-30 as a double) and
// Date/Time Extended (ASCII digits).

#include "tablewright/model/Value.h"

#include <cstddef>
#include <cstdint>
#include <optional>

namespace tw::data::access {

/// Converts an Access date (days since 1899-12-30; for negative values the fraction is still the
/// positive time of day) to a proleptic Gregorian date-time rounded to the nearest second;
/// nullopt for NaN, infinities and values beyond about ±27,000 years.
std::optional<DateTime> AccessDateToDateTime(double value);

/// The bytes a Date/Time Extended value takes.
inline constexpr int kExtendedDateSize = 42;

/// Reads a Date/Time Extended value: ASCII digits of the days since 0001-01-01, of the seconds
/// since midnight and of the 100-ns ticks of the second (kept whole in DateTime::ticks);
/// nullopt when the bytes are shorter, hold other characters or lie beyond 9999-12-31.
std::optional<DateTime> ReadExtendedDate(const std::uint8_t* data, std::size_t size);

} // namespace tw::data::access
