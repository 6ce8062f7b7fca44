#pragma once

// The stored form of an attachment, decoded without a file (tested and fuzzed on its own).

#include <cstdint>
#include <span>
#include <string>

namespace tw::data::access {

/// Decodes the bytes Access keeps for an attached file (the FileData column of an attachment
/// column's hidden table) into the file as the user attached it: an 8-byte header (a 32-bit
/// kind, 0 stored or 1 deflated with zlib, and the length of what follows once inflated), then,
/// stored or inflated, a header of its own (its own length first, then the file's extension)
/// and the file's bytes. False, with the reason in `reason`, when the bytes are not such an
/// attachment (damaged, truncated, or longer once inflated than deflate can make them).
bool DecodeAttachment(std::span<const std::uint8_t> stored, std::string& file, std::string& reason);

} // namespace tw::data::access
