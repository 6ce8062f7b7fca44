#include "MySqlInternals.h"

#include "tablewright/dataaccess/SqlText.h"

#include <errmsg.h>
#include <mysqld_error.h>

#include <cstdint>
#include <utility>

namespace tw::data::mysql {

namespace {

// Rows of a transactional table are committed in groups of this many rows or bytes: few enough
// commits that their disk flushes do not dominate, small enough to bound the undo log.
constexpr std::size_t kCommitRows = 100000;
constexpr std::size_t kCommitBytes = 64 * 1024 * 1024;

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
}

void BatchSender::ResetTransaction() {
    transaction_table_.clear();
    in_transaction_ = false;
    transaction_rows_ = 0;
    transaction_bytes_ = 0;
}

void BatchSender::Hold(const std::string& table, std::string_view prefix, std::string_view tuple) {
    if (!building_.Empty() && (building_.table != table || building_.Rows() >= batch_rows ||
                               building_.text.size() + 1 + tuple.size() > session_.BatchBytes()))
        Hand(building_);
    if (building_.Empty()) {
        building_.table = table;
        building_.text.assign(prefix);
        building_.prefix_length = prefix.size();
    } else {
        building_.text += ',';
    }
    building_.tuple_starts.push_back(building_.text.size());
    building_.text.append(tuple);
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

std::vector<std::string> BatchSender::SendBatch(const Batch& batch) {
    std::vector<std::string> failures;
    if (batch.table != transaction_table_) {
        // A new table: rows of a transactional table are committed in large groups, since a
        // commit per statement costs a disk flush each.
        CommitOpenTransaction(failures);
        transaction_table_ = batch.table;
        table_is_transactional_ = IsTransactional(batch.table);
    }
    if (table_is_transactional_ && !in_transaction_) {
        if (session_.QueryQuietly("START TRANSACTION")) {
            in_transaction_ = true;
            transaction_rows_ = 0;
            transaction_bytes_ = 0;
        }
    }
    if (session_.QueryQuietly(batch.text)) {
        CountInTransaction(batch.Rows(), batch.text.size(), failures);
        return failures;
    }
    const std::string error = mysql_error(session_.Handle());
    if (UndidTransaction()) {
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
    // A transactional table undoes the failed statement as a whole; any other keeps the rows
    // before the one the error names, so only the rest is sent again.
    std::size_t first = 0;
    const std::uint64_t named_row = RowNamedInError(error);
    if (named_row > 0 && named_row <= batch.Rows() && !table_is_transactional_)
        first = static_cast<std::size_t>(named_row - 1);
    std::string single;
    for (std::size_t i = first; i < batch.Rows(); ++i) {
        single.assign(batch.Prefix());
        single.append(batch.Tuple(i));
        single += ';';
        if (session_.QueryQuietly(single)) {
            CountInTransaction(1, single.size(), failures);
            continue;
        }
        const std::string row_error = mysql_error(session_.Handle());
        if (UndidTransaction() || session_.Lost()) {
            FailTransactionRows(row_error, failures);
            for (; i < batch.Rows(); ++i)
                failures.push_back(row_error);
            break;
        }
        failures.push_back(row_error);
    }
    return failures;
}

void BatchSender::CountInTransaction(std::size_t rows, std::size_t bytes,
                                     std::vector<std::string>& failures) {
    if (!in_transaction_)
        return;
    transaction_rows_ += rows;
    transaction_bytes_ += bytes;
    if (transaction_rows_ >= kCommitRows || transaction_bytes_ >= kCommitBytes)
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
bool BatchSender::UndidTransaction() {
    if (!in_transaction_)
        return false;
    if (session_.Lost())
        return true; // whatever the error said, the server undoes what was not committed
    switch (mysql_errno(session_.Handle())) {
    case CR_SERVER_GONE_ERROR:
    case CR_SERVER_LOST:
    case ER_LOCK_DEADLOCK:
        return true;
    default:
        return false;
    }
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
