#pragma once

#include "tablewright/model/DataAccess.h"
#include "tablewright/model/Destination.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tw::engine {

/// What happened to the statements of one converted table.
struct TableReport {
    /// The source name of the table.
    std::string table_name;
    /// Statements the destination refused, plus rows whose values could not all be read exactly,
    /// plus one when the table could not be read at all.
    std::int64_t failed_statements = 0;
    /// The text of the first such failure.
    std::string first_error;
    /// Notes on columns whose values cannot be read exactly or are kept as their raw bytes, and
    /// on what the copy changed in a column's values (fractions of a second cut to
    /// microseconds, OLE objects stored as the files they embed).
    std::vector<std::string> column_warnings;
    /// What of the source's schema (keys, indexes, defaults, descriptions) could not be kept as
    /// it was, each with its reason.
    std::vector<std::string> schema_notes;
    /// Row statements produced: the table's and those of the child tables of its complex
    /// columns.
    std::int64_t rows = 0;
    /// Failed statements that were rows: refused, unsent, or holding values that could not all
    /// be read exactly.
    std::int64_t failed_rows = 0;
    /// True when the table statement was produced and, where statements are sent, accepted.
    bool created = false;
    /// True when the connection to the server was lost during the table, or could not be opened
    /// again before it: the table was cut short and what did not arrive is counted as failed.
    bool connection_lost = false;
};

/// Where a table's statements go.
enum class Output {
    /// Sent to the destination server and reported.
    Server,
    /// Only reported (for the script file).
    StatementsOnly,
};

/// How tables are copied.
struct CopyOptions {
    /// Copy the rows, not only the table's structure.
    bool with_data = false;
    /// Drop the destination's table of that name first.
    bool drop_table = true;
    /// How the destination makes tables (type, keys, collation).
    data::TableOptions table;
    /// Store the file an OLE Object value embeds, where the source knows its wrapper
    /// (data::Provider::EmbeddedFile), instead of the value's bytes.
    bool ole_contents = false;
};

/// The run's side of a copy: where statements, progress and idle time go.
struct CopyEvents {
    /// Each statement the destination made, after it was sent (unless statements only); set
    /// before the copier is made, which hands it to the destinations.
    std::function<void(data::MadeStatement& statement)> statement;
    /// The whole percentage of the current table's rows done, when it changes.
    std::function<void(std::int32_t& percent)> progress;
    /// Lets the window process its pending events once.
    std::function<void()> yield;
};

/// What became of one relationship of the source.
struct RelationshipReport {
    std::string name;
    /// True when it became a foreign key.
    bool created = false;
    /// Why not, or what happened; empty when it was created.
    std::string note;
};

/// What became of one saved query of the source.
struct ViewReport {
    std::string name;
    /// True when it became a view (or, for the script file only, its statement was written).
    bool created = false;
    /// Why not; empty when it was created.
    std::string note;
    /// It is (or would have been) a stored procedure rather than a view.
    bool procedure = false;
};

/// Copies tables from a source connection to a destination one at a time: the table from the
/// source's definition, the rows as typed values, then (with keys) the table's keys and, after
/// all tables, the relationships as foreign keys. The destination makes the statements; every
/// one is reported through the events in the order it is made. Where statements are only
/// reported (or cannot be sent), the script destination makes them.
class TableCopier {
public:
    TableCopier(data::Connection& source, data::Connection& destination, data::Destination& script,
                CopyEvents& events, const std::atomic<bool>& stop);

    /// Copies one table; `report` receives what happened (failures of rows the destination
    /// held back arrive through CountFailure while the copy runs).
    void Copy(const std::string& table, const CopyOptions& options, Output output,
              TableReport& report);
    /// Adds the source's relationships between the given converted tables as foreign keys.
    std::vector<RelationshipReport> AddRelationships(const std::set<std::string>& converted,
                                                     const CopyOptions& options, Output output);
    /// Makes the source's saved queries views, where they read only the given converted tables
    /// and have a MySQL form that gives the same rows; reports every query.
    std::vector<ViewReport> AddViews(const std::set<std::string>& converted, Output output);
    /// Counts a failed statement for the table being copied.
    void CountFailure(const std::string& error);

private:
    data::TableSchema ReadSchema(const std::string& table, data::Recordset& rs,
                                 const CopyOptions& options);
    enum class Refusal { Counted, Handled };
    bool Report(const std::function<void()>& send, Refusal refusal = Refusal::Counted);
    bool FillTable(data::TableSchema schema, data::Recordset& rs, const CopyOptions& options,
                   bool progress);
    void CopyChildTables(const std::string& table, const CopyOptions& options,
                         data::Destination* connected, const std::string& unconnected);
    void UseScript();
    void Note(std::string text);
    void AddKeys(const data::TableSchema& schema, const CopyOptions& options);
    void CopyRows(data::Recordset& rs, const data::TableSchema& schema, const CopyOptions& options,
                  bool progress);
    bool ConnectTarget();
    void ReleaseTarget();
    void Yield();
    void AddChecks(const data::TableSchema& schema, const CopyOptions& options);

    data::Connection& source_;
    data::Connection& destination_;
    CopyEvents& events_;
    const std::atomic<bool>& stop_;
    data::Destination& script_;
    // Where statements go: the destination's when they are sent, else the script's.
    data::Destination* target_ = nullptr;
    bool sending_ = false;
    std::string unsent_reason_;
    TableReport* report_ = nullptr;
    // Set while the failures that arrive are those of rows.
    bool counting_rows_ = false;
    // What notes on the schema begin with: empty for the table, the child table's name for one
    // of its child tables.
    std::string note_prefix_;
    std::string last_refusal_;
    // The source's relationships, read when the first table with rules needs them.
    std::optional<std::vector<data::RelationshipSchema>> relationships_;
};

} // namespace tw::engine
