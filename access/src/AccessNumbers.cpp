#include "AccessNumbers.h"

#include "AccessBytes.h"

#include <algorithm>
#include <charconv>
#include <string_view>

namespace tw::data::access {

namespace {

// Appends the decimal digits of an integer as a number with exactly `scale` of them after the
// point (a '-' only when negative and not zero).
void AppendScaledDigits(std::string& out, bool negative, std::string_view digits, int scale) {
    const bool zero = digits.find_first_not_of('0') == std::string_view::npos;
    if (negative && !zero)
        out.push_back('-');
    if (scale <= 0) {
        out.append(digits);
        return;
    }
    const std::size_t need = static_cast<std::size_t>(scale) + 1;
    if (digits.size() < need) {
        out.push_back('0');
        out.push_back('.');
        out.append(need - 1 - digits.size(), '0');
        out.append(digits);
        return;
    }
    const std::size_t int_digits = digits.size() - static_cast<std::size_t>(scale);
    out.append(digits.substr(0, int_digits));
    out.push_back('.');
    out.append(digits.substr(int_digits));
}

void AppendScaledU64(std::string& out, bool negative, std::uint64_t magnitude, int scale) {
    char buffer[24];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, magnitude);
    AppendScaledDigits(out, negative, std::string_view(buffer, result.ptr - buffer), scale);
}

} // namespace

void AppendScaledDecimal(std::string& out, bool negative, std::span<const std::uint32_t> words,
                         int scale) {
    std::size_t first = 0;
    while (first < words.size() && words[first] == 0)
        ++first;
    const std::size_t count = words.size() - first;
    if (count <= 2) {
        std::uint64_t value = 0;
        for (std::size_t i = first; i < words.size(); ++i)
            value = (value << 32) | words[i];
        AppendScaledU64(out, negative, value, scale);
        return;
    }
    // Repeated division by 10^9 yields base-10^9 limbs, least significant first.
    std::vector<std::uint32_t> work(words.begin() + static_cast<std::ptrdiff_t>(first),
                                    words.end());
    std::size_t length = count;
    std::vector<std::uint32_t> limbs;
    while (length > 0) {
        std::uint64_t remainder = 0;
        for (std::size_t i = 0; i < length; ++i) {
            const std::uint64_t current = (remainder << 32) | work[i];
            work[i] = static_cast<std::uint32_t>(current / 1000000000u);
            remainder = current % 1000000000u;
        }
        limbs.push_back(static_cast<std::uint32_t>(remainder));
        std::size_t skip = 0;
        while (skip < length && work[skip] == 0)
            ++skip;
        std::copy(work.begin() + static_cast<std::ptrdiff_t>(skip),
                  work.begin() + static_cast<std::ptrdiff_t>(length), work.begin());
        length -= skip;
    }
    const std::size_t limb_count = limbs.size();
    std::string digits;
    digits.reserve(limb_count * 9);
    char buffer[16];
    for (std::size_t i = limb_count; i-- > 0;) {
        auto result = std::to_chars(buffer, buffer + sizeof buffer, limbs[i]);
        const std::size_t n = static_cast<std::size_t>(result.ptr - buffer);
        if (i + 1 != limb_count)
            digits.append(9 - n, '0');
        digits.append(buffer, n);
    }
    AppendScaledDigits(out, negative, digits, scale);
}

void AppendCurrency(std::string& out, std::int64_t units) {
    const bool negative = units < 0;
    const std::uint64_t magnitude =
        negative ? 0 - static_cast<std::uint64_t>(units) : static_cast<std::uint64_t>(units);
    AppendScaledU64(out, negative, magnitude, 4);
}

void AppendJetDecimal(std::string& out, const std::uint8_t* data17, int scale) {
    const std::uint32_t words[4] = {ReadU32(data17 + 1), ReadU32(data17 + 5), ReadU32(data17 + 9),
                                    ReadU32(data17 + 13)};
    AppendScaledDecimal(out, data17[0] != 0, words, scale);
}

std::optional<CalcDecimal> ReadCalcDecimal(const std::uint8_t* data, std::size_t size) {
    if (size < 4)
        return std::nullopt;
    const auto total = static_cast<std::int16_t>(ReadU16(data));
    int byte_length = (total > 0 ? total : static_cast<int>(size) - 2) - 2;
    byte_length = std::min((byte_length / 4) * 4, 16);
    if (byte_length < 0 || static_cast<std::size_t>(byte_length) + 4 > size)
        return std::nullopt;
    CalcDecimal value;
    value.scale = data[2];
    value.negative = data[3] != 0;
    if (value.scale > 38)
        return std::nullopt;
    // The magnitude is big-endian with its leading 4-byte group and each following 8-byte group
    // byte-reversed; reversing them again restores it.
    std::uint8_t bytes[16];
    std::memcpy(bytes, data + 4, static_cast<std::size_t>(byte_length));
    int pos = 0;
    if (byte_length % 8 != 0) {
        std::reverse(bytes, bytes + 4);
        pos = 4;
    }
    for (; pos + 8 <= byte_length; pos += 8)
        std::reverse(bytes + pos, bytes + pos + 8);
    for (int i = 0; i < byte_length; i += 4)
        value.words.push_back(static_cast<std::uint32_t>(bytes[i]) << 24 |
                              static_cast<std::uint32_t>(bytes[i + 1]) << 16 |
                              static_cast<std::uint32_t>(bytes[i + 2]) << 8 | bytes[i + 3]);
    return value;
}

void AppendGuid(std::string& out, const std::uint8_t* d) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    static constexpr int kOrder[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    out.push_back('{');
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            out.push_back('-');
        const std::uint8_t b = d[kOrder[i]];
        out.push_back(kHex[b >> 4]);
        out.push_back(kHex[b & 0x0F]);
    }
    out.push_back('}');
}

} // namespace tw::data::access
