#pragma once

#include "tablewright/model/SqlTree.h"
#include "tablewright/model/SqlWriting.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tw::data {

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
