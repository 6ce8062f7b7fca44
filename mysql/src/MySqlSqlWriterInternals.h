#pragma once

#include "tablewright/mysql/MySqlSqlWriter.h"

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The writer of Access syntax trees as MySQL, shared by its files: expressions
// (MySqlExprWriter.cpp), functions (MySqlFunctionWriter.cpp) and statements (MySqlSqlWriter.cpp).
//
// Every written expression carries its MySQL text and the precedence of its outermost MySQL
// operator, so that parentheses are added exactly where MySQL would otherwise group differently,
// and what is known of its value (a literal, never Null, text, a date) where the MySQL form
// depends on it. Each construct is either written in a form that gives the same value for every
// row, or refused with the construct named.

namespace tw::data::sqlwriter {

/// Stops the writing of a statement; carries the refusal text.
struct Refused {
    std::string what;
};

[[noreturn]] void Refuse(std::string what);

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

/// The longest MySQL text an expression may be written as.
constexpr std::size_t kMaxExpression = 256 * 1024;

enum class Shape { Other, String, Number, Null, Boolean, Column, Star };

/// What is known of an expression's Access type, where the MySQL form depends on it: whole
/// numbers (Byte, Integer, Long), exact decimals (Currency, Decimal; MySQL DECIMAL), floating
/// point (Single, Double), text, dates, Yes/No.
enum class ValueType { Unknown, Integer, Decimal, Double, Text, Date, Boolean };

/// One written expression.
struct Written {
    std::string sql;
    int prec = kAtom;
    Shape shape = Shape::Other;
    /// String: its value; Number: as written; Column: the column's name.
    std::string value;
    /// Column: the table (or alias) before the dot, empty when none.
    std::string qualifier;
    /// Never Null (literals and what is made of them).
    bool never_null = false;
    /// Text that cannot be read as a number, so that Access's '+' can only join it.
    bool text_only = false;
    /// A date/time value: a date literal, Date(), Now() and the date functions' results.
    bool is_date = false;
    ValueType type = ValueType::Unknown;
};

/// The type of an arithmetic result (+ - *) of operands of these types.
ValueType ArithmeticType(ValueType left, ValueType right);

/// `x` rounded to `digits` decimals (0 to 11) as Access rounds (half to even, on the exact
/// value of a Currency, Decimal or Double); `what` names the function for the refusal when the
/// type of x is not known.
Written RoundHalfEven(const Written& x, int digits, const std::string& what);

bool IsDigit(char c);
std::string AsciiLower(std::string_view text);
std::string AsciiUpper(std::string_view text);
/// A lower-cased backtick name.
std::string Name(std::string_view name);
/// Text between apostrophes.
std::string Quoted(std::string_view text);

Written Make(std::string sql, int prec);
Written NumberLiteral(std::string text);
/// The expression's text, in parentheses when its operator binds looser than `min_prec`.
std::string Operand(const Written& e, int min_prec);
/// A left-associative binary operator.
Written Binary(const Written& left, std::string_view op, const Written& right, int prec);
/// A comparison: the left side in parentheses when it is a comparison itself.
Written Comparing(const Written& left, std::string_view op, const std::string& right_sql);
Written Call(std::string_view function, std::initializer_list<std::string_view> args);
Written Call(std::string_view function, const std::vector<Written>& args);
Written Negated(const Written& e);
/// "=", "<>", ... for a comparison operator; null for the others.
const char* ComparisonSymbol(sql::BinaryOp op);
Written NotOf(const Written& e);
/// A whole-number literal of at most 15 digits.
bool IsInteger(const Written& e);
/// `e` - 1, worked out for a whole-number literal.
Written MinusOne(const Written& e);
/// The value of a string-literal argument, lower-cased.
std::optional<std::string> StringArgument(const Written& e);

/// Writes trees; one per statement or expression written.
class Writer {
public:
    explicit Writer(const SqlWriterContext& context) : context_(context) {}

    /// A select or union statement at the top of a view.
    std::string TopStatement(const sql::Statement& statement);
    Written Expression(const sql::Expr& e);
    /// An expression over one row of `row_table` (empty when not known).
    std::string RowExpression(const sql::Expr& e, const std::string& row_table);
    /// A select or union query at the top of a statement (a procedure's SELECT, the rows of
    /// INSERT ... SELECT).
    std::string TopQuery(const sql::Query& query) { return QueryBody(query, Context::Top); }
    /// One FROM item as for a select (the tables of UPDATE and DELETE); `tables` gets the
    /// names (or aliases) it defines, lower-cased.
    std::string FromItem(const sql::TableRef& table, std::vector<std::string>& tables) {
        return TableReference(table, tables);
    }

    /// The SELECT of a crosstab with fixed column headings (PIVOT ... IN): the row headings,
    /// then one column per listed heading, in the listed order, named by it, each the TRANSFORM
    /// aggregate over the group's rows of that heading (MySqlCrosstab.cpp).
    sql::Query FixedCrosstab(const sql::Statement& statement);
    /// What is known of the type of `e` over the tables of `from`.
    ValueType TypeIn(const std::vector<sql::TableRefPtr>& from, const sql::Expr& e);

    std::vector<std::string> sources;

private:
    // Where the query text appears: at the top, as a derived table in FROM, as a subquery whose
    // value is used, or as the list of IN / ANY / ALL.
    enum class Context { Top, Derived, Value, Membership };

    struct SelectPart {
        std::string sql;
        std::optional<std::string> top;
        /// TOP n PERCENT: the select list's part of sql ("SELECT a, b"), the rest (" FROM ..."),
        /// and the names of the view's columns.
        bool percent = false;
        std::string head;
        std::string tail;
        std::vector<std::string> names;
    };

    struct Item {
        Written expr;
        std::optional<std::string> alias;
    };

    void AddSource(const std::string& name);
    std::string QueryBody(const sql::Query& query, Context context);
    SelectPart Select(const sql::Select& select, bool name_columns);
    std::optional<sql::Select> SemiJoin(const sql::Select& select);
    std::string OrderBy(const std::vector<sql::OrderItem>& order, bool of_union);
    std::string TableReference(const sql::TableRef& table, std::vector<std::string>& tables);
    bool ExpandStars(std::vector<Item>& items) const;

    Written Unbounded(const sql::Expr& e);
    Written Column(const sql::Expr& e);
    Written BinaryOperator(const sql::Expr& e);
    Written Like(const Written& left, const Written& pattern, bool negated, bool ansi);
    Written Concat(const std::vector<Written>& parts);
    Written Add(const Written& left, const Written& right, bool minus);
    Written FunctionCall(const sql::Expr& e);
    Written Function(const std::string& name, const std::vector<Written>& args);
    Written DateDiff(const std::string& interval, const Written& first, const Written& last);
    Written Conversion(const std::string& key, const std::string& name,
                       const std::vector<Written>& args);
    Written DomainAggregate(const sql::Expr& call, const std::string& key);
    ValueType ColumnType(const sql::Expr& column) const;

    const SqlWriterContext& context_;
    // Aliases written with their case kept (a crosstab's headings, named as Access shows them).
    std::set<std::string> exact_aliases_;
    // The tables named by the select list being written (lower-cased), for DISTINCTROW.
    std::set<std::string>* output_tables_ = nullptr;
    // The tables of the FROM clause being written: the name or alias they are known by and the
    // table itself (empty for a derived table).
    std::vector<std::pair<std::string, std::string>> from_tables_;
    // For each select being written, the tables its columns name that no FROM clause so far
    // defines; what a select's own FROM does not define passes to the select around it. Access
    // asks for the value of a column whose table no FROM clause names, as for a parameter.
    std::vector<std::set<std::string>> unresolved_;
    // For each select being written, innermost last, the tables of its FROM clause: the name
    // or alias they are known by and the table itself (empty for a derived table), for the
    // types of its columns.
    std::vector<std::vector<std::pair<std::string, std::string>>> scopes_;
};

} // namespace tw::data::sqlwriter
