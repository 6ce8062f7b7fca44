#include "AccessFormat.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <iconv.h>
#include <memory>
#include <mutex>
#include <openssl/crypto.h>

namespace tw::data::access {

namespace {

// The fixed RC4 key that masks the header page from offset 0x18.
constexpr std::array<std::uint8_t, 4> kHeaderKey = {0xC7, 0xDA, 0x39, 0x6B};
constexpr std::size_t kHeaderMaskStart = 0x18;
constexpr std::size_t kPasswordOffset = 0x42;
constexpr std::size_t kCreationDateOffset = 0x72;

iconv_t AsIconv(void* handle) {
    return static_cast<iconv_t>(handle);
}

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

namespace {

// Character sets named by the user, by their number above 65535 (see CodePageForCharset).
constexpr int kNamedCharsetBase = 0x10000;
std::mutex named_charsets_mutex;
std::vector<std::string> named_charsets;

} // namespace

std::optional<int> CodePageForCharset(const std::string& name) {
    iconv_t cd = iconv_open("UTF-8", name.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1))
        return std::nullopt;
    iconv_close(cd);
    std::string upper = name;
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (upper.size() > 2 && upper.size() <= 7 && upper.starts_with("CP") &&
        upper.find_first_not_of("0123456789", 2) == std::string::npos)
        return std::stoi(upper.substr(2));
    const std::lock_guard lock(named_charsets_mutex);
    for (std::size_t i = 0; i < named_charsets.size(); ++i)
        if (named_charsets[i] == name)
            return kNamedCharsetBase + static_cast<int>(i);
    named_charsets.push_back(name);
    return kNamedCharsetBase + static_cast<int>(named_charsets.size() - 1);
}

std::string CharsetName(int code_page) {
    if (code_page >= kNamedCharsetBase) {
        const std::lock_guard lock(named_charsets_mutex);
        const auto at = static_cast<std::size_t>(code_page - kNamedCharsetBase);
        if (at < named_charsets.size())
            return named_charsets[at];
    }
    return "CP" + std::to_string(code_page);
}

CodePageDecoder::CodePageDecoder(int code_page) {
    const std::string name = CharsetName(code_page);
    iconv_t cd = iconv_open("UTF-8", name.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1))
        cd = iconv_open("UTF-8", "CP1252");
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        // No converter at all: Latin-1 is the closest safe reading.
        for (int b = 0; b < 256; ++b)
            AppendUtf8(table_[b], static_cast<char32_t>(b));
        return;
    }
    iconv_ = cd;
    for (int b = 0; b < 256; ++b) {
        char in = static_cast<char>(b);
        char out[8];
        char* in_ptr = &in;
        char* out_ptr = out;
        std::size_t in_left = 1;
        std::size_t out_left = sizeof out;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        if (iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left) == static_cast<std::size_t>(-1)) {
            if (errno == EINVAL) {
                // A lead byte: the code page is multibyte and needs the converter per value.
                multibyte_ = true;
                return;
            }
            // Bytes the code page leaves undefined map to the same code point, as Windows does.
            AppendUtf8(table_[b], static_cast<char32_t>(b));
            continue;
        }
        table_[b].assign(out, static_cast<std::size_t>(out_ptr - out));
    }
}

CodePageDecoder::~CodePageDecoder() {
    if (iconv_)
        iconv_close(AsIconv(iconv_));
}

void CodePageDecoder::Append(std::string& out, const std::uint8_t* data, std::size_t size) {
    if (!multibyte_) {
        for (std::size_t i = 0; i < size; ++i) {
            const std::uint8_t b = data[i];
            if (b < 0x80)
                out.push_back(static_cast<char>(b));
            else
                out.append(table_[b]);
        }
        return;
    }
    iconv_t cd = AsIconv(iconv_);
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char* in_ptr = reinterpret_cast<char*>(const_cast<std::uint8_t*>(data));
    std::size_t in_left = size;
    const std::size_t base = out.size();
    std::size_t used = 0;
    out.resize(base + size * 3 + 8);
    while (in_left > 0) {
        char* out_ptr = out.data() + base + used;
        std::size_t out_left = out.size() - base - used;
        const std::size_t rc = iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left);
        used = static_cast<std::size_t>(out_ptr - (out.data() + base));
        if (rc != static_cast<std::size_t>(-1))
            break;
        if (errno == E2BIG) {
            out.resize(out.size() + size + 16);
            continue;
        }
        // An invalid or cut-off sequence: one replacement character, then go on.
        out.resize(base + used);
        AppendUtf8(out, 0xFFFD);
        used = out.size() - base;
        out.resize(out.size() + in_left * 3 + 8);
        ++in_ptr;
        --in_left;
    }
    out.resize(base + used);
}

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

namespace {

// Appends the UTF-16 unit at data[i] (and its low surrogate) and returns the bytes consumed.
std::size_t AppendUtf16Unit(std::string& out, const std::uint8_t* data, std::size_t i,
                            std::size_t size) {
    const char32_t unit = ReadU16(data + i);
    if (unit >= 0xD800 && unit <= 0xDBFF) {
        if (i + 3 < size) {
            const char32_t low = ReadU16(data + i + 2);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                return 4;
            }
        }
        AppendUtf8(out, 0xFFFD);
        return 2;
    }
    if (unit >= 0xDC00 && unit <= 0xDFFF) {
        AppendUtf8(out, 0xFFFD);
        return 2;
    }
    AppendUtf8(out, unit);
    return 2;
}

} // namespace

void AppendUtf16Le(std::string& out, const std::uint8_t* data, std::size_t size) {
    std::size_t i = 0;
    while (i + 1 < size) {
        const std::uint8_t lo = data[i];
        const std::uint8_t hi = data[i + 1];
        if (hi == 0 && lo < 0x80) {
            out.push_back(static_cast<char>(lo));
            i += 2;
            continue;
        }
        i += AppendUtf16Unit(out, data, i, size);
    }
}

void AppendJet4Text(std::string& out, const std::uint8_t* data, std::size_t size) {
    if (size < 2 || data[0] != 0xFF || data[1] != 0xFE) {
        AppendUtf16Le(out, data, size);
        return;
    }
    bool compressed = true;
    std::size_t i = 2;
    while (i < size) {
        if (data[i] == 0) {
            compressed = !compressed;
            ++i;
        } else if (compressed) {
            AppendUtf8(out, data[i]);
            ++i;
        } else if (i + 1 < size) {
            // A surrogate pair is only joined when its low half does not start a switch byte.
            if (i + 3 < size && data[i + 2] == 0)
                i += AppendUtf16Unit(out, data, i, i + 2);
            else
                i += AppendUtf16Unit(out, data, i, size);
        } else {
            break;
        }
    }
}

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

namespace {

// The proleptic Gregorian date `day` days after 1970-01-01 (negative: before it).
void SetCivilDate(DateTime& date, std::int64_t day) {
    const std::int64_t z = day + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const std::int64_t d = doy - (153 * mp + 2) / 5 + 1;
    const std::int64_t m = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t y = yoe + era * 400 + (m <= 2 ? 1 : 0);
    date.year = static_cast<int>(y);
    date.month = static_cast<int>(m);
    date.day = static_cast<int>(d);
}

// The whole number the ASCII digits [data, data + count) spell; nullopt when one is no digit.
std::optional<std::int64_t> AsciiDigits(const std::uint8_t* data, int count) {
    std::int64_t value = 0;
    for (int i = 0; i < count; ++i) {
        if (data[i] < '0' || data[i] > '9')
            return std::nullopt;
        value = value * 10 + (data[i] - '0');
    }
    return value;
}

} // namespace

std::optional<DateTime> ReadExtendedDate(const std::uint8_t* data, std::size_t size) {
    // 19 digits of days since 0001-01-01, ':', 12 digits of seconds since midnight, 7 digits of
    // 100-ns ticks, then ":7" and a zero byte.
    constexpr int kDays = 19;
    constexpr int kSeconds = 12;
    constexpr int kTicks = 7;
    if (size < static_cast<std::size_t>(kExtendedDateSize) || data[kDays] != ':')
        return std::nullopt;
    const auto days = AsciiDigits(data, kDays);
    const auto seconds = AsciiDigits(data + kDays + 1, kSeconds);
    const auto ticks = AsciiDigits(data + kDays + 1 + kSeconds, kTicks);
    // 9999-12-31 is day 3,652,058.
    if (!days || !seconds || !ticks || *days > 3652058 || *seconds >= 86400)
        return std::nullopt;
    DateTime result;
    // 0001-01-01 is 719,162 days before 1970-01-01.
    SetCivilDate(result, *days - 719162);
    result.hour = static_cast<int>(*seconds / 3600);
    result.minute = static_cast<int>(*seconds / 60 % 60);
    result.second = static_cast<int>(*seconds % 60);
    result.ticks = static_cast<int>(*ticks);
    return result;
}

std::optional<DateTime> AccessDateToDateTime(double value) {
    if (!std::isfinite(value) || value < -1.0e7 || value > 1.0e7)
        return std::nullopt;
    double whole = 0;
    const double fraction = std::fabs(std::modf(value, &whole));
    auto day = static_cast<std::int64_t>(whole);
    auto seconds = static_cast<std::int64_t>(std::llround(fraction * 86400.0));
    if (seconds >= 86400) {
        seconds -= 86400;
        day += 1;
    }
    DateTime result;
    // 1899-12-30 is 25,569 days before 1970-01-01.
    SetCivilDate(result, day - 25569);
    result.hour = static_cast<int>(seconds / 3600);
    result.minute = static_cast<int>(seconds / 60 % 60);
    result.second = static_cast<int>(seconds % 60);
    return result;
}

const Property* PropertyObject::Find(std::string_view property) const {
    for (const auto& entry : properties) {
        if (entry.name == property)
            return &entry;
    }
    return nullptr;
}

std::vector<PropertyObject> ReadPropertyBlob(std::span<const std::uint8_t> blob, int code_page) {
    // Layout: a 4-byte kind ("MR2" or "KKD"), then chunks of {int32 length, int16 type, body}.
    // Type 0x80 lists the property names as {int16 length, text}; the other types hold one
    // object's properties: {int32 length, int16 name length, name, then records of {int16
    // length, byte, byte data type, int16 name index, int16 value size, value}}.
    std::vector<PropertyObject> objects;
    if (blob.size() < 4)
        return objects;
    const bool jet3 = std::memcmp(blob.data(), "KKD", 4) == 0;
    if (!jet3 && std::memcmp(blob.data(), "MR2", 4) != 0)
        return objects;
    std::unique_ptr<CodePageDecoder> decoder;
    auto text = [&](const std::uint8_t* data, std::size_t size) {
        std::string out;
        if (jet3) {
            if (!decoder)
                decoder = std::make_unique<CodePageDecoder>(code_page);
            decoder->Append(out, data, size);
        } else {
            AppendJet4Text(out, data, size);
        }
        return out;
    };
    std::vector<std::string> names;
    std::size_t pos = 4;
    while (pos + 6 <= blob.size()) {
        const std::size_t length = ReadU32(blob.data() + pos);
        const int type = ReadU16(blob.data() + pos + 4);
        if (length < 6 || length > blob.size() - pos)
            break;
        const std::uint8_t* body = blob.data() + pos + 6;
        const std::size_t body_size = length - 6;
        pos += length;
        if (type == 0x80) {
            names.clear();
            std::size_t p = 0;
            while (p + 2 <= body_size) {
                const std::size_t n = ReadU16(body + p);
                p += 2;
                if (n > body_size - p)
                    break;
                names.push_back(text(body + p, n));
                p += n;
            }
            continue;
        }
        if (body_size < 6)
            continue;
        const std::size_t name_size = ReadU16(body + 4);
        if (name_size > body_size - 6)
            continue;
        PropertyObject& object = objects.emplace_back();
        object.kind = type;
        object.name = text(body + 6, name_size);
        std::size_t p = 6 + name_size;
        while (p + 8 <= body_size) {
            const std::size_t record = ReadU16(body + p);
            const std::size_t index = ReadU16(body + p + 4);
            const std::size_t size = ReadU16(body + p + 6);
            if (record < 8 || record > body_size - p || size > record - 8)
                break;
            if (index < names.size()) {
                Property& property = object.properties.emplace_back();
                property.name = names[index];
                property.type = body[p + 3];
                const std::uint8_t* value = body + p + 8;
                switch (property.type) {
                case kTypeBool:
                    if (size >= 1)
                        property.value =
                            std::any_of(value, value + size, [](std::uint8_t b) { return b != 0; });
                    break;
                case kTypeByte:
                    if (size >= 1)
                        property.value = std::int64_t{value[0]};
                    break;
                case kTypeInt16:
                    if (size >= 2)
                        property.value = std::int64_t{static_cast<std::int16_t>(ReadU16(value))};
                    break;
                case kTypeInt32:
                    if (size >= 4)
                        property.value = std::int64_t{static_cast<std::int32_t>(ReadU32(value))};
                    break;
                case kTypeFloat:
                    if (size >= 4)
                        property.value = static_cast<double>(ReadFloat(value));
                    break;
                case kTypeDouble:
                    if (size >= 8)
                        property.value = ReadDouble(value);
                    break;
                case kTypeText:
                case kTypeMemo:
                    property.value = text(value, size);
                    break;
                default:
                    break;
                }
            }
            p += record;
        }
    }
    return objects;
}

int RowSlotCount(const std::uint8_t* page, int page_size, int row_count_offset) {
    const int count = ReadU16(page + row_count_offset);
    return std::min(count, (page_size - row_count_offset - 2) / 2);
}

namespace {

constexpr int kOffsetMask = 0x1FFF;
constexpr int kDeletedFlag = 0x8000;
constexpr int kPointerFlag = 0x4000;

} // namespace

bool DataPageConsistent(const std::uint8_t* page, int page_size, int row_count_offset) {
    const int count = ReadU16(page + row_count_offset);
    const int directory_end = row_count_offset + 2 + 2 * count;
    if (directory_end > page_size)
        return false;
    int lowest = page_size;
    for (int i = 0; i < count; ++i)
        lowest = std::min(lowest, ReadU16(page + row_count_offset + 2 + 2 * i) & kOffsetMask);
    return lowest >= directory_end && ReadU16(page + 2) == lowest - directory_end;
}

std::optional<RowSlot> LocateRow(const std::uint8_t* page, int page_size, int row_count_offset,
                                 int index) {
    const int slots = RowSlotCount(page, page_size, row_count_offset);
    if (index < 0 || index >= slots)
        return std::nullopt;
    const int raw = ReadU16(page + row_count_offset + 2 + 2 * index);
    // A row ends where the row before it in the directory starts (rows grow down the page).
    const int end =
        index == 0 ? page_size : (ReadU16(page + row_count_offset + 2 * index) & kOffsetMask);
    const int start = raw & kOffsetMask;
    if (start < row_count_offset + 2 + 2 * slots || start >= end || end > page_size)
        return std::nullopt;
    RowSlot slot;
    slot.kind = (raw & kPointerFlag) && end - start >= 4 ? RowSlot::Pointer : RowSlot::Live;
    slot.start = start;
    slot.end = end;
    return slot;
}

RowSlot ReadRowSlot(const std::uint8_t* page, int page_size, int row_count_offset, int index) {
    const int slots = RowSlotCount(page, page_size, row_count_offset);
    if (index < 0 || index >= slots)
        return RowSlot{};
    const int raw = ReadU16(page + row_count_offset + 2 + 2 * index);
    // Deleted rows and the bodies of moved rows (reached through their pointer) carry 0x8000.
    if (raw & kDeletedFlag)
        return RowSlot{};
    const auto slot = LocateRow(page, page_size, row_count_offset, index);
    if (!slot || ((raw & kPointerFlag) && slot->kind != RowSlot::Pointer)) {
        RowSlot corrupt;
        corrupt.kind = RowSlot::Corrupt;
        return corrupt;
    }
    return *slot;
}

namespace {

// Reads the index part of a table definition, which follows the column names: one entry per
// real index (its key columns and flags), then one entry per logical index (its number, the real
// index it uses and its kind), then the logical indexes' names. Reading stops at the first
// logical index that cannot be read completely.
std::vector<IndexDefinition> ParseIndexes(std::span<const std::uint8_t> bytes, bool jet3,
                                          std::size_t real_count, std::size_t logical_count,
                                          const std::vector<ColumnDefinition>& columns,
                                          std::unique_ptr<CodePageDecoder>& decoder,
                                          int code_page) {
    // Jet4/ACE entries start with 4 bytes Jet3 does not have. A real index entry: up to 10 key
    // columns of {int16 column number (0xFFFF: unused), byte order (0x01 ascending)}, int32
    // usage map, int32 first page, (Jet4/ACE: 4 more bytes), flag byte, (Jet4/ACE: 5 more
    // bytes). A logical index entry: int32 number, int32 real index, byte, int32, int32 (the
    // related table's side, index and page), byte, byte (cascades), byte kind, (Jet4/ACE: 4
    // more bytes).
    const std::size_t lead = jet3 ? 0 : 4;
    const std::size_t real_size = jet3 ? 39 : 52;
    const std::size_t real_flags = jet3 ? 38 : 46;
    const std::size_t logical_size = jet3 ? 20 : 28;
    constexpr std::size_t kKeyColumns = 10;
    constexpr int kUnusedColumn = 0xFFFF;
    constexpr int kAscending = 0x01;

    std::vector<IndexDefinition> indexes;
    if (real_count > bytes.size() / real_size)
        return indexes;
    std::size_t pos = real_count * real_size;
    if (logical_count > (bytes.size() - pos) / logical_size)
        return indexes;

    // The key of each real index; nullopt for one naming a column the table does not have.
    std::vector<std::optional<IndexDefinition>> real(real_count);
    for (std::size_t r = 0; r < real_count; ++r) {
        const std::uint8_t* e = bytes.data() + r * real_size;
        IndexDefinition key;
        bool known = true;
        for (std::size_t k = 0; k < kKeyColumns; ++k) {
            const int col_num = ReadU16(e + lead + 3 * k);
            if (col_num == kUnusedColumn)
                continue;
            const auto column =
                std::find_if(columns.begin(), columns.end(),
                             [col_num](const ColumnDefinition& c) { return c.col_num == col_num; });
            if (column == columns.end()) {
                known = false;
                break;
            }
            key.columns.push_back(
                IndexColumnDefinition{static_cast<std::size_t>(column - columns.begin()),
                                      e[lead + 3 * k + 2] != kAscending});
        }
        key.flags = e[real_flags];
        if (known && !key.columns.empty())
            real[r] = std::move(key);
    }

    const std::uint8_t* entries = bytes.data() + pos;
    pos += logical_count * logical_size;
    const std::size_t length_size = jet3 ? 1 : 2;
    for (std::size_t i = 0; i < logical_count; ++i) {
        if (length_size > bytes.size() - pos)
            break;
        const std::size_t length = jet3 ? bytes[pos] : ReadU16(bytes.data() + pos);
        pos += length_size;
        if (length > bytes.size() - pos)
            break;
        std::string name;
        if (jet3) {
            if (!decoder)
                decoder = std::make_unique<CodePageDecoder>(code_page);
            decoder->Append(name, bytes.data() + pos, length);
        } else {
            AppendUtf16Le(name, bytes.data() + pos, length);
        }
        pos += length;
        const std::uint8_t* e = entries + i * logical_size + lead;
        const std::size_t real_number = ReadU32(e + 4);
        if (real_number >= real.size() || !real[real_number] || name.empty())
            continue;
        IndexDefinition index = *real[real_number];
        index.name = std::move(name);
        index.type = e[19];
        indexes.push_back(std::move(index));
    }
    return indexes;
}

} // namespace

std::optional<TableDefinition> ParseTableDefinition(std::span<const std::uint8_t> bytes, bool jet3,
                                                    int code_page) {
    // Offsets of the definition header and of one column entry, Jet3 and Jet4/ACE.
    const std::size_t header_size = jet3 ? 43 : 63;
    const std::size_t columns_offset = jet3 ? 25 : 45;
    const std::size_t logical_indexes_offset = jet3 ? 27 : 47;
    const std::size_t real_indexes_offset = jet3 ? 31 : 51;
    const std::size_t auto_number_offset = jet3 ? 16 : 20;
    const std::size_t usage_map_offset = jet3 ? 35 : 55;
    const std::size_t index_entry_size = jet3 ? 8 : 12;
    const std::size_t entry_size = jet3 ? 18 : 25;
    if (bytes.size() < header_size)
        return std::nullopt;
    const std::uint8_t* data = bytes.data();
    TableDefinition table;
    table.var_columns = ReadU16(data + columns_offset - 2);
    table.usage_map = ReadU32(data + usage_map_offset);
    table.last_auto_number = ReadU32(data + auto_number_offset);
    const std::size_t column_count = ReadU16(data + columns_offset);
    const std::size_t real_indexes = ReadU32(data + real_indexes_offset);
    if (column_count == 0 || real_indexes > bytes.size() / index_entry_size)
        return std::nullopt;
    std::size_t pos = header_size + real_indexes * index_entry_size;
    if (pos > bytes.size() || entry_size * column_count > bytes.size() - pos)
        return std::nullopt;
    table.columns.resize(column_count);
    for (auto& column : table.columns) {
        const std::uint8_t* e = data + pos;
        column.type = e[0];
        column.precision = e[11];
        column.scale = e[12];
        if (jet3) {
            column.col_num = ReadU16(e + 1);
            column.var_index = ReadU16(e + 3);
            column.flags = e[13];
            column.fixed_offset = ReadU16(e + 14);
            column.size = ReadU16(e + 16);
        } else {
            column.col_num = ReadU16(e + 5);
            column.var_index = ReadU16(e + 7);
            column.complex_id = static_cast<std::int32_t>(ReadU32(e + 11));
            column.flags = e[15];
            column.ext_flags = e[16];
            column.fixed_offset = ReadU16(e + 21);
            column.size = ReadU16(e + 23);
        }
        if (column.type == kTypeBool)
            column.size = 0;
        pos += entry_size;
    }
    // The names follow the entries in the same order, each with a 1-byte (Jet3) or 2-byte
    // length.
    std::unique_ptr<CodePageDecoder> decoder;
    const std::size_t length_size = jet3 ? 1 : 2;
    for (auto& column : table.columns) {
        if (length_size > bytes.size() - pos)
            return std::nullopt;
        const std::size_t length = jet3 ? data[pos] : ReadU16(data + pos);
        pos += length_size;
        if (length > bytes.size() - pos)
            return std::nullopt;
        if (jet3) {
            if (!decoder)
                decoder = std::make_unique<CodePageDecoder>(code_page);
            decoder->Append(column.name, data + pos, length);
        } else {
            AppendUtf16Le(column.name, data + pos, length);
        }
        pos += length;
    }
    std::stable_sort(
        table.columns.begin(), table.columns.end(),
        [](const ColumnDefinition& a, const ColumnDefinition& b) { return a.col_num < b.col_num; });
    table.indexes =
        ParseIndexes(bytes.subspan(pos), jet3, real_indexes, ReadU32(data + logical_indexes_offset),
                     table.columns, decoder, code_page);
    return table;
}

bool CrackRow(bool jet3, const std::uint8_t* page, int start, int end, bool has_var_columns,
              std::span<const ColumnLayout> columns, std::vector<int>& var_offsets,
              std::span<FieldSpan> spans) {
    const int count_size = jet3 ? 1 : 2;
    const int length = end - start;
    if (length < count_size)
        return false;
    const int row_cols = jet3 ? page[start] : ReadU16(page + start);
    const int mask_size = (row_cols + 7) / 8;
    const int mask_pos = end - mask_size;
    if (mask_pos < start + count_size)
        return false;

    var_offsets.clear();
    int row_var_cols = 0;
    int var_limit = mask_pos - start; // relative end of the variable-length data
    int fixed_end = mask_pos;
    if (has_var_columns) {
        if (jet3) {
            if (mask_pos - 1 < start + count_size)
                return false;
            row_var_cols = page[mask_pos - 1];
            const int row_end = end - 1;
            int jumps = (length - 1) / 256;
            const int col_ptr = row_end - mask_size - jumps - 1;
            if (col_ptr - row_var_cols < start + count_size)
                return false;
            // A last jump entry that no offset reaches is a dummy.
            if ((col_ptr - start - row_var_cols) / 256 < jumps)
                --jumps;
            int used = 0;
            for (int i = 0; i <= row_var_cols; ++i) {
                while (used < jumps && i == page[row_end - mask_size - used - 1])
                    ++used;
                var_offsets.push_back(page[col_ptr - i] + used * 256);
            }
            var_limit = col_ptr - row_var_cols - start;
        } else {
            const int count_pos = mask_pos - 2;
            if (count_pos < start + count_size)
                return false;
            row_var_cols = ReadU16(page + count_pos);
            const int table_start = count_pos - 2 * (row_var_cols + 1);
            if (table_start < start + count_size)
                return false;
            for (int i = 0; i <= row_var_cols; ++i)
                var_offsets.push_back(ReadU16(page + count_pos - 2 - 2 * i));
            var_limit = table_start - start;
        }
        fixed_end = start + std::clamp(var_offsets[0], count_size, var_limit);
    }

    for (std::size_t k = 0; k < columns.size(); ++k) {
        const ColumnLayout& column = columns[k];
        FieldSpan& span = spans[k];
        span = FieldSpan{};
        if (column.col_num >= row_cols)
            continue; // the column was added after this row was written
        span.mask_bit = (page[mask_pos + column.col_num / 8] >> (column.col_num % 8)) & 1;
        if (column.is_bool)
            continue;
        if (column.is_fixed) {
            const int offset = start + count_size + column.fixed_offset;
            if (column.fixed_size > 0 && offset + column.fixed_size <= fixed_end) {
                span.present = true;
                span.offset = offset;
                span.length = column.fixed_size;
            }
        } else if (column.var_index < row_var_cols) {
            const int from = var_offsets[static_cast<std::size_t>(column.var_index)];
            const int to = var_offsets[static_cast<std::size_t>(column.var_index) + 1];
            if (from < count_size || to < from || to > var_limit) {
                span.corrupt = true;
                continue;
            }
            span.present = true;
            span.offset = start + from;
            span.length = to - from;
        }
    }
    return true;
}

} // namespace tw::data::access
