#include "MySqlSqlWriterInternals.h"
#include "tablewright/mysql/MySqlDialect.h"
#include "tablewright/mysql/SqlText.h"

#include <algorithm>
#include <functional>
#include <map>

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

std::string Body(Writer& writer, const sql::Statement& statement) {
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
        std::string target;
        if (statement.delete_what.size() > 2 && statement.delete_what != "*")
            target = Utf8ToLower(statement.delete_what.substr(0, statement.delete_what.size() - 2));
        else if (tables.size() == 1)
            target = tables.front();
        else
            Refuse("DELETE 没有指明删除哪个表的记录");
        if (std::find(tables.begin(), tables.end(), target) == tables.end())
            Refuse("DELETE 的表 '" + target + "' 不在 FROM 中");
        std::string sql = "DELETE " + Name(target) + " FROM " + from;
        if (statement.where)
            sql += " WHERE " + writer.Expression(*statement.where).sql;
        return sql + ";";
    }
    case sql::StatementKind::Crosstab:
        Refuse("交叉表查询（TRANSFORM/PIVOT）");
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
            return parameters.by_access_name.at(Utf8ToLower(access_name));
        };
        Writer writer(with_parameters);
        const std::string body = Body(writer, statement);
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
