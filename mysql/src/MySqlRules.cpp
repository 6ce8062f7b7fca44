#include "tablewright/mysql/MySqlRules.h"

#include "tablewright/mysql/MySqlDialect.h"
#include "tablewright/mysql/SqlText.h"

namespace tw::data {

namespace {

// The longest comment MySQL keeps on a column, in characters.
constexpr std::size_t kColumnCommentChars = 1024;

// The first `chars` characters of UTF-8 text.
std::string CutChars(std::string_view text, std::size_t chars) {
    std::size_t seen = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && seen++ == chars)
            return std::string(text.substr(0, i));
    }
    return std::string(text);
}

void AppendComment(std::string& out, std::string_view text) {
    out += " COMMENT '";
    AppendEscapedText(out, CutChars(text, kColumnCommentChars));
    out += '\'';
}

} // namespace

std::string MySqlRules::AllowNull(const TableSchema& table, const ColumnSchema& column,
                                  const TableOptions& options) {
    std::string statement = "ALTER TABLE ";
    MySqlDialect::AppendName(statement, table.name);
    statement += " MODIFY ";
    MySqlDialect::AppendName(statement, column.name);
    statement += ' ' + MySqlDialect::ColumnType(column) + " NULL";
    if (options.keys) {
        if (const std::string value = MySqlDialect::DefaultValue(column); !value.empty())
            statement += " DEFAULT " + value;
        if (!column.description.empty())
            AppendComment(statement, column.description);
    }
    statement += ';';
    return statement;
}

std::string MySqlRules::AddCheck(std::string_view table, std::string_view name,
                                 std::string_view condition) {
    std::string statement = "ALTER TABLE ";
    MySqlDialect::AppendName(statement, table);
    statement += " ADD CONSTRAINT ";
    MySqlDialect::AppendName(statement, name);
    statement += " CHECK (";
    statement += condition;
    statement += ");";
    return statement;
}

std::string MySqlRules::AddCheckIfKept(std::string_view table, std::string_view name,
                                       std::string_view condition) {
    std::string add = AddCheck(table, name, condition);
    add.pop_back(); // a prepared statement has no ';'
    std::string statement = "SET @tw_check = IF(EXISTS(SELECT 1 FROM ";
    MySqlDialect::AppendName(statement, table);
    statement += " WHERE NOT (";
    statement += condition;
    statement += ")), 'DO 0', '";
    AppendEscapedText(statement, add);
    statement += "'); PREPARE tw_check FROM @tw_check; EXECUTE tw_check; DEALLOCATE PREPARE "
                 "tw_check;";
    return statement;
}

namespace {

std::string ModifyComputed(const TableSchema& table, const ColumnSchema& column,
                           std::string_view expression) {
    std::string statement = "ALTER TABLE ";
    MySqlDialect::AppendName(statement, table.name);
    statement += " MODIFY ";
    MySqlDialect::AppendName(statement, column.name);
    statement += ' ' + MySqlDialect::ColumnType(column);
    if (expression.empty()) {
        statement += " NULL";
    } else {
        statement += " GENERATED ALWAYS AS (";
        statement += expression;
        statement += ") STORED";
    }
    AppendComment(statement, "= " + column.calculated_expression);
    statement += ';';
    return statement;
}

} // namespace

std::string MySqlRules::MakeGenerated(const TableSchema& table, const ColumnSchema& column,
                                      std::string_view expression) {
    return ModifyComputed(table, column, expression);
}

std::string MySqlRules::CommentExpression(const TableSchema& table, const ColumnSchema& column) {
    return ModifyComputed(table, column, {});
}

std::string MySqlRules::Differs(const ColumnSchema& column, std::string_view expression) {
    std::string condition = "NOT (";
    MySqlDialect::AppendName(condition, column.name);
    condition += " <=> (";
    condition += expression;
    condition += "))";
    return condition;
}

std::string MySqlRules::MakeGeneratedIfEqual(const TableSchema& table, const ColumnSchema& column,
                                             std::string_view expression) {
    std::string make = ModifyComputed(table, column, expression);
    make.pop_back();
    std::string statement = "SET @tw_generated = IF(EXISTS(SELECT 1 FROM ";
    MySqlDialect::AppendName(statement, table.name);
    statement += " WHERE " + Differs(column, expression) + "), 'DO 0', '";
    AppendEscapedText(statement, make);
    statement += "'); PREPARE tw_generated FROM @tw_generated; EXECUTE tw_generated; DEALLOCATE "
                 "PREPARE tw_generated;";
    return statement;
}

std::string MySqlRules::FirstDiffering(const TableSchema& table, const ColumnSchema& column,
                                       std::string_view expression,
                                       const std::vector<std::string>& key) {
    std::string query = "SELECT CONCAT_WS(', '";
    for (const auto& name : key) {
        query += ", ";
        MySqlDialect::AppendName(query, name);
    }
    query += "), CAST(";
    MySqlDialect::AppendName(query, column.name);
    query += " AS CHAR), CAST((";
    query += expression;
    query += ") AS CHAR) FROM ";
    MySqlDialect::AppendName(query, table.name);
    query += " WHERE " + Differs(column, expression) + " LIMIT 1";
    return query;
}

std::string MySqlRules::CountBreaking(std::string_view table, std::string_view condition) {
    std::string query = "SELECT COUNT(*) FROM ";
    MySqlDialect::AppendName(query, table);
    query += " WHERE NOT (";
    query += condition;
    query += ')';
    return query;
}

std::string MySqlRules::FirstBreaking(std::string_view table, std::string_view condition,
                                      const std::vector<std::string>& key, int limit) {
    std::string query = "SELECT CONCAT_WS(', '";
    for (const auto& column : key) {
        query += ", ";
        MySqlDialect::AppendName(query, column);
    }
    query += ") FROM ";
    MySqlDialect::AppendName(query, table);
    query += " WHERE NOT (";
    query += condition;
    query += ") LIMIT " + std::to_string(limit);
    return query;
}

} // namespace tw::data
