#include "MySqlSqlWriterInternals.h"
#include "tablewright/model/Text.h"
#include "tablewright/mysql/SqlText.h"

#include <algorithm>
#include <memory>

// A crosstab query with fixed column headings (TRANSFORM agg(x) SELECT ... PIVOT p IN (...)) as
// one SELECT: the row headings grouped as written, then one column per listed heading, in the
// listed order, each the aggregate of x over the group's rows whose PIVOT value is that heading
// (conditional aggregation). A heading no row has gives an empty (Null) column; rows whose value
// is not listed are in no column, as in Access.

namespace tw::data::sqlwriter {

namespace {

sql::ExprPtr Node(sql::Expr e) {
    return std::make_shared<const sql::Expr>(std::move(e));
}

sql::ExprPtr LiteralOf(sql::LiteralType type, std::string text) {
    sql::Expr e;
    e.kind = sql::ExprKind::Literal;
    e.literal = type;
    e.text = std::move(text);
    return Node(std::move(e));
}

sql::ExprPtr CallOf(const char* function, std::vector<sql::ExprPtr> args) {
    sql::Expr e;
    e.kind = sql::ExprKind::Call;
    e.text = function;
    e.args = std::move(args);
    return Node(std::move(e));
}

sql::ExprPtr BinaryOf(sql::BinaryOp op, sql::ExprPtr left, sql::ExprPtr right) {
    sql::Expr e;
    e.kind = sql::ExprKind::Binary;
    e.binary = op;
    e.args = {std::move(left), std::move(right)};
    return Node(std::move(e));
}

// A number as Access writes it as a column heading: without a leading '+', leading zeros or
// trailing zeros of its fraction; nullopt for an exponent.
std::optional<std::string> NumberName(const std::string& written, bool negative) {
    if (written.find_first_of("eE") != std::string::npos)
        return std::nullopt;
    const std::size_t dot = written.find('.');
    std::string whole = written.substr(0, dot);
    std::string fraction = dot == std::string::npos ? "" : written.substr(dot + 1);
    whole.erase(0, std::min(whole.find_first_not_of('0'), whole.size()));
    while (!fraction.empty() && fraction.back() == '0')
        fraction.pop_back();
    std::string name = (whole.empty() ? "0" : whole) + (fraction.empty() ? "" : "." + fraction);
    return (negative && name != "0" ? "-" : "") + name;
}

// A whole number as Access writes it ("2019", "-3"): the text a heading must be for a whole
// number's rows to be shown under it.
bool IsIntegerName(const std::string& text) {
    const std::size_t start = !text.empty() && text[0] == '-' ? 1 : 0;
    if (text.size() <= start || text.size() - start > 15 || (text[start] == '0' && text != "0"))
        return false;
    for (std::size_t i = start; i < text.size(); ++i)
        if (!IsDigit(text[i]))
            return false;
    return true;
}

} // namespace

sql::Query Writer::FixedCrosstab(const sql::Statement& statement) {
    const sql::Query& query = *statement.query;
    if (query.parts.size() != 1 || query.parts[0].table_form || query.parts[0].having ||
        query.parts[0].group_by.empty())
        Refuse("交叉表查询中的 HAVING 或联合");
    const sql::Expr& transform = *statement.transform;
    const std::string function = AsciiLower(transform.text);
    if (transform.kind != sql::ExprKind::Call)
        Refuse("交叉表的值不是聚合函数");
    if (function == "first" || function == "last")
        Refuse("交叉表的值 '" + transform.text + "'（结果取决于记录顺序）");
    bool known = false;
    for (const char* aggregate :
         {"sum", "avg", "min", "max", "count", "stdev", "stdevp", "var", "varp"})
        known = known || function == aggregate;
    if (!known || (transform.args.size() != 1 && !transform.count_star))
        Refuse("交叉表的值 '" + transform.text +
               "' 不是 Sum、Avg、Min、Max、Count、StDev、StDevP、Var 或 VarP");

    sql::Query out = query;
    sql::Select& select = out.parts[0];
    const ValueType pivot_type = TypeIn(select.from, *statement.pivot);
    std::set<std::string> names;
    for (const auto& item : select.items)
        if (item.alias)
            names.insert(Utf8ToLower(*item.alias));
        else if (item.expr && item.expr->kind == sql::ExprKind::Column)
            names.insert(Utf8ToLower(item.expr->text));

    for (const auto& listed : statement.pivot_in) {
        // The heading's column name, and the value the PIVOT expression is compared with.
        const sql::Expr* heading = listed.get();
        const bool negative = heading->kind == sql::ExprKind::Unary &&
                              heading->unary == sql::UnaryOp::Negate &&
                              heading->args[0]->kind == sql::ExprKind::Literal;
        if (negative)
            heading = heading->args[0].get();
        if (heading->kind != sql::ExprKind::Literal ||
            (heading->literal != sql::LiteralType::Text &&
             heading->literal != sql::LiteralType::Number) ||
            (negative && heading->literal != sql::LiteralType::Number))
            Refuse("交叉表的列标题不是文本或数字常量（日期等的列名取决于 Access 的区域设置）");
        const bool numeric_pivot = pivot_type == ValueType::Integer ||
                                   pivot_type == ValueType::Decimal ||
                                   pivot_type == ValueType::Double;
        std::string name;
        sql::ExprPtr value = listed;
        if (heading->literal == sql::LiteralType::Number) {
            const auto number = NumberName(heading->text, negative);
            if (!number)
                Refuse("交叉表的列标题 '" + heading->text + "'（指数形式）");
            if (!numeric_pivot)
                Refuse("交叉表的列标题 '" + *number + "' 是数字，PIVOT 的值不是数字");
            name = *number;
        } else {
            name = heading->text;
            // A number's rows are shown under the heading that is its text; for whole numbers
            // that text is the same whatever the regional settings.
            if (pivot_type == ValueType::Integer && IsIntegerName(name))
                value = LiteralOf(sql::LiteralType::Number, name);
            else if (pivot_type != ValueType::Text)
                Refuse("交叉表的列标题 '" + name + "' 与 PIVOT 的值类型不同或类型未知");
        }
        if (name.empty() || name.back() == ' ' || Utf8CharCount(name) > 64)
            Refuse("交叉表的列标题 '" + name + "' 不能作为 MySQL 的列名");
        if (!names.insert(Utf8ToLower(name)).second)
            Refuse("交叉表的列名 '" + name + "' 重复");

        // The aggregate of the heading's rows; Null where the group has none of them (Access
        // leaves the cell empty, also for Count).
        const sql::ExprPtr match = BinaryOf(sql::BinaryOp::Equal, statement.pivot, value);
        const sql::ExprPtr one = LiteralOf(sql::LiteralType::Number, "1");
        const sql::ExprPtr null = LiteralOf(sql::LiteralType::Null, "Null");
        const sql::ExprPtr x = transform.count_star ? one : transform.args[0];
        sql::ExprPtr cell = CallOf(transform.text.c_str(), {CallOf("IIf", {match, x, null})});
        if (function == "count") {
            const sql::ExprPtr rows = CallOf(
                "Sum", {CallOf("IIf", {match, one, LiteralOf(sql::LiteralType::Number, "0")})});
            cell = CallOf("IIf", {BinaryOf(sql::BinaryOp::Greater, rows,
                                           LiteralOf(sql::LiteralType::Number, "0")),
                                  cell, null});
        }
        exact_aliases_.insert(name);
        select.items.push_back(sql::SelectItem{cell, false, {}, name});
    }
    return out;
}

} // namespace tw::data::sqlwriter
