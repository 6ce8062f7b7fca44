#include "tablewright/mysql/SqlText.h"

#include "tablewright/model/AdoTypes.h"

#include <cfloat>
#include <charconv>
#include <cmath>

namespace tw::data {

namespace {

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
