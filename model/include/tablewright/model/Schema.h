#pragma once

#include "tablewright/model/SqlTree.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tw::data {

/// How a column numbers its rows by itself.
enum class AutoNumber {
    None,
    /// Long integer, counting up (or random): the next value comes from the table.
    Increment,
    /// Replication ID: a GUID made for each new row.
    Guid,
};

/// One column of a table, as the source defines it.
struct ColumnSchema {
    /// The name as the source spells it.
    std::string name;
    /// The source's own type code (for Access, the table definition's type byte).
    int source_type = 0;
    /// The type as an ADO DataTypeEnum code (see AdoTypes.h), which destinations map from.
    int ado_type = 0;
    /// Characters for text, bytes for fixed-size kinds.
    std::int32_t size = 0;
    /// Digits and digits after the point of a decimal column (0 for other kinds).
    int precision = 0;
    int scale = 0;
    /// The column must hold a value (Access "Required"; Yes/No columns always do).
    bool required = false;
    /// Whether '' is allowed; unset where the source does not say (non-text columns).
    std::optional<bool> allow_zero_length;
    AutoNumber auto_number = AutoNumber::None;
    /// The default as the source writes it (Access expression text, e.g. `="x"` or `Now()`);
    /// empty when the column has none.
    std::string default_expression;
    /// The column's description; empty when it has none.
    std::string description;
    /// True when the column's values are computed from other columns by the source.
    bool calculated = false;
    /// A calculated column's expression as the source writes it (Access expression text, e.g.
    /// `[Salary]/12`); empty for other columns or when the source does not say.
    std::string calculated_expression;
    /// The calculated expression parsed by the source; null when there is none, when the
    /// source could not parse it (see calculated_refusal) or does not parse expressions.
    sql::ExprPtr calculated_tree;
    /// Why the calculated expression could not be parsed (the construct named); empty when it
    /// was.
    std::string calculated_refusal;
    /// The rule every value must satisfy, as the source writes it (Access: `>=0 And <100`, the
    /// column's own value left out); empty when the column has none.
    std::string validation_rule;
    /// The message the source shows when a value breaks the rule; empty when it has none.
    std::string validation_text;
    /// The rule parsed by the source, the column standing where the rule leaves a comparison's
    /// left side out; null when there is none or it could not be parsed.
    sql::ExprPtr validation_tree;
    /// Why the rule could not be parsed (Chinese, the construct named); empty otherwise.
    std::string validation_refusal;
};

/// One column of an index, in key order.
struct IndexColumn {
    std::string name;
    bool descending = false;
};

/// One index of a table.
struct IndexSchema {
    /// The name as the source spells it ("PrimaryKey" for Access primary keys).
    std::string name;
    std::vector<IndexColumn> columns;
    bool primary = false;
    bool unique = false;
    /// NULL values are left out of the index (Access "IgnoreNulls").
    bool ignore_nulls = false;
    /// Kept by the source for one side of an enforced relationship rather than made by the user.
    bool foreign = false;
};

/// A table's definition: columns in their order, indexes, description and AutoNumber state.
struct TableSchema {
    std::string name;
    std::vector<ColumnSchema> columns;
    std::vector<IndexSchema> indexes;
    /// The table's description; empty when it has none.
    std::string description;
    /// The rule every row must satisfy (Access expression naming columns in brackets); empty
    /// when the table has none.
    std::string validation_rule;
    /// The message the source shows when a row breaks the table's rule.
    std::string validation_text;
    /// The table's rule parsed by the source; null when there is none or it could not be parsed.
    sql::ExprPtr validation_tree;
    /// Why the table's rule could not be parsed (Chinese); empty otherwise.
    std::string validation_refusal;
    /// The value the source would give the next new row of its counting AutoNumber column; 0
    /// when the table has none or the source does not know.
    std::int64_t next_auto_number = 0;
};

/// What an Access "complex" column holds: several values per row, kept by the source in rows of
/// their own (a hidden table of its own) that name the row's complex value id.
enum class ComplexKind {
    /// Attached files: name, type, bytes, time stamp and flags of each.
    Attachment,
    /// A multi-value field: values of one simple type.
    MultiValue,
    /// The version history of an append-only memo column: its earlier values with their dates.
    VersionHistory,
    /// A kind the reader does not know; its values are not read.
    Other,
};

/// One complex column of a table. The column's own value in a row is the row's complex value
/// id (a whole number); the values themselves are read as rows of their own (the child rows,
/// Provider::OpenComplexValues), each naming the id, and the parent's primary key where it has
/// one.
struct ComplexColumnSchema {
    /// The column as the source spells it.
    std::string column;
    ComplexKind kind = ComplexKind::Other;
    /// Multi-value: the type of the values (its name is "Value").
    ColumnSchema value;
    /// Version history: the memo column whose earlier values it keeps; empty when not found.
    std::string versioned_column;
    /// The parent's primary key columns, which the child rows carry first (none when the
    /// parent has no primary key).
    std::vector<std::string> parent_key;
    /// Other: what the source says the column is, for messages (e.g. the name of its type
    /// template).
    std::string note;
};

/// One pair of columns a relationship joins: the parent's (referenced) and the child's.
struct RelationshipColumn {
    std::string parent;
    std::string child;
};

/// A relationship between two tables: the child table's columns refer to the parent's key.
struct RelationshipSchema {
    std::string name;
    std::string parent_table;
    std::string child_table;
    std::vector<RelationshipColumn> columns;
    /// Referential integrity is enforced by the source.
    bool enforced = false;
    bool cascade_update = false;
    bool cascade_delete = false;
};

/// What a saved query does.
enum class QueryKind {
    Select,
    Union,
    Crosstab,
    Append,
    Update,
    Delete,
    MakeTable,
    DataDefinition,
    PassThrough,
    /// A type the reader does not know, or a stored definition that contradicts itself; the
    /// query's sql is then empty.
    Other,
};

/// A saved query of the source.
struct QuerySchema {
    std::string name;
    QueryKind kind = QueryKind::Other;
    /// The query's SQL text as the source shows it (a pass-through query keeps its own text).
    std::string sql;
    /// The tables and queries it reads, as the source names them.
    std::vector<std::string> sources;
    /// The query declares parameters the user is asked for when it runs.
    bool has_parameters = false;
    /// Why the source's definition of the query could not be read (Chinese); `sql` is then
    /// empty. Empty when it was read.
    std::string problem;
    /// The sql parsed by the source; null when the source could not parse it (see
    /// tree_refusal) or does not parse queries.
    std::shared_ptr<const sql::Statement> tree;
    /// Why sql could not be parsed (the construct named); empty when it was.
    std::string tree_refusal;
};

/// A user table of the source and its number of rows.
struct TableEntry {
    std::string name;
    std::int64_t rows = 0;
};

} // namespace tw::data
