#include "CryptoApi.h"

#include "AccessBytes.h"

#include <algorithm>

namespace tw::data::access::crypto {

namespace {

// Flags of a CryptoAPI encryption header (kFlagAes in CryptoApi.h).
constexpr std::uint32_t kFlagExternal = 0x10;

// CryptoAPI algorithm identifiers.
constexpr std::uint32_t kAlgRc4 = 0x6801;
constexpr std::uint32_t kAlgAes128 = 0x660E;
constexpr std::uint32_t kAlgAes192 = 0x660F;
constexpr std::uint32_t kAlgAes256 = 0x6610;
constexpr std::uint32_t kAlgSha1 = 0x8004;

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

} // namespace

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
    CryptoApiVerifier checked{flags, key_bits / 8, salt, std::move(check), db_key};
    const Secret password_bytes = PasswordBytes(password);
    if (!aes)
        return UnlockCryptoApiRc4(std::move(checked), password_bytes.bytes());
    return UnlockCryptoApiAes(checked, password_bytes.bytes());
}

} // namespace tw::data::access::crypto
