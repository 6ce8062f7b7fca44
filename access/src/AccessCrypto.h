#pragma once

// The page ciphers of encoded and encrypted Access files, and the reading of an ACE file's
// encryption information with the check of its password. Like AccessFormat, everything here
// works on plain byte buffers and checks every offset it reads, so that it can be tested and
// fuzzed without a file; hashes and AES come from OpenSSL's libcrypto.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace tw::data::access {

/// Turns the stored bytes of a page back into the page; page 0 is never encrypted.
class PageCipher {
public:
    virtual ~PageCipher() = default;

    /// Decrypts page `page` (1 or more), given whole in `bytes`, in place; false when the
    /// crypto library fails.
    virtual bool Decrypt(std::uint32_t page, std::span<std::uint8_t> bytes) const = 0;
};

/// Jet3/Jet4 page encoding: RC4 over each page with the four bytes of the header's key xor the
/// page number. It needs no password: the key is in the file.
std::unique_ptr<PageCipher> MakeJetPageCipher(std::uint32_t db_key);

/// The outcome of unlocking an encrypted ACE file.
struct AceUnlock {
    enum class Status {
        /// The password is right; `cipher` decrypts the pages.
        Unlocked,
        /// The encryption information is whole but the password does not match it.
        WrongPassword,
        /// A kind of encryption this reader does not decrypt; `detail` names it.
        Unsupported,
        /// The encryption information cannot be read; `detail` says what is wrong with it.
        Damaged,
        /// The crypto library failed.
        Failed,
    };
    Status status = Status::Damaged;
    std::string detail;
    std::unique_ptr<PageCipher> cipher;
};

/// Reads the encryption information of the ACE header page `page0` (as stored, 4096 bytes),
/// checks `password` against it and, when it matches, makes the cipher of the file's pages
/// (`db_key` is the key field of the unmasked header). Every copy of the password and every key
/// derived from it is wiped when no longer needed; the cipher wipes its own on destruction.
AceUnlock UnlockAce(std::span<const std::uint8_t> page0, std::uint32_t db_key,
                    const std::optional<std::string>& password);

} // namespace tw::data::access
