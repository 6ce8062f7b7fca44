#pragma once

#include "tablewright/dataaccess/DataAccess.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tw::engine {

/// What happened to the statements of the last table that ConvTable converted.
struct TableReport {
    /// The source name of the table.
    std::string table_name;
    /// Statements the destination refused, plus rows whose values could not all be read exactly,
    /// plus one when the table could not be read at all.
    std::int64_t failed_statements = 0;
    /// The text of the first such failure.
    std::string first_error;
    /// Notes on columns whose values cannot be read exactly.
    std::vector<std::string> column_warnings;
    /// Row statements produced.
    std::int64_t rows = 0;
    /// True when the connection to the server was lost during the table, or could not be opened
    /// again before it: the table was cut short and what did not arrive is counted as failed.
    bool connection_lost = false;
};

/// The conversion engine: owns both connections, the table-type clause and the stop flag, maps
/// Access field types to MySQL types and converts one table at a time into statements.
class Cls_Convertion {
public:
    /// Shows a modal message with the critical icon; replaceable so the engine runs headless.
    std::function<void(const std::string& text)> ShowCriticalMessage;
    /// Lets the window process its pending events once; replaceable, does nothing by default.
    std::function<void()> DoEvents;
    /// Raised with each produced statement, after it was sent (unless statements only).
    std::function<void(std::string& StrSQL)> ExecuteInfo;
    /// Raised with the whole percentage of the current table's rows done, when it changes.
    std::function<void(std::int32_t& ProgressStatus)> Progress;

    /// Stop request: the row loop of ConvTable ends before the next row when it is true.
    bool EndProgress = false;

    /// Creates the engine with two closed connections whose providers come from the factory.
    explicit Cls_Convertion(data::ProviderFactory factory = data::DefaultProviderFactory());
    ~Cls_Convertion();
    Cls_Convertion(const Cls_Convertion&) = delete;
    Cls_Convertion& operator=(const Cls_Convertion&) = delete;

    /// Opens the Access file; shows the failure and returns false when it cannot be opened.
    bool OpenSourceDB(const std::string& sFileName, const std::string& pwd = "");
    /// Connects to the MySQL server; shows the failure and returns false when it cannot.
    bool OpenDestinationDB(const std::string& host = "localhost", const std::string& user = "root",
                           const std::string& pwd = "", std::int32_t port = 3306);
    /// Creates the database when missing and selects it; an existing database that the user may
    /// use but not create is selected too. Throws data::DataAccessError with the reason.
    void createDB(const std::string& sDBName);
    /// Selects the database; throws data::DataAccessError.
    void SelectDB(const std::string& sDBName);
    /// Sets the table type that every table statement names.
    void SetTableType(const std::string& isType);
    /// Executes one statement on the destination; false (and the reason kept) when refused.
    bool ExecuteSQL(const std::string& SQL);
    /// Sets how many consecutive row statements the destination may send as one (1: none).
    void SetBatchRows(int rows);
    /// Sets how many seconds the server may stay silent before the connection is given up, for
    /// connections opened afterwards (0: the provider's default).
    void SetServerTimeout(unsigned seconds) { server_timeout_seconds_ = seconds; }

    /// The connection to the Access file.
    data::Connection& SourceDB() { return *source_connection_; }
    /// The connection to the MySQL server.
    data::Connection& DestinationDB() { return *destination_connection_; }
    /// The clause that ends every table statement, e.g. "ENGINE=MyISAM DEFAULT CHARSET=utf8mb4".
    const std::string& TableTypeClause() const { return table_type_clause_; }

    /// The MySQL column type of a source field, in lower case.
    std::string ConvFieldType(data::Field& iField);
    /// Converts one source table: drop (optional), table statement, rows (optional), flush.
    void ConvTable(const std::string& sTableName, bool WithData = false, bool DropTable = true,
                   bool DumpSQLonly = false);
    /// What the last ConvTable call produced and which of its statements failed.
    const TableReport& LastTableReport() const { return last_report_; }

    /// Lists the user tables as "name:rows" in entries 1..n; returns n (0 leaves it untouched).
    std::int32_t GetSourceTables(std::vector<std::string>& tblName);
    /// Lists the server's databases in entries 1..n; returns n.
    std::int32_t GetMySQLDatabases(std::vector<std::string>& Dbname);

    /// The mixed-case MySQL type name for an ADO type code.
    static std::string GetMySQLType(int type_code);
    /// The column type text for a type code, declared size, precision and scale.
    static std::string ColumnTypeText(int type_code, std::int32_t defined_size, int precision,
                                      int scale);
    /// The row statement for the recordset's current row; counts unreadable values.
    std::string GetInsertSQL(data::Recordset& rs, const std::string& table_name);
    /// Appends the row statement for the recordset's current row to a statement buffer.
    void AppendInsertSQL(std::string& statement, data::Recordset& rs,
                         const std::string& table_name);

private:
    std::int64_t GetTableRecordCount(const std::string& name);
    bool OpenConnection(data::Connection& connection, const std::string& connection_string);
    bool Report(std::string& statement, bool execute);
    void CountFailure(const std::string& error);
    void Yield();

    std::string table_type_clause_;
    unsigned server_timeout_seconds_ = 0;
    // Why the statements of the current table cannot be sent, when they cannot; each then counts
    // as failed with this reason.
    std::string unsent_reason_;
    std::unique_ptr<data::Connection> source_connection_;
    std::unique_ptr<data::Connection> destination_connection_;
    TableReport last_report_;
};

} // namespace tw::engine
