#include "MySqlSqlWriterInternals.h"
#include "tablewright/mysql/MySqlDialect.h"
#include "tablewright/mysql/SqlText.h"

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <optional>

// Saved queries that are not views as stored procedures: a select or union query that asks for
// values (PARAMETERS, a form or report reference) returns its rows for the values it is called
// with; an append, update, delete or make-table query does its work when it is called, never
// while the database is converted.

namespace tw::data::sqlwriter {

namespace {

// Calls `visit` on every parameter node of a tree, subqueries and joins included.
struct ParameterWalk {
    std::function<void(const sql::Expr&)> visit;

    void Expr(const sql::ExprPtr& e) {
        if (!e)
            return;
        if (e->kind == sql::ExprKind::Parameter)
            visit(*e);
        for (const auto& arg : e->args)
            Expr(arg);
        Query(e->query);
    }
    void Table(const sql::TableRefPtr& t) {
        if (!t)
            return;
        Table(t->left);
        Table(t->right);
        Table(t->inner);
        Expr(t->on);
        Query(t->query);
    }
    void Query(const sql::QueryPtr& q) {
        if (!q)
            return;
        for (const auto& part : q->parts) {
            for (const auto& item : part.items)
                Expr(item.expr);
            for (const auto& table : part.from)
                Table(table);
            Expr(part.where);
            for (const auto& group : part.group_by)
                Expr(group);
            Expr(part.having);
        }
        for (const auto& order : q->order_by)
            Expr(order.expr);
    }
    void Statement(const sql::Statement& s) {
        Query(s.query);
        Expr(s.transform);
        Expr(s.pivot);
        for (const auto& e : s.pivot_in)
            Expr(e);
        for (const auto& e : s.values)
            Expr(e);
        for (const auto& t : s.tables)
            Table(t);
        for (const auto& a : s.assignments) {
            Expr(a.column);
            Expr(a.value);
        }
        Expr(s.where);
    }
};

// The columns an expression reads (lower-cased "table.column" and "column"), subqueries left
// out.
void ColumnsOf(const sql::ExprPtr& e, std::set<std::string>& columns) {
    if (!e)
        return;
    if (e->kind == sql::ExprKind::Column) {
        columns.insert(Utf8ToLower(e->text));
        if (!e->qualifier.empty())
            columns.insert(Utf8ToLower(e->qualifier) + "." + Utf8ToLower(e->text));
    }
    for (const auto& arg : e->args)
        ColumnsOf(arg, columns);
}

// The tables (or aliases) that columns of an expression name, subqueries left out.
void QualifiersOf(const sql::ExprPtr& e, std::set<std::string>& tables) {
    if (!e)
        return;
    if (e->kind == sql::ExprKind::Column && !e->qualifier.empty())
        tables.insert(Utf8ToLower(e->qualifier));
    for (const auto& arg : e->args)
        QualifiersOf(arg, tables);
}

// The MySQL type of a parameter from its Access type as written ("Text (50)", "Long", ...).
std::string ParameterType(const std::string& name, const std::string& written) {
    std::string type = AsciiLower(written);
    std::string size;
    if (const auto open = type.find('('); open != std::string::npos) {
        const auto close = type.find(')', open);
        size = type.substr(open + 1, close == std::string::npos ? close : close - open - 1);
        size.erase(std::remove(size.begin(), size.end(), ' '), size.end());
        type = type.substr(0, open);
    }
    while (!type.empty() && type.back() == ' ')
        type.pop_back();
    static const std::map<std::string, std::string> kTypes = {
        {"bit", "BOOLEAN"},
        {"yesno", "BOOLEAN"},
        {"logical", "BOOLEAN"},
        {"boolean", "BOOLEAN"},
        {"byte", "TINYINT UNSIGNED"},
        {"short", "SMALLINT"},
        {"smallint", "SMALLINT"},
        {"integer2", "SMALLINT"},
        {"long", "INT"},
        {"int", "INT"},
        {"integer", "INT"},
        {"integer4", "INT"},
        {"currency", "DECIMAL(19,4)"},
        {"money", "DECIMAL(19,4)"},
        {"ieeesingle", "FLOAT"},
        {"single", "FLOAT"},
        {"real", "FLOAT"},
        {"ieeedouble", "DOUBLE"},
        {"double", "DOUBLE"},
        {"float", "DOUBLE"},
        {"datetime", "DATETIME"},
        {"date", "DATETIME"},
        {"time", "DATETIME"},
        {"longtext", "LONGTEXT"},
        {"memo", "LONGTEXT"},
    };
    if (type == "text" || type == "char" || type == "varchar" || type == "string" ||
        type == "alphanumeric" || type == "value" || type.empty()) {
        const bool digits = !size.empty() && size.size() <= 3 &&
                            std::all_of(size.begin(), size.end(), IsDigit) && size != "0";
        if (!size.empty() && !digits)
            Refuse("参数 '" + name + "' 的类型 '" + written + "'");
        return "VARCHAR(" + (digits ? size : std::string("255")) + ")";
    }
    const auto found = kTypes.find(type);
    if (found == kTypes.end() || !size.empty())
        Refuse("参数 '" + name + "' 的类型 '" + written + "'");
    return found->second;
}

// A procedure parameter's name made from an Access one: "p_" and its words in lower case
// joined by '_' ("[Forms]![Orders]![OrderID]" is p_forms_orders_orderid), so that it never
// takes the place of a column of the same name.
std::string ParameterName(const std::string& access_name) {
    std::string name = "p_";
    for (const char c : access_name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x80 || IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))
            name += AsciiLower(std::string(1, c));
        else if (name.back() != '_')
            name += '_';
    }
    while (name.size() > 2 && name.back() == '_')
        name.pop_back();
    return name;
}

// The procedure's parameters: the declared ones in order, then the values it asks for without
// declaring them (form and report references), each once.
struct Parameters {
    std::vector<std::pair<std::string, std::string>> list; // MySQL name, type
    std::map<std::string, std::string> by_access_name;     // lower-cased Access name -> MySQL

    void Add(const std::string& access_name, const std::string& type) {
        const std::string key = Utf8ToLower(access_name);
        if (by_access_name.contains(key))
            return;
        std::string name = ParameterName(access_name);
        for (int n = 2; std::any_of(list.begin(), list.end(),
                                    [&](const auto& p) { return Utf8ToLower(p.first) == name; });
             ++n)
            name = ParameterName(access_name) + "_" + std::to_string(n);
        if (name.size() > 64)
            Refuse("参数名 '" + access_name + "' 过长");
        by_access_name[key] = name;
        list.emplace_back(name, type);
    }
};

// What Access would ask for by these names: no table of the statement defines them.
void CheckQualifiers(const std::set<std::string>& used, const std::vector<std::string>& tables) {
    for (const auto& table : used)
        if (std::find(tables.begin(), tables.end(), table) == tables.end())
            Refuse("引用了 FROM 中没有的表 '" + table + "'（Access 把它当作参数）");
}

// Markers standing in the written text for what a crosstab procedure fills in when it is
// called: its columns, and the value each of them aggregates.
constexpr char kColumnsMarker[] = "\x01";
constexpr char kCellMarker[] = "\x02";

sql::ExprPtr Marker(const char* marker) {
    auto e = std::make_shared<sql::Expr>();
    e->kind = sql::ExprKind::Parameter;
    e->text = marker;
    return e;
}

// `text` cut at the one place `marker` (as a written name) is: the text before and after it.
std::pair<std::string, std::string> CutAt(const std::string& text, const std::string& marker) {
    const std::string written = Name(marker);
    const auto at = text.find(written);
    if (at == std::string::npos || text.find(written, at + 1) != std::string::npos)
        Refuse("交叉表查询的写法");
    return {text.substr(0, at), text.substr(at + written.size())};
}

// Does an expression ask for a value when the query runs?
bool HasParameter(const sql::ExprPtr& e) {
    bool found = false;
    ParameterWalk walk{[&](const sql::Expr&) { found = true; }};
    walk.Expr(e);
    return found;
}

// A crosstab query without fixed column headings: when called, the procedure reads the
// headings (the PIVOT value's distinct values, sorted by value, Null first as "<>", as Access
// names them) and runs the SELECT with one column per heading, each the TRANSFORM aggregate of
// that heading's rows (Null where the row group has none, as Access leaves the cell empty). The
// SELECT runs as a prepared statement, which sees no procedure parameters: each parameter in it
// is a '?' given the parameter's value by EXECUTE ... USING.
std::string Crosstab(Writer& writer, const sql::Statement& statement,
                     const SqlWriterContext& context) {
    if (HasParameter(statement.transform) || HasParameter(statement.pivot))
        Refuse("交叉表的值或列标题中的参数");
    const sql::Query& query = *statement.query;
    if (query.parts.size() != 1 || query.parts[0].table_form || query.parts[0].having ||
        query.parts[0].group_by.empty())
        Refuse("交叉表查询中的 HAVING 或联合");
    const sql::Select& select = query.parts[0];
    // Headings are named by the values' text: a text is its own name, a whole number its digits
    // in any regional settings; fractions and dates are named by the regional settings of the
    // computer Access runs on.
    const ValueType type = writer.TypeIn(select.from, *statement.pivot);
    if (type != ValueType::Text && type != ValueType::Integer)
        Refuse("交叉表的列标题不是文本或整数（列名取决于 Access 的区域设置或类型未知）");
    const sql::Expr& transform = *statement.transform;
    const std::string function = AsciiLower(transform.text);
    if (transform.kind != sql::ExprKind::Call ||
        (function != "sum" && function != "avg" && function != "min" && function != "max" &&
         function != "count") ||
        (transform.args.size() != 1 && !transform.count_star))
        Refuse("交叉表的值不是 Sum、Avg、Min、Max 或 Count");

    // The rows: the SELECT with a marker where the heading columns go, written with a marker
    // for each parameter ("`\x03name`") that becomes '?'.
    constexpr char kParameterMark[] = "`\x03";
    SqlWriterContext rows_context = context;
    rows_context.parameter = [&context](const std::string& access_name) {
        if (access_name == kColumnsMarker)
            return access_name;
        return "\x03" + context.parameter(access_name);
    };
    Writer rows_writer(rows_context);
    sql::Query rows = query;
    sql::SelectItem columns_item;
    columns_item.expr = Marker(kColumnsMarker);
    columns_item.alias = "x";
    rows.parts[0].items.push_back(columns_item);
    std::string rows_sql = rows_writer.TopQuery(rows);
    for (const auto& source : rows_writer.sources)
        if (std::none_of(writer.sources.begin(), writer.sources.end(),
                         [&](const std::string& known) {
                             return Utf8ToLower(known) == Utf8ToLower(source);
                         }))
            writer.sources.push_back(source);
    std::string using_list;
    for (auto at = rows_sql.find(kParameterMark); at != std::string::npos;
         at = rows_sql.find(kParameterMark, at + 1)) {
        const auto close = rows_sql.find('`', at + 2);
        using_list +=
            (using_list.empty() ? " USING " : ", ") + Name(rows_sql.substr(at + 2, close - at - 2));
        rows_sql.replace(at, close + 1 - at, "?");
    }
    auto [before, after] = CutAt(rows_sql, kColumnsMarker);
    if (!before.ends_with(", ") || !after.starts_with(" AS `x`"))
        Refuse("交叉表查询的写法");
    before.resize(before.size() - 2);
    after = after.substr(7);

    // The headings: the distinct values of the rows WHERE keeps.
    sql::Query headings;
    sql::Select& heading_select = headings.parts.emplace_back();
    heading_select.quantifier = sql::SetQuantifier::Distinct;
    heading_select.items.push_back({statement.pivot, false, {}, std::string("v")});
    heading_select.from = select.from;
    heading_select.where = select.where;
    const std::string headings_sql = writer.TopQuery(headings);

    // One cell: the aggregate of the value where the heading matches (<=> matches Null).
    sql::Expr cell = transform;
    cell.count_star = false;
    cell.args = {Marker(kCellMarker)};
    const auto [aggregate_before, aggregate_after] =
        CutAt(writer.Expression(cell).sql, kCellMarker);
    const std::string value =
        transform.count_star ? "1" : writer.Expression(*transform.args[0]).sql;
    const std::string key = writer.Expression(*statement.pivot).sql + " <=> ";
    const std::string column = "CONCAT(" + Quoted("IF(SUM(" + key) + ", QUOTE(h.v), " +
                               Quoted(") > 0, " + aggregate_before + "IF(" + key) +
                               ", QUOTE(h.v), " +
                               Quoted(", " + value + ", NULL)" + aggregate_after + ", NULL) AS `") +
                               ", REPLACE(IFNULL(h.v, '<>'), '`', '``'), '`')";
    return "DECLARE tw_columns LONGTEXT; "
           "SET @tw_crosstab_length = @@SESSION.group_concat_max_len; "
           "SET SESSION group_concat_max_len = 1073741824; "
           "SELECT GROUP_CONCAT(" +
           column + " ORDER BY h.v SEPARATOR ', ') INTO tw_columns FROM (" + headings_sql +
           ") AS h; "
           "SET SESSION group_concat_max_len = @tw_crosstab_length; "
           "SET @tw_crosstab = CONCAT(" +
           Quoted(before) + ", IF(tw_columns IS NULL, '', CONCAT(', ', tw_columns)), " +
           Quoted(after) +
           "); "
           "PREPARE tw_crosstab FROM @tw_crosstab; EXECUTE tw_crosstab" +
           using_list + "; DEALLOCATE PREPARE tw_crosstab;";
}

// Access, like MySQL, refuses an aggregate in WHERE; a procedure made of it would fail on every
// call, so it is not made (subqueries have their own WHERE and are left to their select).
void CheckNoAggregate(const sql::ExprPtr& e) {
    if (!e)
        return;
    if (e->kind == sql::ExprKind::Call) {
        static const char* const kAggregates[] = {"sum",  "avg",   "count",  "min", "max", "first",
                                                  "last", "stdev", "stdevp", "var", "varp"};
        const std::string name = AsciiLower(e->text);
        for (const char* aggregate : kAggregates)
            if (name == aggregate)
                Refuse("WHERE 中的聚合函数 '" + e->text + "'");
    }
    for (const auto& arg : e->args)
        CheckNoAggregate(arg);
}

std::string Body(Writer& writer, const sql::Statement& statement, const SqlWriterContext& context) {
    CheckNoAggregate(statement.where);
    if (statement.query)
        for (const auto& part : statement.query->parts)
            CheckNoAggregate(part.where);
    switch (statement.kind) {
    case sql::StatementKind::Select: {
        const sql::Select& first = statement.query->parts.front();
        if (!first.into)
            return writer.TopStatement(statement) + ";";
        // A make-table query replaces the table, as Access does after asking.
        if (!first.into_external.empty())
            Refuse("生成表查询写入外部数据库");
        sql::Query without_into = *statement.query;
        without_into.parts.front().into.reset();
        std::string body = "DROP TABLE IF EXISTS " + Name(*first.into) + "; CREATE TABLE ";
        return body + Name(*first.into) + " AS " + writer.TopQuery(without_into) + ";";
    }
    case sql::StatementKind::Insert: {
        if (!statement.target_external.empty())
            Refuse("追加到外部数据库的表");
        // Without a list Access matches the columns by name, which a plain INSERT would not.
        if (statement.columns.empty())
            Refuse("追加查询没有列出目标列");
        std::set<std::string> seen;
        std::string sql = "INSERT INTO " + Name(statement.target) + " (";
        for (std::size_t i = 0; i < statement.columns.size(); ++i) {
            if (!seen.insert(Utf8ToLower(statement.columns[i])).second)
                Refuse("追加查询的目标列 '" + statement.columns[i] + "' 出现了不止一次");
            sql += (i ? ", " : "") + Name(statement.columns[i]);
        }
        sql += ") ";
        if (statement.query)
            return sql + writer.TopQuery(*statement.query) + ";";
        sql += "VALUES (";
        for (std::size_t i = 0; i < statement.values.size(); ++i)
            sql += (i ? ", " : "") + writer.Expression(*statement.values[i]).sql;
        return sql + ");";
    }
    case sql::StatementKind::Update: {
        std::vector<std::string> tables;
        std::string from;
        for (std::size_t i = 0; i < statement.tables.size(); ++i)
            from += (i ? ", " : "") + writer.FromItem(*statement.tables[i], tables);
        std::set<std::string> used;
        // Access works out every new value from the row as it was; MySQL's UPDATE sees the
        // columns already set to their left, so such a query is not written.
        std::set<std::string> assigned;
        std::string set;
        for (const auto& assignment : statement.assignments) {
            if (assignment.column->kind != sql::ExprKind::Column)
                Refuse("UPDATE 的赋值目标不是字段");
            std::set<std::string> read;
            ColumnsOf(assignment.value, read);
            for (const auto& column : read)
                if (assigned.contains(column))
                    Refuse("UPDATE 的新值读取了同一语句中先赋值的字段 '" + column + "'");
            ColumnsOf(assignment.column, assigned);
            QualifiersOf(assignment.column, used);
            QualifiersOf(assignment.value, used);
            set += (set.empty() ? "" : ", ") + writer.Expression(*assignment.column).sql + " = " +
                   writer.Expression(*assignment.value).sql;
        }
        QualifiersOf(statement.where, used);
        CheckQualifiers(used, tables);
        std::string sql = "UPDATE " + from + " SET " + set;
        if (statement.where)
            sql += " WHERE " + writer.Expression(*statement.where).sql;
        return sql + ";";
    }
    case sql::StatementKind::Delete: {
        std::vector<std::string> tables;
        std::string from;
        for (std::size_t i = 0; i < statement.tables.size(); ++i)
            from += (i ? ", " : "") + writer.FromItem(*statement.tables[i], tables);
        std::set<std::string> used;
        QualifiersOf(statement.where, used);
        CheckQualifiers(used, tables);
        // What is deleted: "t.*", or fields "t.a, t.b" of one table; whole rows either way.
        std::string target;
        std::size_t start = 0;
        const std::string& what = statement.delete_what;
        while (what != "*" && start < what.size()) {
            const std::size_t end = std::min(what.find(", ", start), what.size());
            const std::string field = what.substr(start, end - start);
            const std::size_t dot = field.rfind('.');
            const std::string table =
                dot == std::string::npos ? "" : Utf8ToLower(field.substr(0, dot));
            if (table.empty() || (!target.empty() && target != table))
                Refuse("DELETE 列出的字段不属于同一个表");
            target = table;
            start = end + 2;
        }
        if (target.empty() && tables.size() == 1)
            target = tables.front();
        else if (target.empty())
            Refuse("DELETE 没有指明删除哪个表的记录");
        if (std::find(tables.begin(), tables.end(), target) == tables.end())
            Refuse("DELETE 的表 '" + target + "' 不在 FROM 中");
        std::string sql = "DELETE " + Name(target) + " FROM " + from;
        if (statement.where)
            sql += " WHERE " + writer.Expression(*statement.where).sql;
        return sql + ";";
    }
    case sql::StatementKind::Crosstab:
        if (!statement.pivot_in.empty())
            return writer.TopStatement(statement) + ";";
        return Crosstab(writer, statement, context);
    case sql::StatementKind::DataDefinition:
        Refuse("数据定义查询（" + statement.definition + "）");
    }
    Refuse("未知类型的语句");
}

} // namespace

} // namespace tw::data::sqlwriter

namespace tw::data {

bool AsksForValues(const sql::Statement& statement) {
    bool found = !statement.parameters.empty();
    sqlwriter::ParameterWalk walk{[&](const sql::Expr&) { found = true; }};
    walk.Statement(statement);
    return found;
}

WrittenSql WriteMySqlProcedure(std::string_view name, const sql::Statement& statement,
                               const SqlWriterContext& context) {
    using namespace sqlwriter;
    WrittenSql result;
    try {
        Parameters parameters;
        for (const auto& declared : statement.parameters)
            parameters.Add(declared.name, ParameterType(declared.name, declared.type));
        ParameterWalk walk{[&](const sql::Expr& e) { parameters.Add(e.text, "VARCHAR(255)"); }};
        walk.Statement(statement);

        SqlWriterContext with_parameters = context;
        with_parameters.parameter = [&parameters](const std::string& access_name) {
            if (access_name == kColumnsMarker || access_name == kCellMarker)
                return access_name;
            return parameters.by_access_name.at(Utf8ToLower(access_name));
        };
        Writer writer(with_parameters);
        const std::string body = Body(writer, statement, with_parameters);
        std::string sql = "CREATE OR REPLACE PROCEDURE ";
        MySqlDialect::AppendName(sql, name);
        sql += "(";
        for (std::size_t i = 0; i < parameters.list.size(); ++i)
            sql += (i ? ", " : "") + std::string("IN ") + Name(parameters.list[i].first) + " " +
                   parameters.list[i].second;
        result.text = sql + ") BEGIN " + body + " END";
        result.sources = std::move(writer.sources);
    } catch (const Refused& refused) {
        result = WrittenSql{};
        result.refusal = refused.what;
    }
    return result;
}

} // namespace tw::data
