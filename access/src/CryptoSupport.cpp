#include "CryptoSupport.h"

#include "tablewright/model/Text.h"

#include <algorithm>
#include <cstdio>

namespace tw::data::access::crypto {

namespace {

constexpr std::size_t kMaxPasswordUnits = 255;

} // namespace

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
            const char32_t code_point = data::NextCodePoint(text, at);
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

Secret Stretch(Hasher& hash, Bytes salt, Bytes password, std::uint32_t rounds) {
    Secret h = hash.Digest({salt, password});
    for (std::uint32_t i = 0; i < rounds && h.size() != 0; ++i) {
        const auto counter = Le32(i);
        if (!hash.Digest({counter, h.bytes()}, h.data()))
            return Secret();
    }
    return h;
}

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

AceUnlock Outcome(Status status, std::string detail) {
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

std::string Printable(std::string_view text) {
    std::string out;
    for (const char c : text.substr(0, 40))
        out.push_back(c >= 0x20 && c < 0x7F ? c : '?');
    return out;
}

} // namespace tw::data::access::crypto
