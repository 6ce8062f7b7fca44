#pragma once

// The header page of an Access file (version, page size, code page, key, the Jet password)
// and the RC4 cipher that masks it and encodes the pages of Jet files.

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace tw::data::access {

/// Applies the RC4 key stream of `key` to `data` in place (the same call encrypts and decrypts).
void Rc4Apply(std::span<const std::uint8_t> key, std::span<std::uint8_t> data);

/// Applies RC4 with the four little-endian bytes of `key` (how Jet encodes its pages: the
/// header's key xor the page number).
void Rc4ApplyKey32(std::uint32_t key, std::span<std::uint8_t> data);

/// What the first page of an Access file says about the file.
struct HeaderInfo {
    /// The version byte at 0x14: 0 Jet3, 1 Jet4, 2 or more ACE (.accdb).
    int version = 0;
    /// True for "Standard ACE DB" files.
    bool is_ace = false;
    /// 2048 for Jet3, 4096 otherwise.
    int page_size = 4096;
    /// The database code page (used for Jet3 text).
    int code_page = 1252;
    /// The key field; 0 when pages are stored in clear. Jet encodes its pages with RC4 under it;
    /// in an encrypted ACE file it only varies the key (or IV) from page to page.
    std::uint32_t db_key = 0;
    /// The database password as UTF-8 (Jet3/Jet4); empty when the file has none.
    std::string password;
};

/// True when the bytes start with the signature of an Access file ("Standard Jet DB" or
/// "Standard ACE DB" after the magic bytes).
bool HasAccessSignature(std::span<const std::uint8_t> head);

/// Reads the header page (at least its first 0x98 bytes); nullopt when it is not an Access
/// header (wrong magic bytes or too short).
std::optional<HeaderInfo> ParseHeader(std::span<const std::uint8_t> page0);

/// True when `given` opens a database with this header, as the Jet provider decides: a file
/// without a password opens with any password; otherwise the password must match exactly.
bool PasswordAccepted(const HeaderInfo& header, const std::optional<std::string>& given);

} // namespace tw::data::access
