#pragma once

#include "tablewright/model/Schema.h"
#include "tablewright/model/Value.h"

#include <span>
#include <string>
#include <string_view>

namespace tw::data {

class Provider;

/// How tables are made on the destination.
struct TableOptions {
    /// The table type (storage engine) every table statement names, e.g. "MyISAM".
    std::string engine = "MyISAM";
    /// Carry the source's keys, indexes and column properties (NOT NULL, AUTO_INCREMENT,
    /// defaults, comments); without it tables arrive bare, as plain columns.
    bool keys = false;
    /// The collation of the tables' text when keys are carried: one that tells accents apart
    /// and ignores case, as Access's unique indexes do; empty for the server's default.
    std::string collation;
    /// Write the collation as a comment that only servers knowing it execute (for a script
    /// file loaded by servers unknown at writing time).
    bool collation_versioned = false;
};

/// Where converted tables go: receives each table's definition and its rows as typed values and
/// makes the statements of its own dialect from them. Every call throws DataAccessError with the
/// destination's reason when it refuses; rows that were held back and refused later go to the
/// provider's failure handler, at the latest during EndTable.
class Destination {
public:
    virtual ~Destination() = default;
    /// Removes the table if it exists.
    virtual void DropTable(const std::string& table) = 0;
    /// Makes the table (without its keys, which come after the rows: see MySqlDialect::Keys).
    virtual void CreateTable(const TableSchema& table, const TableOptions& options) = 0;
    /// Starts the rows of a table; its columns give each value's type.
    virtual void BeginRows(const TableSchema& table) = 0;
    /// Adds one row to the table begun last; the destination may hold it back.
    virtual void AppendRow(std::span<const Value> row) = 0;
    /// The same, for a row whose values MySqlDialect::AppendRowTuple has already written as
    /// `tuple`: a destination that speaks that dialect takes the text instead of writing it
    /// again.
    virtual void AppendRowTuple(std::span<const Value> row, std::string_view /*tuple*/) {
        AppendRow(row);
    }
    /// Sends whatever the table still holds back.
    virtual void EndTable() = 0;
    /// Runs one further statement of the destination's dialect (keys).
    virtual void Execute(std::string_view statement) = 0;
    /// Adds a relationship between two filled tables as a foreign key, checked against their
    /// rows.
    virtual void AddForeignKey(const RelationshipSchema& relationship) = 0;
    /// A collation that tells accents apart and ignores case, as Access's indexes compare text;
    /// empty when the server has none.
    virtual std::string AccentSensitiveCollation() { return {}; }
};

} // namespace tw::data
