#pragma once

#include "tablewright/model/Schema.h"
#include "tablewright/model/Value.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tw::data {

/// How a column's values are compared: the form in which the conversion writes them.
enum class ValueForm { Bool, Integer, Single, Double, Exact, Date, Text, Bytes };

/// The form of a column of the given ADO type.
ValueForm FormOf(int ado_type);

/// Reads the whole of a number's text as a canonical form or the server writes it ("1.5",
/// "-2e-5", "+3"); false when the text is anything else.
bool ParseCanonicalDouble(std::string_view text, double& number);

/// A value in its canonical text (see TargetDatabase::CanonicalOf); nullopt is NULL. Two values
/// of a column are the same exactly when their canonical texts are.
using Canonical = std::optional<std::string>;

/// One column of a target table, as the target describes it.
struct TargetColumn {
    std::string name;
    /// The column's full type in lower case ("varchar(50)", "int(11)", "decimal(19,4)").
    std::string type;
    /// The target computes the column's values itself (a generated column): they are read and
    /// compared, never written.
    bool generated = false;
};

/// Receives one row read from a target table: the canonical values of the bound columns.
using TargetRowSink = std::function<void(std::span<const Canonical> row)>;

/// The rows of a target table read once from first to last in the table's own order (that of
/// insertion for a table the conversion made), on a connection of their own, while the table is
/// read by key and changed through its TargetTable. Ends (and lets go of the table) when
/// destroyed, read to the end or not.
class TargetScan {
public:
    virtual ~TargetScan() = default;
    /// Passes the next rows (at most `rows`) to the sink; false when the table had no more.
    virtual bool Read(std::size_t rows, const TargetRowSink& sink) = 0;
};

/// One table of a target database: its rows read in canonical forms, paired by key, and
/// changed from typed values. The caller binds the columns it reads and writes first.
class TargetTable {
public:
    virtual ~TargetTable() = default;
    /// The table's name as the target spells it.
    virtual const std::string& Name() const = 0;
    /// The table's columns in their order.
    virtual const std::vector<TargetColumn>& Columns() const = 0;
    /// The position among Columns() of the column that `name` names (without regard to case,
    /// skipping those in `taken`); -1 when there is none.
    virtual int FindColumn(const std::string& name, const std::vector<bool>& taken) const = 0;
    /// True when the target column holds values of `column` as the conversion made it.
    virtual bool ColumnFits(int column, const ColumnSchema& schema) const = 0;
    /// Binds what is read and written: target column positions with their forms and ADO types
    /// (one entry per bound column), and the key as positions among the bound columns (empty:
    /// no key).
    virtual void Bind(std::vector<int> columns, std::vector<ValueForm> forms,
                      std::vector<int> ado_types, std::vector<std::size_t> key) = 0;
    /// The number of rows.
    virtual std::int64_t CountRows() = 0;
    /// Reads the rows whose key equals one of `keys` (canonical key parts, in key order).
    virtual void ReadByKeys(std::span<const std::span<const Canonical>> keys,
                            const TargetRowSink& sink) = 0;
    /// Reads `count` rows from `offset` on in the table's own order (that of insertion for a
    /// table the conversion made).
    virtual void ReadInOrder(std::int64_t offset, std::int64_t count,
                             const TargetRowSink& sink) = 0;
    /// Opens a scan of the bound columns; null when the target cannot open one (the caller then
    /// reads by key, and in pages).
    virtual std::unique_ptr<TargetScan> Scan() = 0;
    /// True when changes to the table wait until no scan of it is open (a table type with
    /// table locks): the caller ends its scan before it changes the table.
    virtual bool ScanHoldsChanges() = 0;
    /// True when the table holds each bound key at most once (a unique index on its columns).
    virtual bool KeyIsUnique() = 0;
    /// For each key (canonical key parts, in key order), a text that two keys share exactly
    /// when the table compares them as equal: text parts by the column's collation ("abc" and
    /// "ABC" where case does not count), the others by their canonical text.
    virtual std::vector<std::string>
    ComparedKeys(std::span<const std::span<const Canonical>> keys) = 0;
    /// Reads every row's key (the sink gets the key parts only), a page at a time; the sink
    /// returns false to stop.
    /// `skip`: ascending, disjoint ranges of a one-part whole-number key whose keys the caller
    /// does not want (a target may leave them out, and then reads only the keys between them).
    virtual void ReadKeys(const std::function<bool(std::span<const Canonical> key)>& sink,
                          std::span<const std::pair<std::int64_t, std::int64_t>> skip) = 0;

    /// Adds a row of typed values of the bound columns (held back and sent in multi-row
    /// statements; the target's other columns take their defaults, and its generated columns
    /// the values it computes, whatever the row holds for them).
    virtual void Insert(std::span<const Value> row) = 0;
    /// Sets the bound columns `columns` (positions among the bound ones) of the row with the
    /// given key to `values`.
    virtual void Update(std::span<const Canonical> key, std::span<const std::size_t> columns,
                        std::span<const Value> values) = 0;
    /// Removes the rows with the given key (held back and sent together).
    virtual void Delete(std::span<const Canonical> key) = 0;
    /// Removes every row.
    virtual void DeleteAll() = 0;
    /// Starts a transaction (where the table's type has them).
    virtual void Begin() = 0;
    /// Sends what is held back and commits.
    virtual void Commit() = 0;
    /// Gives up the changes since Begin where the table type can (after a failure).
    virtual void Rollback() = 0;
    /// How many changed rows one transaction should hold at most on this target.
    virtual std::size_t CommitRows() const = 0;
    /// Adds a column made as the conversion makes it, at the end.
    virtual void AddColumn(const ColumnSchema& column) = 0;
    /// Makes the next AUTO_INCREMENT value at least `next` (where the table has such a column).
    virtual void RaiseAutoIncrement(std::int64_t next) = 0;
};

/// A target database the conversion wrote to, as the verification and the sync read and change
/// it.
class TargetDatabase {
public:
    virtual ~TargetDatabase() = default;
    /// Reads the list of the current database's tables again.
    virtual void Refresh() = 0;
    /// The target's name of the table the conversion makes of the Access table `name` (or one
    /// named the same without regard to case); empty when there is none.
    virtual std::string FindTable(const std::string& name) const = 0;
    /// Opens one table (named as FindTable returns it); throws DataAccessError.
    virtual std::unique_ptr<TargetTable> OpenTable(const std::string& name) = 0;
    /// A source value in the canonical form of `form`: as the conversion writes it, so that it
    /// equals the target's canonical text exactly when the target holds that very value. Written
    /// into `out`, whose memory is used again.
    virtual void CanonicalOf(ValueForm form, const Value& value, Canonical& out) const = 0;
    /// True when the canonical text of a text value, and of a byte value, is that value itself
    /// (so that the value can be made again from it).
    virtual bool TextIsCanonical() const = 0;
};

} // namespace tw::data
