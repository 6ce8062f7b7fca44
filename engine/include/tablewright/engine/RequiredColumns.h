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
