#include "tablewright/model/Text.h"

#include <algorithm>
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

bool IsContinuation(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

} // namespace

std::string AsciiLower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = AsciiLower(c);
    return out;
}

std::string AsciiUpper(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return out;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && StartsWithNoCase(a, b);
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (prefix.size() > text.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (AsciiLower(text[i]) != AsciiLower(prefix[i]))
            return false;
    return true;
}

bool ContainsNoCase(std::string_view text, std::string_view needle) {
    for (std::size_t i = 0; i + needle.size() <= text.size(); ++i)
        if (StartsWithNoCase(text.substr(i), needle))
            return true;
    return false;
}

std::string Utf8ToLower(std::string_view text) {
    std::string lower;
    lower.reserve(text.size());
    const locale_t locale = Utf8Locale();
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            lower += AsciiLower(static_cast<char>(c));
            ++i;
            continue;
        }
        const std::size_t start = i;
        char32_t code = 0;
        if (!DecodeUtf8(text, i, code) || !locale) {
            lower.append(text.substr(start, i - start));
            continue;
        }
        AppendUtf8(lower, static_cast<char32_t>(towlower_l(static_cast<wint_t>(code), locale)));
    }
    return lower;
}

bool Utf8EqualsNoCase(std::string_view a, std::string_view b) {
    return Utf8ToLower(a) == Utf8ToLower(b);
}

void AppendUtf8(std::string& out, char32_t code_point) {
    if (code_point < 0x80) {
        out.push_back(static_cast<char>(code_point));
    } else if (code_point < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (code_point >> 6)));
        out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
    } else if (code_point < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (code_point >> 12)));
        out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (code_point >> 18)));
        out.push_back(static_cast<char>(0x80 | ((code_point >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
    }
}

bool DecodeUtf8(std::string_view text, std::size_t& at, char32_t& code) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(at);
    const std::size_t length = lead < 0x80           ? 1
                               : (lead >> 5) == 0x6  ? 2
                               : (lead >> 4) == 0xE  ? 3
                               : (lead >> 3) == 0x1E ? 4
                                                     : 0;
    if (length == 0 || at + length > text.size()) {
        ++at;
        return false;
    }
    char32_t value = length == 1   ? lead
                     : length == 2 ? lead & 0x1F
                     : length == 3 ? lead & 0x0F
                                   : lead & 0x07;
    for (std::size_t k = 1; k < length; ++k) {
        if (!IsContinuation(text[at + k])) {
            ++at;
            return false;
        }
        value = (value << 6) | (byte(at + k) & 0x3F);
    }
    code = value;
    at += length;
    return true;
}

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
        for (; k < length && IsContinuation(text[at + k]); ++k)
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

std::size_t Utf8CharCount(std::string_view text) {
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return !IsContinuation(c); }));
}

std::string Utf8Prefix(std::string_view text, std::size_t chars) {
    std::size_t seen = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (!IsContinuation(text[i]) && seen++ == chars)
            return std::string(text.substr(0, i));
    }
    return std::string(text);
}

std::size_t Utf8CharStart(std::string_view text, std::size_t at) {
    while (at > 0 && at < text.size() && IsContinuation(text[at]))
        --at;
    return at;
}

std::string UniqueName(std::string_view wanted, std::set<std::string>& taken,
                       std::size_t max_chars) {
    std::string base = Utf8Prefix(wanted, max_chars);
    // Names that end in a space are refused, and a cut may leave one.
    while (base.size() > 1 && base.back() == ' ')
        base.pop_back();
    std::string name = base;
    for (int n = 2; !taken.insert(Utf8ToLower(name)).second; ++n) {
        const std::string suffix = "_" + std::to_string(n);
        name = Utf8Prefix(base, max_chars - suffix.size()) + suffix;
    }
    return name;
}

} // namespace tw::data
