#include "tablewright/mysql/MySqlProvider.h"

#include "MySqlInternals.h"
#include "MySqlTargetReader.h"
#include "tablewright/mysql/MySqlDestination.h"
#include "tablewright/mysql/MySqlDialect.h"

#include <mysqld_error.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tw::data {

namespace {

using mysql::BatchSender;
using mysql::MySqlSession;
using mysql::ResultHandle;

// A reconnection attempt that took longer than this ran into the timeout rather than being
// refused at once: the server is there but does not answer, so it is not tried again.
constexpr auto kQuickRefusal = std::chrono::seconds(1);

// How long the server waits to send a scan's next rows while they are not read.
constexpr int kScanWriteTimeoutSeconds = 600;

// Collations that tell accents apart and ignore case, as Access's general sort order does, best
// first: MariaDB's without trailing-space padding (so 'a' and 'a ' stay two keys), then MySQL's.
constexpr std::string_view kAccentSensitiveCollations[] = {
    "utf8mb4_uca1400_nopad_as_ci",
    "utf8mb4_0900_as_ci",
    "utf8mb4_uca1400_as_ci",
};

// A connection to one server, and a destination of converted tables. Rows are held back and
// sent as multi-row statements by the batch sender; every other statement first waits until
// everything held back has been sent, then runs on the caller's thread. A lost connection is
// not restored behind the caller's back: every statement after the loss fails at once, until
// EnsureConnected opens the connection again.
class MySqlProvider final : public Provider, public MySqlDestination {
public:
    explicit MySqlProvider(const MySqlTarget& target) : session_(target), sender_(session_) {}

    ~MySqlProvider() override {
        try {
            sender_.SendHeldBack();
        } catch (...) {
            // Closing must not throw; what could not be sent was reported to the handler.
        }
    }

    void Connect() {
        session_.Connect(nullptr);
        session_.QueryQuietly("SET SESSION foreign_key_checks = 0");
        sender_.ResetTransaction();
    }

    // Provider

    void Execute(std::string_view sql) override {
        sender_.DeliverPendingFailures();
        session_.CheckLength(sql);
        sender_.SendHeldBack();
        session_.Send(sql);
        session_.StoreResult();
        session_.DrainResults();
    }

    std::unique_ptr<Recordset> OpenRecordset(std::string_view sql) override {
        session_.CheckLength(sql);
        sender_.SendHeldBack();
        session_.Send(sql);
        ResultHandle first = session_.StoreResult();
        session_.DrainResults();
        return mysql::OpenResult(std::move(first));
    }

    std::vector<SchemaTableRow> SchemaTables() override {
        sender_.SendHeldBack();
        MYSQL* mysql = session_.Handle();
        constexpr std::string_view kShowTables = "SHOW FULL TABLES";
        if (mysql_real_query(mysql, kShowTables.data(), kShowTables.size()) != 0) {
            // Without a current database there is nothing to list.
            if (mysql_errno(mysql) == ER_NO_DB_ERROR)
                return {};
            session_.Fail();
        }
        ResultHandle result = session_.StoreResult();
        session_.DrainResults();
        std::vector<SchemaTableRow> tables;
        if (!result)
            return tables;
        while (MYSQL_ROW row = mysql_fetch_row(result.get())) {
            const unsigned long* lengths = mysql_fetch_lengths(result.get());
            SchemaTableRow entry;
            entry.table_name.assign(row[0] ? row[0] : "", row[0] ? lengths[0] : 0);
            const std::string_view kind(row[1] ? row[1] : "", row[1] ? lengths[1] : 0);
            entry.table_type = kind == "BASE TABLE"    ? "TABLE"
                               : kind == "SYSTEM VIEW" ? "SYSTEM TABLE"
                                                       : std::string(kind);
            tables.push_back(std::move(entry));
        }
        return tables;
    }

    void Flush() override { sender_.SendHeldBack(); }

    void SetBatchRows(int rows) override {
        sender_.SendHeldBack();
        sender_.batch_rows = rows < 1 ? 1 : static_cast<std::size_t>(rows);
    }

    void SetFailureHandler(FailureHandler handler) override {
        sender_.failure_handler = std::move(handler);
    }

    void EnsureConnected() override {
        sender_.SendHeldBack();
        if (!session_.Lost()) {
            if (mysql_ping(session_.Handle()) == 0)
                return;
            session_.NoteLoss();
            if (!session_.Lost())
                return; // the connection works; its statements report their own errors
        }
        if (reconnection_given_up_)
            throw DataAccessError(reconnection_error_);
        const auto started = std::chrono::steady_clock::now();
        try {
            session_.Reconnect();
            session_.QueryQuietly("SET SESSION foreign_key_checks = 0");
            sender_.ResetTransaction();
            reconnection_given_up_ = false;
        } catch (const DataAccessError& e) {
            reconnection_error_ =
                std::string("与 MySQL 服务器的连接已断开，重新连接失败：") + e.what();
            // A server that refuses at once may be back for the next attempt; one that let the
            // attempt run into the timeout would make every further attempt wait as long.
            reconnection_given_up_ = std::chrono::steady_clock::now() - started >= kQuickRefusal;
            throw DataAccessError(reconnection_error_);
        }
    }

    bool ConnectionLost() const override { return session_.Lost(); }

    void Interrupt() override {
        session_.Interrupt();
        const std::lock_guard lock(scans_mutex_);
        for (const auto& scan : scans_)
            if (const auto session = scan.lock())
                session->Interrupt();
    }

    Destination* AsDestination() override { return this; }

    TargetDatabase* AsTarget() override {
        if (!target_)
            target_ = mysql::MakeMySqlTarget(*this, session_.CommitRows(),
                                             [this] { return OpenScanSession(); });
        return target_.get();
    }

    // Destination
    bool Sends() const override { return true; }
    std::string ClusterRefusal(const std::string& engine) override {
        return ClusterRefusalOf(*this, engine);
    }
    void EndTable() override { sender_.SendHeldBack(); }
    void FlushTables() override {
        try {
            Execute("FLUSH TABLES"); // many users lack the privilege: never counted
        } catch (const DataAccessError&) {
        }
    }
    std::string AccentSensitiveCollation() override {
        sender_.SendHeldBack();
        std::string names;
        for (std::size_t i = 0; i < std::size(kAccentSensitiveCollations); ++i)
            names += (i ? ",'" : "'") + std::string(kAccentSensitiveCollations[i]) + "'";
        // MariaDB lists its UCA 14 collations by their full names only in the applicability
        // view; MySQL lists its own in COLLATIONS and has no such column.
        const std::string queries[] = {
            "SELECT FULL_COLLATION_NAME FROM information_schema.COLLATION_CHARACTER_SET_"
            "APPLICABILITY WHERE FULL_COLLATION_NAME IN (" +
                names + ")",
            "SELECT COLLATION_NAME FROM information_schema.COLLATIONS WHERE COLLATION_NAME IN (" +
                names + ")",
        };
        std::vector<std::string> present;
        for (const auto& query : queries) {
            try {
                for (auto& name : session_.FirstColumn(query))
                    present.push_back(std::move(name));
            } catch (const DataAccessError&) {
                if (session_.Lost())
                    return {};
            }
        }
        for (const auto wanted : kAccentSensitiveCollations)
            for (const auto& name : present)
                if (name == wanted)
                    return name;
        return {};
    }

protected:
    void Send(std::string_view statement) override { Execute(statement); }
    std::unique_ptr<Recordset> Read(std::string_view query) override {
        return OpenRecordset(query);
    }
    void SendTable(const std::string& table, std::string_view statement) override {
        created_.erase(table);
        Execute(statement);
        created_.insert(table);
    }
    void StartRows(const TableSchema& table, const std::string& prefix) override {
        table_name_ = table.name;
        columns_ = table.columns;
        prefix_ = prefix;
        // Rows go in bulk only into a table made here from the same columns: a table that was
        // there before may have other columns, whose values the server would convert.
        const bool bulk = sender_.batch_rows > 1 && created_.contains(table.name);
        sender_.UseBulk(bulk ? table.name : std::string(), columns_);
    }
    void SendRow(std::span<const Value> row, std::string_view tuple,
                 const std::string& statement) override {
        sender_.DeliverPendingFailures();
        if (sender_.batch_rows > 1 && prefix_.size() + tuple.size() < session_.BatchBytes()) {
            sender_.Hold(table_name_, prefix_, tuple, row);
            return;
        }
        // A single row on its own, or one too long to share a statement, goes now.
        Execute(statement);
    }
    // Foreign keys are checked against the rows when they are added; while tables are made
    // the session leaves them unchecked, so that the foreign keys of an earlier conversion
    // keep no table from being dropped or made anew.
    void SendForeignKey(std::string_view statement) override {
        sender_.SendHeldBack();
        session_.QueryQuietly("SET SESSION foreign_key_checks = 1");
        try {
            Execute(statement);
        } catch (...) {
            session_.QueryQuietly("SET SESSION foreign_key_checks = 0");
            throw;
        }
        session_.QueryQuietly("SET SESSION foreign_key_checks = 0");
    }

private:
    // A second connection to the same server and database as this one, for a scan of a table
    // read beside this connection's statements; interrupted with it.
    std::shared_ptr<MySqlSession> OpenScanSession() {
        sender_.SendHeldBack();
        if (session_.Lost())
            return nullptr;
        // The server's word for the current database: the client library learns of a USE only
        // where the server reports it.
        const std::vector<std::string> current = session_.FirstColumn("SELECT DATABASE()");
        const std::string database = current.empty() ? std::string() : current.front();
        auto scan = std::make_shared<MySqlSession>(session_.Target());
        scan->Connect(database.empty() ? nullptr : database.c_str());
        // The scan is read between the statements of this connection, which may wait for locks
        // or a cluster for a while; the server waits that long to send its next rows, rather
        // than its default minute.
        scan->QueryQuietly("SET SESSION net_write_timeout = " +
                           std::to_string(kScanWriteTimeoutSeconds));
        const std::lock_guard lock(scans_mutex_);
        std::erase_if(scans_, [](const std::weak_ptr<MySqlSession>& s) { return s.expired(); });
        scans_.push_back(scan);
        return scan;
    }

    MySqlSession session_;
    BatchSender sender_;
    bool reconnection_given_up_ = false;
    std::string reconnection_error_;
    // The table whose rows are being appended.
    std::string table_name_;
    std::vector<ColumnSchema> columns_;
    std::string prefix_;
    // The tables this connection made.
    std::set<std::string> created_;
    // The connections of the scans opened so far (those still open are interrupted with this
    // one).
    std::mutex scans_mutex_;
    std::vector<std::weak_ptr<MySqlSession>> scans_;
    // The connection as a target database, made when first asked for; its tables use the
    // members above, so it goes first.
    std::unique_ptr<TargetDatabase> target_;
};

} // namespace

std::unique_ptr<Provider> OpenMySqlProvider(const MySqlTarget& target) {
    mysql::InitClientLibrary();
    MySqlTarget settled = target;
    if (settled.read_timeout_seconds == 0)
        settled.read_timeout_seconds = kDefaultServerTimeoutSeconds;
    if (settled.write_timeout_seconds == 0)
        settled.write_timeout_seconds = kDefaultServerTimeoutSeconds;
    auto provider = std::make_unique<MySqlProvider>(settled);
    provider->Connect();
    return provider;
}

} // namespace tw::data
