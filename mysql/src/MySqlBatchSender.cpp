#include "MySqlInternals.h"

#include "tablewright/mysql/MySqlDialect.h"
#include "tablewright/mysql/SqlText.h"

#include <errmsg.h>
#include <mysqld_error.h>

#include <cstdint>
#include <cstdlib>
#include <utility>

namespace tw::data::mysql {

namespace {

// The 1-based row number that a server error names ("... at row 17"), or 0.
std::uint64_t RowNamedInError(std::string_view error) {
    constexpr std::string_view kAtRow = " at row ";
    const auto at = error.rfind(kAtRow);
    if (at == std::string_view::npos)
        return 0;
    std::uint64_t row = 0;
    for (std::size_t i = at + kAtRow.size(); i < error.size() && error[i] >= '0' && error[i] <= '9';
         ++i)
        row = row * 10 + std::uint64_t(error[i] - '0');
    return row;
}

} // namespace

BatchSender::~BatchSender() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_sender_.notify_all();
    if (sender_.joinable())
        sender_.join();
    CloseBulkStatement();
}

void BatchSender::ResetTransaction() {
    transaction_table_.clear();
    in_transaction_ = false;
    transaction_rows_ = 0;
    transaction_bytes_ = 0;
    CloseBulkStatement();
}

void BatchSender::UseBulk(const std::string& table, std::span<const ColumnSchema> columns) {
    SendHeldBack();
    bulk_table_ = table;
    bulk_columns_.assign(columns.begin(), columns.end());
}

void BatchSender::Hold(const std::string& table, std::string_view prefix, std::string_view tuple,
                       std::span<const Value> row) {
    if (!building_.Empty() && (building_.table != table || building_.Rows() >= batch_rows ||
                               building_.text.size() + 1 + tuple.size() > session_.BatchBytes()))
        Hand(building_);
    if (building_.Empty()) {
        building_.table = table;
        building_.text.assign(prefix);
        building_.prefix_length = prefix.size();
        building_.in_bulk = !bulk_table_.empty() && table == bulk_table_;
        if (building_.in_bulk)
            building_.bulk.Start(bulk_columns_);
    } else {
        building_.text += ',';
    }
    building_.tuple_starts.push_back(building_.text.size());
    building_.text.append(tuple);
    // A row whose values cannot go in bulk sends the whole batch as text, in its order.
    if (building_.in_bulk && !building_.bulk.Add(row)) {
        building_.in_bulk = false;
        building_.bulk.Clear();
    }
}

void BatchSender::Hand(Batch& batch) {
    if (!sender_.joinable())
        sender_ = std::thread([this] { SenderLoop(); });
    std::unique_lock lock(mutex_);
    room_.wait(lock, [this] { return !queued_; });
    std::swap(slot_, batch);
    queued_ = true;
    lock.unlock();
    wake_sender_.notify_one();
    batch.Clear();
}

void BatchSender::SendHeldBack() {
    if (!building_.Empty())
        Hand(building_);
    if (sender_.joinable()) {
        std::unique_lock lock(mutex_);
        room_.wait(lock, [this] { return !queued_ && !sending_; });
    }
    // The sender is idle, so this thread holds the connection: close the open transaction
    // before any other statement runs.
    std::vector<std::string> failures;
    CommitOpenTransaction(failures);
    transaction_table_.clear();
    if (!failures.empty()) {
        std::lock_guard lock(mutex_);
        for (auto& failure : failures)
            failures_.push_back(std::move(failure));
        has_failures_.store(true, std::memory_order_release);
    }
    DeliverFailures();
}

void BatchSender::DeliverFailures() {
    std::vector<std::string> failures;
    {
        std::lock_guard lock(mutex_);
        failures.swap(failures_);
        has_failures_.store(false, std::memory_order_release);
    }
    for (const std::string& error : failures)
        if (failure_handler)
            failure_handler(error);
}

void BatchSender::SenderLoop() {
    mysql_thread_init();
    Batch batch;
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_sender_.wait(lock, [this] { return queued_ || stopping_; });
        if (!queued_)
            break;
        std::swap(batch, slot_);
        queued_ = false;
        sending_ = true;
        lock.unlock();
        room_.notify_all();
        std::vector<std::string> failures = SendBatch(batch);
        batch.Clear();
        lock.lock();
        sending_ = false;
        for (auto& failure : failures)
            failures_.push_back(std::move(failure));
        if (!failures_.empty())
            has_failures_.store(true, std::memory_order_release);
        room_.notify_all();
    }
    lock.unlock();
    mysql_thread_end();
}

std::vector<std::string> BatchSender::SendBatch(Batch& batch) {
    std::vector<std::string> failures;
    if (batch.table != transaction_table_) {
        // A new table: rows of a transactional table are committed in large groups, since a
        // commit per statement costs a disk flush each.
        CommitOpenTransaction(failures);
        transaction_table_ = batch.table;
        table_is_transactional_ = IsTransactional(batch.table);
        table_rows_ = -1;
        if (!table_is_transactional_)
            table_rows_ = CountRows(batch.table);
    }
    if (table_is_transactional_ && !in_transaction_) {
        if (session_.QueryQuietly("START TRANSACTION")) {
            in_transaction_ = true;
            transaction_rows_ = 0;
            transaction_bytes_ = 0;
        }
    }
    MYSQL_STMT* bulk = batch.in_bulk ? BulkStatement(batch) : nullptr;
    const bool sent = bulk ? batch.bulk.Execute(bulk) : session_.QueryQuietly(batch.text);
    if (sent) {
        if (table_rows_ >= 0)
            table_rows_ += static_cast<std::int64_t>(batch.Rows());
        CountInTransaction(batch.Rows(), batch.text.size(), failures);
        return failures;
    }
    const std::string error = bulk ? mysql_stmt_error(bulk) : mysql_error(session_.Handle());
    const unsigned error_code = bulk ? mysql_stmt_errno(bulk) : mysql_errno(session_.Handle());
    if (bulk)
        session_.NoteLoss();
    if (UndidTransaction(error_code)) {
        // The server undid everything since START TRANSACTION: those rows failed too.
        FailTransactionRows(error, failures);
        for (std::size_t i = 0; i < batch.Rows(); ++i)
            failures.push_back(error);
        return failures;
    }
    if (batch.Rows() == 1 || session_.Lost()) {
        // Without a connection, sending the rows one by one could only fail each again.
        for (std::size_t i = 0; i < batch.Rows(); ++i)
            failures.push_back(error);
        return failures;
    }
    // The rows are sent again one by one, from the first one the failed statement did not keep.
    std::string single;
    for (std::size_t i = RowsKeptByFailure(batch, error, error_code); i < batch.Rows(); ++i) {
        single.assign(batch.Prefix());
        single.append(batch.Tuple(i));
        single += ';';
        if (session_.QueryQuietly(single)) {
            if (table_rows_ >= 0)
                ++table_rows_;
            CountInTransaction(1, single.size(), failures);
            continue;
        }
        const std::string row_error = mysql_error(session_.Handle());
        if (UndidTransaction(mysql_errno(session_.Handle())) || session_.Lost()) {
            FailTransactionRows(row_error, failures);
            for (; i < batch.Rows(); ++i)
                failures.push_back(row_error);
            break;
        }
        failures.push_back(row_error);
    }
    return failures;
}

// How many rows of a refused batch the table kept. A transactional table undoes the failed
// statement as a whole; any other keeps the rows before the refused one, which the error names
// ("... at row 17") or, when it does not (a NULL in a NOT NULL column), its row count tells.
std::size_t BatchSender::RowsKeptByFailure(const Batch& batch, const std::string& error,
                                           unsigned /*error_code*/) {
    if (table_is_transactional_)
        return 0;
    const std::uint64_t named_row = RowNamedInError(error);
    if (named_row > 0 && named_row <= batch.Rows()) {
        table_rows_ =
            table_rows_ >= 0 ? table_rows_ + static_cast<std::int64_t>(named_row - 1) : table_rows_;
        return static_cast<std::size_t>(named_row - 1);
    }
    if (table_rows_ < 0)
        return 0;
    const std::int64_t now = CountRows(batch.table);
    if (now < table_rows_ || now - table_rows_ > static_cast<std::int64_t>(batch.Rows())) {
        // Someone else changed the table meanwhile: the count says nothing of this batch.
        table_rows_ = -1;
        return 0;
    }
    const auto kept = static_cast<std::size_t>(now - table_rows_);
    table_rows_ = now;
    return kept;
}

MYSQL_STMT* BatchSender::BulkStatement(const Batch& batch) {
    if (batch.table == prepared_table_ && bulk_statement_)
        return bulk_statement_.get();
    if (batch.table == prepared_table_ && bulk_refused_)
        return nullptr;
    CloseBulkStatement();
    prepared_table_ = batch.table;
    bulk_refused_ = true;
    if (!session_.SupportsBulk())
        return nullptr;
    std::string sql(batch.Prefix());
    sql += '(';
    for (std::size_t i = 0; i < bulk_columns_.size(); ++i)
        sql += i == 0 ? "?" : ",?";
    sql += ')';
    StatementHandle statement(mysql_stmt_init(session_.Handle()));
    if (!statement)
        return nullptr;
    if (mysql_stmt_prepare(statement.get(), sql.data(), sql.size()) != 0 ||
        mysql_stmt_param_count(statement.get()) != bulk_columns_.size()) {
        // The rows go as INSERT text, which reports whatever made the server refuse this.
        statement.reset();
        session_.NoteLoss();
        return nullptr;
    }
    bulk_statement_ = std::move(statement);
    bulk_refused_ = false;
    return bulk_statement_.get();
}

void BatchSender::CloseBulkStatement() {
    bulk_statement_.reset();
    prepared_table_.clear();
    bulk_refused_ = false;
}

void BatchSender::CountInTransaction(std::size_t rows, std::size_t bytes,
                                     std::vector<std::string>& failures) {
    if (!in_transaction_)
        return;
    transaction_rows_ += rows;
    transaction_bytes_ += bytes;
    if (transaction_rows_ >= session_.CommitRows() || transaction_bytes_ >= session_.CommitBytes())
        CommitOpenTransaction(failures);
}

void BatchSender::CommitOpenTransaction(std::vector<std::string>& failures) {
    if (!in_transaction_)
        return;
    in_transaction_ = false;
    if (!session_.QueryQuietly("COMMIT"))
        FailTransactionRows(mysql_error(session_.Handle()), failures);
    transaction_rows_ = 0;
    transaction_bytes_ = 0;
}

void BatchSender::FailTransactionRows(const std::string& error,
                                      std::vector<std::string>& failures) {
    if (!in_transaction_ && transaction_rows_ == 0)
        return;
    for (std::size_t i = 0; i < transaction_rows_; ++i)
        failures.push_back(error);
    in_transaction_ = false;
    transaction_rows_ = 0;
    transaction_bytes_ = 0;
}

// Whether the last error undid the whole open transaction (a lost connection, a deadlock).
bool BatchSender::UndidTransaction(unsigned error_code) {
    if (!in_transaction_)
        return false;
    if (session_.Lost())
        return true; // whatever the error said, the server undoes what was not committed
    switch (error_code) {
    case CR_SERVER_GONE_ERROR:
    case CR_SERVER_LOST:
    case ER_LOCK_DEADLOCK:
        return true;
    default:
        return false;
    }
}

// The number of rows of a table; -1 when the server does not say.
std::int64_t BatchSender::CountRows(const std::string& table) {
    std::string query = "SELECT COUNT(*) FROM ";
    MySqlDialect::AppendName(query, table);
    MYSQL* mysql = session_.Handle();
    if (mysql_real_query(mysql, query.data(), query.size()) != 0) {
        session_.NoteLoss();
        return -1;
    }
    ResultHandle result(mysql_store_result(mysql));
    MYSQL_ROW row = result ? mysql_fetch_row(result.get()) : nullptr;
    return row && row[0] ? std::strtoll(row[0], nullptr, 10) : -1;
}

// Whether the table undoes a failed statement as a whole.
bool BatchSender::IsTransactional(const std::string& table) {
    MYSQL* mysql = session_.Handle();
    // Tables are made with lower-cased names.
    const std::string lower = Utf8ToLower(table);
    std::string escaped(lower.size() * 2 + 1, '\0');
    escaped.resize(mysql_real_escape_string(mysql, escaped.data(), lower.data(), lower.size()));
    const std::string query =
        "SELECT e.TRANSACTIONS FROM information_schema.TABLES t JOIN "
        "information_schema.ENGINES e ON e.ENGINE = t.ENGINE WHERE t.TABLE_SCHEMA = "
        "DATABASE() AND t.TABLE_NAME = '" +
        escaped + "'";
    if (mysql_real_query(mysql, query.data(), query.size()) != 0) {
        session_.NoteLoss();
        return true; // unknown: sending every row again is the safe side
    }
    ResultHandle result(mysql_store_result(mysql));
    MYSQL_ROW row = result ? mysql_fetch_row(result.get()) : nullptr;
    return !row || !row[0] || std::string_view(row[0]) == "YES";
}

} // namespace tw::data::mysql
