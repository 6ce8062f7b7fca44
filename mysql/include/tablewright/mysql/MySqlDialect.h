#pragma once

#include "tablewright/model/Destination.h"
#include "tablewright/model/Schema.h"
#include "tablewright/model/Value.h"

#include <cstdint>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tw::data {

/// The statements that give a filled table its keys, and what could not be kept as it was.
struct KeyPlan {
    /// All keys, indexes and the AutoNumber in one statement (empty when the table has none).
    std::string combined;
    /// The same, one statement each, for a server that refused the combined one.
    struct Step {
        std::string statement;
        /// For a unique or primary key: the same index without uniqueness, kept when the data
        /// holds values the server takes as equal; empty otherwise.
        std::string plain_fallback;
        /// What the step makes, for messages ("主键", "唯一索引 'x'", ...).
        std::string what;
        /// For a unique or primary key: a query that returns a row when the table's rows break
        /// the key (for a script file, which adds the key only when they do not); else empty.
        std::string breaking_rows;
    };
    std::vector<Step> steps;
    /// The steps that are not unique keys in one statement (empty when none), for a script
    /// file, which adds each unique key on its own.
    std::string others;
};

/// A validation rule of the source as a CHECK constraint of the table.
struct CheckPlan {
    /// The constraint's name: lower-cased, within kMaxNameChars, unique in the database.
    std::string name;
    /// What every row must satisfy; a row for which it is UNKNOWN (NULL) satisfies it, as the
    /// server checks it.
    std::string condition;
    /// "ALTER TABLE `t` ADD CONSTRAINT `name` CHECK (condition);"
    std::string statement;
    /// A query that returns the rows that break it (the condition FALSE).
    std::string breaking_rows;
    /// What the constraint keeps, for messages ("列 'Salary' 的验证规则 '>=0'").
    std::string what;
    /// The source's message for a value that breaks the rule (MySQL has none); may be empty.
    std::string message;
};

/// MySQL's (and MariaDB's) SQL: names, column types, literals, the table clause and the
/// statements that make a table, fill it and give it its keys. Names of tables, columns and
/// indexes are lower-cased, so that they mean the same on servers that fold names and on those
/// that do not.
class MySqlDialect {
public:
    /// The column type of a column, in lower case (e.g. "varchar(50)", "decimal(19,4)",
    /// "datetime(6)" for a time stamp with fractions of a second).
    static std::string ColumnType(const ColumnSchema& column);
    /// The mixed-case MySQL type name for an ADO type code.
    static std::string TypeName(int ado_type);
    /// The column type text for a type code, declared size, precision and scale.
    static std::string TypeText(int ado_type, std::int32_t size, int precision, int scale);
    /// The column's comment: its description and, for a calculated column, the source's
    /// expression, kept whether or not the server computes the column; empty when neither.
    static std::string ColumnComment(const ColumnSchema& column);
    /// " COMMENT '...'" with ColumnComment cut to what the server takes; empty for none.
    static std::string CommentClause(const ColumnSchema& column);
    /// "ENGINE=<type> DEFAULT CHARSET=utf8mb4", the clause that ends every table statement.
    static std::string TableClause(const std::string& engine);

    /// Appends `name` between backticks, lower-cased, with backticks doubled.
    static void AppendName(std::string& out, std::string_view name);
    /// The longest name of a table, column, index or constraint, in characters.
    static constexpr std::size_t kMaxNameChars = 64;
    /// `wanted` cut to kMaxNameChars characters (and of the spaces a cut leaves at its end);
    /// when `taken` (lower-cased names) already holds it as this dialect writes it, the same with
    /// "_2", "_3", ... appended within the limit. The name chosen joins `taken`.
    static std::string UniqueName(std::string_view wanted, std::set<std::string>& taken);

    /// "DROP TABLE IF EXISTS `t`;"
    static std::string DropTable(std::string_view table);
    /// "CREATE TABLE `t`(`a` int , `b` varchar(50) ) ENGINE=..." (no semicolon). With keys, each
    /// column also carries NOT NULL, DEFAULT and COMMENT, and the table its collation and
    /// comment; defaults and descriptions that cannot be carried are described in `notes`.
    static std::string CreateTable(const TableSchema& table, const TableOptions& options,
                                   std::vector<std::string>* notes = nullptr);
    /// "INSERT INTO `t` values" without the row.
    static std::string InsertPrefix(std::string_view table);
    /// Appends one row as "(v1,v2,...)"; `columns` gives each value's ADO type.
    static void AppendRowTuple(std::string& out, std::span<const Value> row,
                               std::span<const ColumnSchema> columns);
    /// Appends "INSERT INTO `t` values(...);" for one row.
    static void AppendInsert(std::string& out, std::string_view table, std::span<const Value> row,
                             std::span<const ColumnSchema> columns);
    /// The statements that add the table's keys and indexes and turn its AutoNumber column into
    /// AUTO_INCREMENT with the next value the source would hand out; run after the rows are in.
    static KeyPlan Keys(const TableSchema& table, const TableOptions& options,
                        std::vector<std::string>* notes = nullptr);
    /// The table's validation rules as CHECK constraints: each column's rule (applied, as Access
    /// applies it, only to values that are not NULL unless the rule speaks of NULL), a text
    /// column's refusal of the empty string, and the table's rule. A rule without an exact form
    /// (not parsed, not written, a function whose value changes between calls, another table
    /// read) is described in `notes` instead. Names chosen join `taken`.
    static std::vector<CheckPlan> Checks(const TableSchema& table, std::set<std::string>& taken,
                                         std::vector<std::string>* notes = nullptr);
    /// For a script file, whose rows are not known when it is written: statements that run
    /// `statement` when `breaking_rows` returns no row and `otherwise` (may be empty: nothing)
    /// when it does, so that the file loads either way.
    static std::vector<std::string> WhenNoRows(const std::string& breaking_rows,
                                               const std::string& statement,
                                               const std::string& otherwise);
    /// A statement that shows `text` to whoever loads a script file: a one-row result headed
    /// "tablewright", which the mariadb client prints (without the closing semicolon, to be
    /// prepared).
    static std::string LoadNote(std::string_view text);
    /// "ALTER TABLE `child` ADD CONSTRAINT `name` FOREIGN KEY (...) REFERENCES `parent` (...)
    /// ON DELETE ... ON UPDATE ...;"
    static std::string ForeignKey(const RelationshipSchema& relationship);
    /// The MySQL form of an Access default value for a column, or empty when it has none that
    /// means the same.
    static std::string DefaultValue(const ColumnSchema& column);
    /// "ALTER TABLE `t` MODIFY `c` type NULL ...;": the column as the table statement made it,
    /// but allowing NULL.
    static std::string AllowNull(const TableSchema& table, const ColumnSchema& column,
                                 const TableOptions& options);
    /// By how many bytes the largest row of the table exceeds what the server allows for the
    /// storage engine, as it measures a table being created: 65,535 bytes of columns for every
    /// engine, and for InnoDB 8,126 bytes of what stays in the row (16 KiB pages); 0 when it
    /// fits.
    static int RowSizeExcess(const TableSchema& table, const TableOptions& options);
    /// Makes the widest varchar column mediumtext, which the row holds by reference only:
    /// columns no index uses first (with keys), then the rest. Returns its name; empty when no
    /// varchar column is left or the engine cannot hold text (MEMORY).
    static std::string MoveWidestToText(TableSchema& table, const TableOptions& options);
    /// The largest total bytes of one index key for a storage engine.
    static int MaxKeyBytes(std::string_view engine);
    /// True when the storage engine keeps foreign keys.
    static bool KeepsForeignKeys(std::string_view engine);
};

} // namespace tw::data
