#pragma once

#include <cstdint>
#include <string>
#include <variant>

namespace tw::data {

/// An exact decimal number as text: optional '-', digits, optionally '.' and more digits; never
/// an exponent (currency and decimal values never pass through a double).
struct Decimal {
    std::string text;
    bool operator==(const Decimal&) const = default;
};

/// A calendar date and wall-clock time as the source stores it (no time zone).
struct DateTime {
    int year = 1899;
    int month = 12;
    int day = 30;
    int hour = 0;
    int minute = 0;
    int second = 0;
    /// The fraction of the second in ticks of 100 nanoseconds (0 to 9,999,999): what Access's
    /// "Date/Time Extended" keeps; 0 for dates to the second.
    int ticks = 0;
    bool operator==(const DateTime&) const = default;
};

/// A byte string (binary and OLE values); kept apart from text so it is never mistaken for it.
struct Bytes {
    std::string data;
    bool operator==(const Bytes&) const = default;
};

/// A GUID in its standard text form "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (upper-case hex).
struct Guid {
    std::string text;
    bool operator==(const Guid&) const = default;
};

/// One field value: null, boolean, integer, single, double, exact decimal, date-time,
/// UTF-8 text, bytes or GUID.
using Value = std::variant<std::monostate, bool, std::int64_t, float, double, Decimal, DateTime,
                           std::string, Bytes, Guid>;

/// True when the value is null.
inline bool IsNull(const Value& value) {
    return std::holds_alternative<std::monostate>(value);
}

} // namespace tw::data
