#pragma once

#include "tablewright/model/DataAccess.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tw::engine {

/// The table that receives the values of one complex column of the source (attachments,
/// multi-value fields, the version history of an append-only memo column): one row per value.
struct ChildTable {
    /// The source table the column belongs to, as the source spells it.
    std::string parent;
    data::ComplexColumnSchema column;
    /// The child table's name: "<table>_<column>", for a version history
    /// "<table>_<memo column>_history", cut to MySQL's 64 characters and distinct (as the
    /// destination compares names) from every table of the source and every other child table.
    std::string name;
};

/// The complex columns of a table of the source, in column order.
using ComplexColumnLookup =
    std::function<std::vector<data::ComplexColumnSchema>(const std::string& table)>;

/// Names the child tables of the complex columns of known kind of `tables` (every user table of
/// the source, in the source's order, so that each run names them alike whichever tables it
/// converts), in table and column order.
std::vector<ChildTable> NameChildTables(const std::vector<std::string>& tables,
                                        const ComplexColumnLookup& columns);

/// The same for the user tables of an open source; a table whose complex columns cannot be
/// read has no child tables here (converting it reports why).
std::vector<ChildTable> SourceChildTables(data::Connection& source);

/// The definition of a child table made from the fields of its child rows
/// (data::Connection::OpenComplexValues); with keys, an index on the parent's key (or on the
/// complex value id where the parent has no primary key) and a comment naming the column.
data::TableSchema ChildTableSchema(const ChildTable& child, data::Recordset& rows, bool keys);

/// The foreign key from a child table to its parent's primary key, deleting and updating with
/// the parent row; nullopt when the parent has no primary key.
std::optional<data::RelationshipSchema> ChildForeignKey(const ChildTable& child);

/// What the log says of a complex column of a kind the reader does not know: its values are
/// not converted, the column keeps the complex value id.
std::string UnknownComplexNote(const data::ComplexColumnSchema& column);

} // namespace tw::engine
