#pragma once

// The exact number formats of Access values: Currency, Decimal (stored and calculated) and
// GUIDs, written as text without going through binary floating point.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tw::data::access {

/// Appends an unsigned integer given as 32-bit words (most significant first) as an exact
/// decimal with exactly `scale` digits after the point and a '-' when negative and non-zero.
void AppendScaledDecimal(std::string& out, bool negative, std::span<const std::uint32_t> words,
                         int scale);

/// Appends a Currency value (int64 in 1/10000 units) with exactly 4 decimals.
void AppendCurrency(std::string& out, std::int64_t units);

/// Appends a Jet4 Decimal value (sign byte, then four little-endian 32-bit words, most
/// significant first) with exactly `scale` decimals.
void AppendJetDecimal(std::string& out, const std::uint8_t* data17, int scale);

/// The value of an ACE calculated Decimal, which carries its own scale.
struct CalcDecimal {
    bool negative = false;
    int scale = 0;
    std::vector<std::uint32_t> words; // most significant first
};

/// Reads an ACE calculated Decimal from its unwrapped bytes (length, scale, sign, then the
/// magnitude in its odd byte order); nullopt when the bytes do not hold one.
std::optional<CalcDecimal> ReadCalcDecimal(const std::uint8_t* data, std::size_t size);

/// Appends a GUID in the form {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}; the first three groups are
/// stored little-endian.
void AppendGuid(std::string& out, const std::uint8_t* data16);

} // namespace tw::data::access
