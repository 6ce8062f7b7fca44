#pragma once

#include "tablewright/model/Schema.h"
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

/// "CREATE OR REPLACE VIEW `name` AS SELECT ...;" for a saved select or union query or a crosstab
/// with fixed column headings, or the
/// refusal of WriteMySqlSelect.
WrittenSql WriteMySqlView(std::string_view name, const sql::Statement& statement,
                          const SqlWriterContext& context = {});

/// "CREATE OR REPLACE PROCEDURE `name`(IN ...) BEGIN ...; END" for a saved query that is not a
/// view: a select or union query with parameters (or form references), an append, update,
/// delete or make-table query, which it performs when called. Defined in MySqlRoutines.cpp.
WrittenSql WriteMySqlProcedure(std::string_view name, const sql::Statement& statement,
                               const SqlWriterContext& context = {});

/// The statement asks for values when it runs (PARAMETERS, or a form or report reference), so
/// that it becomes a procedure rather than a view.
bool AsksForValues(const sql::Statement& statement);

/// Writes an Access expression (a validation rule, a default, a calculated column) as a MySQL
/// expression over the columns of one row; subqueries and aggregates are written as they are.
WrittenSql WriteMySqlExpression(const sql::Expr& expression, const SqlWriterContext& context = {});

/// The context of an expression evaluated on one row of `table` (a rule's or a calculated
/// column's): only that table's columns and their types are known.
SqlWriterContext RowContext(const TableSchema& table);

} // namespace tw::data
