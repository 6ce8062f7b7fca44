#pragma once

// CryptoAPI encryption of ACE files: what its header and verifier say, and the two ciphers it
// may name, RC4 (CryptoApiRc4.cpp) and AES (CryptoApiAes.cpp).

#include "CryptoSupport.h"

#include <cstddef>
#include <cstdint>

namespace tw::data::access::crypto {

/// The header flag of AES encryption: the password was hashed kAesRounds more times.
inline constexpr std::uint32_t kFlagAes = 0x20;

/// What the encryption header and verifier of a CryptoAPI file say.
struct CryptoApiVerifier {
    /// The header's flags.
    std::uint32_t flags = 0;
    /// The size of the keys, in bytes.
    std::size_t key_bytes = 0;
    /// The 16-byte salt of the password.
    Bytes salt;
    /// The encrypted verifier (16 bytes), then its encrypted SHA-1 (20 bytes for RC4, two AES
    /// blocks for AES).
    Secret check;
    /// The key field of the header, which varies the key from page to page.
    std::uint32_t db_key = 0;
};

/// Checks the password against the verifier with CryptoAPI RC4 and, when it matches, makes the
/// cipher of the pages.
AceUnlock UnlockCryptoApiRc4(CryptoApiVerifier verifier, Bytes password);

/// Checks the password against the verifier with CryptoAPI AES and, when it matches, makes the
/// cipher of the pages.
AceUnlock UnlockCryptoApiAes(const CryptoApiVerifier& verifier, Bytes password);

} // namespace tw::data::access::crypto
