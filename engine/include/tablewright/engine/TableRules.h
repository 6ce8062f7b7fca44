#pragma once

#include "tablewright/model/Schema.h"
#include "tablewright/model/Value.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tw::engine {

/// The Required columns of a table whose rows turn out to hold no value in some of them (Access
/// lets a column become Required after such rows were in): each is relaxed to allow NULL before
/// the first such row goes out, so that no row is lost, and the rows without a value are
/// counted for the log.
class RequiredColumns {
public:
    /// Watches the columns the table statement declares NOT NULL because the source calls them
    /// Required (with keys only; Yes/No columns and primary key columns always hold a value).
    RequiredColumns(const data::TableSchema& schema, bool keys);
    /// The columns whose first NULL is in this row.
    std::vector<std::size_t> FirstNulls(std::span<const data::Value> row);
    /// One note for each column that held NULL: its name and how many rows have no value.
    std::vector<std::string> Notes(const data::TableSchema& schema) const;

private:
    std::vector<std::size_t> watched_;
    std::vector<std::int64_t> nulls_;
};

} // namespace tw::engine

namespace tw::engine {

/// One validation rule of a table (a column's, the table's own, or AllowZeroLength = No) as a
/// MySQL condition for a CHECK constraint, or why it has none.
struct PlannedCheck {
    /// The constraint's name (ck_ and the column's or the table's name, unique in the table).
    std::string name;
    /// The column whose rule it is; empty for the table's rule.
    std::string column;
    /// The MySQL condition; empty when refused.
    std::string condition;
    /// What the rule belongs to, for the log ("列 'Salary' 的有效性规则 >=0 And <1000000").
    std::string what;
    /// The message Access shows when the rule is broken; empty when none.
    std::string text;
    /// Why the server cannot hold the rule; empty when it can.
    std::string refusal;
};

/// The CHECK constraints a table's rules become, in column order, the table's rule last. A rule
/// keeps Access's meaning: a NULL value breaks it only where it says so (a CHECK that is not
/// false holds). Rules that call non-deterministic functions (Date(), Now()), read other tables
/// or have no exact MySQL form are refused with the reason.
std::vector<PlannedCheck> PlanChecks(const data::TableSchema& schema);

} // namespace tw::engine
