#pragma once

#include "tablewright/model/DataAccess.h"
#include "tablewright/model/Destination.h"

#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tw::data {

/// A destination that makes MySQL's statements from typed definitions and rows and hands each
/// back; where they go (a server, nowhere) is left to the class that sends them.
class MySqlDestination : public Destination {
public:
    void SetStatementHandler(StatementHandler handler) override { handler_ = std::move(handler); }
    void CreateDatabase(const std::string& name) override;
    void UseDatabase(const std::string& name) override;
    bool KeepsForeignKeys(const std::string& engine) override;
    void DropTable(const std::string& table) override;
    bool CreateTable(TableSchema& table, const TableOptions& options,
                     std::vector<std::string>& notes) override;
    void BeginRows(const TableSchema& table) override;
    void AppendRow(std::span<const Value> row) override;
    void EndTable() override {}
    void AllowNull(const TableSchema& table, const ColumnSchema& column,
                   const TableOptions& options) override;
    bool AddKeys(const TableSchema& table, const TableOptions& options,
                 std::vector<std::string>& notes) override;
    std::vector<std::string> AddChecks(const TableSchema& table, const TableOptions& options,
                                       std::vector<std::string>& notes) override;
    /// Defined in MySqlGenerated.cpp.
    std::vector<std::string> AddGeneratedColumns(const TableSchema& table,
                                                 const TableOptions& options,
                                                 std::vector<std::string>& notes) override;
    void AddForeignKey(const RelationshipSchema& relationship) override;
    void CreateView(std::string& statement) override;
    void CreateProcedure(std::string& statement) override;
    WrittenSql WriteSavedQuery(std::string_view name, const sql::Statement& query,
                               const SqlWriterContext& context) override;
    std::string TypeName(int ado_type) override;
    std::string ColumnType(const ColumnSchema& column) override;
    std::string TableClause(const std::string& engine) override;
    void AppendInsert(std::string& out, const std::string& table, std::span<const Value> row,
                      std::span<const ColumnSchema> columns) override;

protected:
    /// Why the server `provider` is connected to would not keep tables of the type on all its
    /// nodes (a Galera cluster replicates InnoDB tables only); empty when it would.
    static std::string ClusterRefusalOf(Provider& provider, const std::string& engine);
    /// Sends one statement; throws DataAccessError when it is refused.
    virtual void Send(std::string_view statement) = 0;
    /// Sends a table statement; throws RowTooLargeError when the row is too large for the table
    /// type, DataAccessError when it is refused otherwise.
    virtual void SendTable(const std::string& /*table*/, std::string_view statement) {
        Send(statement);
    }
    /// Prepares for the rows of a table whose single-row statements begin with `prefix`.
    virtual void StartRows(const TableSchema& /*table*/, const std::string& /*prefix*/) {}
    /// Sends one row: `statement` is its single-row INSERT, `tuple` the values part of it.
    virtual void SendRow(std::span<const Value> /*row*/, std::string_view /*tuple*/,
                         const std::string& statement) {
        Send(statement);
    }
    /// Sends a foreign key statement.
    virtual void SendForeignKey(std::string_view statement) { Send(statement); }
    /// Runs a query on the server and returns its rows; null where statements reach no server
    /// (a script file's), whose rows are not known. Throws DataAccessError when refused.
    virtual std::unique_ptr<Recordset> Read(std::string_view /*query*/) { return nullptr; }

private:
    // Sends through `send` and hands the statement back, whether it was accepted or not.
    template <typename SendCall>
    void Made(std::string& text, StatementKind kind, std::size_t row_prefix, SendCall&& send);
    void HandBack(std::string& text, StatementKind kind, std::size_t row_prefix,
                  bool refused = false);
    bool EnforcesChecks(std::vector<std::string>& notes);

    StatementHandler handler_;
    std::string statement_;
    // The table whose rows are being appended, and the text its rows begin with.
    std::vector<ColumnSchema> columns_;
    std::string prefix_;
    std::string row_;
    // The names of the CHECK constraints made in the current database.
    std::set<std::string> check_names_;
    // Whether the server enforces CHECK constraints, once asked.
    std::optional<bool> enforces_checks_;
};

/// A destination that makes the statements of a MySQL script file and sends none.
class ScriptDestination final : public MySqlDestination {
public:
    bool Sends() const override { return false; }
    /// The accent-sensitive collation a script file names, for servers that know it (MariaDB
    /// 10.10 and later); others make the table with their default collation.
    std::string AccentSensitiveCollation() override { return "utf8mb4_uca1400_nopad_as_ci"; }
    std::vector<std::string> SessionStatements(SessionPoint point) override;

protected:
    void Send(std::string_view /*statement*/) override {}
};

/// The factory of script destinations of MySQL statements.
ScriptDestinationFactory MySqlScriptDestinationFactory();

} // namespace tw::data
