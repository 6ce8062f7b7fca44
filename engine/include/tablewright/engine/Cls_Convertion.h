#pragma once

#include "tablewright/engine/TableCopier.h"
#include "tablewright/model/DataAccess.h"
#include "tablewright/model/Destination.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tw::engine {

/// Opens the destination's provider from data of its own kind (no connection string), with the
/// seconds the server may stay silent (0: the provider's default); throws data::DataAccessError.
using DestinationOpener = std::function<std::unique_ptr<data::Provider>(unsigned timeout_seconds)>;

/// What could not be read while the source's tables were listed.
struct ListingFailure {
    /// The table whose row count could not be read; empty when the listing itself failed.
    std::string table;
    std::string error;
};

/// The conversion engine: owns both connections, the table-type clause and the stop flag, maps
/// Access field types to the destination's types and converts one table at a time into the
/// destination's statements.
class Cls_Convertion {
public:
    /// Shows a modal message with the critical icon; replaceable so the engine runs headless.
    std::function<void(const std::string& text)> ShowCriticalMessage;
    /// Lets the window process its pending events once; replaceable, does nothing by default.
    std::function<void()> DoEvents;
    /// Raised with each produced statement, after it was sent (unless statements only).
    std::function<void(std::string& StrSQL)> ExecuteInfo;
    /// While ExecuteInfo is raised: the statement it reports, with its kind and, for a row,
    /// where the row's own values begin; null otherwise.
    const data::MadeStatement* ReportedStatement() const { return reported_; }
    /// Raised with the whole percentage of the current table's rows done, when it changes.
    std::function<void(std::int32_t& ProgressStatus)> Progress;

    /// Stop request: the row loop of ConvTable ends before the next row when it is true; may be
    /// set from another thread than the one converting.
    std::atomic<bool> EndProgress = false;

    /// Creates the engine with two closed connections whose providers come from the factory;
    /// statements that are only reported (for the script file) come from a destination that
    /// `script` makes.
    Cls_Convertion(data::ProviderFactory factory, const data::ScriptDestinationFactory& script);
    ~Cls_Convertion();
    Cls_Convertion(const Cls_Convertion&) = delete;
    Cls_Convertion& operator=(const Cls_Convertion&) = delete;

    /// Opens the Access file; shows the failure and returns false when it cannot be opened.
    bool OpenSourceDB(const std::string& sFileName, const std::string& pwd = "");
    /// The character set (any iconv name) of an Access 97 file's text for the next
    /// OpenSourceDB, in place of the code page its header names; empty for the header's.
    void SetSourceCharset(std::string charset) { source_charset_ = std::move(charset); }
    /// How the open source's text is decoded, for the log; empty when there is nothing to say.
    std::string SourceTextEncoding() const { return source_connection_->TextEncoding(); }
    /// Connects to the MySQL server; shows the failure and returns false when it cannot.
    bool OpenDestinationDB(const std::string& host = "localhost", const std::string& user = "root",
                           const std::string& pwd = "", std::int32_t port = 3306);
    /// Connects to the destination `open` opens (a server named by typed data, with its socket,
    /// encryption and option files); shows the failure and returns false when it cannot.
    bool OpenDestinationDB(const DestinationOpener& open);
    /// Creates the database when missing and selects it; an existing database that the user may
    /// use but not create is selected too. Throws data::DataAccessError with the reason.
    void createDB(const std::string& sDBName);
    /// Selects the database; throws data::DataAccessError.
    void SelectDB(const std::string& sDBName);
    /// Sets the table type that every table statement names.
    void SetTableType(const std::string& isType);
    /// Why the connected server would not keep tables of the set table type on all its nodes (a
    /// Galera cluster replicates InnoDB tables only); empty when it would, or when no server is
    /// connected.
    std::string ClusterRefusal();
    /// Ends, from another thread, the call the converting thread waits in for the server: that
    /// call and every later one fails as with a lost connection and is counted so.
    void InterruptServer() { destination_connection_->Interrupt(); }
    /// Executes one statement on the destination; false (and the reason kept) when refused.
    bool ExecuteSQL(const std::string& SQL);
    /// Sets how many consecutive row statements the destination may send as one (1: none).
    void SetBatchRows(int rows);
    /// Sets how many seconds the server may stay silent before the connection is given up, for
    /// connections opened afterwards (0: the provider's default).
    void SetServerTimeout(unsigned seconds) { server_timeout_seconds_ = seconds; }

    /// Carries keys, indexes, column properties and relationships with the tables (off: bare
    /// tables of plain columns).
    void SetKeepKeys(bool keep) { keep_keys_ = keep; }
    bool KeepKeys() const { return keep_keys_; }
    /// Stores the file an OLE Object value embeds where its wrapper is of a known kind (off: the
    /// value's bytes as Access keeps them).
    void SetOleContents(bool unwrap) { ole_contents_ = unwrap; }
    bool OleContents() const { return ole_contents_; }

    /// The connection to the Access file.
    data::Connection& SourceDB() { return *source_connection_; }
    /// The connection to the MySQL server.
    data::Connection& DestinationDB() { return *destination_connection_; }
    /// The clause that ends every table statement, e.g. "ENGINE=MyISAM DEFAULT CHARSET=utf8mb4".
    const std::string& TableTypeClause() const { return table_type_clause_; }

    /// The statements the script file holds at `point` to set up its loading session.
    std::vector<std::string> ScriptSession(data::SessionPoint point) {
        return script_->SessionStatements(point);
    }
    /// The destination's column type of a source field, in lower case.
    std::string ConvFieldType(data::Field& iField);
    /// Converts one source table: drop (optional), table statement, rows (optional), flush.
    void ConvTable(const std::string& sTableName, bool WithData = false, bool DropTable = true,
                   bool DumpSQLonly = false);
    /// What the last ConvTable call produced and which of its statements failed.
    const TableReport& LastTableReport() const { return last_report_; }

    /// Adds the source's relationships between the given converted tables as foreign keys
    /// (only with keys kept); DumpSQLonly reports the statements without sending them.
    std::vector<RelationshipReport> ConvRelationships(const std::set<std::string>& converted,
                                                      bool DumpSQLonly = false);
    /// Makes the source's select and union queries views where they read only converted tables
    /// and MySQL can express them; DumpSQLonly reports the statements without sending them.
    std::vector<ViewReport> ConvViews(const std::set<std::string>& converted,
                                      bool DumpSQLonly = false);
    /// The saved queries of the source; throws data::DataAccessError when they cannot be read.
    std::vector<data::QuerySchema> SourceQueries();
    /// The user tables with their exact row counts, in the source's order; a table whose rows
    /// cannot be counted is listed with 0 and named in ListingFailures().
    std::vector<data::TableEntry> SourceTables();
    /// What the last SourceTables call could not read.
    const std::vector<ListingFailure>& ListingFailures() const { return listing_failures_; }
    /// The source's linked tables (their data lives in another file or an ODBC source, so they
    /// are not converted), each with where it links to; empty when there are none.
    std::vector<data::SchemaTableRow> LinkedTables();
    /// Lists the user tables as "name:rows" in entries 1..n; returns n (0 leaves it untouched).
    std::int32_t GetSourceTables(std::vector<std::string>& tblName);
    /// Lists the server's databases in entries 1..n; returns n.
    std::int32_t GetMySQLDatabases(std::vector<std::string>& Dbname);

    /// The destination's mixed-case type name for an ADO type code.
    std::string GetMySQLType(int type_code);
    /// The row statement for the recordset's current row; counts unreadable values.
    std::string GetInsertSQL(data::Recordset& rs, const std::string& table_name);
    /// Appends the row statement for the recordset's current row to a statement buffer.
    void AppendInsertSQL(std::string& statement, data::Recordset& rs,
                         const std::string& table_name);

private:
    bool OpenConnection(data::Connection& connection, const std::string& connection_string);
    CopyOptions OptionsFor(bool with_data, bool drop_table, bool dump_only);
    void Yield();

    std::string table_type_ = "MyISAM";
    std::string table_type_clause_;
    bool keep_keys_ = false;
    bool ole_contents_ = false;
    // The accent-sensitive collation of the connected server, once asked.
    std::optional<std::string> server_collation_;
    unsigned server_timeout_seconds_ = 0;
    std::unique_ptr<data::Connection> source_connection_;
    std::unique_ptr<data::Connection> destination_connection_;
    // Makes the statements that are only reported, and the texts of types and rows.
    std::unique_ptr<data::Destination> script_;
    const data::MadeStatement* reported_ = nullptr;
    std::vector<ListingFailure> listing_failures_;
    CopyEvents copy_events_;
    std::string source_charset_;
    std::unique_ptr<TableCopier> copier_;
    TableReport last_report_;
};

} // namespace tw::engine
