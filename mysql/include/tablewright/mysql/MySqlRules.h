#pragma once

#include "tablewright/model/Destination.h"
#include "tablewright/model/Schema.h"

#include <string>

namespace tw::data {

/// The statements that carry a table's own rules after its rows: a Required column relaxed to
/// allow NULL, CHECK constraints and generated columns, in MySQL's (and MariaDB's) SQL.
class MySqlRules {
public:
    /// "ALTER TABLE `t` MODIFY `c` <type> [DEFAULT ...] [COMMENT ...];": the column as the table
    /// statement declares it, without NOT NULL.
    static std::string AllowNull(const TableSchema& table, const ColumnSchema& column,
                                 const TableOptions& options);
};

} // namespace tw::data
