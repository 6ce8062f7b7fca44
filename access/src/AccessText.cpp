#include "AccessText.h"

#include "AccessBytes.h"

#include <cctype>
#include <cerrno>
#include <iconv.h>
#include <mutex>
#include <vector>

namespace tw::data::access {

namespace {

iconv_t AsIconv(void* handle) {
    return static_cast<iconv_t>(handle);
}

} // namespace

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

} // namespace tw::data::access
