#pragma once

#include "tablewright/model/Destination.h"
#include "tablewright/model/Schema.h"

#include <string>
#include <string_view>
#include <vector>

namespace tw::data {

/// The statements that carry a table's own rules after its rows: a Required column relaxed to
/// allow NULL, CHECK constraints and generated columns, in MySQL's (and MariaDB's) SQL.
class MySqlRules {
public:
    /// "ALTER TABLE `t` MODIFY `c` <type> [DEFAULT ...] [COMMENT ...];": the column as the table
    /// statement declares it, without NOT NULL.
    static std::string AllowNull(const TableSchema& table, const ColumnSchema& column,
                                 const TableOptions& options);
    /// "ALTER TABLE `t` ADD CONSTRAINT `name` CHECK (condition);"
    static std::string AddCheck(std::string_view table, std::string_view name,
                                std::string_view condition);
    /// The same for a script file written without a server: the constraint is added only when
    /// no row breaks it, so that the statement cannot stop the client loading the file
    /// (a prepared statement chosen by the rows; plain SQL, no delimiter needed).
    static std::string AddCheckIfKept(std::string_view table, std::string_view name,
                                      std::string_view condition);
    /// "ALTER TABLE `t` MODIFY `c` <type> GENERATED ALWAYS AS (expression) STORED COMMENT
    /// '<Access expression>';": the column computed by the server from now on.
    static std::string MakeGenerated(const TableSchema& table, const ColumnSchema& column,
                                     std::string_view expression);
    /// The same, for a script file written without a server: only when every loaded row's
    /// value equals the expression's (see AddCheckIfKept).
    static std::string MakeGeneratedIfEqual(const TableSchema& table, const ColumnSchema& column,
                                            std::string_view expression);
    /// "ALTER TABLE `t` MODIFY `c` <type> NULL COMMENT '<Access expression>';": a calculated
    /// column kept as a plain one, its expression told in its comment.
    static std::string CommentExpression(const TableSchema& table, const ColumnSchema& column);
    /// "NOT (`c` <=> (expression))": the rows whose stored value differs from the expression's.
    static std::string Differs(const ColumnSchema& column, std::string_view expression);
    /// The key, the stored value and the expression's value (as text) of the first row whose
    /// value differs from the expression's.
    static std::string FirstDiffering(const TableSchema& table, const ColumnSchema& column,
                                      std::string_view expression,
                                      const std::vector<std::string>& key);
    /// "SELECT COUNT(*) FROM `t` WHERE NOT (condition)": the rows that break a condition.
    static std::string CountBreaking(std::string_view table, std::string_view condition);
    /// The key values of the first `limit` rows that break a condition, each row's columns
    /// joined by ", ".
    static std::string FirstBreaking(std::string_view table, std::string_view condition,
                                     const std::vector<std::string>& key, int limit);
};

} // namespace tw::data
