#include "AccessHeader.h"

#include "AccessBytes.h"
#include "AccessText.h"

#include <array>
#include <cmath>
#include <openssl/crypto.h>

namespace tw::data::access {

namespace {

// The fixed RC4 key that masks the header page from offset 0x18.
constexpr std::array<std::uint8_t, 4> kHeaderKey = {0xC7, 0xDA, 0x39, 0x6B};
constexpr std::size_t kHeaderMaskStart = 0x18;
constexpr std::size_t kPasswordOffset = 0x42;
constexpr std::size_t kCreationDateOffset = 0x72;

// Java-style saturating double-to-int conversion (the password mask is built this way).
std::int32_t SaturatingInt32(double value) {
    if (std::isnan(value))
        return 0;
    if (value >= 2147483647.0)
        return 2147483647;
    if (value <= -2147483648.0)
        return -2147483647 - 1;
    return static_cast<std::int32_t>(value);
}

} // namespace

void Rc4Apply(std::span<const std::uint8_t> key, std::span<std::uint8_t> data) {
    if (key.empty())
        return;
    // A state of words rather than bytes runs the loop over a whole page about a quarter faster.
    std::array<std::uint32_t, 256> state;
    for (std::uint32_t i = 0; i < 256; ++i)
        state[i] = i;
    std::uint32_t j = 0;
    for (std::size_t i = 0; i < 256; ++i) {
        j = (j + state[i] + key[i % key.size()]) & 0xFF;
        std::swap(state[i], state[j]);
    }
    std::uint32_t x = 0;
    std::uint32_t y = 0;
    for (auto& byte : data) {
        x = (x + 1) & 0xFF;
        const std::uint32_t sx = state[x];
        y = (y + sx) & 0xFF;
        const std::uint32_t sy = state[y];
        state[x] = sy;
        state[y] = sx;
        byte ^= static_cast<std::uint8_t>(state[(sx + sy) & 0xFF]);
    }
    // The state is as secret as the key it was made from.
    OPENSSL_cleanse(state.data(), sizeof state);
}

bool HasAccessSignature(std::span<const std::uint8_t> head) {
    static constexpr std::uint8_t kMagic[4] = {0x00, 0x01, 0x00, 0x00};
    if (head.size() < 4 + 15 || std::memcmp(head.data(), kMagic, 4) != 0)
        return false;
    const std::string_view format(reinterpret_cast<const char*>(head.data() + 4), 15);
    return format == "Standard Jet DB" || format == "Standard ACE DB";
}

void Rc4ApplyKey32(std::uint32_t key, std::span<std::uint8_t> data) {
    const std::uint8_t key_bytes[4] = {
        static_cast<std::uint8_t>(key), static_cast<std::uint8_t>(key >> 8),
        static_cast<std::uint8_t>(key >> 16), static_cast<std::uint8_t>(key >> 24)};
    Rc4Apply(key_bytes, data);
}

std::optional<HeaderInfo> ParseHeader(std::span<const std::uint8_t> page0) {
    if (page0.size() < kHeaderMaskStart + 128 || !HasAccessSignature(page0))
        return std::nullopt;
    HeaderInfo info;
    info.is_ace = page0[4 + 9] == 'A'; // "Standard ACE DB"

    info.version = page0[0x14];
    info.page_size = info.version == 0 ? 2048 : 4096;
    const bool jet3 = info.version == 0;

    std::array<std::uint8_t, 128> clear{};
    const std::size_t masked = jet3 ? 126 : 128;
    std::memcpy(clear.data(), page0.data() + kHeaderMaskStart, masked);
    Rc4Apply(kHeaderKey, std::span<std::uint8_t>(clear.data(), masked));
    auto at = [&](std::size_t offset) { return clear.data() + (offset - kHeaderMaskStart); };

    info.code_page = ReadU16(at(0x3C));
    if (info.code_page == 0)
        info.code_page = 1252;
    info.db_key = ReadU32(at(0x3E));

    // ACE files protect a password by real encryption, not by this field.
    if (info.is_ace || info.version >= 2)
        return info;

    if (jet3) {
        std::size_t length = 0;
        while (length < 20 && at(kPasswordOffset)[length] != 0)
            ++length;
        if (length > 0) {
            CodePageDecoder decoder(info.code_page);
            decoder.Append(info.password, at(kPasswordOffset), length);
        }
        return info;
    }

    // Jet4: every byte is further masked with the creation date truncated to an int32.
    std::uint8_t bytes[40];
    const std::int32_t date_mask = SaturatingInt32(ReadDouble(at(kCreationDateOffset)));
    std::uint8_t mask[4];
    const std::uint32_t mask_bits = static_cast<std::uint32_t>(date_mask);
    for (int i = 0; i < 4; ++i)
        mask[i] = static_cast<std::uint8_t>(mask_bits >> (8 * i));
    for (std::size_t i = 0; i < 40; ++i)
        bytes[i] = at(kPasswordOffset)[i] ^ mask[i % 4];
    std::size_t units = 0;
    while (units < 20 && ReadU16(bytes + 2 * units) != 0)
        ++units;
    AppendUtf16Le(info.password, bytes, 2 * units);
    return info;
}

bool PasswordAccepted(const HeaderInfo& header, const std::optional<std::string>& given) {
    if (header.password.empty())
        return true;
    return given.has_value() && *given == header.password;
}

} // namespace tw::data::access
