#include "tablewright/engine/AccessSqlTranslator.h"

#include "tablewright/mysql/MySqlDialect.h"
#include "tablewright/mysql/SqlText.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdio>
#include <initializer_list>
#include <optional>
#include <set>
#include <utility>

// The query is read into tokens, parsed by recursive descent with Access's operator precedence,
// and written out as MySQL while it is parsed: every parsed expression carries its MySQL text and
// the precedence of its outermost MySQL operator, so that parentheses are added exactly where
// MySQL would otherwise group differently. Each construct is either written in a MySQL form that
// gives the same value for every row, or refused with the construct named; the few places where
// the same value depends on the column types (which the query text does not tell) are noted
// where they are translated.

namespace tw::engine {
namespace {

using data::MySqlDialect;

// Stops the translation of a query; carries the refusal text.
struct Refused {
    std::string what;
};

[[noreturn]] void Refuse(std::string what) {
    throw Refused{std::move(what)};
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}
bool IsAsciiLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

std::string AsciiLower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    return out;
}

std::string AsciiUpper(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'a' && c <= 'z')
            c = char(c - 'a' + 'A');
    return out;
}

bool IEquals(std::string_view a, std::string_view b) {
    return a.size() == b.size() && AsciiLower(a) == AsciiLower(b);
}

std::string Name(std::string_view name) {
    std::string out;
    MySqlDialect::AppendName(out, name);
    return out;
}

std::string Quoted(std::string_view text) {
    std::string out = "'";
    data::AppendEscapedText(out, text);
    out += '\'';
    return out;
}

// ---------------------------------------------------------------------------------------------
// Tokens

enum class TokenKind { End, Word, Bracket, String, Date, Number, Symbol };

struct Token {
    TokenKind kind = TokenKind::End;
    // Word and Number as written; Bracket and Date without their delimiters; String its value;
    // Symbol the operator or punctuation.
    std::string text;
};

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

bool IsWordStart(char c) {
    return IsAsciiLetter(c) || c == '_' || static_cast<unsigned char>(c) >= 0x80;
}
bool IsWordChar(char c) {
    return IsWordStart(c) || IsDigit(c);
}

std::vector<Token> Tokenize(std::string_view sql) {
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
                    Refuse("未结束的字符串");
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
                Refuse(c == '#' ? "未结束的日期常量" : "未结束的方括号名称");
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
                Refuse("无法识别的数字 '" + std::string(sql.substr(i, k + 1 - i)) + "'");
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
                Refuse("无法识别的字符 '" + std::string(1, c) + "'");
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
        } else if (minute == 0 && second == 0 && i == text.size() && text.find(':') == text.npos &&
                   text.find('/') == text.npos && text.find('-') == text.npos) {
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

// ---------------------------------------------------------------------------------------------
// Expressions

// MySQL's operator precedence, loosest first, for the operators written out.
constexpr int kOr = 10;
constexpr int kXor = 20;
constexpr int kAnd = 30;
constexpr int kNot = 40;
constexpr int kBetween = 45;
constexpr int kCompare = 50;
constexpr int kAdd = 60;
constexpr int kMul = 70;
constexpr int kNegate = 80;
constexpr int kAtom = 100;

enum class Shape { Other, String, Number, Null, Boolean, Column, Star };

// One translated expression.
struct Expr {
    std::string sql;
    int prec = kAtom;
    Shape shape = Shape::Other;
    // String: its value; Number: as written; Column: the column's name.
    std::string value;
    // Column: the table (or alias) before the dot, empty when none.
    std::string qualifier;
    // Never Null (literals and what is made of them).
    bool never_null = false;
    // Text that cannot be read as a number, so that Access's '+' can only join it.
    bool text_only = false;
    // A date/time value: a date literal, Date(), Now() and the date functions' results.
    bool is_date = false;
};

Expr Make(std::string sql, int prec) {
    Expr e;
    e.sql = std::move(sql);
    e.prec = prec;
    return e;
}

Expr NumberLiteral(std::string text) {
    Expr e = Make(text, kAtom);
    e.shape = Shape::Number;
    e.value = std::move(text);
    e.never_null = true;
    return e;
}

// The expression's text, in parentheses when its operator binds looser than `min_prec`.
std::string Operand(const Expr& e, int min_prec) {
    return e.prec >= min_prec ? e.sql : "(" + e.sql + ")";
}

// A left-associative binary operator.
Expr Binary(const Expr& left, std::string_view op, const Expr& right, int prec) {
    return Make(Operand(left, prec) + " " + std::string(op) + " " + Operand(right, prec + 1), prec);
}

// A comparison: both sides in parentheses when they are comparisons themselves.
Expr Comparing(const Expr& left, std::string_view op, std::string right_sql) {
    return Make(Operand(left, kCompare + 1) + " " + std::string(op) + " " + right_sql, kCompare);
}

Expr Call(std::string_view function, std::initializer_list<std::string_view> args) {
    std::string sql(function);
    sql += '(';
    bool first = true;
    for (std::string_view arg : args) {
        if (!first)
            sql += ", ";
        sql += arg;
        first = false;
    }
    sql += ')';
    return Make(std::move(sql), kAtom);
}

Expr Call(std::string_view function, const std::vector<Expr>& args) {
    std::string sql(function);
    sql += '(';
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (i > 0)
            sql += ", ";
        sql += args[i].sql;
    }
    sql += ')';
    return Make(std::move(sql), kAtom);
}

Expr Negated(const Expr& e) {
    std::string inner = Operand(e, kNegate);
    if (inner.front() == '-')
        inner = "(" + inner + ")";
    Expr result = Make("-" + inner, kNegate);
    if (e.shape == Shape::Number) {
        result.shape = Shape::Number;
        result.value = "-" + e.value;
        result.never_null = true;
    }
    return result;
}

Expr NotOf(const Expr& e) {
    // Always in parentheses: with HIGH_NOT_PRECEDENCE, NOT a = b would mean (NOT a) = b.
    return Make("NOT " + Operand(e, kAtom), kNot);
}

// A whole-number literal, of at most 15 digits so that it can be worked with.
bool IsInteger(const Expr& e) {
    if (e.shape != Shape::Number)
        return false;
    std::string_view text = e.value;
    if (!text.empty() && text.front() == '-')
        text.remove_prefix(1);
    return !text.empty() && text.size() <= 15 && std::all_of(text.begin(), text.end(), IsDigit);
}

// `e` - 1, worked out for a whole-number literal.
Expr MinusOne(const Expr& e) {
    if (IsInteger(e)) {
        const long long value = std::stoll(e.value);
        return NumberLiteral(std::to_string(value - 1));
    }
    return Binary(e, "-", NumberLiteral("1"), kAdd);
}

// The value of a string-literal argument (interval names, formats), lower-cased.
std::optional<std::string> StringArgument(const Expr& e) {
    if (e.shape != Shape::String)
        return std::nullopt;
    return AsciiLower(e.value);
}

// Length of the UTF-8 character starting with `lead`.
std::size_t CharLength(char lead) {
    const auto byte = static_cast<unsigned char>(lead);
    return byte < 0xC0 ? 1 : byte < 0xE0 ? 2 : byte < 0xF0 ? 3 : 4;
}

// Access's Like pattern (ANSI-89 wildcards, as saved queries use them) as a MySQL LIKE pattern,
// or, when it needs a digit (#) or a character list ([abc], [!abc], [0-9]) that LIKE has no
// form for, as a regular expression over the whole value. MySQL's REGEXP, like its LIKE, ignores
// case under the case-insensitive collations the converted text columns have, as Access does.
struct TranslatedPattern {
    std::string text;
    bool regexp = false;
};

TranslatedPattern TranslateLikePattern(std::string_view pattern) {
    std::string like;
    std::string regex = "(?s)^"; // '.' also matches line breaks, as Access's wildcards do
    bool needs_regexp = false;
    const auto literal = [&](std::string_view ch) {
        if (ch.size() == 1 && (ch[0] == '%' || ch[0] == '_' || ch[0] == '\\'))
            like += '\\';
        like += ch;
        if (ch.size() == 1 && std::ispunct(static_cast<unsigned char>(ch[0])))
            regex += '\\';
        regex += ch;
    };
    for (std::size_t i = 0; i < pattern.size();) {
        const char c = pattern[i];
        if (c == '*') {
            like += '%';
            regex += ".*";
            ++i;
        } else if (c == '?') {
            like += '_';
            regex += '.';
            ++i;
        } else if (c == '#') {
            needs_regexp = true;
            regex += "[0-9]";
            ++i;
        } else if (c == '[') {
            const std::size_t close = pattern.find(']', i + 1);
            if (close == std::string_view::npos)
                Refuse("Like 模式中未结束的 '['");
            const std::string_view whole = pattern.substr(i, close + 1 - i);
            std::string_view list = pattern.substr(i + 1, close - i - 1);
            i = close + 1;
            const bool negated = !list.empty() && list.front() == '!';
            if (negated)
                list.remove_prefix(1);
            if (list.empty())
                Refuse("Like 模式中的 '" + std::string(whole) + "'");
            if (!negated && CharLength(list.front()) == list.size()) { // [*], [?], [#], [[], [a]
                literal(list);
                continue;
            }
            needs_regexp = true;
            std::string set = negated ? "[^" : "[";
            for (std::size_t k = 0; k < list.size();) {
                const std::size_t length = CharLength(list[k]);
                const bool range = length == 1 && k + 2 < list.size() && list[k + 1] == '-';
                if (range) {
                    // Access orders a range by its text sort order, where accented letters sit
                    // among the plain ones; only digit ranges mean the same in a regular
                    // expression.
                    if (!IsDigit(list[k]) || !IsDigit(list[k + 2]) || list[k] > list[k + 2])
                        Refuse("Like 模式中的字符范围 '" + std::string(whole) + "'");
                    set += list.substr(k, 3);
                    k += 3;
                    continue;
                }
                const char ch = list[k];
                if (length == 1 && (ch == '\\' || ch == ']' || ch == '[' || ch == '^' || ch == '-'))
                    set += '\\';
                set += list.substr(k, length);
                k += length;
            }
            regex += set + "]";
        } else {
            const std::size_t length = std::min(CharLength(c), pattern.size() - i);
            literal(pattern.substr(i, length));
            i += length;
        }
    }
    if (needs_regexp)
        return {regex + "\\z", true};
    return {like, false};
}

// Functions that keep their meaning under another name, with the numbers of arguments Access
// takes.
struct DirectFunction {
    const char* access;
    std::size_t min_args;
    std::size_t max_args;
    const char* mysql;
    bool date = false;
};

constexpr DirectFunction kDirectFunctions[] = {
    {"left", 2, 2, "LEFT"},
    {"right", 2, 2, "RIGHT"},
    {"mid", 2, 3, "SUBSTRING"},
    {"len", 1, 1, "CHAR_LENGTH"},
    {"ucase", 1, 1, "UPPER"},
    {"lcase", 1, 1, "LOWER"},
    // Access trims spaces only, as MySQL's TRIM, LTRIM and RTRIM do.
    {"trim", 1, 1, "TRIM"},
    {"ltrim", 1, 1, "LTRIM"},
    {"rtrim", 1, 1, "RTRIM"},
    {"space", 1, 1, "SPACE"},
    {"year", 1, 1, "YEAR"},
    {"month", 1, 1, "MONTH"},
    {"day", 1, 1, "DAYOFMONTH"},
    {"hour", 1, 1, "HOUR"},
    {"minute", 1, 1, "MINUTE"},
    {"second", 1, 1, "SECOND"},
    {"abs", 1, 1, "ABS"},
    {"sgn", 1, 1, "SIGN"},
    {"sqr", 1, 1, "SQRT"},
    {"exp", 1, 1, "EXP"},
    {"log", 1, 1, "LN"},
    {"sin", 1, 1, "SIN"},
    {"cos", 1, 1, "COS"},
    {"tan", 1, 1, "TAN"},
    {"atn", 1, 1, "ATAN"},
    // Int rounds down (Int(-2.5) is -3), Fix towards zero.
    {"int", 1, 1, "FLOOR"},
    {"count", 1, 1, "COUNT"},
    {"sum", 1, 1, "SUM"},
    {"min", 1, 1, "MIN"},
    {"max", 1, 1, "MAX"},
    {"stdev", 1, 1, "STDDEV_SAMP"},
    {"stdevp", 1, 1, "STDDEV_POP"},
    {"var", 1, 1, "VAR_SAMP"},
    {"varp", 1, 1, "VAR_POP"},
    {"iif", 3, 3, "IF"},
    {"date", 0, 0, "CURDATE", true},
    {"now", 0, 0, "NOW", true},
};

constexpr const char* kDomainFunctions[] = {"dlookup", "dcount",  "dsum",   "davg",
                                            "dmin",    "dmax",    "dfirst", "dlast",
                                            "dstdev",  "dstdevp", "dvar",   "dvarp"};

// Access's own functions that have no MySQL form giving the same values, with why.
struct RefusedFunction {
    const char* access;
    const char* why;
};

constexpr RefusedFunction kRefusedFunctions[] = {
    {"round", "Access 按银行家舍入"},
    {"cint", "Access 按银行家舍入"},
    {"clng", "Access 按银行家舍入"},
    {"cbyte", "Access 按银行家舍入"},
    {"first", "结果取决于记录顺序"},
    {"last", "结果取决于记录顺序"},
    {"val", "转换规则不同"},
    {"str", "转换规则不同"},
    {"cstr", "转换规则不同"},
    {"cdbl", "转换规则不同"},
    {"csng", "转换规则不同"},
    {"ccur", "转换规则不同"},
    {"cdec", "转换规则不同"},
    {"cdate", "转换规则不同"},
    {"cvdate", "转换规则不同"},
    {"cbool", "转换规则不同"},
    {"cvar", "转换规则不同"},
    {"datevalue", "按区域设置解析日期"},
    {"timevalue", "按区域设置解析时间"},
    {"replace", "比较方式不同"},
    {"instrrev", "比较方式不同"},
    {"strcomp", "比较方式不同"},
    {"rnd", "随机数"},
};

// Access's names of date intervals and MySQL's units for them, as DateAdd reads them.
std::optional<std::string> IntervalUnit(std::string_view interval) {
    static constexpr std::pair<const char*, const char*> kUnits[] = {
        {"yyyy", "YEAR"}, {"q", "QUARTER"}, {"m", "MONTH"}, {"y", "DAY"},    {"d", "DAY"},
        {"w", "DAY"},     {"ww", "WEEK"},   {"h", "HOUR"},  {"n", "MINUTE"}, {"s", "SECOND"},
    };
    for (const auto& [access, mysql] : kUnits)
        if (interval == access)
            return std::string(mysql);
    return std::nullopt;
}

// Format strings that DATE_FORMAT writes the same way; the others depend on the regional
// settings (/, named formats) or format numbers.
std::optional<std::string> DateFormat(std::string_view format) {
    static constexpr std::pair<const char*, const char*> kFormats[] = {
        {"yyyy", "%Y"},
        {"yy", "%y"},
        {"mm", "%m"},
        {"dd", "%d"},
        {"yyyymm", "%Y%m"},
        {"yyyymmdd", "%Y%m%d"},
        {"yyyy-mm", "%Y-%m"},
        {"yyyy-mm-dd", "%Y-%m-%d"},
        {"hh:nn", "%H:%i"},
        {"hh:nn:ss", "%H:%i:%s"},
        {"yyyy-mm-dd hh:nn", "%Y-%m-%d %H:%i"},
        {"yyyy-mm-dd hh:nn:ss", "%Y-%m-%d %H:%i:%s"},
    };
    for (const auto& [access, mysql] : kFormats)
        if (format == access)
            return std::string(mysql);
    return std::nullopt;
}

// Words that are never names when bare.
bool IsReserved(std::string_view word) {
    static const std::set<std::string> kReserved = {
        "all",        "alike",    "and",         "any",   "as",     "asc",   "between", "by",
        "desc",       "distinct", "distinctrow", "eqv",   "exists", "false", "from",    "group",
        "having",     "imp",      "in",          "inner", "into",   "is",    "join",    "left",
        "like",       "mod",      "not",         "null",  "on",     "or",    "order",   "outer",
        "parameters", "percent",  "pivot",       "right", "select", "some",  "table",   "top",
        "transform",  "true",     "union",       "where", "with",   "xor"};
    return kReserved.count(AsciiLower(word)) > 0;
}

// ---------------------------------------------------------------------------------------------
// The translator

class Translator {
public:
    Translator(std::vector<Token> tokens, const ColumnLookup& columns)
        : tokens_(std::move(tokens)), columns_(columns) {}

    std::string Statement();

    std::vector<std::string> sources;

private:
    // Where the query text appears: at the top, as a derived table in FROM, as a subquery whose
    // value is used, or as the list of IN / ANY / ALL.
    enum class Context { Top, Derived, Value, Membership };

    struct SelectPart {
        std::string sql;
        std::optional<std::string> top;
    };

    struct Item {
        Expr expr;
        std::optional<std::string> alias;
    };

    // Counts nesting, so that deeply nested text is refused instead of exhausting the stack.
    class Nesting {
    public:
        explicit Nesting(int& depth) : depth_(depth) {
            if (++depth_ > 64)
                Refuse("嵌套层数过多");
        }
        ~Nesting() { --depth_; }
        Nesting(const Nesting&) = delete;
        Nesting& operator=(const Nesting&) = delete;

    private:
        int& depth_;
    };

    const Token& Peek(std::size_t ahead = 0) const {
        const std::size_t i = std::min(pos_ + ahead, tokens_.size() - 1);
        return tokens_[i];
    }
    const Token& Next() {
        const Token& token = tokens_[pos_];
        if (pos_ + 1 < tokens_.size())
            ++pos_;
        return token;
    }
    bool AtKeyword(std::string_view word, std::size_t ahead = 0) const {
        const Token& token = Peek(ahead);
        return token.kind == TokenKind::Word && IEquals(token.text, word);
    }
    bool AcceptKeyword(std::string_view word) {
        if (!AtKeyword(word))
            return false;
        Next();
        return true;
    }
    void ExpectKeyword(std::string_view word) {
        if (!AcceptKeyword(word))
            Unexpected();
    }
    bool AtSymbol(std::string_view symbol, std::size_t ahead = 0) const {
        const Token& token = Peek(ahead);
        return token.kind == TokenKind::Symbol && token.text == symbol;
    }
    bool AcceptSymbol(std::string_view symbol) {
        if (!AtSymbol(symbol))
            return false;
        Next();
        return true;
    }
    void ExpectSymbol(std::string_view symbol) {
        if (!AcceptSymbol(symbol))
            Unexpected();
    }
    // A name or alias: a bracketed name or a bare word that is not a keyword.
    bool AtName(std::size_t ahead = 0) const {
        const Token& token = Peek(ahead);
        return token.kind == TokenKind::Bracket ||
               (token.kind == TokenKind::Word && !IsReserved(token.text));
    }
    std::string ExpectName() {
        if (!AtName())
            Unexpected();
        return Next().text;
    }
    [[noreturn]] void Unexpected() const {
        if (Peek().kind == TokenKind::End)
            Refuse("语句不完整");
        Refuse("无法解析 '" + Describe(Peek()) + "' 处的写法");
    }

    void AddSource(const std::string& name) {
        const std::string key = data::Utf8ToLower(name);
        for (const auto& known : sources)
            if (data::Utf8ToLower(known) == key)
                return;
        sources.push_back(name);
    }

    std::string QueryBody(Context context);
    SelectPart Select(bool name_columns);
    std::vector<Item> SelectList(bool& star_all);
    std::string OrderBy(bool of_union);
    std::string TableReference(std::vector<std::string>& tables);
    std::string TablePrimary(std::vector<std::string>& tables);

    Expr Expression();
    Expr Imp();
    Expr Eqv();
    Expr Xor();
    Expr Or();
    Expr And();
    Expr NotLevel();
    Expr Comparison();
    Expr Concatenation();
    Expr Additive();
    Expr Modulo();
    Expr IntegerDivision();
    Expr Multiplicative();
    Expr Unary();
    Expr Power();
    Expr Primary();
    Expr NameReference();
    Expr FunctionCall();
    Expr Function(const std::string& name, const std::vector<Expr>& args);
    Expr Like(const Expr& left, const Expr& pattern, bool negated, bool ansi);
    Expr Concat(const std::vector<Expr>& parts);
    Expr Add(const Expr& left, const Expr& right, bool minus);
    Expr DateDiff(const std::string& interval, const Expr& first, const Expr& last);

    std::vector<Token> tokens_;
    std::size_t pos_ = 0;
    int depth_ = 0;
    // The tables named by the select list being read (lower-cased), for DISTINCTROW.
    std::set<std::string>* output_tables_ = nullptr;
    // The columns of the file's tables, to spell out '*' (may be empty).
    const ColumnLookup& columns_;
    // The tables of the FROM clause being read: the name or alias they are known by and the
    // table itself (empty for a derived table).
    std::vector<std::pair<std::string, std::string>> from_tables_;

    // For each select being read, the tables its columns name that no FROM clause read so far
    // defines; what a select's own FROM does not define passes to the select around it. Access
    // asks for the value of a column whose table no FROM clause names, as for a parameter.
    std::vector<std::set<std::string>> unresolved_;

    bool ExpandStars(std::vector<Item>& items) const;
};

std::string Translator::Statement() {
    if (Peek().kind == TokenKind::End)
        Refuse("空查询");
    if (AtKeyword("TRANSFORM"))
        Refuse("交叉表查询（TRANSFORM/PIVOT）");
    if (AtKeyword("PARAMETERS"))
        Refuse("参数查询（PARAMETERS）");
    for (const char* action : {"INSERT", "UPDATE", "DELETE"})
        if (AtKeyword(action))
            Refuse(std::string("操作查询（") + action + "）");
    for (const char* definition : {"CREATE", "ALTER", "DROP"})
        if (AtKeyword(definition))
            Refuse(std::string("数据定义查询（") + definition + "）");
    if (!AtKeyword("SELECT") && !AtKeyword("TABLE"))
        Unexpected();
    std::string sql = QueryBody(Context::Top);
    // Only decides whose permissions the query runs with.
    if (AcceptKeyword("WITH")) {
        ExpectKeyword("OWNERACCESS");
        ExpectKeyword("OPTION");
    }
    AcceptSymbol(";");
    if (Peek().kind != TokenKind::End)
        Unexpected();
    return sql;
}

// A select or a union of selects, with the ORDER BY that follows them.
std::string Translator::QueryBody(Context context) {
    Nesting nesting(depth_);
    const bool name_columns = context == Context::Top || context == Context::Derived;
    std::vector<SelectPart> parts;
    std::vector<std::string> joints;
    parts.push_back(Select(name_columns));
    while (AcceptKeyword("UNION")) {
        joints.push_back(AcceptKeyword("ALL") ? " UNION ALL " : " UNION ");
        parts.push_back(Select(false));
    }
    const std::string order = AtKeyword("ORDER") ? OrderBy(parts.size() > 1) : std::string();
    const bool any_top =
        std::any_of(parts.begin(), parts.end(), [](const SelectPart& p) { return p.top; });
    if (any_top && context == Context::Membership)
        Refuse("IN、ANY、ALL 子查询中的 TOP"); // MySQL has no LIMIT there

    std::string sql;
    if (parts.size() == 1) {
        sql = parts[0].sql;
        if (!order.empty())
            sql += " " + order;
        // Access's TOP n keeps every row that ties with the n-th in the sort order; MariaDB's
        // WITH TIES does the same (MariaDB 10.6 and later; other servers refuse the view).
        // Without ORDER BY any n rows will do, as with LIMIT.
        if (parts[0].top)
            sql += order.empty() ? " LIMIT " + *parts[0].top
                                 : " FETCH FIRST " + *parts[0].top + " ROWS WITH TIES";
        return sql;
    }
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0)
            sql += joints[i - 1];
        // A union's ORDER BY sorts the union, so a part's TOP picks any n of its rows.
        sql += parts[i].top ? "(" + parts[i].sql + " LIMIT " + *parts[i].top + ")" : parts[i].sql;
    }
    if (!order.empty())
        sql += " " + order;
    return sql;
}

std::string Translator::OrderBy(bool of_union) {
    ExpectKeyword("ORDER");
    ExpectKeyword("BY");
    std::string sql = "ORDER BY ";
    for (bool first = true; first || AcceptSymbol(","); first = false) {
        const Expr e = Expression();
        if (!first)
            sql += ", ";
        // A union is sorted by its own column names; MySQL refuses table names there.
        sql += of_union && e.shape == Shape::Column ? Name(e.value) : e.sql;
        if (AcceptKeyword("DESC"))
            sql += " DESC";
        else if (AcceptKeyword("ASC"))
            sql += " ASC";
    }
    return sql;
}

Translator::SelectPart Translator::Select(bool name_columns) {
    if (AcceptKeyword("TABLE")) { // TABLE t is SELECT * FROM t
        const std::string table = ExpectName();
        AddSource(table);
        return {"SELECT * FROM " + Name(table), std::nullopt};
    }
    ExpectKeyword("SELECT");
    bool distinct = false, distinct_row = false;
    if (!AcceptKeyword("ALL")) {
        distinct = AcceptKeyword("DISTINCT");
        distinct_row = !distinct && AcceptKeyword("DISTINCTROW");
    }
    std::optional<std::string> top;
    if (AcceptKeyword("TOP")) {
        const Token& count = Next();
        if (count.kind != TokenKind::Number ||
            !std::all_of(count.text.begin(), count.text.end(), IsDigit))
            Refuse("TOP 后不是整数");
        top = count.text;
        if (AtKeyword("PERCENT"))
            Refuse("TOP n PERCENT");
    }

    unresolved_.emplace_back();
    std::set<std::string> output_tables;
    std::set<std::string>* const outer_tables = output_tables_;
    output_tables_ = &output_tables;
    bool star_all = false;
    std::vector<Item> items = SelectList(star_all);
    output_tables_ = nullptr;

    if (AtKeyword("INTO"))
        Refuse("生成表查询（SELECT … INTO）");
    std::string sql = distinct ? "SELECT DISTINCT " : "SELECT ";
    std::vector<std::string> tables;
    std::string from;
    const auto outer_from = std::move(from_tables_);
    from_tables_.clear();
    if (AcceptKeyword("FROM")) {
        from = " FROM " + TableReference(tables);
        while (AcceptSymbol(","))
            from += ", " + TableReference(tables);
    }
    const auto from_tables = std::move(from_tables_);
    from_tables_ = from_tables;
    if (AcceptKeyword("WHERE"))
        from += " WHERE " + Expression().sql;
    if (AcceptKeyword("GROUP")) {
        ExpectKeyword("BY");
        from += " GROUP BY ";
        for (bool first = true; first || AcceptSymbol(","); first = false)
            from += (first ? "" : ", ") + Expression().sql;
    }
    if (AcceptKeyword("HAVING"))
        from += " HAVING " + Expression().sql;
    output_tables_ = outer_tables;
    if (name_columns)
        ExpandStars(items);
    from_tables_ = outer_from;
    std::set<std::string> unresolved = std::move(unresolved_.back());
    unresolved_.pop_back();
    for (const auto& [handle, table] : from_tables)
        unresolved.erase(data::Utf8ToLower(handle));
    if (!unresolved_.empty())
        unresolved_.back().insert(unresolved.begin(), unresolved.end());
    else if (!unresolved.empty())
        Refuse("引用了 FROM 中没有的表 '" + *unresolved.begin() + "'（Access 把它当作参数）");

    // DISTINCTROW drops rows that come from the same source records. It changes nothing when
    // the query reads one table or outputs fields of every table it reads (each output row then
    // stems from its own records); otherwise it drops rows MySQL's DISTINCT (and MySQL's own
    // DISTINCTROW, a synonym of it) would keep, or keeps equal rows DISTINCT would drop.
    if (distinct_row && tables.size() > 1 && !star_all &&
        !std::all_of(tables.begin(), tables.end(),
                     [&](const std::string& t) { return output_tables.count(t) > 0; }))
        Refuse("DISTINCTROW（结果未包含每个表的字段）");

    // The view's columns get the names Access gives them: an expression without alias is
    // ExprNNNN, a field that appears twice is table.field (MySQL refuses a view whose columns
    // share a name).
    if (name_columns) {
        std::vector<std::string> names(items.size());
        int expression_number = 1000;
        for (std::size_t i = 0; i < items.size(); ++i) {
            const Item& item = items[i];
            if (item.alias)
                names[i] = data::Utf8ToLower(*item.alias);
            else if (item.expr.shape == Shape::Column)
                names[i] = data::Utf8ToLower(item.expr.value);
            else if (item.expr.shape != Shape::Star)
                items[i].alias = "Expr" + std::to_string(expression_number++);
        }
        for (std::size_t i = 0; i < items.size(); ++i) {
            Item& item = items[i];
            if (item.alias || item.expr.shape != Shape::Column || item.expr.qualifier.empty())
                continue;
            if (std::count(names.begin(), names.end(), names[i]) > 1)
                item.alias = item.expr.qualifier + "." + item.expr.value;
        }
    }
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0)
            sql += ", ";
        sql += items[i].expr.sql;
        if (items[i].alias)
            sql += " AS " + Name(*items[i].alias);
    }
    return {sql + from, top};
}

// Spells out '*' and 'table.*' as the columns they stand for, so that a column that two tables
// share gets the name Access gives it (table.field) instead of making the view's columns clash.
// Left as it is when a table's columns are not known (a derived table, another query).
bool Translator::ExpandStars(std::vector<Item>& items) const {
    if (!columns_)
        return false;
    std::vector<Item> expanded;
    for (const Item& item : items) {
        if (item.expr.shape != Shape::Star) {
            expanded.push_back(item);
            continue;
        }
        const bool all = item.expr.sql == "*";
        for (const auto& [handle, table] : from_tables_) {
            if (!all && Name(handle) + ".*" != item.expr.sql)
                continue;
            const auto names = table.empty() ? std::nullopt : columns_(table);
            if (!names)
                return false;
            for (const auto& column : *names) {
                Item field;
                field.expr = Make(Name(handle) + "." + Name(column), kAtom);
                field.expr.shape = Shape::Column;
                field.expr.value = column;
                field.expr.qualifier = handle;
                expanded.push_back(std::move(field));
            }
        }
    }
    items = std::move(expanded);
    return true;
}

std::vector<Translator::Item> Translator::SelectList(bool& star_all) {
    std::vector<Item> items;
    do {
        Item item;
        if (AtSymbol("*")) {
            Next();
            item.expr = Make("*", kAtom);
            item.expr.shape = Shape::Star;
            star_all = true;
        } else if (AtName() && (AtSymbol(".", 1) || AtSymbol("!", 1)) && AtSymbol("*", 2)) {
            const std::string table = Next().text;
            Next();
            Next();
            if (output_tables_)
                output_tables_->insert(data::Utf8ToLower(table));
            item.expr = Make(Name(table) + ".*", kAtom);
            item.expr.shape = Shape::Star;
        } else {
            item.expr = Expression();
            if (AcceptKeyword("AS"))
                item.alias = ExpectName();
        }
        items.push_back(std::move(item));
    } while (AcceptSymbol(","));
    return items;
}

// A table, a derived table or a parenthesised join, followed by any joins.
std::string Translator::TableReference(std::vector<std::string>& tables) {
    std::string sql = TablePrimary(tables);
    for (;;) {
        std::string join;
        if (AcceptKeyword("INNER")) {
            join = "INNER JOIN";
        } else if (AtKeyword("LEFT") || AtKeyword("RIGHT")) {
            join = AsciiUpper(Next().text) + " JOIN";
            AcceptKeyword("OUTER");
        } else if (!AtKeyword("JOIN")) {
            break;
        } else {
            join = "JOIN";
        }
        ExpectKeyword("JOIN");
        const std::string right = TablePrimary(tables);
        ExpectKeyword("ON");
        sql += " " + join + " " + right + " ON " + Expression().sql;
    }
    return sql;
}

std::string Translator::TablePrimary(std::vector<std::string>& tables) {
    Nesting nesting(depth_);
    if (AcceptSymbol("(")) {
        if (AtKeyword("SELECT")) {
            const std::string body = QueryBody(Context::Derived);
            ExpectSymbol(")");
            AcceptKeyword("AS");
            const std::string alias = ExpectName();
            tables.push_back(data::Utf8ToLower(alias));
            from_tables_.emplace_back(alias, std::string());
            return "(" + body + ") AS " + Name(alias);
        }
        const std::string inner = TableReference(tables);
        ExpectSymbol(")");
        return "(" + inner + ")";
    }
    if (Peek().kind == TokenKind::Bracket && AtSymbol(".", 1)) {
        const std::string text = AsciiLower(Peek().text);
        if (!text.empty() && (text.front() == ';' || text.find("database=") != std::string::npos))
            Refuse("外部数据库中的表");
        Refuse("FROM 中的子查询（[…]. AS 写法）");
    }
    const std::string table = ExpectName();
    if (AtKeyword("IN"))
        Refuse("外部数据库中的表（IN '…'）");
    AddSource(table);
    std::string sql = Name(table);
    std::string handle = table;
    if (AcceptKeyword("AS") || AtName()) {
        handle = ExpectName();
        sql += " AS " + Name(handle);
    }
    tables.push_back(data::Utf8ToLower(handle));
    from_tables_.emplace_back(handle, table);
    return sql;
}

// --- Expressions, loosest operators first. Access's order (VBA's): Imp, Eqv, Xor, Or, And, Not,
// comparisons (= <> < > <= >= Like Is In Between), &, + -, Mod, \, * /, unary -, ^.

Expr Translator::Expression() {
    Nesting nesting(depth_);
    return Imp();
}

Expr Translator::Imp() {
    Expr left = Eqv();
    if (AtKeyword("IMP"))
        Refuse("运算符 'Imp'");
    return left;
}

Expr Translator::Eqv() {
    Expr left = Xor();
    if (AtKeyword("EQV"))
        Refuse("运算符 'Eqv'");
    return left;
}

// And, Or, Xor and Not work bit by bit on numbers in Access and on truth values in MySQL; on
// truth values (True -1 or 1, False 0, Null) both give the same.
Expr Translator::Xor() {
    Expr left = Or();
    while (AcceptKeyword("XOR"))
        left = Binary(left, "XOR", Or(), kXor);
    return left;
}

Expr Translator::Or() {
    Expr left = And();
    while (AcceptKeyword("OR"))
        left = Binary(left, "OR", And(), kOr);
    return left;
}

Expr Translator::And() {
    Expr left = NotLevel();
    while (AcceptKeyword("AND"))
        left = Binary(left, "AND", NotLevel(), kAnd);
    return left;
}

Expr Translator::NotLevel() {
    if (AcceptKeyword("NOT")) {
        Nesting nesting(depth_);
        return NotOf(NotLevel());
    }
    return Comparison();
}

Expr Translator::Comparison() {
    Expr left = Concatenation();
    for (;;) {
        const Token& token = Peek();
        if (token.kind == TokenKind::Symbol &&
            (token.text == "=" || token.text == "<>" || token.text == "<" || token.text == ">" ||
             token.text == "<=" || token.text == ">=")) {
            const std::string op = Next().text;
            if (AtKeyword("ANY") || AtKeyword("SOME") || AtKeyword("ALL")) {
                const std::string quantifier = AsciiUpper(Next().text);
                ExpectSymbol("(");
                if (!AtKeyword("SELECT"))
                    Unexpected();
                const std::string body = QueryBody(Context::Membership);
                ExpectSymbol(")");
                left = Comparing(left, op, quantifier + " (" + body + ")");
            } else {
                left = Comparing(left, op, Operand(Concatenation(), kCompare + 1));
            }
            continue;
        }
        bool negated = false;
        if (AtKeyword("NOT") && (AtKeyword("LIKE", 1) || AtKeyword("ALIKE", 1) ||
                                 AtKeyword("IN", 1) || AtKeyword("BETWEEN", 1))) {
            Next();
            negated = true;
        }
        if (AtKeyword("LIKE") || AtKeyword("ALIKE")) {
            const bool ansi = AtKeyword("ALIKE");
            Next();
            left = Like(left, Concatenation(), negated, ansi);
        } else if (AcceptKeyword("IN")) {
            ExpectSymbol("(");
            std::string list;
            if (AtKeyword("SELECT")) {
                list = QueryBody(Context::Membership);
            } else {
                for (bool first = true; first || AcceptSymbol(","); first = false)
                    list += (first ? "" : ", ") + Expression().sql;
            }
            ExpectSymbol(")");
            left = Comparing(left, negated ? "NOT IN" : "IN", "(" + list + ")");
        } else if (AcceptKeyword("BETWEEN")) {
            const Expr low = Concatenation();
            ExpectKeyword("AND");
            const Expr high = Concatenation();
            left = Make(Operand(left, kCompare + 1) + (negated ? " NOT BETWEEN " : " BETWEEN ") +
                            Operand(low, kCompare + 1) + " AND " + Operand(high, kCompare + 1),
                        kBetween);
        } else if (negated) {
            Unexpected();
        } else if (AcceptKeyword("IS")) {
            const bool not_null = AcceptKeyword("NOT");
            ExpectKeyword("NULL");
            left = Make(Operand(left, kCompare + 1) + (not_null ? " IS NOT NULL" : " IS NULL"),
                        kCompare);
        } else {
            return left;
        }
    }
}

Expr Translator::Like(const Expr& left, const Expr& pattern, bool negated, bool ansi) {
    // A pattern from a column or an expression would need translating for every row.
    if (pattern.shape != Shape::String)
        Refuse("Like 的模式不是字符串常量");
    TranslatedPattern translated;
    if (ansi) {
        // ALike takes % and _ as LIKE does; its backslash is an ordinary character.
        if (pattern.value.find('[') != std::string::npos)
            Refuse("ALike 模式中的字符类");
        for (char c : pattern.value) {
            if (c == '\\')
                translated.text += '\\';
            translated.text += c;
        }
    } else {
        translated = TranslateLikePattern(pattern.value);
    }
    const char* op =
        translated.regexp ? (negated ? "NOT REGEXP" : "REGEXP") : (negated ? "NOT LIKE" : "LIKE");
    return Comparing(left, op, Quoted(translated.text));
}

Expr Translator::Concatenation() {
    std::vector<Expr> parts;
    parts.push_back(Additive());
    while (AcceptSymbol("&"))
        parts.push_back(Additive());
    return parts.size() == 1 ? std::move(parts.front()) : Concat(parts);
}

// Access's & takes Null as "" and is Null only when every part is Null; CONCAT_WS skips Nulls
// but gives "" then, so the all-Null case is spelt out unless a part can never be Null.
Expr Translator::Concat(const std::vector<Expr>& parts) {
    bool never_null = false;
    std::string list;
    for (const Expr& part : parts) {
        // Access writes dates and Yes/No values as text its own way (1/31/2020, True).
        if (part.is_date)
            Refuse("日期参与 '&' 连接");
        if (part.shape == Shape::Boolean)
            Refuse("True/False 参与 '&' 连接");
        never_null = never_null || part.never_null;
        list += (list.empty() ? "" : ", ") + part.sql;
    }
    const std::string joined = "CONCAT_WS('', " + list + ")";
    Expr e = Make(never_null ? joined : "IF(COALESCE(" + list + ") IS NULL, NULL, " + joined + ")",
                  kAtom);
    e.never_null = never_null;
    return e;
}

Expr Translator::Additive() {
    Expr left = Modulo();
    while (AtSymbol("+") || AtSymbol("-")) {
        const bool minus = Next().text == "-";
        left = Add(left, Modulo(), minus);
    }
    return left;
}

Expr Translator::Add(const Expr& left, const Expr& right, bool minus) {
    // Access adds days to a date; MySQL would add to the number 20200131000000.
    if (left.is_date || right.is_date) {
        const Expr& date = left.is_date ? left : right;
        const Expr& days = left.is_date ? right : left;
        if (days.is_date || !IsInteger(days) || (minus && !left.is_date))
            Refuse("日期的加减运算");
        const Expr count = minus ? Negated(days) : days;
        Expr e = Call("TIMESTAMPADD", {"DAY", count.sql, date.sql});
        e.is_date = true;
        return e;
    }
    // Access's + joins two texts (Null if either is Null) and adds numbers; a text that holds
    // no digit cannot be a number, so + with it joins (a number there would be an error).
    if (!minus && (left.shape == Shape::String || right.shape == Shape::String || left.text_only ||
                   right.text_only)) {
        if (!left.text_only && !right.text_only)
            Refuse("数字文本参与 '+' 运算");
        Expr e = Call("CONCAT", {left.sql, right.sql});
        e.text_only = true;
        e.never_null = left.never_null && right.never_null;
        return e;
    }
    Expr e = Binary(left, minus ? "-" : "+", right, kAdd);
    e.never_null = left.never_null && right.never_null;
    return e;
}

// Mod and \ round their operands to whole numbers first in Access; for whole numbers, as in
// keys, counts and the like, MOD and DIV give the same (both keep the dividend's sign).
Expr Translator::Modulo() {
    Expr left = IntegerDivision();
    while (AcceptKeyword("MOD"))
        left = Binary(left, "MOD", IntegerDivision(), kMul);
    return left;
}

Expr Translator::IntegerDivision() {
    Expr left = Multiplicative();
    while (AcceptSymbol("\\"))
        left = Binary(left, "DIV", Multiplicative(), kMul);
    return left;
}

Expr Translator::Multiplicative() {
    Expr left = Unary();
    while (AtSymbol("*") || AtSymbol("/")) {
        const bool divide = Next().text == "/";
        const Expr right = Unary();
        // Access divides in floating point; MySQL divides whole and decimal numbers as DECIMAL
        // with four more decimals (7 / 3 = 2.3333), so the dividend is made a double first.
        left = divide ? Binary(Binary(left, "*", NumberLiteral("1e0"), kMul), "/", right, kMul)
                      : Binary(left, "*", right, kMul);
    }
    return left;
}

Expr Translator::Unary() {
    if (AcceptSymbol("-")) {
        Nesting nesting(depth_);
        return Negated(Unary());
    }
    if (AcceptSymbol("+")) {
        Nesting nesting(depth_);
        return Unary();
    }
    return Power();
}

Expr Translator::Power() {
    Expr left = Primary();
    while (AcceptSymbol("^")) {
        // The exponent may carry its own sign: 2^-1.
        Expr right;
        if (AcceptSymbol("-"))
            right = Negated(Primary());
        else
            right = Primary();
        left = Call("POW", {left.sql, right.sql});
    }
    return left;
}

Expr Translator::Primary() {
    const Token& token = Peek();
    switch (token.kind) {
    case TokenKind::Number:
        return NumberLiteral(Next().text);
    case TokenKind::String: {
        Expr e = Make(Quoted(token.text), kAtom);
        e.shape = Shape::String;
        e.value = Next().text;
        e.never_null = true;
        e.text_only = std::none_of(e.value.begin(), e.value.end(), IsDigit);
        return e;
    }
    case TokenKind::Date: {
        const std::optional<std::string> date = AccessDate(token.text);
        if (!date)
            Refuse("无法识别的日期 '#" + token.text + "#'");
        Next();
        Expr e = Make("TIMESTAMP'" + *date + "'", kAtom);
        e.never_null = true;
        e.is_date = true;
        return e;
    }
    case TokenKind::Symbol:
        if (AcceptSymbol("(")) {
            if (AtKeyword("SELECT")) {
                const std::string body = QueryBody(Context::Value);
                ExpectSymbol(")");
                return Make("(" + body + ")", kAtom);
            }
            Expr inner = Expression();
            ExpectSymbol(")");
            // A literal keeps what it is (Like ("A*")); a parenthesised field is an expression.
            if (inner.shape == Shape::Column)
                inner.shape = Shape::Other;
            inner.sql = "(" + inner.sql + ")";
            inner.prec = kAtom;
            return inner;
        }
        Unexpected();
    case TokenKind::Word:
        if (AcceptKeyword("NULL")) {
            Expr e = Make("NULL", kAtom);
            e.shape = Shape::Null;
            return e;
        }
        // Converted Yes/No columns hold 1 and 0 (not Access's -1), so True is MySQL's TRUE (1).
        if (AtKeyword("TRUE") || AtKeyword("FALSE")) {
            Expr e = Make(AsciiUpper(Next().text), kAtom);
            e.shape = Shape::Boolean;
            e.never_null = true;
            return e;
        }
        if (AcceptKeyword("NOT")) {
            Nesting nesting(depth_);
            return NotOf(Comparison());
        }
        if (AcceptKeyword("EXISTS")) {
            ExpectSymbol("(");
            if (!AtKeyword("SELECT"))
                Unexpected();
            const std::string body = QueryBody(Context::Value);
            ExpectSymbol(")");
            return Make("EXISTS (" + body + ")", kAtom);
        }
        // Left and Right are functions as well as joins.
        if (AtSymbol("(", 1) &&
            (!IsReserved(token.text) || AtKeyword("LEFT") || AtKeyword("RIGHT")))
            return FunctionCall();
        if (IsReserved(token.text))
            Unexpected();
        return NameReference();
    case TokenKind::Bracket:
        return NameReference();
    case TokenKind::End:
        break;
    }
    Unexpected();
}

// field, table.field, [table].[field], table!field (table.* is a select item of its own)
Expr Translator::NameReference() {
    std::vector<std::string> parts{Next().text};
    while (AtSymbol(".") || AtSymbol("!")) {
        Next();
        if (Peek().kind != TokenKind::Word && Peek().kind != TokenKind::Bracket)
            Unexpected();
        parts.push_back(Next().text);
    }
    std::string written;
    for (const auto& part : parts)
        written += (written.empty() ? "[" : "]![") + part;
    written += "]";
    const std::string root = AsciiLower(parts[0]);
    if (parts.size() > 1 &&
        (root == "forms" || root == "reports" || root == "screen" || root == "tempvars"))
        Refuse("引用窗体或报表的参数 '" + written + "'");
    if (parts.size() > 2)
        Refuse("无法识别的名称 '" + written + "'");
    Expr e;
    e.shape = Shape::Column;
    e.value = parts.back();
    if (parts.size() == 2) {
        e.qualifier = parts[0];
        if (!unresolved_.empty())
            unresolved_.back().insert(data::Utf8ToLower(parts[0]));
        e.sql = Name(parts[0]) + "." + Name(parts[1]);
        if (output_tables_)
            output_tables_->insert(data::Utf8ToLower(parts[0]));
    } else {
        e.sql = Name(parts[0]);
    }
    return e;
}

Expr Translator::FunctionCall() {
    Nesting nesting(depth_);
    const std::string name = Next().text;
    ExpectSymbol("(");
    std::vector<Expr> args;
    if (AtSymbol("*") && AtSymbol(")", 1) && AsciiLower(name) == "count") {
        Next();
        ExpectSymbol(")");
        return Make("COUNT(*)", kAtom);
    }
    if (!AtSymbol(")"))
        do
            args.push_back(Expression());
        while (AcceptSymbol(","));
    ExpectSymbol(")");
    return Function(name, args);
}

Expr Translator::Function(const std::string& name, const std::vector<Expr>& args) {
    std::string key = AsciiLower(name);
    if (!key.empty() && key.back() == '$') // Left$ is Left giving String, and so on
        key.pop_back();
    const std::size_t count = args.size();
    const auto arity = [&](std::size_t low, std::size_t high) {
        if (count < low || count > high)
            Refuse("函数 '" + name + "' 的参数个数不对");
    };

    for (const auto& f : kDirectFunctions) {
        if (key != f.access)
            continue;
        arity(f.min_args, f.max_args);
        Expr e = Call(f.mysql, args);
        e.is_date = f.date;
        return e;
    }
    for (const char* domain : kDomainFunctions)
        if (key == domain)
            Refuse("域聚合函数 '" + name + "'");
    for (const auto& f : kRefusedFunctions)
        if (key == f.access)
            Refuse("函数 '" + name + "'（" + f.why + "）");

    if (key == "avg") {
        // Access averages in floating point, MySQL whole numbers as DECIMAL with four more
        // decimals; as for '/', the values are made doubles first.
        arity(1, 1);
        return Call("AVG", {Binary(args[0], "*", NumberLiteral("1e0"), kMul).sql});
    }
    if (key == "fix") {
        arity(1, 1);
        return Call("TRUNCATE", {args[0].sql, "0"});
    }
    if (key == "nz") {
        // Without a second argument Nz gives "" in a query (a number wherever one is needed,
        // as MySQL reads '' as 0 there).
        arity(1, 2);
        Expr fallback = count == 2 ? args[1] : Make("''", kAtom);
        Expr e = Call("IFNULL", {args[0].sql, fallback.sql});
        e.never_null = count == 1 || args[1].never_null;
        return e;
    }
    if (key == "isnull") {
        arity(1, 1);
        return Make(Operand(args[0], kCompare + 1) + " IS NULL", kCompare);
    }
    if (key == "switch") {
        // Null when no condition holds, as CASE without ELSE.
        if (count < 2 || count % 2 != 0)
            Refuse("函数 '" + name + "' 的参数个数不对");
        std::string sql = "CASE";
        for (std::size_t i = 0; i < count; i += 2)
            sql += " WHEN " + args[i].sql + " THEN " + args[i + 1].sql;
        return Make(sql + " END", kAtom);
    }
    if (key == "instr") {
        // InStr([start,] text, sought[, compare]); LOCATE(sought, text[, start]). Compare 1 is
        // the query's own text comparison; 0 compares bytes, which MySQL's collation does not.
        arity(2, 4);
        if (count == 4 && !(args[3].shape == Shape::Number && args[3].value == "1"))
            Refuse(args[3].shape == Shape::Number && args[3].value == "0" ? "InStr 的二进制比较"
                                                                          : "InStr 的比较方式参数");
        if (count == 2)
            return Call("LOCATE", {args[1].sql, args[0].sql});
        return Call("LOCATE", {args[2].sql, args[1].sql, args[0].sql});
    }
    if (key == "weekday") {
        // Sunday is 1 by default, as in DAYOFWEEK.
        arity(1, 2);
        if (count == 2 && !(args[1].shape == Shape::Number && args[1].value == "1"))
            Refuse("Weekday 的 firstdayofweek 参数");
        return Call("DAYOFWEEK", {args[0].sql});
    }
    if (key == "dateadd") {
        arity(3, 3);
        const std::optional<std::string> interval = StringArgument(args[0]);
        if (!interval)
            Refuse("DateAdd 的间隔不是字符串常量");
        const std::optional<std::string> unit = IntervalUnit(*interval);
        if (!unit)
            Refuse("DateAdd 的间隔 '" + args[0].value + "'");
        // Months and years end on the month's last day when the day does not exist, as in
        // Access (DateAdd("m", 1, #1/31/2020#) is 2/29/2020).
        Expr e = Call("TIMESTAMPADD", {*unit, args[1].sql, args[2].sql});
        e.is_date = true;
        return e;
    }
    if (key == "datediff") {
        arity(3, 5);
        const std::optional<std::string> interval = StringArgument(args[0]);
        if (!interval)
            Refuse("DateDiff 的间隔不是字符串常量");
        if (count > 3 && (*interval == "w" || *interval == "ww"))
            Refuse("DateDiff 的 firstdayofweek 参数");
        return DateDiff(*interval, args[1], args[2]);
    }
    if (key == "datepart") {
        arity(2, 2);
        const std::optional<std::string> interval = StringArgument(args[0]);
        if (!interval)
            Refuse("DatePart 的间隔不是字符串常量");
        static constexpr std::pair<const char*, const char*> kParts[] = {
            {"yyyy", "YEAR"},   {"q", "QUARTER"},    {"m", "MONTH"},
            {"y", "DAYOFYEAR"}, {"d", "DAYOFMONTH"}, {"w", "DAYOFWEEK"},
            {"h", "HOUR"},      {"n", "MINUTE"},     {"s", "SECOND"},
        };
        for (const auto& [access, mysql] : kParts)
            if (*interval == access)
                return Call(mysql, {args[1].sql});
        Refuse("DatePart 的间隔 '" + args[0].value + "'");
    }
    if (key == "dateserial") {
        // Months and days beyond their range carry over, as in Access: the month is added to
        // January 1st of the year, then the day to the 1st of that month.
        arity(3, 3);
        if (IsInteger(args[0]) && std::stoll(args[0].value) < 100)
            Refuse("DateSerial 的两位数年份"); // Access and MySQL put them in other centuries
        Expr e = Call("MAKEDATE", {args[0].sql, "1"});
        const Expr months = MinusOne(args[1]);
        if (!(IsInteger(months) && months.value == "0"))
            e = Call("TIMESTAMPADD", {"MONTH", months.sql, e.sql});
        const Expr days = MinusOne(args[2]);
        if (!(IsInteger(days) && days.value == "0"))
            e = Call("TIMESTAMPADD", {"DAY", days.sql, e.sql});
        e.is_date = true;
        return e;
    }
    if (key == "format") {
        arity(1, 2);
        const std::optional<std::string> format =
            count == 2 ? StringArgument(args[1]) : std::optional<std::string>("");
        if (!format)
            Refuse("Format 的格式不是字符串常量");
        const std::optional<std::string> mysql = DateFormat(*format);
        if (!mysql)
            Refuse("Format 格式 '" + (count == 2 ? args[1].value : std::string()) + "'");
        return Call("DATE_FORMAT", {args[0].sql, Quoted(*mysql)});
    }
    Refuse("用户定义的函数 '" + name + "'");
}

// Access counts the interval boundaries crossed (DateDiff("yyyy", #12/31/2019#, #1/1/2020#) is
// 1), where TIMESTAMPDIFF counts whole intervals; each form below counts boundaries.
Expr Translator::DateDiff(const std::string& interval, const Expr& first, const Expr& last) {
    const auto call = [](const char* function, const Expr& arg) {
        return Call(function, {arg.sql});
    };
    const auto difference = [](const Expr& later, const Expr& earlier) {
        return Binary(later, "-", earlier, kAdd);
    };
    // A count of whole units since year 0, for the boundaries of months and quarters.
    const auto serial = [&](const Expr& date, const char* part, const char* per_year) {
        return Binary(Binary(call("YEAR", date), "*", NumberLiteral(per_year), kMul), "+",
                      call(part, date), kAdd);
    };
    const auto seconds_div = [&](const Expr& date, const char* unit) {
        return Binary(call("TO_SECONDS", date), "DIV", NumberLiteral(unit), kMul);
    };
    if (interval == "yyyy")
        return difference(call("YEAR", last), call("YEAR", first));
    if (interval == "q")
        return difference(serial(last, "QUARTER", "4"), serial(first, "QUARTER", "4"));
    if (interval == "m")
        return difference(serial(last, "MONTH", "12"), serial(first, "MONTH", "12"));
    if (interval == "d" || interval == "y")
        return Call("DATEDIFF", {last.sql, first.sql}); // midnights crossed; times are ignored
    if (interval == "ww") {
        // Sundays after the first date up to the last: the difference of the Sundays that
        // start their weeks, in weeks.
        const auto week_start = [&](const Expr& date) {
            return difference(call("TO_DAYS", date), call("DAYOFWEEK", date));
        };
        return Binary(difference(week_start(last), week_start(first)), "DIV", NumberLiteral("7"),
                      kMul);
    }
    if (interval == "h")
        return difference(seconds_div(last, "3600"), seconds_div(first, "3600"));
    if (interval == "n")
        return difference(seconds_div(last, "60"), seconds_div(first, "60"));
    if (interval == "s")
        return difference(call("TO_SECONDS", last), call("TO_SECONDS", first));
    Refuse("DateDiff 的间隔 '" + interval + "'");
}

} // namespace

QueryTranslation TranslateAccessQuery(std::string_view access_sql, const ColumnLookup& columns) {
    QueryTranslation result;
    try {
        Translator translator(Tokenize(access_sql), columns);
        result.select = translator.Statement();
        result.sources = std::move(translator.sources);
    } catch (const Refused& refused) {
        result = QueryTranslation{};
        result.refusal = refused.what;
    }
    return result;
}

} // namespace tw::engine
