// Calculated columns as generated columns: each column whose expression has an exact MySQL form
// is proven on the rows (every row holds what the server computes) before it is turned into a
// generated column; a script file carries a form that proves the rows when it is loaded.

#include "tablewright/model/AdoTypes.h"
#include "tablewright/model/DataAccess.h"
#include "tablewright/model/Text.h"
#include "tablewright/mysql/MySqlDestination.h"
#include "tablewright/mysql/MySqlDialect.h"
#include "tablewright/mysql/MySqlSqlWriter.h"
#include "tablewright/mysql/SqlText.h"

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tw::data {

namespace {

// Example values shown in a message are cut to this many characters.
constexpr std::size_t kShownChars = 60;

// A calculated column that has an exact MySQL form.
struct Generated {
    const ColumnSchema* column = nullptr;
    // The name of the column before it ("" for the first).
    std::string previous;
    // The value the server computes: the written expression cast to the column's type.
    std::string value;
    // True when the value equals the stored one in every row (the comparison, on one row).
    std::string same;
    // "DROP COLUMN ..., ADD COLUMN ... GENERATED ALWAYS AS (...) STORED ... AFTER ...".
    std::string clauses;
};

std::string Quoted(std::string_view name) {
    std::string out;
    MySqlDialect::AppendName(out, name);
    return out;
}

std::string Literal(std::string_view text) {
    std::string out = "'";
    AppendEscapedText(out, text);
    out += '\'';
    return out;
}

bool IsTextBase(std::string_view base) {
    return base == "char" || base == "varchar" || base == "tinytext" || base == "text" ||
           base == "mediumtext" || base == "longtext";
}

// The type CAST gives for the column's type, so that the value computed is the one the column
// holds; nullopt for types CAST has none for (bytes).
std::optional<std::string> CastTarget(const std::string& type) {
    const std::string_view base = std::string_view(type).substr(0, type.find_first_of(" ("));
    if (IsTextBase(base))
        return std::string("CHAR CHARACTER SET utf8mb4");
    if (base == "tinyint" || base == "smallint" || base == "mediumint" || base == "int" ||
        base == "bigint")
        return std::string(type.find("unsigned") != std::string::npos ? "UNSIGNED" : "SIGNED");
    if (base == "double")
        return std::string("DOUBLE");
    if (base == "float")
        return std::string("FLOAT");
    if (base == "decimal" || base == "datetime" || base == "date" || base == "time")
        return AsciiUpper(type); // with its precision and scale, or its digits of a second
    return std::nullopt;
}

// What in the expression a generated column cannot hold: a subquery, a value asked for, a
// column the row does not have (the generated column computes from its own row only); empty
// when none.
std::string OutsideTheRow(const sql::Expr& e, const TableSchema& table) {
    if (e.query)
        return "子查询";
    if (e.kind == sql::ExprKind::Parameter)
        return "参数 '" + e.text + "'";
    if (e.kind == sql::ExprKind::Column) {
        const bool own = e.qualifier.empty() || Utf8EqualsNoCase(e.qualifier, table.name);
        const bool found =
            std::any_of(table.columns.begin(), table.columns.end(),
                        [&](const ColumnSchema& c) { return Utf8EqualsNoCase(c.name, e.text); });
        if (!own || !found)
            return "表中没有的列 '" + e.text + "'";
    }
    for (const auto& arg : e.args)
        if (arg)
            if (std::string what = OutsideTheRow(*arg, table); !what.empty())
                return what;
    return {};
}

// Why the column cannot become a generated column (Chinese); empty when it can, with `out`
// filled.
std::string Plan(const TableSchema& table, std::size_t at, Generated& out) {
    const ColumnSchema& column = table.columns[at];
    if (column.calculated_expression.empty())
        return "Access 未给出计算列的表达式";
    if (!column.calculated_tree)
        return "表达式未能解析（" + column.calculated_refusal + "）";
    for (const auto& index : table.indexes)
        for (const auto& part : index.columns)
            if (part.name == column.name)
                return "列在索引 '" + index.name + "' 中";
    const SqlWriterContext context = RowContext(table);
    if (std::string what = OutsideTheRow(*column.calculated_tree, table); !what.empty())
        return "表达式引用了" + what;
    const WrittenSql written = WriteMySqlExpression(*column.calculated_tree, context);
    if (!written.refusal.empty())
        return "MySQL 中没有结果相同的写法（" + written.refusal + "）";
    if (!written.sources.empty())
        return "表达式读取其他表";
    const std::string type = MySqlDialect::ColumnType(column);
    const auto cast = CastTarget(type);
    if (!cast)
        return "列类型 " + type + " 不能由表达式算出";

    const std::string name = Quoted(column.name);
    out.column = &column;
    out.previous = at == 0 ? std::string() : table.columns[at - 1].name;
    out.value = "CAST(" + written.text + " AS " + *cast + ")";
    // Text is compared byte for byte (the column's collation would take 'a' for 'A'); numbers
    // and dates by value, NULL equal only to NULL.
    out.same = IsTextBase(type.substr(0, type.find('(')))
                   ? "CAST(" + name + " AS BINARY) <=> CAST(" + out.value + " AS BINARY)"
                   : name + " <=> " + out.value;
    // The column keeps its name, type, comment and place. A stored column holds the values
    // computed once, when the row is written: reading it costs nothing and gives every reader
    // (dumps, other tools, the verification) the very values proven here, and a value the
    // server cannot compute stops the ALTER (which leaves the column as it was) rather than a
    // later read, as it would for a virtual column.
    out.clauses = "DROP COLUMN " + name + ", ADD COLUMN " + name + " " + type +
                  " GENERATED ALWAYS AS (" + out.value + ") STORED" +
                  MySqlDialect::CommentClause(column) +
                  (out.previous.empty() ? " FIRST" : " AFTER " + Quoted(out.previous));
    return {};
}

// The columns that name a row in messages: the primary key, else the first unique index, else
// the first column.
std::vector<const ColumnSchema*> RowNaming(const TableSchema& table) {
    const IndexSchema* chosen = nullptr;
    for (const auto& index : table.indexes)
        if (index.primary || (index.unique && !chosen))
            chosen = &index;
    std::vector<const ColumnSchema*> naming;
    if (chosen)
        for (const auto& part : chosen->columns)
            for (const auto& column : table.columns)
                if (column.name == part.name)
                    naming.push_back(&column);
    if (naming.empty() && !table.columns.empty())
        naming.push_back(&table.columns.front());
    return naming;
}

bool IsTextColumn(const ColumnSchema& column) {
    const std::string type = MySqlDialect::ColumnType(column);
    return IsTextBase(type.substr(0, type.find('(')));
}

// A value read from the server as a message shows it: NULL, numbers as they are, text quoted.
std::string Shown(const Value& value, bool text) {
    const auto* s = std::get_if<std::string>(&value);
    if (!s)
        return "NULL";
    std::string shown = Utf8Prefix(*s, kShownChars);
    if (shown.size() < s->size())
        shown += "…";
    return text ? "\"" + shown + "\"" : shown;
}

std::string Names(const std::vector<std::string>& names) {
    std::string out;
    for (const auto& name : names)
        out += (out.empty() ? "'" : "、'") + name + "'";
    return out;
}

std::string KeptPlain(const ColumnSchema& column, const std::string& reason) {
    return "计算列 '" + column.name + "' 保留为普通列，值为 Access 保存的值：" + reason;
}

} // namespace

std::vector<std::string> MySqlDestination::AddGeneratedColumns(const TableSchema& table,
                                                               const TableOptions& options,
                                                               std::vector<std::string>& notes) {
    if (!options.keys)
        return {};
    std::vector<Generated> planned;
    for (std::size_t i = 0; i < table.columns.size(); ++i) {
        if (!table.columns[i].calculated)
            continue;
        Generated generated;
        if (std::string reason = Plan(table, i, generated); !reason.empty())
            notes.push_back(KeptPlain(table.columns[i], reason));
        else
            planned.push_back(std::move(generated));
    }
    if (planned.empty())
        return {};
    const std::string quoted = Quoted(table.name);

    if (!Sends()) {
        // No rows to prove now: the file proves them when it is loaded and turns the column
        // into a generated one only when every row agrees; otherwise it says that the column
        // stays plain, so that the file loads without stopping either way.
        std::vector<std::string> names;
        for (const Generated& generated : planned) {
            std::string alter = "ALTER TABLE " + quoted + " " + generated.clauses;
            std::string statements[] = {
                "SET @tw_ok = (SELECT NOT EXISTS (SELECT 1 FROM " + quoted + " WHERE NOT (" +
                    generated.same + ")));",
                "SET @tw_sql = IF(@tw_ok, " + Literal(alter) + ", " +
                    Literal(MySqlDialect::LoadNote(
                        "表 '" + table.name + "'：计算列 '" + generated.column->name +
                        "' 在载入的行中有值与计算式的结果不同，保持普通列（值保留）")) +
                    ");",
                "PREPARE tw_generated FROM @tw_sql;",
                "EXECUTE tw_generated;",
                "DEALLOCATE PREPARE tw_generated;",
            };
            for (std::string& statement : statements) {
                Send(statement);
                HandBack(statement, StatementKind::Alter, 0);
            }
            names.push_back(generated.column->name);
        }
        return {"计算列 " + Names(names) + " 在脚本载入时核对各行的值，全部一致时转换为生成列"};
    }

    // Each column is proven on the rows: the first row whose value differs from what the
    // server computes is shown with both values.
    const std::vector<const ColumnSchema*> naming = RowNaming(table);
    std::vector<const Generated*> proven;
    for (const Generated& generated : planned) {
        const ColumnSchema& column = *generated.column;
        std::string query = "SELECT ";
        for (const ColumnSchema* part : naming)
            query += Quoted(part->name) + ", ";
        query += Quoted(column.name) + ", " + generated.value + " FROM " + quoted + " WHERE NOT (" +
                 generated.same + ") LIMIT 1";
        try {
            auto rows = Read(query);
            if (!rows)
                return {};
            if (rows->IsEOF()) {
                rows->Close();
                proven.push_back(&generated);
                continue;
            }
            std::string key;
            int field = 0;
            for (const ColumnSchema* part : naming)
                key += (key.empty() ? "" : ", ") + part->name + "=" +
                       Shown(rows->GetField(field++).GetValue(), IsTextColumn(*part));
            const bool text = IsTextColumn(column);
            const std::string stored = Shown(rows->GetField(field++).GetValue(), text);
            const std::string computed = Shown(rows->GetField(field).GetValue(), text);
            rows->Close();
            notes.push_back(
                KeptPlain(column, "服务器按表达式算出的值与 Access 保存的值不同，例如 " + key +
                                      " 的行：Access 保存 " + stored + "，服务器算出 " + computed));
        } catch (const DataAccessError& e) {
            notes.push_back(
                KeptPlain(column, std::string("服务器未能按表达式核对各行（") + e.what() + "）"));
        }
    }
    if (proven.empty())
        return {};

    // All columns in one statement (one copy of the table); when the server refuses it, one by
    // one, so that one column's refusal costs only that column.
    std::vector<std::string> names;
    std::string refusal;
    auto run = [&](std::string& statement) {
        try {
            Send(statement);
        } catch (const DataAccessError& e) {
            refusal = e.what();
            HandBack(statement, StatementKind::Alter, 0, true);
            return false;
        }
        HandBack(statement, StatementKind::Alter, 0);
        return true;
    };
    std::string combined = "ALTER TABLE " + quoted;
    for (std::size_t i = 0; i < proven.size(); ++i)
        combined += (i ? ", " : " ") + proven[i]->clauses;
    combined += ';';
    if (run(combined)) {
        for (const Generated* generated : proven)
            names.push_back(generated->column->name);
    } else {
        for (const Generated* generated : proven) {
            std::string single = "ALTER TABLE " + quoted + " " + generated->clauses + ";";
            if (proven.size() > 1 && run(single))
                names.push_back(generated->column->name);
            else
                notes.push_back(
                    KeptPlain(*generated->column, "服务器未能将其转换为生成列（" + refusal + "）"));
        }
    }
    if (names.empty())
        return {};
    return {"计算列 " + Names(names) + " 已转换为生成列，各行的值已核对与 Access 保存的一致"};
}

} // namespace tw::data
