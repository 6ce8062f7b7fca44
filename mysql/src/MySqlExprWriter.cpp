#include "MySqlSqlWriterInternals.h"
#include "tablewright/model/AdoTypes.h"
#include "tablewright/mysql/MySqlDialect.h"
#include "tablewright/mysql/SqlText.h"

#include <algorithm>
#include <cctype>

// Expressions: literals, names, operators, Like and the joining of text.

namespace tw::data::sqlwriter {

void Refuse(std::string what) {
    throw Refused{std::move(what)};
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
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

std::string Name(std::string_view name) {
    std::string out;
    MySqlDialect::AppendName(out, name);
    return out;
}

std::string Quoted(std::string_view text) {
    std::string out = "'";
    AppendEscapedText(out, text);
    out += '\'';
    return out;
}

Written Make(std::string sql, int prec) {
    Written e;
    e.sql = std::move(sql);
    e.prec = prec;
    return e;
}

Written NumberLiteral(std::string text) {
    Written e = Make(text, kAtom);
    e.shape = Shape::Number;
    // Access reads a literal with a point or an exponent, or beyond a Long, as a Double.
    const bool real = text.find_first_of(".eE") != std::string::npos;
    const std::string digits = text.front() == '-' ? text.substr(1) : text;
    e.type = real || digits.size() > 10 || (digits.size() == 10 && digits > "2147483647")
                 ? ValueType::Double
                 : ValueType::Integer;
    e.value = std::move(text);
    e.never_null = true;
    return e;
}

// The expression's text, in parentheses when its operator binds looser than `min_prec`.
std::string Operand(const Written& e, int min_prec) {
    return e.prec >= min_prec ? e.sql : "(" + e.sql + ")";
}

// A left-associative binary operator.
Written Binary(const Written& left, std::string_view op, const Written& right, int prec) {
    return Make(Operand(left, prec) + " " + std::string(op) + " " + Operand(right, prec + 1), prec);
}

// A comparison: both sides in parentheses when they are comparisons themselves.
Written Comparing(const Written& left, std::string_view op, const std::string& right_sql) {
    return Make(Operand(left, kCompare + 1) + " " + std::string(op) + " " + right_sql, kCompare);
}

Written Call(std::string_view function, std::initializer_list<std::string_view> args) {
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

Written Call(std::string_view function, const std::vector<Written>& args) {
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

Written Negated(const Written& e) {
    std::string inner = Operand(e, kNegate);
    if (inner.front() == '-')
        inner = "(" + inner + ")";
    Written result = Make("-" + inner, kNegate);
    result.type = e.type;
    if (e.shape == Shape::Number) {
        result.shape = Shape::Number;
        result.value = "-" + e.value;
        result.never_null = true;
    }
    return result;
}

Written NotOf(const Written& e) {
    // Always in parentheses: with HIGH_NOT_PRECEDENCE, NOT a = b would mean (NOT a) = b.
    return Make("NOT " + Operand(e, kAtom), kNot);
}

// A whole-number literal, of at most 15 digits so that it can be worked with.
bool IsInteger(const Written& e) {
    if (e.shape != Shape::Number)
        return false;
    std::string_view text = e.value;
    if (!text.empty() && text.front() == '-')
        text.remove_prefix(1);
    return !text.empty() && text.size() <= 15 && std::all_of(text.begin(), text.end(), IsDigit);
}

// `e` - 1, worked out for a whole-number literal.
Written MinusOne(const Written& e) {
    if (IsInteger(e)) {
        const long long value = std::stoll(e.value);
        return NumberLiteral(std::to_string(value - 1));
    }
    return Binary(e, "-", NumberLiteral("1"), kAdd);
}

// The value of a string-literal argument (interval names, formats), lower-cased.
std::optional<std::string> StringArgument(const Written& e) {
    if (e.shape != Shape::String)
        return std::nullopt;
    return AsciiLower(e.value);
}

namespace {

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

} // namespace

Written Writer::Like(const Written& left, const Written& pattern, bool negated, bool ansi) {
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

// Access's & takes Null as "" and is Null only when every part is Null; CONCAT_WS skips Nulls
// but gives "" then, so the all-Null case is spelt out unless a part can never be Null.
Written Writer::Concat(const std::vector<Written>& parts) {
    bool never_null = false;
    std::string list;
    for (const Written& part : parts) {
        // Access writes dates and Yes/No values as text its own way (1/31/2020, True).
        if (part.is_date)
            Refuse("日期参与 '&' 连接");
        if (part.shape == Shape::Boolean)
            Refuse("True/False 参与 '&' 连接");
        never_null = never_null || part.never_null;
        list += (list.empty() ? "" : ", ") + part.sql;
    }
    const std::string joined = "CONCAT_WS('', " + list + ")";
    Written e = Make(
        never_null ? joined : "IF(COALESCE(" + list + ") IS NULL, NULL, " + joined + ")", kAtom);
    e.never_null = never_null;
    return e;
}

Written Writer::Add(const Written& left, const Written& right, bool minus) {
    // Access adds days to a date; MySQL would add to the number 20200131000000.
    if (left.is_date || right.is_date) {
        const Written& date = left.is_date ? left : right;
        const Written& days = left.is_date ? right : left;
        if (days.is_date || !IsInteger(days) || (minus && !left.is_date))
            Refuse("日期的加减运算");
        const Written count = minus ? Negated(days) : days;
        Written e = Call("TIMESTAMPADD", {"DAY", count.sql, date.sql});
        e.is_date = true;
        return e;
    }
    // Access's + joins two texts (Null if either is Null) and adds numbers; a text that holds
    // no digit cannot be a number, so + with it joins (a number there would be an error).
    if (!minus && (left.shape == Shape::String || right.shape == Shape::String || left.text_only ||
                   right.text_only)) {
        if (!left.text_only && !right.text_only)
            Refuse("数字文本参与 '+' 运算");
        Written e = Call("CONCAT", {left.sql, right.sql});
        e.text_only = true;
        e.never_null = left.never_null && right.never_null;
        return e;
    }
    Written e = Binary(left, minus ? "-" : "+", right, kAdd);
    e.never_null = left.never_null && right.never_null;
    e.type = ArithmeticType(left.type, right.type);
    return e;
}

Written Writer::Expression(const sql::Expr& e) {
    // Some forms repeat an operand (&'s Null test, rounding, DateDiff); nested, they would grow
    // without bound.
    Written w = Unbounded(e);
    if (w.sql.size() > kMaxExpression)
        Refuse("表达式过长");
    return w;
}

Written Writer::Unbounded(const sql::Expr& e) {
    switch (e.kind) {
    case sql::ExprKind::Literal:
        switch (e.literal) {
        case sql::LiteralType::Number:
            return NumberLiteral(e.text);
        case sql::LiteralType::Text: {
            Written w = Make(Quoted(e.text), kAtom);
            w.shape = Shape::String;
            w.value = e.text;
            w.never_null = true;
            w.text_only = std::none_of(w.value.begin(), w.value.end(), IsDigit);
            w.type = ValueType::Text;
            return w;
        }
        case sql::LiteralType::Date: {
            Written w = Make("TIMESTAMP'" + e.text + "'", kAtom);
            w.never_null = true;
            w.is_date = true;
            w.type = ValueType::Date;
            return w;
        }
        case sql::LiteralType::Null: {
            Written w = Make("NULL", kAtom);
            w.shape = Shape::Null;
            return w;
        }
        case sql::LiteralType::Boolean: {
            // Converted Yes/No columns hold 1 and 0 (not Access's -1), so True is MySQL's TRUE.
            Written w = Make(e.text == "True" ? "TRUE" : "FALSE", kAtom);
            w.shape = Shape::Boolean;
            w.never_null = true;
            w.type = ValueType::Boolean;
            return w;
        }
        }
        break;
    case sql::ExprKind::Column:
        return Column(e);
    case sql::ExprKind::Parameter: {
        if (context_.parameter)
            return Make(Name(context_.parameter(e.text)), kAtom);
        const std::string root = AsciiLower(e.text.substr(0, e.text.find(']') + 1));
        if (root == "[forms]" || root == "[reports]" || root == "[screen]" || root == "[tempvars]")
            Refuse("引用窗体或报表的参数 '" + e.text + "'");
        Refuse("参数 '" + e.text + "'");
    }
    case sql::ExprKind::Unary: {
        Written operand = Expression(*e.args[0]);
        switch (e.unary) {
        case sql::UnaryOp::Negate: {
            Written w = Negated(operand);
            w.type = operand.type;
            return w;
        }
        case sql::UnaryOp::Plus:
            return operand;
        case sql::UnaryOp::Not:
            return NotOf(operand);
        }
        break;
    }
    case sql::ExprKind::Binary:
        return BinaryOperator(e);
    case sql::ExprKind::IsNull: {
        const Written operand = Expression(*e.args[0]);
        return Make(Operand(operand, kCompare + 1) + (e.negated ? " IS NOT NULL" : " IS NULL"),
                    kCompare);
    }
    case sql::ExprKind::Between: {
        const Written operand = Expression(*e.args[0]);
        const Written low = Expression(*e.args[1]);
        const Written high = Expression(*e.args[2]);
        return Make(Operand(operand, kCompare + 1) + (e.negated ? " NOT BETWEEN " : " BETWEEN ") +
                        Operand(low, kCompare + 1) + " AND " + Operand(high, kCompare + 1),
                    kBetween);
    }
    case sql::ExprKind::In: {
        const Written operand = Expression(*e.args[0]);
        std::string list;
        if (e.query) {
            list = QueryBody(*e.query, Context::Membership);
        } else {
            for (std::size_t i = 1; i < e.args.size(); ++i)
                list += (i == 1 ? "" : ", ") + Expression(*e.args[i]).sql;
        }
        return Comparing(operand, e.negated ? "NOT IN" : "IN", "(" + list + ")");
    }
    case sql::ExprKind::Quantified: {
        const Written operand = Expression(*e.args[0]);
        const std::string body = QueryBody(*e.query, Context::Membership);
        return Comparing(operand, ComparisonSymbol(e.binary), e.text + " (" + body + ")");
    }
    case sql::ExprKind::Exists:
        return Make("EXISTS (" + QueryBody(*e.query, Context::Value) + ")", kAtom);
    case sql::ExprKind::Subquery:
        return Make("(" + QueryBody(*e.query, Context::Value) + ")", kAtom);
    case sql::ExprKind::Call:
        return FunctionCall(e);
    case sql::ExprKind::Paren: {
        Written inner = Expression(*e.args[0]);
        // A literal keeps what it is (Like ("A*")); a parenthesised field is an expression.
        if (inner.shape == Shape::Column)
            inner.shape = Shape::Other;
        inner.sql = "(" + inner.sql + ")";
        inner.prec = kAtom;
        return inner;
    }
    }
    Refuse("无法识别的表达式");
}

// field, table.field
Written Writer::Column(const sql::Expr& e) {
    Written w;
    w.shape = Shape::Column;
    w.value = e.text;
    if (!e.qualifier.empty()) {
        w.qualifier = e.qualifier;
        if (!unresolved_.empty())
            unresolved_.back().insert(Utf8ToLower(e.qualifier));
        w.sql = Name(e.qualifier) + "." + Name(e.text);
        if (output_tables_)
            output_tables_->insert(Utf8ToLower(e.qualifier));
    } else {
        w.sql = Name(e.text);
    }
    w.type = ColumnType(e);
    return w;
}

namespace {

ValueType FromAdo(int ado_type) {
    switch (ado_type) {
    case adTinyInt:
    case adUnsignedTinyInt:
    case adSmallInt:
    case adInteger:
    case adBigInt:
        return ValueType::Integer;
    case adCurrency:
    case adDecimal:
    case adNumeric:
        return ValueType::Decimal;
    case adSingle:
    case adDouble:
        return ValueType::Double;
    case adBoolean:
        return ValueType::Boolean;
    case adDate:
        return ValueType::Date;
    case adWChar:
    case adVarWChar:
    case adLongVarWChar:
        return ValueType::Text;
    default:
        return ValueType::Unknown;
    }
}

} // namespace

// The type of a column of a table of the FROM clauses around it, innermost first; unknown when
// the table is not one of the file's (a derived table) or the name is not found exactly once.
ValueType Writer::ColumnType(const sql::Expr& column) const {
    if (!context_.column_type)
        return ValueType::Unknown;
    const std::string name = Utf8ToLower(column.text);
    const std::string qualifier = Utf8ToLower(column.qualifier);
    for (auto scope = scopes_.rbegin(); scope != scopes_.rend(); ++scope) {
        std::optional<std::string> found;
        for (const auto& [handle, table] : *scope) {
            if (!qualifier.empty()) {
                if (Utf8ToLower(handle) != qualifier)
                    continue;
                if (table.empty())
                    return ValueType::Unknown;
                const auto type = context_.column_type(table, column.text);
                return type ? FromAdo(*type) : ValueType::Unknown;
            }
            const auto names =
                table.empty() || !context_.columns ? std::nullopt : context_.columns(table);
            if (!names)
                return ValueType::Unknown;
            for (const auto& known : *names) {
                if (Utf8ToLower(known) != name)
                    continue;
                if (found)
                    return ValueType::Unknown;
                found = table;
            }
        }
        if (found) {
            const auto type = context_.column_type(*found, column.text);
            return type ? FromAdo(*type) : ValueType::Unknown;
        }
    }
    return ValueType::Unknown;
}

const char* ComparisonSymbol(sql::BinaryOp op) {
    switch (op) {
    case sql::BinaryOp::Equal:
        return "=";
    case sql::BinaryOp::NotEqual:
        return "<>";
    case sql::BinaryOp::Less:
        return "<";
    case sql::BinaryOp::Greater:
        return ">";
    case sql::BinaryOp::LessEqual:
        return "<=";
    case sql::BinaryOp::GreaterEqual:
        return ">=";
    default:
        return nullptr;
    }
}

Written Writer::BinaryOperator(const sql::Expr& e) {
    using sql::BinaryOp;
    if (e.binary == BinaryOp::Concat) {
        // a & b & c is one CONCAT_WS of all its parts.
        std::vector<const sql::Expr*> chain;
        const sql::Expr* node = &e;
        while (node->kind == sql::ExprKind::Binary && node->binary == BinaryOp::Concat) {
            chain.push_back(node->args[1].get());
            node = node->args[0].get();
        }
        chain.push_back(node);
        std::vector<Written> parts;
        for (auto it = chain.rbegin(); it != chain.rend(); ++it)
            parts.push_back(Expression(**it));
        return Concat(parts);
    }
    const Written left = Expression(*e.args[0]);
    if (e.binary == BinaryOp::Imp)
        Refuse("运算符 'Imp'");
    if (e.binary == BinaryOp::Eqv)
        Refuse("运算符 'Eqv'");
    const Written right = Expression(*e.args[1]);
    switch (e.binary) {
    // And, Or, Xor and Not work bit by bit on numbers in Access and on truth values in MySQL;
    // on truth values (True -1 or 1, False 0, Null) both give the same.
    case BinaryOp::Xor:
        return Binary(left, "XOR", right, kXor);
    case BinaryOp::Or:
        return Binary(left, "OR", right, kOr);
    case BinaryOp::And:
        return Binary(left, "AND", right, kAnd);
    case BinaryOp::Like:
    case BinaryOp::ALike:
        return Like(left, right, e.negated, e.binary == BinaryOp::ALike);
    case BinaryOp::Add:
    case BinaryOp::Subtract:
        return Add(left, right, e.binary == BinaryOp::Subtract);
    // Mod and \ round their operands to whole numbers first in Access; for whole numbers, as in
    // keys, counts and the like, MOD and DIV give the same (both keep the dividend's sign).
    case BinaryOp::Mod:
    case BinaryOp::IntDivide: {
        // Access rounds a Currency, Decimal or Double operand to a whole number first (half to
        // even): 7.5 Mod 2 is 0.
        const char* what = e.binary == BinaryOp::Mod ? "运算符 'Mod'" : "运算符 '\\'";
        const auto whole = [&](const Written& w) {
            return w.type == ValueType::Decimal || w.type == ValueType::Double
                       ? RoundHalfEven(w, 0, what)
                       : w;
        };
        Written w =
            Binary(whole(left), e.binary == BinaryOp::Mod ? "MOD" : "DIV", whole(right), kMul);
        w.type = ArithmeticType(left.type, right.type) == ValueType::Unknown ? ValueType::Unknown
                                                                             : ValueType::Integer;
        return w;
    }
    case BinaryOp::Multiply: {
        Written w = Binary(left, "*", right, kMul);
        w.type = ArithmeticType(left.type, right.type);
        return w;
    }
    case BinaryOp::Divide: {
        // Access divides in floating point; MySQL divides whole and decimal numbers as DECIMAL
        // with four more decimals (7 / 3 = 2.3333), so the dividend is made a double first.
        Written w = Binary(Binary(left, "*", NumberLiteral("1e0"), kMul), "/", right, kMul);
        w.type = ValueType::Double;
        return w;
    }
    case BinaryOp::Power:
        return Call("POW", {left.sql, right.sql});
    default:
        break;
    }
    if (const char* symbol = ComparisonSymbol(e.binary))
        return Comparing(left, symbol, Operand(right, kCompare + 1));
    Refuse("无法识别的运算符");
}

Written Writer::FunctionCall(const sql::Expr& e) {
    if (e.count_star) {
        Written w = Make("COUNT(*)", kAtom);
        w.type = ValueType::Integer;
        return w;
    }
    std::string key = AsciiLower(e.text);
    for (const char* domain : {"dlookup", "dcount", "dsum", "davg", "dmin", "dmax", "dfirst",
                               "dlast", "dstdev", "dstdevp", "dvar", "dvarp"})
        if (key == domain)
            return DomainAggregate(e, key);
    std::vector<Written> args;
    for (const auto& arg : e.args)
        args.push_back(Expression(*arg));
    return Function(e.text, args);
}

} // namespace tw::data::sqlwriter
