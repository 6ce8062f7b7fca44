#pragma once

#include "tablewright/engine/Cls_Convertion.h"
#include "tablewright/run/ConversionRun.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tw::run {

/// How a sync runs.
struct SyncOptions {
    /// Read both sides and report what would change, changing nothing.
    bool dry_run = false;
    /// Keep the target rows the Access table no longer has.
    bool keep_extra = false;
    /// How many keys of inserted, updated and deleted rows a table names.
    std::size_t example_limit = 3;
};

/// What the sync of one table did (or, in a dry run, would do).
struct TableSync {
    enum class Outcome {
        /// The target table was brought in step row by row (or already was).
        Synced,
        /// The table has no key to pair rows by and its rows differed: every row was written
        /// again.
        Reloaded,
        /// The table has no key to pair rows by, and holds the Access rows: left alone.
        SameWithoutKey,
        /// The target had no such table: it was made and filled as a conversion makes it.
        Created,
        /// A column was removed in Access or changed its type: the table was left as it is.
        StructureChanged,
        /// Reading or changing failed; `error` says why, the counts say what was committed.
        Failed,
        /// Stopped on request.
        Cancelled,
    };
    /// The table as Access spells it (a child table: as the conversion names it).
    std::string table;
    Outcome outcome = Outcome::Synced;
    bool dry_run = false;
    std::int64_t inserted = 0;
    std::int64_t updated = 0;
    /// Values changed in the updated rows.
    std::int64_t updated_values = 0;
    std::int64_t deleted = 0;
    /// Target rows the Access table lacks that were kept (--keep-extra).
    std::int64_t kept = 0;
    std::int64_t unchanged = 0;
    /// Rows written by a reload or a creation, and the rows the target had before a reload.
    std::int64_t written = 0;
    std::int64_t target_rows = 0;
    /// Columns added to the target (added in Access), and those that stop the sync of the table.
    std::vector<std::string> added_columns;
    std::vector<std::string> removed_columns;
    std::vector<std::string> changed_columns;
    /// The first keys of the rows inserted, updated, deleted (or kept).
    std::vector<std::string> inserted_keys;
    std::vector<std::string> updated_keys;
    std::vector<std::string> deleted_keys;
    std::string error;

    bool Ok() const {
        return outcome != Outcome::Failed && outcome != Outcome::Cancelled &&
               outcome != Outcome::StructureChanged;
    }
};

/// The lines that report one table, in Simplified Chinese: the counts first
/// ("表 'Orders'：新增 12 行，更新 3 行（5 个值），删除 1 行，未变 199984 行"), then indented
/// details (the first keys of each kind, the columns, the advice).
std::vector<std::string> DescribeSync(const TableSync& table);

/// What a sync (or a dry run) of the window's tables came to.
struct SyncReport {
    enum class Outcome {
        /// Every table is in step (or, in a dry run, was read and reported).
        Done,
        /// At least one table failed, was left because of its structure, or the sync was
        /// stopped.
        Failures,
        /// The server could not be used or the connection was lost; `error` says why.
        ServerUnavailable,
    };
    Outcome outcome = Outcome::Done;
    std::vector<TableSync> tables;
    std::string error;
};

/// Prints one line of a sync's report.
using SyncPrinter = std::function<void(const std::string& line)>;

/// Brings the window's ticked tables in the window's database on the engine's server (already
/// connected) in step with the Access tables, changing only what differs: rows are paired as
/// the verification pairs them and compared in the same canonical forms; the target's rows the
/// Access table lacks are inserted, differing values updated, rows Access no longer has deleted
/// (or kept). A table without a key is written again whole in one transaction; a table the
/// target lacks is made and filled by a conversion; views are made again. Changes are committed
/// in bounded transactions. Each table's lines are printed as it is done, then a closing line.
SyncReport SyncTables(engine::Cls_Convertion& engine, const RunWindow& window,
                      const SyncOptions& options, const SyncPrinter& print,
                      const std::function<bool()>& stop = {});

/// What a normal conversion of the window's tables would do on the server, changing nothing:
/// which tables it would drop and make again (or make), and with how many rows.
SyncReport PreviewConversion(engine::Cls_Convertion& engine, const RunWindow& window,
                             const SyncPrinter& print);

} // namespace tw::run
