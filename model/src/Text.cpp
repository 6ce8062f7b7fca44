#include "tablewright/model/Text.h"

#include <locale.h>
#include <wctype.h>

namespace tw::data {

namespace {

// The C.UTF-8 locale carries Unicode's full simple case mapping whatever the user's locale is,
// so names are lower-cased the same way on every machine.
locale_t Utf8Locale() {
    static const locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(nullptr));
    return locale;
}

// Decodes one UTF-8 sequence at text[i]; invalid bytes come back as themselves (-1 code point).
char32_t DecodeUtf8(std::string_view text, std::size_t& i, bool& valid) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    int length = lead < 0x80           ? 1
                 : (lead >> 5) == 0x6  ? 2
                 : (lead >> 4) == 0xE  ? 3
                 : (lead >> 3) == 0x1E ? 4
                                       : 0;
    valid = length > 0 && i + length <= text.size();
    char32_t code = length == 1   ? lead
                    : length == 2 ? lead & 0x1F
                    : length == 3 ? lead & 0x0F
                                  : lead & 0x07;
    for (int k = 1; valid && k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            valid = false;
        code = (code << 6) | (byte(i + k) & 0x3F);
    }
    i += valid ? length : 1;
    return code;
}

void AppendUtf8(std::string& out, char32_t code) {
    if (code < 0x80) {
        out += char(code);
    } else if (code < 0x800) {
        out += char(0xC0 | (code >> 6));
        out += char(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += char(0xE0 | (code >> 12));
        out += char(0x80 | ((code >> 6) & 0x3F));
        out += char(0x80 | (code & 0x3F));
    } else {
        out += char(0xF0 | (code >> 18));
        out += char(0x80 | ((code >> 12) & 0x3F));
        out += char(0x80 | ((code >> 6) & 0x3F));
        out += char(0x80 | (code & 0x3F));
    }
}

// The first `chars` characters of UTF-8 text.
std::string CutChars(std::string_view text, std::size_t chars) {
    std::size_t seen = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && seen++ == chars)
            return std::string(text.substr(0, i));
    }
    return std::string(text);
}

} // namespace

std::string Utf8ToLower(std::string_view text) {
    std::string lower;
    lower.reserve(text.size());
    const locale_t locale = Utf8Locale();
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            lower += (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : char(c);
            ++i;
            continue;
        }
        const std::size_t start = i;
        bool valid = false;
        const char32_t code = DecodeUtf8(text, i, valid);
        if (!valid || !locale) {
            lower.append(text.substr(start, i - start));
            continue;
        }
        AppendUtf8(lower, static_cast<char32_t>(towlower_l(static_cast<wint_t>(code), locale)));
    }
    return lower;
}

std::string UniqueName(std::string_view wanted, std::set<std::string>& taken,
                       std::size_t max_chars) {
    std::string base = CutChars(wanted, max_chars);
    // Names that end in a space are refused, and a cut may leave one.
    while (base.size() > 1 && base.back() == ' ')
        base.pop_back();
    std::string name = base;
    for (int n = 2; !taken.insert(Utf8ToLower(name)).second; ++n) {
        const std::string suffix = "_" + std::to_string(n);
        name = CutChars(base, max_chars - suffix.size()) + suffix;
    }
    return name;
}

} // namespace tw::data
