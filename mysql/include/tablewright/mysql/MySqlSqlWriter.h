#pragma once

#include "tablewright/model/SqlTree.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tw::data {

/// What the writer may ask about the source's tables.
struct SqlWriterContext {
    /// The column names of a table (or query) of the source, in order; nullopt when not known.
    /// Used to spell out '*' so that columns two tables share get distinct names.
    std::function<std::optional<std::vector<std::string>>(const std::string& table)> columns;
    /// The ADO type (AdoTypes.h) of a column of a table of the source; nullopt when not known.
    /// Decides forms that depend on the type (text or number, whole or not).
    std::function<std::optional<int>(const std::string& table, const std::string& column)>
        column_type;
};

/// MySQL text written from an Access syntax tree, or why there is none.
struct WrittenSql {
    /// The text on one line, without a closing ';'; empty when refused.
    std::string text;
    /// The construct that has no MySQL form giving the same rows or values (Chinese, e.g.
    /// "域聚合函数 'DLookup'"); empty when written.
    std::string refusal;
    /// The tables and queries the text reads, spelt as in the query, in order of first
    /// appearance, each once (names compared without case); empty when refused.
    std::vector<std::string> sources;
};

/// Writes an Access select or union query as a MySQL (MariaDB) SELECT for a view. Table, column
/// and alias names become lower-cased backtick names, as the converted tables' are; the view's
/// columns get the names Access gives them (Expr1000, table.field). Constructs whose MySQL form
/// would give other rows or values are refused by name, never approximated.
WrittenSql WriteMySqlSelect(const sql::Statement& statement, const SqlWriterContext& context = {});

/// "CREATE OR REPLACE VIEW `name` AS SELECT ...;" for a saved select or union query, or the
/// refusal of WriteMySqlSelect.
WrittenSql WriteMySqlView(std::string_view name, const sql::Statement& statement,
                          const SqlWriterContext& context = {});

/// Writes an Access expression (a validation rule, a default, a calculated column) as a MySQL
/// expression over the columns of one row; subqueries and aggregates are written as they are.
WrittenSql WriteMySqlExpression(const sql::Expr& expression, const SqlWriterContext& context = {});

} // namespace tw::data
