#pragma once

// The pieces of the MySQL destination: a session (one connection to the server with its
// settings, statements and results) and a batch sender (rows joined into multi-row INSERTs and
// sent from a thread of its own, with every refused row found again).

#include "tablewright/model/DataAccess.h"
#include "tablewright/model/UniqueFd.h"
#include "tablewright/mysql/MySqlProvider.h"

#include <mysql.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace tw::data::mysql {

struct MysqlCloser {
    void operator()(MYSQL* mysql) const noexcept { mysql_close(mysql); }
};

struct ResultFreer {
    void operator()(MYSQL_RES* result) const noexcept { mysql_free_result(result); }
};

/// Closes a prepared statement. mysql_stmt_close frees the statement whatever it reports (a
/// failure only means the server was not told, as on a lost connection, where the server drops
/// the statement with the connection).
struct StatementCloser {
    void operator()(MYSQL_STMT* statement) const noexcept { mysql_stmt_close(statement); }
};

using MysqlHandle = std::unique_ptr<MYSQL, MysqlCloser>;
using ResultHandle = std::unique_ptr<MYSQL_RES, ResultFreer>;
/// A prepared statement, closed when it goes; move-only.
using StatementHandle = std::unique_ptr<MYSQL_STMT, StatementCloser>;

/// The byte budget of one multi-row INSERT: large enough that the server's per-statement work
/// is spread over many rows, small enough to keep memory flat; never more than half of
/// max_allowed_packet, so a batch stays well below the largest packet the server accepts.
inline constexpr std::size_t kMaxBatchBytes = 1024 * 1024;

/// Rows of a transactional table are committed in groups of this many rows or bytes: few enough
/// commits that their disk flushes do not dominate, small enough to bound the undo log (and a
/// cluster's write sets: see MySqlSession::CommitBytes).
inline constexpr std::size_t kCommitRows = 100000;
inline constexpr std::size_t kCommitBytes = 64 * 1024 * 1024;

/// Initialises the client library once per process; throws DataAccessError when it cannot.
void InitClientLibrary();

/// A recordset over a result held completely in memory (null: a statement without rows).
std::unique_ptr<Recordset> OpenResult(ResultHandle result);

class MySqlSession;

/// A recordset over the rows of a query that the server sends while they are read, one row in
/// memory at a time. Nothing else may be sent on the session until every row was read or the
/// connection was interrupted; throws DataAccessError when the query fails.
std::unique_ptr<Recordset> OpenStreamedResult(MySqlSession& session, std::string_view sql);

/// The start of a statement for an error message, cut at a character boundary.
std::string Preview(std::string_view sql);

/// One connection to a server, used by one thread at a time. A lost connection is not restored
/// behind the caller's back: every statement after the loss fails at once until Reconnect.
class MySqlSession {
public:
    explicit MySqlSession(const MySqlTarget& target) : target_(target) {}
    ~MySqlSession();
    MySqlSession(const MySqlSession&) = delete;
    MySqlSession& operator=(const MySqlSession&) = delete;

    /// Connects (to the given default database, or none) and prepares the session.
    void Connect(const char* database);
    /// Opens a new connection to the same server and database in place of the lost one.
    void Reconnect();

    MYSQL* Handle() const { return mysql_.get(); }
    const MySqlTarget& Target() const { return target_; }
    bool Lost() const { return lost_.load(std::memory_order_acquire); }
    /// Marks the connection lost when the client library has closed it after a failure.
    void NoteLoss();
    /// Shuts the connection's socket down from another thread, so that a call waiting for the
    /// server (or a stopped server) fails at once as with a lost connection; Reconnect refuses
    /// from then on.
    void Interrupt();
    /// Interrupts the connection (as Interrupt) and makes its closing reset it, so that the
    /// server gives up a query still sending rows at once instead of waiting to send them.
    void Abandon();

    /// Refuses, without sending it, a statement longer than the server accepts: the server
    /// answers such a packet by closing the connection, which would fail every later statement.
    void CheckLength(std::string_view sql) const;
    /// The byte budget of one multi-row INSERT on this server.
    std::size_t BatchBytes() const { return batch_bytes_; }
    /// The rows and bytes of a transactional table committed together: kCommitRows and
    /// kCommitBytes, or half a Galera cluster's write-set limits where those are lower, so
    /// that no transaction is refused for its size.
    std::size_t CommitRows() const { return commit_rows_; }
    std::size_t CommitBytes() const { return commit_bytes_; }

    /// Sends one statement; its length is passed, so NUL bytes and huge values arrive intact.
    void Send(std::string_view sql);
    /// The current result in memory, or null when the statement made none.
    ResultHandle StoreResult();
    /// Reads and frees every result after the current one (CALL can return several).
    void DrainResults();
    /// Runs a statement and discards its results; false when the server refused it.
    bool QueryQuietly(std::string_view sql);
    /// Throws the connection's last error.
    [[noreturn]] void Fail();
    /// True when the server executes a prepared statement for many rows at once.
    bool SupportsBulk() const;
    /// Runs a query and returns its first column's values (nulls as empty text).
    std::vector<std::string> FirstColumn(std::string_view query);

private:
    void NormaliseSqlMode();
    void LimitLockWaits();
    void ReadPacketLimit();
    void ReadWriteSetLimits();

    MySqlTarget target_;
    MysqlHandle mysql_;
    std::size_t statement_limit_ = std::numeric_limits<std::size_t>::max();
    std::size_t batch_bytes_ = kMaxBatchBytes;
    std::size_t commit_rows_ = kCommitRows;
    std::size_t commit_bytes_ = kCommitBytes;
    std::atomic<bool> lost_{false};
    std::atomic<bool> interrupted_{false};
    // A descriptor of the connection's socket of the session's own, for Interrupt: the client
    // library may close its descriptor at any time on its thread, this one stays valid (and
    // cannot be reused for another file) until the connection is replaced or closed.
    UniqueFd socket_copy_;
    std::mutex socket_mutex_;
    void KeepSocketCopy();
};

/// Rows of one table as arrays of values, one array per column, sent by one prepared INSERT that
/// the server executes for every row at once (MariaDB's bulk execution). The server parses no SQL
/// text for them, and refuses a value that does not fit with the same error, naming the same row,
/// as it does for a multi-row INSERT, so a refused bulk statement is handled like one.
///
/// A value travels in binary only where that stores exactly what its text would: whole numbers
/// into integer columns, doubles into double, singles into float and date-times into datetime
/// columns, bytes into binary ones. Every other value travels as the text its literal holds, which
/// the server converts as it converts the literal.
class BulkRows {
public:
    /// Chooses how the values of each column travel; forgets the rows.
    void Start(std::span<const ColumnSchema> columns);
    /// Adds one row; false, with nothing added, when a value cannot travel the way of its
    /// column (the rows then go as INSERT text).
    bool Add(std::span<const Value> row);
    std::size_t Rows() const { return rows_; }
    void Clear();
    /// Binds the rows to `statement` (prepared as "INSERT INTO `t` values(?,...)") and executes
    /// it; false when the server refused it (the error is the statement's).
    bool Execute(MYSQL_STMT* statement);

    /// How the values of one column travel.
    enum class Kind { Integer, Double, Single, DateTime, Bytes, Text };

private:
    struct Column {
        Kind kind = Kind::Text;
        std::vector<char> indicators;
        std::vector<long long> integers;
        std::vector<double> doubles;
        std::vector<float> singles;
        std::vector<MYSQL_TIME> times;
        // Text and bytes: each value's start in the arena and its length.
        std::vector<std::size_t> offsets;
        std::vector<unsigned long> lengths;
        // At execution, the address of each value of a text, bytes or date column.
        std::vector<char*> pointers;
    };
    bool Fits(const Column& column, const Value& value) const;
    void Append(Column& column, const Value& value);

    std::vector<Column> columns_;
    std::string arena_;
    std::string scratch_;
    std::size_t rows_ = 0;
};

/// Consecutive rows of one table, joined into one multi-row INSERT.
struct Batch {
    std::string table;                     // the table's name as the source spells it
    std::string text;                      // "INSERT INTO `t` values(...),(...)"
    std::size_t prefix_length = 0;         // length of "INSERT INTO `t` values"
    std::vector<std::size_t> tuple_starts; // where each row's "(...)" starts in text
    BulkRows bulk;                         // the same rows as values, when they go in bulk
    bool in_bulk = false;                  // every row is in `bulk` too

    bool Empty() const { return tuple_starts.empty(); }
    std::size_t Rows() const { return tuple_starts.size(); }
    std::string_view Prefix() const { return std::string_view(text).substr(0, prefix_length); }
    std::string_view Tuple(std::size_t i) const {
        const std::size_t end = i + 1 < Rows() ? tuple_starts[i + 1] - 1 : text.size();
        return std::string_view(text).substr(tuple_starts[i], end - tuple_starts[i]);
    }
    void Clear() {
        table.clear();
        text.clear();
        prefix_length = 0;
        tuple_starts.clear();
        bulk.Clear();
        in_bulk = false;
    }
};

/// Joins rows into multi-row INSERTs and sends them from a thread of its own, so that reading
/// the source and the server's work overlap. A refused batch is sent again row by row, so
/// exactly the refused rows fail, each with its own error, delivered to the failure handler on
/// the caller's thread. Rows of a transactional table are committed in large groups.
class BatchSender {
public:
    explicit BatchSender(MySqlSession& session) : session_(session) {}
    ~BatchSender();
    BatchSender(const BatchSender&) = delete;
    BatchSender& operator=(const BatchSender&) = delete;

    /// Sends the rows of `table` that follow in bulk, as values of `columns` (see BulkRows),
    /// when the server can; an empty `table` sends every row as INSERT text.
    void UseBulk(const std::string& table, std::span<const ColumnSchema> columns);
    /// Adds one row ("(...)") of `table` whose INSERT starts with `prefix`; `row` holds its
    /// values.
    void Hold(const std::string& table, std::string_view prefix, std::string_view tuple,
              std::span<const Value> row);
    /// Sends what is held back, waits until the sender is idle, commits and delivers failures.
    void SendHeldBack();
    /// Delivers failures the sender found since the last call, if any.
    void DeliverPendingFailures() {
        if (has_failures_.load(std::memory_order_acquire))
            DeliverFailures();
    }
    /// Forgets the transaction state and prepared statement of a connection that was opened
    /// anew.
    void ResetTransaction();

    std::size_t batch_rows = kDefaultBatchRows;
    FailureHandler failure_handler;

private:
    void Hand(Batch& batch);
    void DeliverFailures();
    void SenderLoop();
    std::vector<std::string> SendBatch(Batch& batch);
    MYSQL_STMT* BulkStatement(const Batch& batch);
    void CloseBulkStatement();
    std::size_t RowsKeptByFailure(const Batch& batch, const std::string& error,
                                  unsigned error_code);
    std::int64_t CountRows(const std::string& table);
    void CountInTransaction(std::size_t rows, std::size_t bytes,
                            std::vector<std::string>& failures);
    void CommitOpenTransaction(std::vector<std::string>& failures);
    void FailTransactionRows(const std::string& error, std::vector<std::string>& failures);
    bool UndidTransaction(unsigned error_code);
    bool IsTransactional(const std::string& table);

    MySqlSession& session_;
    Batch building_;
    // Transaction state, used by whichever thread holds the connection.
    std::string transaction_table_;
    bool table_is_transactional_ = false;
    bool in_transaction_ = false;
    std::size_t transaction_rows_ = 0;
    std::size_t transaction_bytes_ = 0;
    // Rows of the current non-transactional table, known from its first batch on; a refused
    // statement that names no row has kept the rows it added before the refusal.
    std::int64_t table_rows_ = -1;
    // The rows that go in bulk: their table and columns (set by the caller between tables).
    std::string bulk_table_;
    std::vector<ColumnSchema> bulk_columns_;
    // The bulk INSERT prepared for a table, used by whichever thread holds the connection.
    StatementHandle bulk_statement_;
    std::string prepared_table_;
    bool bulk_refused_ = false;

    // Shared with the sender thread; the connection is used by one thread at a time: by the
    // sender while a batch is queued or in flight, otherwise by the caller.
    std::thread sender_;
    std::mutex mutex_;
    std::condition_variable wake_sender_;
    std::condition_variable room_;
    Batch slot_;
    bool queued_ = false;
    bool sending_ = false;
    bool stopping_ = false;
    std::vector<std::string> failures_;
    std::atomic<bool> has_failures_{false};
};

} // namespace tw::data::mysql
