// The ciphers of encoded and encrypted Access files.
//
// Jet (.mdb) page encoding is RC4 over every page but the first, keyed with four bytes: the key
// field of the unmasked header (u32 at 0x3E) xor the page number, little-endian. It needs no
// password; a Jet database password is a separate check of the header (AccessFormat).
//
// ACE (.accdb) files encrypted with a password keep that key field too, but there it only
// varies the key from page to page. Their encryption information follows the header, unmasked:
// a u16 length at 0x299, then, at 0x29B, a u16 major and a u16 minor version:
//   x.2 (x = 2, 3 or 4): CryptoAPI encryption, RC4 or AES, with a binary header and verifier;
//   4.4: agile encryption, AES with the parameters in an XML descriptor;
//   1.1 (Office binary RC4) and 3.3/4.3 (extensible, a third-party provider) are not read.
// Every scheme hashes a salt and the password (UTF-16LE, at most 255 code units, no terminator)
// into a secret, and from that secret and a 4-byte block derives a key (or, for agile, an IV)
// per block. Block 0 decrypts a random verifier and its hash, which is how a password is
// checked; the block of page n is the header's key xor n. The verifier covers neither that key
// nor the pages, so a damaged key passes the password check and shows only in the pages: the
// caller checks the first page it decrypts.

#include "AccessCrypto.h"

#include "AccessFormat.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <initializer_list>
#include <string_view>
#include <utility>
#include <vector>

namespace tw::data::access {

namespace {

using Bytes = std::span<const std::uint8_t>;
using Status = AceUnlock::Status;

// Where the encryption information of an ACE header page starts.
constexpr std::size_t kInfoLengthOffset = 0x299;
constexpr std::size_t kInfoOffset = 0x29B;

// Flags of a CryptoAPI encryption header.
constexpr std::uint32_t kFlagExternal = 0x10;
constexpr std::uint32_t kFlagAes = 0x20;

// CryptoAPI algorithm identifiers.
constexpr std::uint32_t kAlgRc4 = 0x6801;
constexpr std::uint32_t kAlgAes128 = 0x660E;
constexpr std::uint32_t kAlgAes192 = 0x660F;
constexpr std::uint32_t kAlgAes256 = 0x6610;
constexpr std::uint32_t kAlgSha1 = 0x8004;

// Hash rounds of CryptoAPI AES keys when the header has the AES flag; without it there are none.
constexpr std::uint32_t kAesRounds = 50000;
// The most hash rounds agile encryption allows.
constexpr std::uint32_t kMaxSpinCount = 10'000'000;
constexpr std::size_t kMaxPasswordUnits = 255;

constexpr std::string_view kPasswordEncryptor =
    "http://schemas.microsoft.com/office/2006/keyEncryptor/password";
// The blocks of the three keys agile encryption derives from the password.
constexpr std::array<std::uint8_t, 8> kVerifierInputBlock = {0xfe, 0xa7, 0xd2, 0x76,
                                                             0x3b, 0x4b, 0x9e, 0x79};
constexpr std::array<std::uint8_t, 8> kVerifierValueBlock = {0xd7, 0xaa, 0x0f, 0x6d,
                                                             0x30, 0x61, 0x34, 0x4e};
constexpr std::array<std::uint8_t, 8> kKeyValueBlock = {0x14, 0x6e, 0x0b, 0xe7,
                                                        0xab, 0xac, 0xd0, 0xd6};

// Bytes that hold a password or something derived from it: wiped when they go. The buffer never
// grows after it is made, so no copy is left behind in freed memory.
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

std::array<std::uint8_t, 4> Le32(std::uint32_t value) {
    return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

// The next code point of UTF-8 text; an invalid sequence gives U+FFFD and moves one byte on.
char32_t NextCodePoint(std::string_view text, std::size_t& at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    if (lead < 0x80) {
        ++at;
        return lead;
    }
    const std::size_t length = lead >= 0xC2 && lead < 0xE0   ? 2
                               : lead >= 0xE0 && lead < 0xF0 ? 3
                               : lead >= 0xF0 && lead < 0xF5 ? 4
                                                             : 0;
    static constexpr char32_t kSmallest[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (length != 0 && at + length <= text.size()) {
        char32_t code_point = lead & (0x7F >> length);
        std::size_t k = 1;
        for (; k < length && (static_cast<unsigned char>(text[at + k]) & 0xC0) == 0x80; ++k)
            code_point = (code_point << 6) | (static_cast<unsigned char>(text[at + k]) & 0x3F);
        if (k == length && code_point >= kSmallest[length] && code_point <= 0x10FFFF &&
            (code_point < 0xD800 || code_point > 0xDFFF)) {
            at += length;
            return code_point;
        }
    }
    ++at;
    return 0xFFFD;
}

// The password as keys are derived from it: UTF-16LE without a terminator, cut after 255 code
// units; no password is the empty string.
Secret PasswordBytes(const std::optional<std::string>& password) {
    Secret out(2 * kMaxPasswordUnits);
    std::size_t units = 0;
    auto put = [&](char32_t unit) {
        if (units == kMaxPasswordUnits)
            return;
        out.data()[2 * units] = static_cast<std::uint8_t>(unit);
        out.data()[2 * units + 1] = static_cast<std::uint8_t>(unit >> 8);
        ++units;
    };
    if (password) {
        const std::string_view text = *password;
        for (std::size_t at = 0; at < text.size() && units < kMaxPasswordUnits;) {
            const char32_t code_point = NextCodePoint(text, at);
            if (code_point >= 0x10000) {
                put(0xD800 | ((code_point - 0x10000) >> 10));
                put(0xDC00 | ((code_point - 0x10000) & 0x3FF));
            } else {
                put(code_point);
            }
        }
    }
    out.Truncate(2 * units);
    return out;
}

struct MdFree {
    void operator()(EVP_MD* md) const noexcept { EVP_MD_free(md); }
};
struct MdContextFree {
    void operator()(EVP_MD_CTX* context) const noexcept { EVP_MD_CTX_free(context); }
};
struct CipherContextFree {
    void operator()(EVP_CIPHER_CTX* context) const noexcept { EVP_CIPHER_CTX_free(context); }
};

// One hash function over concatenations of byte strings. Its context is freed (and wiped by
// OpenSSL) with it.
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

// The password stretched: H0 = H(salt ‖ password), then Hi = H(LE32(i) ‖ Hi-1) for
// i = 0 .. rounds-1. Empty when the library fails.
Secret Stretch(Hasher& hash, Bytes salt, Bytes password, std::uint32_t rounds) {
    Secret h = hash.Digest({salt, password});
    for (std::uint32_t i = 0; i < rounds && h.size() != 0; ++i) {
        const auto counter = Le32(i);
        if (!hash.Digest({counter, h.bytes()}, h.data()))
            return Secret();
    }
    return h;
}

// Decrypts `data` (whole 16-byte blocks) in place with AES under `key` (16, 24 or 32 bytes): in
// CBC mode from `iv` (16 bytes) when one is given, else in ECB mode. False when the library
// fails or the sizes are wrong.
bool AesDecrypt(Bytes key, const std::uint8_t* iv, std::span<std::uint8_t> data) {
    const EVP_CIPHER* cipher = nullptr;
    switch (key.size()) {
    case 16:
        cipher = iv ? EVP_aes_128_cbc() : EVP_aes_128_ecb();
        break;
    case 24:
        cipher = iv ? EVP_aes_192_cbc() : EVP_aes_192_ecb();
        break;
    case 32:
        cipher = iv ? EVP_aes_256_cbc() : EVP_aes_256_ecb();
        break;
    default:
        return false;
    }
    if (data.size() % 16 != 0 || data.size() > 1u << 20)
        return false;
    std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree> context(EVP_CIPHER_CTX_new());
    int length = 0;
    int tail = 0;
    // Decrypting in place is allowed: input and output are the same buffer, not overlapping.
    return context && EVP_DecryptInit_ex(context.get(), cipher, nullptr, key.data(), iv) == 1 &&
           EVP_CIPHER_CTX_set_padding(context.get(), 0) == 1 &&
           EVP_DecryptUpdate(context.get(), data.data(), &length, data.data(),
                             static_cast<int>(data.size())) == 1 &&
           EVP_DecryptFinal_ex(context.get(), data.data() + length, &tail) == 1 &&
           static_cast<std::size_t>(length) + static_cast<std::size_t>(tail) == data.size();
}

// `bytes` cut or padded with `pad` to `size` bytes.
Secret Fit(Secret bytes, std::size_t size, std::uint8_t pad) {
    if (bytes.size() >= size) {
        bytes.Truncate(size);
        return bytes;
    }
    Secret out(size);
    std::fill(out.data(), out.data() + size, pad);
    std::copy(bytes.bytes().begin(), bytes.bytes().end(), out.data());
    return out;
}

// ---------------------------------------------------------------------------------------------
// The page ciphers

class JetPageCipher final : public PageCipher {
public:
    explicit JetPageCipher(std::uint32_t db_key) : db_key_(db_key) {}

    bool Decrypt(std::uint32_t page, std::span<std::uint8_t> bytes) const override {
        // Exactly four key bytes: a longer (padded) key gives another key stream.
        Rc4ApplyKey32(db_key_ ^ page, bytes);
        return true;
    }

private:
    std::uint32_t db_key_;
};

// CryptoAPI RC4: the key of a block is SHA-1(H0 ‖ block), cut to the key size; a 40-bit key
// is followed by 11 zero bytes, as CryptoAPI's RC4 takes it.
class Rc4CryptoApiCipher final : public PageCipher {
public:
    Rc4CryptoApiCipher(Secret h0, std::size_t key_bytes, std::uint32_t db_key)
        : h0_(std::move(h0)), key_bytes_(key_bytes), db_key_(db_key) {}

    Secret Key(std::array<std::uint8_t, 4> block) const {
        Hasher sha1("SHA1");
        Secret key = sha1.Digest({h0_.bytes(), block});
        if (key.size() == 0)
            return key;
        key.Truncate(key_bytes_);
        return key_bytes_ == 5 ? Fit(std::move(key), 16, 0) : std::move(key);
    }

    bool Decrypt(std::uint32_t page, std::span<std::uint8_t> bytes) const override {
        const Secret key = Key(Le32(db_key_ ^ page));
        if (key.size() == 0)
            return false;
        Rc4Apply(key.bytes(), bytes);
        return true;
    }

private:
    Secret h0_;
    std::size_t key_bytes_;
    std::uint32_t db_key_;
};

// CryptoAPI AES: Hf = SHA-1(Hn ‖ block); the key is the first bytes of
// SHA-1(Hf xor 64 × 0x36) ‖ SHA-1(Hf xor 64 × 0x5C) (CryptDeriveKey's rule, followed even
// when SHA-1 alone would be long enough). Every page is decrypted in ECB mode.
class AesCryptoApiCipher final : public PageCipher {
public:
    AesCryptoApiCipher(Secret hn, std::size_t key_bytes, std::uint32_t db_key)
        : hn_(std::move(hn)), key_bytes_(key_bytes), db_key_(db_key) {}

    Secret Key(std::array<std::uint8_t, 4> block) const {
        Hasher sha1("SHA1");
        const Secret hf = sha1.Digest({hn_.bytes(), block});
        if (hf.size() == 0)
            return Secret();
        Secret key(2 * sha1.Size());
        Secret pad(64);
        for (int half = 0; half < 2; ++half) {
            std::fill(pad.data(), pad.data() + pad.size(), half == 0 ? 0x36 : 0x5C);
            for (std::size_t i = 0; i < hf.size(); ++i)
                pad.data()[i] ^= hf.bytes()[i];
            if (!sha1.Digest({pad.bytes()}, key.data() + half * sha1.Size()))
                return Secret();
        }
        key.Truncate(key_bytes_);
        return key;
    }

    bool Decrypt(std::uint32_t page, std::span<std::uint8_t> bytes) const override {
        const Secret key = Key(Le32(db_key_ ^ page));
        return key.size() != 0 && AesDecrypt(key.bytes(), nullptr, bytes);
    }

private:
    Secret hn_;
    std::size_t key_bytes_;
    std::uint32_t db_key_;
};

// Agile encryption: one key for every page, each page its own CBC chain from the IV
// H(keyData salt ‖ block), cut or padded with 0x36 to the block size.
class AgileCipher final : public PageCipher {
public:
    AgileCipher(Secret key, std::vector<std::uint8_t> salt, const char* hash, std::uint32_t db_key)
        : key_(std::move(key)), salt_(std::move(salt)), hash_(hash), db_key_(db_key) {}

    bool Decrypt(std::uint32_t page, std::span<std::uint8_t> bytes) const override {
        Hasher hash(hash_);
        Secret iv = hash.Digest({salt_, Le32(db_key_ ^ page)});
        if (iv.size() == 0)
            return false;
        iv = Fit(std::move(iv), 16, 0x36);
        return AesDecrypt(key_.bytes(), iv.data(), bytes);
    }

private:
    Secret key_;
    std::vector<std::uint8_t> salt_;
    const char* hash_;
    std::uint32_t db_key_;
};

// ---------------------------------------------------------------------------------------------
// Reading the encryption information

AceUnlock Outcome(Status status, std::string detail = {}) {
    AceUnlock result;
    result.status = status;
    result.detail = std::move(detail);
    return result;
}

AceUnlock Unlocked(std::unique_ptr<PageCipher> cipher) {
    AceUnlock result;
    result.status = Status::Unlocked;
    result.cipher = std::move(cipher);
    return result;
}

std::string Hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X", value);
    return text;
}

std::string Version(int major, int minor) {
    return std::to_string(major) + "." + std::to_string(minor);
}

// A name read from the file, fit for a message: printable ASCII, at most 40 characters.
std::string Printable(std::string_view text) {
    std::string out;
    for (const char c : text.substr(0, 40))
        out.push_back(c >= 0x20 && c < 0x7F ? c : '?');
    return out;
}

// The ASCII letters of a UTF-16LE CSP name (up to its terminator); other units become '?'.
std::string ProviderName(Bytes units) {
    std::string name;
    for (std::size_t i = 0; i + 1 < units.size(); i += 2) {
        const std::uint16_t unit = ReadU16(units.data() + i);
        if (unit == 0)
            break;
        name.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
    }
    return name;
}

AceUnlock UnlockCryptoApi(Bytes info, std::uint32_t db_key,
                          const std::optional<std::string>& password) {
    // After the version: a copy of the header's flags, the header's size, the header, then the
    // verifier.
    if (info.size() < 12)
        return Outcome(Status::Damaged, "CryptoAPI 加密头不完整");
    const std::uint32_t header_size = ReadU32(info.data() + 8);
    if (header_size < 32 || header_size > info.size() - 12)
        return Outcome(Status::Damaged,
                       "CryptoAPI 加密头的大小 " + std::to_string(header_size) + " 无效");
    const std::uint8_t* header = info.data() + 12;
    const std::uint32_t flags = ReadU32(header);
    std::uint32_t algorithm = ReadU32(header + 8);
    const std::uint32_t hash_algorithm = ReadU32(header + 12);
    std::uint32_t key_bits = ReadU32(header + 16);
    if (flags & kFlagExternal)
        return Outcome(Status::Unsupported, "由外部加密提供程序完成的 CryptoAPI 加密");
    if (algorithm == 0)
        algorithm = (flags & kFlagAes) ? kAlgAes128 : kAlgRc4;
    if (hash_algorithm != 0 && hash_algorithm != kAlgSha1)
        return Outcome(Status::Unsupported, "CryptoAPI 加密，哈希算法 " + Hex(hash_algorithm));

    const bool aes = algorithm != kAlgRc4;
    if (aes) {
        const std::uint32_t aes_bits = algorithm == kAlgAes128   ? 128
                                       : algorithm == kAlgAes192 ? 192
                                       : algorithm == kAlgAes256 ? 256
                                                                 : 0;
        if (aes_bits == 0)
            return Outcome(Status::Unsupported, "CryptoAPI 加密，加密算法 " + Hex(algorithm));
        if (key_bits == 0)
            key_bits = aes_bits;
        if (key_bits != aes_bits)
            return Outcome(Status::Damaged, "AES 密钥长度 " + std::to_string(key_bits) + " 位无效");
    } else {
        // Without a size, the provider decides: 40 bits for the base provider, else 128.
        if (key_bits == 0) {
            const std::string provider = ProviderName(Bytes(header + 32, header_size - 32));
            key_bits = provider.empty() || provider.find(" Base ") != std::string::npos ? 40 : 128;
        }
        if (key_bits < 40 || key_bits > 128 || key_bits % 8 != 0)
            return Outcome(Status::Damaged, "RC4 密钥长度 " + std::to_string(key_bits) + " 位无效");
    }

    // The verifier: salt size, salt, encrypted verifier, verifier hash size, encrypted hash
    // (20 bytes for RC4, two AES blocks for AES).
    const std::size_t hash_bytes = aes ? 32 : 20;
    const std::size_t verifier_at = 12 + header_size;
    if (info.size() - verifier_at < 4 + 16 + 16 + 4 + hash_bytes)
        return Outcome(Status::Damaged, "CryptoAPI 校验数据不完整");
    const std::uint8_t* verifier = info.data() + verifier_at;
    if (ReadU32(verifier) != 16)
        return Outcome(Status::Damaged, "CryptoAPI 盐的长度无效");
    if (ReadU32(verifier + 36) != 20)
        return Outcome(Status::Damaged, "CryptoAPI 校验哈希的长度无效");
    const Bytes salt(verifier + 4, 16);
    Secret check(16 + hash_bytes);
    std::copy_n(verifier + 20, 16, check.data());
    std::copy_n(verifier + 40, hash_bytes, check.data() + 16);
    const std::array<std::uint8_t, 4> block0 = {0, 0, 0, 0};

    const Secret password_bytes = PasswordBytes(password);
    Hasher sha1("SHA1");
    if (!aes) {
        Secret h0 = sha1.Digest({salt, password_bytes.bytes()});
        if (h0.size() == 0)
            return Outcome(Status::Failed, "SHA-1");
        auto cipher = std::make_unique<Rc4CryptoApiCipher>(std::move(h0), key_bits / 8, db_key);
        const Secret key = cipher->Key(block0);
        if (key.size() == 0)
            return Outcome(Status::Failed, "SHA-1");
        // One key stream over the verifier and on over its hash.
        Rc4Apply(key.bytes(), std::span<std::uint8_t>(check.data(), check.size()));
        const Secret digest = sha1.Digest({check.first(16)});
        if (digest.size() == 0)
            return Outcome(Status::Failed, "SHA-1");
        if (CRYPTO_memcmp(digest.bytes().data(), check.bytes().data() + 16, 20) != 0)
            return Outcome(Status::WrongPassword);
        return Unlocked(std::move(cipher));
    }

    // The AES flag should say whether the password was hashed 50000 more times, but files
    // exist that were encrypted without those rounds and without the flag; should the verifier
    // not match, the other count is tried before the password is called wrong.
    const std::uint32_t first_rounds = (flags & kFlagAes) ? kAesRounds : 0;
    for (const std::uint32_t rounds : {first_rounds, kAesRounds - first_rounds}) {
        Secret hn = Stretch(sha1, salt, password_bytes.bytes(), rounds);
        if (hn.size() == 0)
            return Outcome(Status::Failed, "SHA-1");
        auto cipher = std::make_unique<AesCryptoApiCipher>(std::move(hn), key_bits / 8, db_key);
        const Secret key = cipher->Key(block0);
        Secret plain(check.bytes());
        if (key.size() == 0 ||
            !AesDecrypt(key.bytes(), nullptr, std::span<std::uint8_t>(plain.data(), plain.size())))
            return Outcome(Status::Failed, "AES");
        const Secret digest = sha1.Digest({plain.first(16)});
        if (digest.size() == 0)
            return Outcome(Status::Failed, "SHA-1");
        if (CRYPTO_memcmp(digest.bytes().data(), plain.bytes().data() + 16, 20) == 0)
            return Unlocked(std::move(cipher));
    }
    return Outcome(Status::WrongPassword);
}

// --- Agile encryption: the XML descriptor ---

using Attributes = std::vector<std::pair<std::string_view, std::string_view>>;

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The attributes of the tag whose name ends before `at`, up to its '>' or "/>"; nullopt when
// the tag is malformed. Values are taken as written: the ones read here (numbers, names,
// base64) hold no entities.
std::optional<Attributes> ReadAttributes(std::string_view xml, std::size_t at) {
    Attributes attributes;
    for (;;) {
        while (at < xml.size() && IsSpace(xml[at]))
            ++at;
        if (at >= xml.size())
            return std::nullopt;
        if (xml[at] == '>' || xml.substr(at, 2) == "/>")
            return attributes;
        const std::size_t name_end = xml.find_first_of("= \t\r\n<>/\"'", at);
        if (name_end == at || name_end == std::string_view::npos)
            return std::nullopt;
        const std::string_view name = xml.substr(at, name_end - at);
        at = name_end;
        while (at < xml.size() && IsSpace(xml[at]))
            ++at;
        if (at >= xml.size() || xml[at] != '=')
            return std::nullopt;
        ++at;
        while (at < xml.size() && IsSpace(xml[at]))
            ++at;
        if (at >= xml.size() || (xml[at] != '"' && xml[at] != '\''))
            return std::nullopt;
        const std::size_t close = xml.find(xml[at], at + 1);
        if (close == std::string_view::npos)
            return std::nullopt;
        attributes.emplace_back(name, xml.substr(at + 1, close - at - 1));
        at = close + 1;
    }
}

std::optional<std::string_view> Attribute(const Attributes& attributes, std::string_view name) {
    for (const auto& [key, value] : attributes) {
        if (key == name)
            return value;
    }
    return std::nullopt;
}

std::optional<std::uint32_t> Number(std::optional<std::string_view> text) {
    std::uint32_t value = 0;
    if (!text || text->empty())
        return std::nullopt;
    const auto [end, error] = std::from_chars(text->data(), text->data() + text->size(), value);
    if (error != std::errc() || end != text->data() + text->size())
        return std::nullopt;
    return value;
}

// Decodes base64 (whitespace ignored); nullopt for anything else.
std::optional<std::vector<std::uint8_t>> Base64(std::optional<std::string_view> text) {
    if (!text)
        return std::nullopt;
    std::vector<std::uint8_t> out;
    std::uint32_t bits = 0;
    int count = 0;
    int padding = 0;
    for (const char c : *text) {
        if (IsSpace(c))
            continue;
        int value = -1;
        if (c >= 'A' && c <= 'Z')
            value = c - 'A';
        else if (c >= 'a' && c <= 'z')
            value = c - 'a' + 26;
        else if (c >= '0' && c <= '9')
            value = c - '0' + 52;
        else if (c == '+')
            value = 62;
        else if (c == '/')
            value = 63;
        else if (c == '=')
            value = 0;
        if (value < 0 || (padding > 0 && c != '='))
            return std::nullopt;
        if (c == '=')
            ++padding;
        bits = (bits << 6) | static_cast<std::uint32_t>(value);
        if (++count == 4) {
            const std::uint8_t group[3] = {static_cast<std::uint8_t>(bits >> 16),
                                           static_cast<std::uint8_t>(bits >> 8),
                                           static_cast<std::uint8_t>(bits)};
            if (padding > 2)
                return std::nullopt;
            out.insert(out.end(), group, group + 3 - padding);
            bits = 0;
            count = 0;
        }
    }
    if (count != 0)
        return std::nullopt;
    return out;
}

// OpenSSL's name of a hash algorithm as the descriptor names it; null for others.
const char* HashNamed(std::string_view name) {
    if (name == "SHA1" || name == "SHA-1")
        return "SHA1";
    if (name == "SHA256" || name == "SHA-256")
        return "SHA256";
    if (name == "SHA384" || name == "SHA-384")
        return "SHA384";
    if (name == "SHA512" || name == "SHA-512")
        return "SHA512";
    return nullptr;
}

// The size of the hashes of `hash`.
std::size_t HashSize(const char* hash) {
    return Hasher(hash).Size();
}

// What a keyData or encryptedKey element says about its cipher and hash.
struct AgileParameters {
    const char* hash = nullptr;
    std::size_t key_bytes = 0;
    std::size_t salt_size = 0;
    std::vector<std::uint8_t> salt;
};

// Reads the cipher and hash parameters of an element; an outcome when they cannot be used.
std::optional<AceUnlock> ReadParameters(const Attributes& element, AgileParameters& out) {
    const auto cipher = Attribute(element, "cipherAlgorithm");
    const auto chaining = Attribute(element, "cipherChaining");
    const auto hash = Attribute(element, "hashAlgorithm");
    if (!cipher || !chaining || !hash)
        return Outcome(Status::Damaged, "敏捷加密的描述缺少算法");
    if (*cipher != "AES")
        return Outcome(Status::Unsupported, "敏捷加密，加密算法 " + Printable(*cipher));
    if (*chaining != "ChainingModeCBC")
        return Outcome(Status::Unsupported, "敏捷加密，分组链接方式 " + Printable(*chaining));
    out.hash = HashNamed(*hash);
    if (!out.hash)
        return Outcome(Status::Unsupported, "敏捷加密，哈希算法 " + Printable(*hash));
    const auto hash_size = Number(Attribute(element, "hashSize"));
    const auto block_size = Number(Attribute(element, "blockSize"));
    const auto key_bits = Number(Attribute(element, "keyBits"));
    const auto salt_size = Number(Attribute(element, "saltSize"));
    auto salt = Base64(Attribute(element, "saltValue"));
    if (!hash_size || *hash_size != HashSize(out.hash) || !block_size || *block_size != 16 ||
        !key_bits || (*key_bits != 128 && *key_bits != 192 && *key_bits != 256) || !salt_size ||
        !salt || salt->empty() || salt->size() != *salt_size)
        return Outcome(Status::Damaged, "敏捷加密的参数无效");
    out.key_bytes = *key_bits / 8;
    out.salt_size = *salt_size;
    out.salt = std::move(*salt);
    return std::nullopt;
}

// Decodes an encrypted blob of the password's key encryptor and decrypts it with the key of
// `block`; empty when it cannot be read.
std::optional<Secret> DecryptBlob(Hasher& hash, const Secret& hn, const AgileParameters& key,
                                  std::array<std::uint8_t, 8> block,
                                  const std::vector<std::uint8_t>& blob) {
    Secret block_key = hash.Digest({hn.bytes(), block});
    if (block_key.size() == 0)
        return std::nullopt;
    block_key = Fit(std::move(block_key), key.key_bytes, 0x36);
    Secret plain(blob);
    if (!AesDecrypt(block_key.bytes(), key.salt.data(),
                    std::span<std::uint8_t>(plain.data(), plain.size())))
        return std::nullopt;
    return plain;
}

AceUnlock UnlockAgile(Bytes info, std::uint32_t db_key,
                      const std::optional<std::string>& password) {
    if (info.size() < 8 || ReadU32(info.data() + 4) != 0x40)
        return Outcome(Status::Damaged, "敏捷加密的描述头无效");
    const std::string_view xml(reinterpret_cast<const char*>(info.data() + 8), info.size() - 8);

    // The keyData element, and the encryptedKey of the password's key encryptor.
    std::optional<Attributes> key_data;
    std::optional<Attributes> encrypted_key;
    bool in_password_encryptor = false;
    bool other_encryptor = false;
    for (std::size_t at = xml.find('<'); at != std::string_view::npos; at = xml.find('<', at + 1)) {
        const bool closing = xml.substr(at + 1, 1) == "/";
        const std::size_t name_start = at + 1 + (closing ? 1 : 0);
        if (name_start >= xml.size())
            break;
        const std::size_t name_end =
            std::min(xml.find_first_of(" \t\r\n/>", name_start), xml.size());
        std::string_view name = xml.substr(name_start, name_end - name_start);
        if (const std::size_t colon = name.find(':'); colon != std::string_view::npos)
            name.remove_prefix(colon + 1);
        if (closing) {
            if (name == "keyEncryptor")
                in_password_encryptor = false;
            continue;
        }
        if (name == "keyData" && !key_data) {
            key_data = ReadAttributes(xml, name_end);
            if (!key_data)
                return Outcome(Status::Damaged, "敏捷加密的描述无法读取");
        } else if (name == "keyEncryptor") {
            const auto attributes = ReadAttributes(xml, name_end);
            if (!attributes)
                return Outcome(Status::Damaged, "敏捷加密的描述无法读取");
            in_password_encryptor = Attribute(*attributes, "uri") == kPasswordEncryptor;
            other_encryptor = other_encryptor || !in_password_encryptor;
        } else if (name == "encryptedKey" && in_password_encryptor && !encrypted_key) {
            encrypted_key = ReadAttributes(xml, name_end);
            if (!encrypted_key)
                return Outcome(Status::Damaged, "敏捷加密的描述无法读取");
        }
    }
    if (!key_data)
        return Outcome(Status::Damaged, "敏捷加密的描述中没有数据密钥参数");
    if (!encrypted_key) {
        if (other_encryptor)
            return Outcome(Status::Unsupported, "只能用证书解密的敏捷加密");
        return Outcome(Status::Damaged, "敏捷加密的描述中没有用于解密的密钥");
    }

    AgileParameters data;
    AgileParameters key;
    if (auto problem = ReadParameters(*key_data, data))
        return std::move(*problem);
    if (auto problem = ReadParameters(*encrypted_key, key))
        return std::move(*problem);
    const auto spin_count = Number(Attribute(*encrypted_key, "spinCount"));
    const auto verifier_input = Base64(Attribute(*encrypted_key, "encryptedVerifierHashInput"));
    const auto verifier_value = Base64(Attribute(*encrypted_key, "encryptedVerifierHashValue"));
    const auto key_value = Base64(Attribute(*encrypted_key, "encryptedKeyValue"));
    const std::size_t key_hash_size = HashSize(key.hash);
    // The key encryptor's salt is the IV of its three blobs, so it is one block long.
    if (!spin_count || *spin_count > kMaxSpinCount || key.salt.size() != 16 || !verifier_input ||
        verifier_input->size() % 16 != 0 || verifier_input->size() < key.salt_size ||
        !verifier_value || verifier_value->size() % 16 != 0 ||
        verifier_value->size() < key_hash_size || !key_value || key_value->size() % 16 != 0 ||
        key_value->size() < data.key_bytes)
        return Outcome(Status::Damaged, "敏捷加密的密钥参数无效");

    Hasher hash(key.hash);
    Secret hn;
    {
        const Secret password_bytes = PasswordBytes(password);
        hn = Stretch(hash, key.salt, password_bytes.bytes(), *spin_count);
    }
    if (hn.size() == 0)
        return Outcome(Status::Failed, "哈希");
    auto input = DecryptBlob(hash, hn, key, kVerifierInputBlock, *verifier_input);
    auto value = DecryptBlob(hash, hn, key, kVerifierValueBlock, *verifier_value);
    auto intermediate = DecryptBlob(hash, hn, key, kKeyValueBlock, *key_value);
    if (!input || !value || !intermediate)
        return Outcome(Status::Failed, "AES");
    const Secret digest = hash.Digest({input->first(key.salt_size)});
    if (digest.size() == 0)
        return Outcome(Status::Failed, "哈希");
    if (CRYPTO_memcmp(digest.bytes().data(), value->bytes().data(), key_hash_size) != 0)
        return Outcome(Status::WrongPassword);
    intermediate->Truncate(data.key_bytes);
    return Unlocked(std::make_unique<AgileCipher>(std::move(*intermediate), std::move(data.salt),
                                                  data.hash, db_key));
}

} // namespace

std::unique_ptr<PageCipher> MakeJetPageCipher(std::uint32_t db_key) {
    return std::make_unique<JetPageCipher>(db_key);
}

AceUnlock UnlockAce(std::span<const std::uint8_t> page0, std::uint32_t db_key,
                    const std::optional<std::string>& password) {
    if (page0.size() < kInfoOffset + 4)
        return Outcome(Status::Damaged, "没有加密信息");
    const std::size_t length = ReadU16(page0.data() + kInfoLengthOffset);
    if (length < 8 || kInfoOffset + length > page0.size())
        return Outcome(Status::Damaged, "加密信息的长度 " + std::to_string(length) + " 无效");
    const Bytes info = page0.subspan(kInfoOffset, length);
    const int major = ReadU16(info.data());
    const int minor = ReadU16(info.data() + 2);
    if (minor == 2 && major >= 2 && major <= 4)
        return UnlockCryptoApi(info, db_key, password);
    if (major == 4 && minor == 4)
        return UnlockAgile(info, db_key, password);
    if (major == 1 && minor == 1)
        return Outcome(Status::Unsupported, "Office 二进制 RC4 加密，版本 1.1");
    if (minor == 3 && (major == 3 || major == 4))
        return Outcome(Status::Unsupported,
                       "可扩展加密，版本 " + Version(major, minor) + "，需要第三方加密提供程序");
    return Outcome(Status::Unsupported, "版本 " + Version(major, minor) + " 的加密");
}

} // namespace tw::data::access
