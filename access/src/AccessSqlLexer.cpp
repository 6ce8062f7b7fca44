#include "AccessSqlLexer.h"

#include <cstdio>
#include <utility>

namespace tw::data::access {

namespace {

// Access keeps at most 64,000 characters of query text; the limit leaves room for UTF-8.
constexpr std::size_t kMaxText = 256 * 1024;
// Longer number literals are not numbers any engine reads exactly.
constexpr std::size_t kMaxNumber = 64;

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}
bool IsAsciiLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool IsUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        char32_t code = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if (c >= 0xC2 && c < 0xE0) {
            length = 2;
            code = c & 0x1F;
        } else if (c >= 0xE0 && c < 0xF0) {
            length = 3;
            code = c & 0x0F;
        } else if (c >= 0xF0 && c < 0xF5) {
            length = 4;
            code = c & 0x07;
        } else {
            return false;
        }
        if (i + length > text.size())
            return false;
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80)
                return false;
            code = (code << 6) | (next & 0x3F);
        }
        if ((length == 3 && (code < 0x800 || (code >= 0xD800 && code < 0xE000))) ||
            (length == 4 && (code < 0x10000 || code > 0x10FFFF)))
            return false;
        i += length;
    }
    return true;
}

bool IsWordStart(char c) {
    return IsAsciiLetter(c) || c == '_' || static_cast<unsigned char>(c) >= 0x80;
}
bool IsWordChar(char c) {
    return IsWordStart(c) || IsDigit(c);
}

} // namespace

void RefuseSql(std::string what) {
    throw SqlRefused{std::move(what)};
}

std::string AsciiLower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    return out;
}

bool IEquals(std::string_view a, std::string_view b) {
    return a.size() == b.size() && AsciiLower(a) == AsciiLower(b);
}

std::string Describe(const Token& token) {
    switch (token.kind) {
    case TokenKind::Bracket:
        return "[" + token.text + "]";
    case TokenKind::String:
        return "\"" + token.text + "\"";
    case TokenKind::Date:
        return "#" + token.text + "#";
    default:
        return token.text;
    }
}

std::vector<Token> TokenizeAccessSql(std::string_view sql) {
    if (sql.size() > kMaxText)
        RefuseSql("查询文本过长");
    if (!IsUtf8(sql))
        RefuseSql("查询文本不是有效的 UTF-8");
    std::vector<Token> tokens;
    std::size_t i = 0;
    const auto at = [&](std::size_t k) { return k < sql.size() ? sql[k] : '\0'; };
    while (i < sql.size()) {
        const char c = sql[i];
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            ++i;
            continue;
        }
        Token token;
        if (c == '"' || c == '\'') {
            // A quote inside is written twice.
            token.kind = TokenKind::String;
            std::size_t k = i + 1;
            for (;; ++k) {
                if (k >= sql.size())
                    RefuseSql("未结束的字符串");
                if (sql[k] == c) {
                    if (at(k + 1) != c)
                        break;
                    ++k;
                }
                token.text += sql[k];
            }
            i = k + 1;
        } else if (c == '#' || c == '[') {
            const char close = c == '#' ? '#' : ']';
            const std::size_t end = sql.find(close, i + 1);
            if (end == std::string_view::npos)
                RefuseSql(c == '#' ? "未结束的日期常量" : "未结束的方括号名称");
            token.kind = c == '#' ? TokenKind::Date : TokenKind::Bracket;
            token.text = std::string(sql.substr(i + 1, end - i - 1));
            i = end + 1;
        } else if (IsDigit(c) || (c == '.' && IsDigit(at(i + 1)) &&
                                  (tokens.empty() || (tokens.back().kind != TokenKind::Word &&
                                                      tokens.back().kind != TokenKind::Bracket &&
                                                      tokens.back().text != ")")))) {
            std::size_t k = i;
            while (IsDigit(at(k)))
                ++k;
            if (at(k) == '.') {
                ++k;
                while (IsDigit(at(k)))
                    ++k;
            }
            if ((at(k) == 'e' || at(k) == 'E') &&
                (IsDigit(at(k + 1)) ||
                 ((at(k + 1) == '+' || at(k + 1) == '-') && IsDigit(at(k + 2))))) {
                k += 2;
                while (IsDigit(at(k)))
                    ++k;
            }
            if (IsWordChar(at(k)))
                RefuseSql("无法识别的数字 '" + std::string(sql.substr(i, k + 1 - i)) + "'");
            if (k - i > kMaxNumber)
                RefuseSql("数字常量过长");
            token.kind = TokenKind::Number;
            token.text = std::string(sql.substr(i, k - i));
            i = k;
        } else if (IsWordStart(c)) {
            std::size_t k = i;
            while (IsWordChar(at(k)))
                ++k;
            if (at(k) == '$') // Left$, Mid$, ...: the String-typed twins of the functions
                ++k;
            token.kind = TokenKind::Word;
            token.text = std::string(sql.substr(i, k - i));
            i = k;
        } else {
            token.kind = TokenKind::Symbol;
            const std::string_view two = sql.substr(i, 2);
            if (two == "<=" || two == ">=" || two == "<>") {
                token.text = std::string(two);
                i += 2;
            } else if (std::string_view("=<>(),.!*/\\+-^&;").find(c) != std::string_view::npos) {
                token.text = std::string(1, c);
                ++i;
            } else {
                RefuseSql("无法识别的字符 '" + std::string(1, c) + "'");
            }
        }
        tokens.push_back(std::move(token));
    }
    tokens.push_back(Token{});
    return tokens;
}

// ---------------------------------------------------------------------------------------------
// Literals

// An Access date literal's text (m/d/y, y-m-d, with or without a time) as "yyyy-mm-dd hh:mm:ss";
// a time alone falls on 1899-12-30, the day Access counts from, as the converted columns hold it.
std::optional<std::string> AccessDate(std::string_view text) {
    std::size_t i = 0;
    const auto skip_spaces = [&] {
        while (i < text.size() && text[i] == ' ')
            ++i;
    };
    // A run of digits; its value and length.
    const auto number = [&](int& value, std::size_t& length) {
        const std::size_t start = i;
        value = 0;
        while (i < text.size() && IsDigit(text[i]) && i - start < 5)
            value = value * 10 + (text[i++] - '0');
        length = i - start;
        return length > 0;
    };
    int year = 1899, month = 12, day = 30, hour = 0, minute = 0, second = 0;
    skip_spaces();
    int first = 0;
    std::size_t first_length = 0;
    if (!number(first, first_length))
        return std::nullopt;
    bool has_time = false;
    if (i < text.size() && (text[i] == '/' || text[i] == '-')) {
        const char separator = text[i++];
        int second_part = 0, third = 0;
        std::size_t second_length = 0, third_length = 0;
        if (!number(second_part, second_length) || i >= text.size() || text[i] != separator)
            return std::nullopt;
        ++i;
        if (!number(third, third_length))
            return std::nullopt;
        if (first_length >= 3) { // year first
            year = first;
            month = second_part;
            day = third;
        } else { // Access reads m/d/y whatever the locale
            month = first;
            day = second_part;
            year = third;
            if (third_length <= 2) // two-digit years: 00-29 in 2000, 30-99 in 1900
                year += year < 30 ? 2000 : 1900;
        }
        skip_spaces();
        if (i < text.size()) {
            if (!number(hour, first_length))
                return std::nullopt;
            has_time = true;
        }
    } else {
        hour = first;
        has_time = true;
    }
    if (has_time) {
        if (i < text.size() && text[i] == ':') {
            ++i;
            std::size_t length = 0;
            if (!number(minute, length))
                return std::nullopt;
            if (i < text.size() && text[i] == ':') {
                ++i;
                if (!number(second, length))
                    return std::nullopt;
            }
        }
        skip_spaces();
        const std::string rest = AsciiLower(text.substr(i));
        if (rest == "am" || rest == "pm") {
            if (hour < 1 || hour > 12)
                return std::nullopt;
            hour = hour % 12 + (rest == "pm" ? 12 : 0);
            i = text.size();
        } else if (minute == 0 && second == 0 && i == text.size() &&
                   text.find(':') == std::string_view::npos &&
                   text.find('/') == std::string_view::npos &&
                   text.find('-') == std::string_view::npos) {
            return std::nullopt; // a bare number is no date
        }
    }
    skip_spaces();
    if (i != text.size())
        return std::nullopt;
    static constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (year < 100 || year > 9999 || month < 1 || month > 12 || day < 1 ||
        day > kDays[month - 1] - (month == 2 && !leap ? 1 : 0) || hour > 23 || minute > 59 ||
        second > 59)
        return std::nullopt;
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d", year, month, day, hour,
                  minute, second);
    return std::string(buffer);
}

} // namespace tw::data::access
