#include "tablewright/mysql/SqlText.h"

#include "tablewright/model/AdoTypes.h"

#include <cfloat>
#include <charconv>
#include <cmath>
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

void AppendPadded(std::string& out, int value, int width) {
    char buffer[16];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value < 0 ? -value : value);
    (void)ec;
    if (value < 0)
        out += '-';
    for (int pad = width - int(end - buffer); pad > 0; --pad)
        out += '0';
    out.append(buffer, end);
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

void AppendNameText(std::string& out, std::string_view name) {
    for (char c : name) {
        out += c;
        if (c == '`')
            out += '`';
    }
}

void AppendEscapedText(std::string& out, std::string_view text) {
    std::size_t plain_start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char* replacement = nullptr;
        // The escapes, one a line.
        // clang-format off
        switch (text[i]) {
        case '\'': replacement = "''"; break;
        case '\\': replacement = "\\\\"; break;
        case '\0': replacement = "\\0"; break;
        case '\n': replacement = "\\n"; break;
        case '\r': replacement = "\\r"; break;
        case '\x1A': replacement = "\\Z"; break;
        default: continue;
        }
        // clang-format on
        out.append(text.substr(plain_start, i - plain_start));
        out += replacement;
        plain_start = i + 1;
    }
    out.append(text.substr(plain_start));
}

void AppendHexLiteral(std::string& out, std::string_view bytes) {
    if (bytes.empty()) {
        out += "''";
        return;
    }
    static constexpr char kDigits[] = "0123456789ABCDEF";
    const std::size_t start = out.size();
    out.resize(start + 2 + 2 * bytes.size());
    char* p = out.data() + start;
    *p++ = '0';
    *p++ = 'x';
    for (unsigned char b : bytes) {
        *p++ = kDigits[b >> 4];
        *p++ = kDigits[b & 0xF];
    }
}

std::string FormatSQLDate(const data::DateTime& date) {
    std::string text;
    text.reserve(19);
    AppendPadded(text, date.year, 4);
    text += '-';
    AppendPadded(text, date.month, 2);
    text += '-';
    AppendPadded(text, date.day, 2);
    text += ' ';
    AppendPadded(text, date.hour, 2);
    text += ':';
    AppendPadded(text, date.minute, 2);
    text += ':';
    AppendPadded(text, date.second, 2);
    // MySQL keeps microseconds: a seventh digit of the fraction is cut (TableCopier counts it).
    if (const int microseconds = date.ticks / 10; microseconds != 0) {
        text += '.';
        AppendPadded(text, microseconds, 6);
    }
    return text;
}

void AppendDouble(std::string& out, double value) {
    char buffer[32];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    (void)ec;
    out.append(buffer, end);
}

void AppendSingle(std::string& out, float value) {
    char buffer[32];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    (void)ec;
    // The server reads the text as a double before storing it as a single; the shortest single
    // text of a value near the single's limit can lie just beyond it and be refused as out of
    // range, so such values are written with the double's digits of the same single.
    double reread = 0;
    std::from_chars(buffer, end, reread);
    if (std::isfinite(reread) && std::fabs(reread) > FLT_MAX) {
        AppendDouble(out, static_cast<double>(value));
        return;
    }
    out.append(buffer, end);
}

void AppendInteger(std::string& out, std::int64_t value) {
    char buffer[24];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    (void)ec;
    out.append(buffer, end);
}

void AppendValueLiteral(std::string& out, const data::Value& value, int ado_type) {
    struct Writer {
        std::string& out;
        int ado_type;
        void operator()(std::monostate) const { out += "NULL"; }
        void operator()(const data::Bytes& bytes) const { AppendHexLiteral(out, bytes.data); }
        void operator()(bool flag) const { out += flag ? "'1'" : "'0'"; }
        void operator()(std::int64_t number) const {
            out += '\'';
            if (ado_type == data::adBoolean)
                out += number != 0 ? '1' : '0';
            else
                AppendInteger(out, number);
            out += '\'';
        }
        void operator()(float number) const {
            out += '\'';
            AppendSingle(out, number);
            out += '\'';
        }
        void operator()(double number) const {
            out += '\'';
            AppendDouble(out, number);
            out += '\'';
        }
        void operator()(const data::Decimal& number) const {
            out += '\'';
            out += number.text;
            out += '\'';
        }
        void operator()(const data::DateTime& date) const {
            out += '\'';
            out += FormatSQLDate(date);
            out += '\'';
        }
        void operator()(const std::string& text) const {
            out += '\'';
            AppendEscapedText(out, text);
            out += '\'';
        }
        void operator()(const data::Guid& guid) const {
            out += '\'';
            AppendEscapedText(out, guid.text);
            out += '\'';
        }
    };
    std::visit(Writer{out, ado_type}, value);
}

} // namespace tw::data
