#pragma once

// The building blocks of the Access (Jet3/Jet4/ACE) on-disk formats: page kinds, versions,
// column type codes and little-endian reads of plain byte buffers.

#include <cstdint>
#include <cstring>

namespace tw::data::access {

/// The first byte of a data page (rows, long values, usage maps).
inline constexpr std::uint8_t kPageData = 0x01;
/// The first byte of a table-definition page.
inline constexpr std::uint8_t kPageTableDefinition = 0x02;
/// The first byte of a page of a reference usage map.
inline constexpr std::uint8_t kPageUsageMap = 0x05;

/// The version byte of Jet3 (Access 97) files.
inline constexpr int kVersionJet3 = 0;
/// The newest version byte a reader of this format knows (ACE 17, Access 2019).
inline constexpr int kVersionNewest = 6;

/// Column type codes of table definitions.
enum ColumnType : int {
    kTypeBool = 0x01,
    kTypeByte = 0x02,
    kTypeInt16 = 0x03,
    kTypeInt32 = 0x04,
    kTypeMoney = 0x05,
    kTypeFloat = 0x06,
    kTypeDouble = 0x07,
    kTypeDateTime = 0x08,
    kTypeBinary = 0x09,
    kTypeText = 0x0A,
    kTypeOle = 0x0B,
    kTypeMemo = 0x0C,
    kTypeGuid = 0x0F,
    kTypeNumeric = 0x10,
    kTypeComplexUnknown = 0x11,
    kTypeComplex = 0x12,
    kTypeBigInt = 0x13,
    kTypeExtendedDate = 0x14,
};

/// Reads a little-endian 16-bit unsigned integer.
inline std::uint16_t ReadU16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

/// Reads a little-endian 32-bit unsigned integer.
inline std::uint32_t ReadU32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

/// Reads a little-endian 64-bit unsigned integer.
inline std::uint64_t ReadU64(const std::uint8_t* p) {
    return static_cast<std::uint64_t>(ReadU32(p)) |
           (static_cast<std::uint64_t>(ReadU32(p + 4)) << 32);
}

/// Reads a little-endian IEEE-754 double bit for bit.
inline double ReadDouble(const std::uint8_t* p) {
    const std::uint64_t bits = ReadU64(p);
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

/// Reads a little-endian IEEE-754 single bit for bit.
inline float ReadFloat(const std::uint8_t* p) {
    const std::uint32_t bits = ReadU32(p);
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

} // namespace tw::data::access
