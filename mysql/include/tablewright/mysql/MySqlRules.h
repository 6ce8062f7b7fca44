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
    /// "SELECT COUNT(*) FROM `t` WHERE NOT (condition)": the rows that break a condition.
    static std::string CountBreaking(std::string_view table, std::string_view condition);
    /// The key values of the first `limit` rows that break a condition, each row's columns
    /// joined by ", ".
    static std::string FirstBreaking(std::string_view table, std::string_view condition,
                                     const std::vector<std::string>& key, int limit);
};

} // namespace tw::data
