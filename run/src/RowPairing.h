#pragma once

// Pairs the rows of an Access table with those of its target table, streamed: the Access rows
// in file order in chunks, the target rows read in the table's own order beside them (for a
// table the conversion made, the same order), and those that do not come in step fetched by
// their keys. The verification compares the pairs; the sync changes the target where they
// differ.

#include "tablewright/engine/ComplexTables.h"
#include "tablewright/model/DataAccess.h"
#include "tablewright/model/Target.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace tw::run {

/// One value of an Access row: canonical, or not readable from the Access file.
struct Cell {
    data::Canonical value;
    bool unreadable = false;
    // The typed value is made again from the canonical text (a text, or bytes when `bytes`).
    bool from_canonical = false;
    bool bytes = false;
};

/// One Access column and where the target has it.
struct PairColumn {
    std::string name; // as Access spells it
    int ado_type = 0;
    data::ValueForm form = data::ValueForm::Text;
    // An OLE Object column whose values the conversion stored as the files they embed.
    bool unwrap_ole = false;
    // Position among the target's columns; -1 when the target lacks the column.
    int target = -1;
    // Position among the columns read from the target; -1 when not read.
    int bound = -1;
};

/// One Access row of a chunk.
struct SourceRow {
    std::vector<Cell> cells;
    // The typed values as the conversion writes them (kept only when asked for, and then not
    // for the cells made again from their canonical text: see RowPairing::TypedValue).
    std::vector<data::Value> values;
    // The canonical key parts and the key in one string (keyed tables).
    std::vector<data::Canonical> key;
    std::string key_text;
    std::int64_t ordinal = 0;
};

/// The pairing of one Access table (or one complex column's child rows) with a target table.
class RowPairing {
public:
    /// `keep_values`: each row of a chunk also keeps its typed values.
    RowPairing(data::Connection& source, data::TargetDatabase& target, bool ole_contents,
               bool keep_values);
    ~RowPairing();
    RowPairing(const RowPairing&) = delete;
    RowPairing& operator=(const RowPairing&) = delete;

    /// Opens the Access side (the table, or with `child` the child rows of a complex column);
    /// throws DataAccessError.
    void OpenSource(const std::string& table, const engine::ChildTable* child);
    /// Opens the Access side again at its first row (the counts of rows start again); throws
    /// DataAccessError.
    void ReopenSource();
    /// Opens the target table and finds each Access column among its columns, without regard
    /// to case; throws DataAccessError.
    void OpenTarget(const std::string& target_table);
    /// Finds the Access columns among the target's columns again (after columns were added).
    void MatchTarget();
    /// Chooses the key: the primary key, else a unique index whose columns always hold a value
    /// (Yes/No columns always do); every column of it must be on the target too. Without one
    /// the rows are paired in order.
    void ChooseKey(const data::TableSchema& schema);
    /// Binds what is read from the target: every column it has, and the key.
    void Bind();

    /// Reads the next chunk of Access rows; false when the table has no more. The chunk after
    /// it is read ahead on another thread meanwhile (the Access side is used by nothing else
    /// until the next call).
    bool ReadChunk();
    std::span<SourceRow> Chunk() { return {chunk_.data(), chunk_size_}; }

    /// Pairs the chunk with its target rows: by key (as the target compares keys: a text key
    /// the target's collation takes as equal pairs, "ABC" with Access's "abc"), else with the next
    /// target rows in the table's own order. `pair` gets each paired row, `missing` each Access row
    /// the target lacks, `duplicate` each further target row of an already paired key.
    /// Target rows are taken from a scan of the table where it holds each key once (or has no
    /// key) and the target can scan; rows met out of step wait (a bounded number), and rows not
    /// met in step are fetched by key. A target whose order differs too much is read by key
    /// only from then on.
    void PairChunk(const std::function<void(SourceRow&, std::span<const data::Canonical>)>& pair,
                   const std::function<void(SourceRow&)>& missing,
                   const std::function<void(SourceRow&)>& duplicate);
    /// Reads every target key and passes on those no Access row has (compared by the number of
    /// a whole-number key, else by a hash of the key); the callback returns false to stop. With
    /// a scan open, the keys are those of the rows it has not paired (read to its end).
    void ScanExtraKeys(const std::function<bool(std::span<const data::Canonical>)>& extra);
    /// Ends the scan of the target table, if one is open (before the table is changed where a
    /// scan holds changes up, and when the pairing is done); the rows it held back are read
    /// by key instead.
    void EndScan();
    /// True while the target table is read by a scan.
    bool Scanning() const { return scan_ != nullptr; }

    const std::vector<PairColumn>& Columns() const { return columns_; }
    /// Access column positions of the key (empty: paired in order).
    const std::vector<std::size_t>& Key() const { return key_; }
    data::TargetTable& Target() { return *target_; }
    data::Recordset& Source() { return *source_rs_; }
    /// The typed value of a column of a row read with `keep_values`, as the conversion writes
    /// it (NULL for a value that could not be read).
    data::Value TypedValue(const SourceRow& row, std::size_t column) const;
    std::vector<std::string> MissingColumns() const;
    std::vector<std::string> ExtraColumns() const;
    std::int64_t SourceRows() const { return source_rows_; }
    std::int64_t Paired() const { return paired_; }
    std::int64_t Duplicates() const { return duplicates_; }

    /// "ID=5", or "A=1, B=\"x\"" for a key of several columns, of the key parts of a row.
    std::string KeyLabel(std::span<const data::Canonical> key) const;

private:
    // Reads rows into `chunk` (numbered on from `ordinal`); returns how many.
    std::size_t FillChunk(std::vector<SourceRow>& chunk, std::int64_t ordinal);
    // Waits for the chunk being read ahead, and drops it.
    void StopReadingAhead();
    // The number of a one-part whole-number key, moved to sort as unsigned; nullopt otherwise.
    std::optional<std::uint64_t> KeyNumber(std::span<const data::Canonical> key) const;
    // True when an Access row read so far has this key (its parts, and in one string).
    bool IsSourceKey(std::span<const data::Canonical> key, const std::string& key_text) const;
    // Notes an Access row's key for ScanExtraKeys.
    void NoteSourceKey(std::span<const data::Canonical> key, std::string_view key_text);
    void SortSourceKeys();
    bool SameKey(const SourceRow& source, std::span<const data::Canonical> row) const;
    // Opens the scan of the target table when it can serve (once).
    void StartScan();
    // Pairs the chunk from the rows the scan held back and from the scan; returns the number
    // of the chunk's rows left unpaired.
    std::size_t
    PairFromScan(const std::function<void(SourceRow&, std::span<const data::Canonical>)>& pair,
                 const std::function<void(SourceRow&)>& duplicate);
    // Pairs rows without a key with the scan's next rows; the rest of the chunk is missing.
    void PairInOrderFromScan(
        const std::function<void(SourceRow&, std::span<const data::Canonical>)>& pair,
        const std::function<void(SourceRow&)>& missing);
    // The key of a target row in one string.
    void TargetKeyText(std::span<const data::Canonical> row, std::string& key) const;
    // Pairs the Access row at `at` with a target row, or counts the target row a duplicate.
    void Take(std::size_t at, std::span<const data::Canonical> row,
              const std::function<void(SourceRow&, std::span<const data::Canonical>)>& pair,
              const std::function<void(SourceRow&)>& duplicate);
    // Pairs target rows whose key text no Access row has exactly by the target's comparison.
    void
    PairByCollation(const std::vector<std::vector<data::Canonical>>& unpaired,
                    const std::function<void(SourceRow&, std::span<const data::Canonical>)>& pair,
                    const std::function<void(SourceRow&)>& duplicate);

    data::Connection& source_;
    data::TargetDatabase& target_db_;
    bool ole_contents_;
    bool keep_values_;
    bool text_is_canonical_;
    std::unique_ptr<data::Recordset> source_rs_;
    std::string source_table_;
    const engine::ChildTable* source_child_ = nullptr;
    std::unique_ptr<data::TargetTable> target_;
    std::vector<PairColumn> columns_;
    std::vector<std::size_t> key_;
    bool number_key_ = false;   // the key is one whole-number column
    bool text_key_ = false;     // a part of the key is text, compared by the target's collation
    std::vector<char> matched_; // per row of the chunk: paired already
    std::vector<SourceRow> chunk_;
    std::size_t chunk_size_ = 0; // rows of chunk_ in use
    // What ScanExtraKeys looks the target's keys up in: whole-number keys as runs of
    // consecutive numbers (first, last; AutoNumbers mostly make one run for a whole table),
    // other keys as a hash each (8 bytes an Access row).
    std::vector<std::pair<std::uint64_t, std::uint64_t>> source_runs_;
    std::vector<std::uint64_t> source_keys_;
    bool keys_sorted_ = false;
    std::int64_t source_rows_ = 0;
    std::int64_t paired_ = 0;
    std::int64_t duplicates_ = 0;
    // The scan of the target table (null: read by key), the target rows it met before their
    // Access rows (by key text), their bytes, and the hashes of the key texts of target rows
    // the scan has not reached but that were paired by key already (dropped when met).
    std::unique_ptr<data::TargetScan> scan_;
    bool scan_tried_ = false;
    bool scan_ended_ = false;
    struct WaitingRow {
        std::uint64_t met = 0; // the row's place in the scan
        std::vector<data::Canonical> values;
    };
    std::unordered_map<std::string, WaitingRow> waiting_;
    std::uint64_t scanned_rows_ = 0;
    std::size_t waiting_bytes_ = 0;
    std::unordered_set<std::uint64_t> paired_ahead_;
    // The chunk read ahead and its rows; last, so that it is waited for first.
    std::vector<SourceRow> ahead_rows_;
    std::future<std::size_t> ahead_;
};

/// The key of a row in one string: each part with its length, so that no two keys meet.
void AppendKeyPart(std::string& key, const data::Canonical& part);

} // namespace tw::run
