#pragma once

// What the ciphers of encrypted ACE files share: bytes that hold secrets and are wiped, the
// password as keys are derived from it, hashing and stretching, AES decryption, and the
// outcomes of an unlock. Only the cipher units include this header (and so OpenSSL).

#include "AccessCrypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tw::data::access::crypto {

/// Bytes as the ciphers read them.
using Bytes = std::span<const std::uint8_t>;
/// What an unlock comes to.
using Status = AceUnlock::Status;

/// Bytes that hold a password or something derived from it: wiped when they go. The buffer never
/// grows after it is made, so no copy is left behind in freed memory.
class Secret {
public:
    Secret() = default;
    explicit Secret(std::size_t size) : bytes_(size) {}
    explicit Secret(Bytes bytes) : bytes_(bytes.begin(), bytes.end()) {}
    ~Secret() { Wipe(); }
    Secret(Secret&& other) noexcept = default;
    Secret& operator=(Secret&& other) noexcept {
        if (this != &other) {
            Wipe();
            bytes_ = std::move(other.bytes_);
        }
        return *this;
    }
    Secret(const Secret&) = delete;
    Secret& operator=(const Secret&) = delete;

    std::uint8_t* data() { return bytes_.data(); }
    std::size_t size() const { return bytes_.size(); }
    Bytes bytes() const { return bytes_; }
    Bytes first(std::size_t count) const { return Bytes(bytes_).first(count); }

    /// Keeps the first `size` bytes and wipes the rest.
    void Truncate(std::size_t size) {
        if (size >= bytes_.size())
            return;
        OPENSSL_cleanse(bytes_.data() + size, bytes_.size() - size);
        bytes_.resize(size);
    }

private:
    void Wipe() {
        if (!bytes_.empty())
            OPENSSL_cleanse(bytes_.data(), bytes_.size());
    }

    std::vector<std::uint8_t> bytes_;
};

/// The four little-endian bytes of `value`.
inline std::array<std::uint8_t, 4> Le32(std::uint32_t value) {
    return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

/// The password as keys are derived from it: UTF-16LE without a terminator, cut after 255 code
/// units; no password is the empty string.
Secret PasswordBytes(const std::optional<std::string>& password);

/// Frees what OpenSSL allocated for hashing and ciphers.
struct MdFree {
    void operator()(EVP_MD* md) const noexcept { EVP_MD_free(md); }
};
struct MdContextFree {
    void operator()(EVP_MD_CTX* context) const noexcept { EVP_MD_CTX_free(context); }
};
struct CipherContextFree {
    void operator()(EVP_CIPHER_CTX* context) const noexcept { EVP_CIPHER_CTX_free(context); }
};

/// One hash function over concatenations of byte strings. Its context is freed (and wiped by
/// OpenSSL) with it.
class Hasher {
public:
    /// The hash called `name` in OpenSSL ("SHA1", "SHA512", ...).
    explicit Hasher(const char* name)
        : md_(EVP_MD_fetch(nullptr, name, nullptr)), context_(EVP_MD_CTX_new()) {}

    /// The size of a hash; 0 when the library has no such hash.
    std::size_t Size() const {
        return md_ ? static_cast<std::size_t>(EVP_MD_get_size(md_.get())) : 0;
    }

    /// Writes the hash of the pieces, one after the other, to `out` (Size() bytes, which may be
    /// one of the pieces); false when the library fails.
    bool Digest(std::initializer_list<Bytes> pieces, std::uint8_t* out) {
        if (!md_ || !context_)
            return false;
        // After the first time the context starts over with the hash it has: naming the hash
        // again would cost more than the hashing itself in the password's many rounds.
        if (EVP_DigestInit_ex2(context_.get(), started_ ? nullptr : md_.get(), nullptr) != 1)
            return false;
        started_ = true;
        for (const Bytes piece : pieces) {
            if (EVP_DigestUpdate(context_.get(), piece.data(), piece.size()) != 1)
                return false;
        }
        unsigned int length = 0;
        return EVP_DigestFinal_ex(context_.get(), out, &length) == 1;
    }

    /// The hash of the pieces in a new secret; empty when the library fails.
    Secret Digest(std::initializer_list<Bytes> pieces) {
        Secret out(Size());
        if (out.size() == 0 || !Digest(pieces, out.data()))
            return Secret();
        return out;
    }

private:
    std::unique_ptr<EVP_MD, MdFree> md_;
    std::unique_ptr<EVP_MD_CTX, MdContextFree> context_;
    bool started_ = false;
};

/// The password stretched: H0 = H(salt ‖ password), then Hi = H(LE32(i) ‖ Hi-1) for
/// i = 0 .. rounds-1. Empty when the library fails.
Secret Stretch(Hasher& hash, Bytes salt, Bytes password, std::uint32_t rounds);

/// Decrypts `data` (whole 16-byte blocks) in place with AES under `key` (16, 24 or 32 bytes): in
/// CBC mode from `iv` (16 bytes) when one is given, else in ECB mode. False when the library
/// fails or the sizes are wrong.
bool AesDecrypt(Bytes key, const std::uint8_t* iv, std::span<std::uint8_t> data);

/// `bytes` cut or padded with `pad` to `size` bytes.
Secret Fit(Secret bytes, std::size_t size, std::uint8_t pad);

/// An unlock that did not unlock, and why.
AceUnlock Outcome(Status status, std::string detail = {});

/// An unlock that did: `cipher` decrypts the pages.
AceUnlock Unlocked(std::unique_ptr<PageCipher> cipher);

/// A number as hexadecimal for a message (0x660E).
std::string Hex(std::uint32_t value);

/// A name read from the file, fit for a message: printable ASCII, at most 40 characters.
std::string Printable(std::string_view text);

/// CryptoAPI encryption (versions 2.2, 3.2 and 4.2), RC4 or AES: `info` is the encryption
/// information from its version on (CryptoApi.cpp).
AceUnlock UnlockCryptoApi(Bytes info, std::uint32_t db_key,
                          const std::optional<std::string>& password);

/// Agile encryption (version 4.4): `info` is the encryption information from its version on
/// (AgileEncryption.cpp).
AceUnlock UnlockAgile(Bytes info, std::uint32_t db_key, const std::optional<std::string>& password);

} // namespace tw::data::access::crypto
