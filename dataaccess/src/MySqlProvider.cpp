#include "tablewright/dataaccess/MySqlProvider.h"

#include "tablewright/dataaccess/AdoTypes.h"

#include <mysql.h>
#include <errmsg.h>
#include <mysqld_error.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <cstdint>
#include <iterator>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tw::data {

namespace {

// Ten seconds is long enough for a slow network and short enough that an unreachable address
// fails while the user is still looking; a shorter server timeout shortens it too.
constexpr unsigned kConnectTimeoutSeconds = 10;
// The byte budget of one multi-row INSERT: large enough that the server's per-statement work is
// spread over many rows, small enough to keep memory flat; never more than half of
// max_allowed_packet, so a batch stays well below the largest packet the server accepts.
constexpr std::size_t kMaxBatchBytes = 1024 * 1024;
// A reconnection attempt that took longer than this ran into the timeout rather than being
// refused at once: the server is there but does not answer, so it is not tried again.
constexpr auto kQuickRefusal = std::chrono::seconds(1);
// How much of a statement an error about the statement itself quotes.
constexpr std::size_t kPreviewBytes = 80;
// Rows of a transactional table are committed in groups of this many rows or bytes: few enough
// commits that their disk flushes do not dominate, small enough to bound the undo log.
constexpr std::size_t kCommitRows = 100000;
constexpr std::size_t kCommitBytes = 64 * 1024 * 1024;
// The character set number that marks binary strings.
constexpr unsigned kBinaryCharset = 63;
// Bytes per character of utf8mb4, the character set of every result of the connection.
constexpr unsigned long kResultBytesPerChar = 4;

struct MysqlCloser {
    void operator()(MYSQL* mysql) const noexcept { mysql_close(mysql); }
};

struct ResultFreer {
    void operator()(MYSQL_RES* result) const noexcept { mysql_free_result(result); }
};

using MysqlHandle = std::unique_ptr<MYSQL, MysqlCloser>;
using ResultHandle = std::unique_ptr<MYSQL_RES, ResultFreer>;

// mysql_library_init is not thread-safe; a function-local static makes it run exactly once.
void InitClientLibrary() {
    static const bool initialised = mysql_library_init(0, nullptr, nullptr) == 0;
    if (!initialised)
        throw DataAccessError("无法初始化 MySQL 客户端库。");
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [&](char x, char y) { return lower(x) == lower(y); });
}

// "localhost" (and no host at all) means the loopback address over TCP, never a Unix socket,
// so that a host and port name the same server on every machine.
std::string TcpHost(const std::string& host) {
    if (host.empty() || EqualsNoCase(host, "localhost"))
        return "127.0.0.1";
    return host;
}

std::string HostAndPort(const std::string& host, int port) {
    const bool ipv6 = host.find(':') != std::string::npos;
    return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

// The sql_mode words that would change what our statements mean: backslashes must stay escapes
// and double quotes must stay string quotes. The combination modes are listed too, since setting
// one of them back would bring ANSI_QUOTES with it.
bool IsUnwantedSqlMode(std::string_view mode) {
    static constexpr std::string_view kUnwanted[] = {
        "NO_BACKSLASH_ESCAPES", "ANSI_QUOTES", "ANSI", "DB2", "MAXDB", "MSSQL", "ORACLE",
        "POSTGRESQL",
    };
    return std::find(std::begin(kUnwanted), std::end(kUnwanted), mode) != std::end(kUnwanted);
}

// The comma-separated mode list without the unwanted words.
std::string WithoutUnwantedSqlModes(std::string_view modes) {
    std::string kept;
    while (!modes.empty()) {
        const auto comma = modes.find(',');
        const auto word = modes.substr(0, comma);
        modes = comma == std::string_view::npos ? std::string_view() : modes.substr(comma + 1);
        if (word.empty() || IsUnwantedSqlMode(word))
            continue;
        if (!kept.empty())
            kept += ',';
        kept += word;
    }
    return kept;
}

std::int32_t ClampToInt32(unsigned long value) {
    return static_cast<std::int32_t>(
        std::min<unsigned long>(value, std::numeric_limits<std::int32_t>::max()));
}

bool IsStringType(enum_field_types type) {
    switch (type) {
    case MYSQL_TYPE_STRING:
    case MYSQL_TYPE_VAR_STRING:
    case MYSQL_TYPE_VARCHAR:
    case MYSQL_TYPE_TINY_BLOB:
    case MYSQL_TYPE_BLOB:
    case MYSQL_TYPE_MEDIUM_BLOB:
    case MYSQL_TYPE_LONG_BLOB:
    case MYSQL_TYPE_ENUM:
    case MYSQL_TYPE_SET:
        return true;
    default:
        return false;
    }
}

// Binary strings, BIT and GEOMETRY values are bytes rather than UTF-8 text.
bool IsBinary(const MYSQL_FIELD& field) {
    if (field.type == MYSQL_TYPE_BIT || field.type == MYSQL_TYPE_GEOMETRY)
        return true;
    return IsStringType(field.type) && field.charsetnr == kBinaryCharset;
}

bool IsLongType(enum_field_types type) {
    return type == MYSQL_TYPE_TINY_BLOB || type == MYSQL_TYPE_BLOB ||
           type == MYSQL_TYPE_MEDIUM_BLOB || type == MYSQL_TYPE_LONG_BLOB ||
           type == MYSQL_TYPE_GEOMETRY;
}

int AdoTypeOf(const MYSQL_FIELD& field) {
    const bool is_unsigned = (field.flags & UNSIGNED_FLAG) != 0;
    switch (field.type) {
    case MYSQL_TYPE_TINY:
        return is_unsigned ? adUnsignedTinyInt : adTinyInt;
    case MYSQL_TYPE_SHORT:
    case MYSQL_TYPE_YEAR:
        return is_unsigned ? adUnsignedSmallInt : adSmallInt;
    case MYSQL_TYPE_INT24:
    case MYSQL_TYPE_LONG:
        return is_unsigned ? adUnsignedInt : adInteger;
    case MYSQL_TYPE_LONGLONG:
        return is_unsigned ? adUnsignedBigInt : adBigInt;
    case MYSQL_TYPE_FLOAT:
        return adSingle;
    case MYSQL_TYPE_DOUBLE:
        return adDouble;
    case MYSQL_TYPE_DECIMAL:
    case MYSQL_TYPE_NEWDECIMAL:
        return adNumeric;
    case MYSQL_TYPE_DATE:
    case MYSQL_TYPE_NEWDATE:
        return adDBDate;
    case MYSQL_TYPE_TIME:
        return adDBTime;
    case MYSQL_TYPE_DATETIME:
    case MYSQL_TYPE_TIMESTAMP:
        return adDBTimeStamp;
    case MYSQL_TYPE_NULL:
        return adEmpty;
    default:
        break;
    }
    if (IsBinary(field)) {
        if (IsLongType(field.type))
            return adLongVarBinary;
        return field.type == MYSQL_TYPE_STRING ? adBinary : adVarBinary;
    }
    if (IsLongType(field.type))
        return adLongVarWChar;
    return field.type == MYSQL_TYPE_STRING ? adWChar : adVarWChar;
}

std::int32_t DefinedSizeOf(const MYSQL_FIELD& field, int ado_type) {
    switch (ado_type) {
    case adTinyInt:
    case adUnsignedTinyInt:
        return 1;
    case adSmallInt:
    case adUnsignedSmallInt:
        return 2;
    case adInteger:
    case adUnsignedInt:
    case adSingle:
        return 4;
    case adBigInt:
    case adUnsignedBigInt:
    case adDouble:
        return 8;
    case adWChar:
    case adVarWChar:
    case adLongVarWChar:
        // The server states text lengths in bytes of the result character set.
        return ClampToInt32(field.length / kResultBytesPerChar);
    default:
        return ClampToInt32(field.length);
    }
}

class MySqlRecordset;

// One column of a MySqlRecordset; its value is the recordset's value of the current row.
class MySqlField final : public Field {
public:
    MySqlField(const MYSQL_FIELD& field, const MySqlRecordset& owner, int index)
        : name_(field.name, field.name_length), type_(AdoTypeOf(field)),
          defined_size_(DefinedSizeOf(field, type_)), owner_(owner), index_(index) {
        if (type_ == adNumeric) {
            // The display length counts the sign of signed columns and the decimal point.
            const bool is_unsigned = (field.flags & UNSIGNED_FLAG) != 0;
            const long digits = static_cast<long>(field.length) - (is_unsigned ? 0 : 1) -
                                (field.decimals > 0 ? 1 : 0);
            precision_ = static_cast<int>(std::max(digits, 1L));
            scale_ = static_cast<int>(field.decimals);
        }
    }

    const std::string& Name() const override { return name_; }
    int Type() const override { return type_; }
    std::int32_t DefinedSize() const override { return defined_size_; }
    int Precision() const override { return precision_; }
    int NumericScale() const override { return scale_; }
    const Value& GetValue() override;

private:
    std::string name_;
    int type_;
    std::int32_t defined_size_;
    int precision_ = 0;
    int scale_ = 0;
    const MySqlRecordset& owner_;
    int index_;
};

// A cursor over a result that the client library holds completely in memory, so it stays
// readable after the connection has moved on to other statements or has been closed. Values
// are the server's text (bytes for binary columns, whose Type says so) or null: enough for
// listings and checks, which is what results of the target server are read for.
class MySqlRecordset final : public Recordset {
public:
    // Takes a stored result; a null result (a statement without rows) gives an empty recordset.
    explicit MySqlRecordset(ResultHandle result) : result_(std::move(result)) {
        if (!result_)
            return;
        row_count_ = static_cast<std::int64_t>(mysql_num_rows(result_.get()));
        const unsigned count = mysql_num_fields(result_.get());
        const MYSQL_FIELD* fields = mysql_fetch_fields(result_.get());
        fields_.reserve(count);
        for (unsigned i = 0; i < count; ++i)
            fields_.push_back(std::make_unique<MySqlField>(fields[i], *this, int(i)));
        values_.resize(count);
        FetchRow();
    }

    bool IsEOF() const override { return !on_row_; }
    bool IsBOF() const override { return row_count_ == 0; }
    std::int64_t RecordCount() const override { return row_count_; }

    void MoveNext() override {
        if (!on_row_)
            throw DataAccessError("记录集已经在最后一行之后。");
        FetchRow();
    }

    int FieldCount() const override { return static_cast<int>(fields_.size()); }

    Field& GetField(int index) override {
        if (index < 0 || index >= FieldCount())
            throw DataAccessError("字段序号超出范围：" + std::to_string(index) + "。");
        return *fields_[static_cast<std::size_t>(index)];
    }

    void Close() override {
        result_.reset();
        on_row_ = false;
    }

    // The value of a column on the current row.
    const Value& ValueAt(int index) const {
        if (!on_row_)
            throw DataAccessError("记录集没有当前行。");
        return values_[static_cast<std::size_t>(index)];
    }

private:
    void FetchRow() {
        MYSQL_ROW row = result_ ? mysql_fetch_row(result_.get()) : nullptr;
        on_row_ = row != nullptr;
        if (!on_row_)
            return;
        const unsigned long* lengths = mysql_fetch_lengths(result_.get());
        for (std::size_t i = 0; i < values_.size(); ++i) {
            if (row[i])
                values_[i] = std::string(row[i], lengths[i]);
            else
                values_[i] = std::monostate{};
        }
    }

    ResultHandle result_;
    std::int64_t row_count_ = 0;
    bool on_row_ = false;
    std::vector<std::unique_ptr<MySqlField>> fields_;
    std::vector<Value> values_;
};

const Value& MySqlField::GetValue() {
    return owner_.ValueAt(index_);
}

// The parts of a single-row INSERT as the engine writes it: "INSERT INTO `t` values(...);".
struct InsertParts {
    std::string_view prefix; // "INSERT INTO `t` values"
    std::string_view tuple;  // "(...)"
};

// Recognises "INSERT INTO `name` values(...);" (the name with doubled backticks inside).
bool ParseSingleInsert(std::string_view sql, InsertParts& parts) {
    constexpr std::string_view kHead = "INSERT INTO `";
    constexpr std::string_view kValues = "` values(";
    if (sql.size() < kHead.size() + kValues.size() + 2 || sql.substr(0, kHead.size()) != kHead ||
        sql.substr(sql.size() - 2) != ");")
        return false;
    std::size_t i = kHead.size();
    for (;;) {
        i = sql.find('`', i);
        if (i == std::string_view::npos)
            return false;
        if (i + 1 < sql.size() && sql[i + 1] == '`') {
            i += 2; // a doubled backtick inside the name
            continue;
        }
        break;
    }
    if (sql.substr(i, kValues.size()) != kValues)
        return false;
    const std::size_t open = i + kValues.size() - 1;
    parts.prefix = sql.substr(0, open);
    parts.tuple = sql.substr(open, sql.size() - 1 - open);
    return true;
}

// The table name of an INSERT prefix, with doubled backticks made single again.
std::string TableOfPrefix(std::string_view prefix) {
    constexpr std::string_view kHead = "INSERT INTO `";
    constexpr std::string_view kTail = "` values";
    std::string name;
    if (prefix.size() < kHead.size() + kTail.size())
        return name;
    const std::string_view quoted =
        prefix.substr(kHead.size(), prefix.size() - kHead.size() - kTail.size());
    for (std::size_t i = 0; i < quoted.size(); ++i) {
        name += quoted[i];
        if (quoted[i] == '`' && i + 1 < quoted.size() && quoted[i + 1] == '`')
            ++i;
    }
    return name;
}

// The 1-based row number that an error text names ("... at row 17"), or 0.
std::uint64_t RowNamedInError(std::string_view error) {
    constexpr std::string_view kAtRow = " at row ";
    const auto at = error.rfind(kAtRow);
    if (at == std::string_view::npos)
        return 0;
    std::uint64_t row = 0;
    for (std::size_t i = at + kAtRow.size(); i < error.size() && error[i] >= '0' &&
                                             error[i] <= '9';
         ++i)
        row = row * 10 + std::uint64_t(error[i] - '0');
    return row;
}

// Consecutive single-row INSERTs into one table, joined into one multi-row statement.
struct Batch {
    std::string text;                      // "INSERT INTO `t` values(...),(...)"
    std::size_t prefix_length = 0;         // length of "INSERT INTO `t` values"
    std::vector<std::size_t> tuple_starts; // where each row's "(...)" starts in text

    bool Empty() const { return tuple_starts.empty(); }
    std::size_t Rows() const { return tuple_starts.size(); }
    std::string_view Prefix() const { return std::string_view(text).substr(0, prefix_length); }
    std::string_view Tuple(std::size_t i) const {
        const std::size_t end = i + 1 < Rows() ? tuple_starts[i + 1] - 1 : text.size();
        return std::string_view(text).substr(tuple_starts[i], end - tuple_starts[i]);
    }
    void Clear() {
        text.clear();
        prefix_length = 0;
        tuple_starts.clear();
    }
};

// The start of a statement for an error message, cut at a character boundary.
std::string Preview(std::string_view sql) {
    if (sql.size() <= kPreviewBytes)
        return std::string(sql);
    std::size_t end = kPreviewBytes;
    while (end > 0 && (static_cast<unsigned char>(sql[end]) & 0xC0) == 0x80)
        --end; // not inside a multi-byte character
    return std::string(sql.substr(0, end)) + "…";
}

// Makes a handle with the connection's options (timeouts already settled) and connects it over
// TCP, to the given default database or none; throws DataAccessError with the server's text.
MysqlHandle ConnectHandle(const MySqlTarget& target, const char* database) {
    MysqlHandle mysql(mysql_init(nullptr));
    if (!mysql)
        throw DataAccessError("无法初始化 MySQL 连接（内存不足）。");

    const std::string host = TcpHost(target.host);
    const unsigned protocol = MYSQL_PROTOCOL_TCP;
    const unsigned read_timeout = target.read_timeout_seconds;
    const unsigned write_timeout = target.write_timeout_seconds;
    // Connecting includes reading the server's greeting, so a short server timeout bounds it too.
    const unsigned connect_timeout = std::min(kConnectTimeoutSeconds, read_timeout);
    const unsigned local_infile = 0;
    const my_bool reconnect = 0;
    MYSQL* handle = mysql.get();
    if (mysql_options(handle, MYSQL_OPT_PROTOCOL, &protocol) != 0 ||
        mysql_options(handle, MYSQL_SET_CHARSET_NAME, "utf8mb4") != 0 ||
        mysql_options(handle, MYSQL_OPT_CONNECT_TIMEOUT, &connect_timeout) != 0 ||
        mysql_options(handle, MYSQL_OPT_READ_TIMEOUT, &read_timeout) != 0 ||
        mysql_options(handle, MYSQL_OPT_WRITE_TIMEOUT, &write_timeout) != 0 ||
        mysql_options(handle, MYSQL_OPT_LOCAL_INFILE, &local_infile) != 0 ||
        mysql_options(handle, MYSQL_OPT_RECONNECT, &reconnect) != 0)
        throw DataAccessError("无法设置 MySQL 连接选项。");

    // CLIENT_MULTI_RESULTS lets CALL return its result sets; several statements in one string
    // stay refused, so one Execute is always one statement.
    if (!mysql_real_connect(handle, host.c_str(), target.user.c_str(), target.password.c_str(),
                            database, static_cast<unsigned>(target.port), nullptr,
                            CLIENT_MULTI_RESULTS))
        throw DataAccessError("无法连接到 MySQL 服务器 " + HostAndPort(host, target.port) + "：" +
                              mysql_error(handle));
    return mysql;
}

// A connection to one server. Consecutive single-row INSERTs into the same table are held back
// and sent as multi-row statements by a sender thread, so that reading the source and the
// server's work overlap; every other statement first waits until everything held back has been
// sent, then runs on the caller's thread. A refused batch is sent again row by row, so exactly
// the refused rows fail, each with its own error, delivered through the failure handler on the
// caller's thread. A statement longer than the server accepts is refused without being sent. A
// lost connection is not restored behind the caller's back: every statement after the loss
// fails at once, until EnsureConnected opens the connection again.
class MySqlProvider final : public Provider {
public:
    explicit MySqlProvider(const MySqlTarget& target) : target_(target) {}

    ~MySqlProvider() override {
        try {
            SendHeldBack();
        } catch (...) {
            // Closing must not throw; what could not be sent was reported to the handler.
        }
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_sender_.notify_all();
        if (sender_.joinable())
            sender_.join();
    }

    // Connects (to the given default database, or none) and prepares the session; only while
    // the sender is idle.
    void Connect(const char* database) {
        mysql_ = ConnectHandle(target_, database);
        lost_.store(false, std::memory_order_release);
        transaction_prefix_.clear();
        in_transaction_ = false;
        transaction_rows_ = 0;
        transaction_bytes_ = 0;
        ReadPacketLimit();
        NormaliseSqlMode();
        LimitLockWaits();
    }

    void Execute(std::string_view sql) override {
        if (has_failures_.load(std::memory_order_acquire))
            DeliverFailures();
        CheckLength(sql);
        InsertParts parts;
        if (batch_rows_ > 1 && ParseSingleInsert(sql, parts)) {
            Hold(parts);
            return;
        }
        SendHeldBack();
        Send(sql);
        StoreResult();
        DrainResults();
    }

    std::unique_ptr<Recordset> OpenRecordset(std::string_view sql) override {
        CheckLength(sql);
        SendHeldBack();
        Send(sql);
        ResultHandle first = StoreResult();
        DrainResults();
        return std::make_unique<MySqlRecordset>(std::move(first));
    }

    std::vector<SchemaTableRow> SchemaTables() override {
        SendHeldBack();
        constexpr std::string_view kShowTables = "SHOW FULL TABLES";
        if (mysql_real_query(mysql_.get(), kShowTables.data(), kShowTables.size()) != 0) {
            // Without a current database there is nothing to list.
            if (mysql_errno(mysql_.get()) == ER_NO_DB_ERROR)
                return {};
            Fail();
        }
        ResultHandle result = StoreResult();
        DrainResults();
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

    void Flush() override { SendHeldBack(); }

    void SetBatchRows(int rows) override {
        SendHeldBack();
        batch_rows_ = rows < 1 ? 1 : static_cast<std::size_t>(rows);
    }

    void SetFailureHandler(FailureHandler handler) override {
        failure_handler_ = std::move(handler);
    }

    void EnsureConnected() override {
        SendHeldBack();
        if (!Lost()) {
            if (mysql_ping(mysql_.get()) == 0)
                return;
            NoteLoss();
            if (!Lost())
                return; // the connection works; its statements report their own errors
        }
        if (reconnection_given_up_)
            throw DataAccessError(reconnection_error_);
        const auto started = std::chrono::steady_clock::now();
        try {
            Reconnect();
        } catch (const DataAccessError& e) {
            reconnection_error_ = std::string("与 MySQL 服务器的连接已断开，重新连接失败：") +
                                  e.what();
            // A server that refuses at once may be back for the next attempt; one that let the
            // attempt run into the timeout would make every further attempt wait as long.
            reconnection_given_up_ = std::chrono::steady_clock::now() - started >= kQuickRefusal;
            throw DataAccessError(reconnection_error_);
        }
    }

    bool ConnectionLost() const override { return Lost(); }

private:
    // Removes the sql_mode words that change how statements are read (see IsUnwantedSqlMode)
    // and makes every table strict: a value that does not fit is refused rather than quietly
    // changed, in a multi-row statement as much as in a single-row one.
    void NormaliseSqlMode() {
        auto modes = OpenRecordset("SELECT @@SESSION.sql_mode");
        if (modes->IsEOF())
            return;
        const auto* current = std::get_if<std::string>(&modes->GetField(0).GetValue());
        if (!current)
            return;
        std::string wanted = WithoutUnwantedSqlModes(*current);
        if (("," + wanted + ",").find(",STRICT_ALL_TABLES,") == std::string::npos)
            wanted += wanted.empty() ? "STRICT_ALL_TABLES" : ",STRICT_ALL_TABLES";
        if (wanted == *current)
            return;
        std::string escaped(wanted.size() * 2 + 1, '\0');
        escaped.resize(
            mysql_real_escape_string(mysql_.get(), escaped.data(), wanted.data(), wanted.size()));
        Execute("SET SESSION sql_mode = '" + escaped + "'");
    }

    // A table that another session keeps locked makes DROP TABLE wait, by default for a day;
    // the server gives up after half the read timeout instead, so the statement fails with the
    // server's own reason while the connection stays usable.
    void LimitLockWaits() {
        const unsigned seconds = std::max(1u, target_.read_timeout_seconds / 2);
        QueryQuietly("SET SESSION lock_wait_timeout = " + std::to_string(seconds));
    }

    // Reads the largest statement the server accepts; the batch budget follows from it.
    void ReadPacketLimit() {
        statement_limit_ = std::numeric_limits<std::size_t>::max();
        batch_bytes_ = kMaxBatchBytes;
        constexpr std::string_view kQuery = "SELECT @@max_allowed_packet";
        if (mysql_real_query(mysql_.get(), kQuery.data(), kQuery.size()) != 0)
            return;
        ResultHandle result(mysql_store_result(mysql_.get()));
        MYSQL_ROW row = result ? mysql_fetch_row(result.get()) : nullptr;
        if (!row || !row[0])
            return;
        const unsigned long long packet = std::strtoull(row[0], nullptr, 10);
        if (packet < 2)
            return;
        // The packet carries a command byte before the statement.
        statement_limit_ = static_cast<std::size_t>(packet - 1);
        batch_bytes_ = std::min<std::size_t>(kMaxBatchBytes, static_cast<std::size_t>(packet / 2));
    }

    // Refuses, without sending it, a statement longer than the server accepts: the server
    // answers such a packet by closing the connection, which would fail every later statement.
    void CheckLength(std::string_view sql) const {
        if (sql.size() <= statement_limit_)
            return;
        throw DataAccessError("语句长 " + std::to_string(sql.size()) +
                              " 字节，超过服务器的 max_allowed_packet（" +
                              std::to_string(statement_limit_ + 1) + " 字节），未发送：" +
                              Preview(sql));
    }

    bool Lost() const { return lost_.load(std::memory_order_acquire); }

    // Marks the connection lost when the client library has closed it after a failure.
    void NoteLoss() {
        if (mysql_get_socket(mysql_.get()) == MARIADB_INVALID_SOCKET)
            lost_.store(true, std::memory_order_release);
    }

    // Opens a new connection to the same server and database in place of the lost one.
    void Reconnect() {
        std::string database;
        const char* schema = nullptr;
        if (mariadb_get_infov(mysql_.get(), MARIADB_CONNECTION_SCHEMA, &schema) == 0 && schema)
            database = schema;
        MysqlHandle lost = std::move(mysql_);
        try {
            Connect(database.empty() ? nullptr : database.c_str());
        } catch (...) {
            mysql_ = std::move(lost); // keep a handle, closed, so every call fails at once
            lost_.store(true, std::memory_order_release);
            throw;
        }
        reconnection_given_up_ = false;
    }

    // Adds one row to the batch in the making; a full batch goes to the sender.
    void Hold(const InsertParts& parts) {
        if (!building_.Empty() &&
            (building_.Prefix() != parts.prefix || building_.Rows() >= batch_rows_ ||
             building_.text.size() + 1 + parts.tuple.size() > batch_bytes_))
            Hand(building_);
        if (building_.Empty()) {
            building_.text.assign(parts.prefix);
            building_.prefix_length = parts.prefix.size();
        } else {
            building_.text += ',';
        }
        building_.tuple_starts.push_back(building_.text.size());
        building_.text.append(parts.tuple);
    }

    // Passes a full batch to the sender thread once it has room, and takes back an empty one.
    void Hand(Batch& batch) {
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

    // Sends what is held back, waits until the sender is idle and delivers its failures.
    void SendHeldBack() {
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
        transaction_prefix_.clear();
        if (!failures.empty()) {
            std::lock_guard lock(mutex_);
            for (auto& failure : failures)
                failures_.push_back(std::move(failure));
            has_failures_.store(true, std::memory_order_release);
        }
        DeliverFailures();
    }

    void DeliverFailures() {
        std::vector<std::string> failures;
        {
            std::lock_guard lock(mutex_);
            failures.swap(failures_);
            has_failures_.store(false, std::memory_order_release);
        }
        for (const std::string& error : failures)
            if (failure_handler_)
                failure_handler_(error);
    }

    void SenderLoop() {
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

    // Sends one batch (on whichever thread holds the connection); returns the error of every
    // row that was refused, including rows of an open transaction that the server undid.
    std::vector<std::string> SendBatch(const Batch& batch) {
        std::vector<std::string> failures;
        if (batch.Prefix() != transaction_prefix_) {
            // A new table: rows of a transactional table are committed in large groups, since
            // a commit per statement costs a disk flush each.
            CommitOpenTransaction(failures);
            transaction_prefix_.assign(batch.Prefix());
            table_is_transactional_ = IsTransactional(batch.Prefix());
        }
        if (table_is_transactional_ && !in_transaction_) {
            if (QueryQuietly("START TRANSACTION")) {
                in_transaction_ = true;
                transaction_rows_ = 0;
                transaction_bytes_ = 0;
            }
        }
        if (QueryQuietly(batch.text)) {
            CountInTransaction(batch.Rows(), batch.text.size(), failures);
            return failures;
        }
        const std::string error = mysql_error(mysql_.get());
        if (UndidTransaction()) {
            // The server undid everything since START TRANSACTION: those rows failed too.
            FailTransactionRows(error, failures);
            for (std::size_t i = 0; i < batch.Rows(); ++i)
                failures.push_back(error);
            return failures;
        }
        if (batch.Rows() == 1 || Lost()) {
            // Without a connection, sending the rows one by one could only fail each again.
            for (std::size_t i = 0; i < batch.Rows(); ++i)
                failures.push_back(error);
            return failures;
        }
        // A transactional table undoes the failed statement as a whole; any other keeps the
        // rows before the one the error names, so only the rest is sent again.
        std::size_t first = 0;
        const std::uint64_t named_row = RowNamedInError(error);
        if (named_row > 0 && named_row <= batch.Rows() && !table_is_transactional_)
            first = static_cast<std::size_t>(named_row - 1);
        std::string single;
        for (std::size_t i = first; i < batch.Rows(); ++i) {
            single.assign(batch.Prefix());
            single.append(batch.Tuple(i));
            single += ';';
            if (QueryQuietly(single)) {
                CountInTransaction(1, single.size(), failures);
                continue;
            }
            const std::string row_error = mysql_error(mysql_.get());
            if (UndidTransaction() || Lost()) {
                FailTransactionRows(row_error, failures);
                for (; i < batch.Rows(); ++i)
                    failures.push_back(row_error);
                break;
            }
            failures.push_back(row_error);
        }
        return failures;
    }

    // Counts rows that arrived inside the open transaction and commits once a group is full.
    void CountInTransaction(std::size_t rows, std::size_t bytes,
                            std::vector<std::string>& failures) {
        if (!in_transaction_)
            return;
        transaction_rows_ += rows;
        transaction_bytes_ += bytes;
        if (transaction_rows_ >= kCommitRows || transaction_bytes_ >= kCommitBytes)
            CommitOpenTransaction(failures);
    }

    // Commits the open transaction; when the commit fails, its rows are reported as failed.
    void CommitOpenTransaction(std::vector<std::string>& failures) {
        if (!in_transaction_)
            return;
        in_transaction_ = false;
        if (!QueryQuietly("COMMIT"))
            FailTransactionRows(mysql_error(mysql_.get()), failures);
        transaction_rows_ = 0;
        transaction_bytes_ = 0;
    }

    // Reports every row of the open transaction as failed with the given error.
    void FailTransactionRows(const std::string& error, std::vector<std::string>& failures) {
        if (!in_transaction_ && transaction_rows_ == 0)
            return;
        for (std::size_t i = 0; i < transaction_rows_; ++i)
            failures.push_back(error);
        in_transaction_ = false;
        transaction_rows_ = 0;
        transaction_bytes_ = 0;
    }

    // Whether the last error undid the whole open transaction (a lost connection, a deadlock).
    bool UndidTransaction() {
        if (!in_transaction_)
            return false;
        if (Lost())
            return true; // whatever the error said, the server undoes what was not committed
        switch (mysql_errno(mysql_.get())) {
        case CR_SERVER_GONE_ERROR:
        case CR_SERVER_LOST:
        case ER_LOCK_DEADLOCK:
            return true;
        default:
            return false;
        }
    }

    // Runs a statement and discards its results; false when the server refused it.
    bool QueryQuietly(std::string_view sql) {
        if (mysql_real_query(mysql_.get(), sql.data(), sql.size()) != 0) {
            NoteLoss();
            return false;
        }
        for (;;) {
            ResultHandle result(mysql_store_result(mysql_.get()));
            const int next = !result && mysql_field_count(mysql_.get()) != 0
                                 ? 1
                                 : mysql_next_result(mysql_.get());
            if (next > 0) {
                NoteLoss();
                return false;
            }
            if (next < 0)
                return true;
        }
    }

    // Whether the table an INSERT prefix names undoes a failed statement as a whole.
    bool IsTransactional(std::string_view prefix) {
        const std::string table = TableOfPrefix(prefix);
        std::string escaped(table.size() * 2 + 1, '\0');
        escaped.resize(
            mysql_real_escape_string(mysql_.get(), escaped.data(), table.data(), table.size()));
        const std::string query =
            "SELECT e.TRANSACTIONS FROM information_schema.TABLES t JOIN "
            "information_schema.ENGINES e ON e.ENGINE = t.ENGINE WHERE t.TABLE_SCHEMA = "
            "DATABASE() AND t.TABLE_NAME = '" + escaped + "'";
        if (mysql_real_query(mysql_.get(), query.data(), query.size()) != 0) {
            NoteLoss();
            return true; // unknown: sending every row again is the safe side
        }
        ResultHandle result(mysql_store_result(mysql_.get()));
        MYSQL_ROW row = result ? mysql_fetch_row(result.get()) : nullptr;
        return !row || !row[0] || std::string_view(row[0]) == "YES";
    }

    [[noreturn]] void Fail() {
        NoteLoss();
        throw DataAccessError(mysql_error(mysql_.get()));
    }

    // Sends one statement; its length is passed, so NUL bytes and huge values arrive intact.
    void Send(std::string_view sql) {
        if (mysql_real_query(mysql_.get(), sql.data(), sql.size()) != 0)
            Fail();
    }

    // The current result in memory, or null when the statement made none.
    ResultHandle StoreResult() {
        ResultHandle result(mysql_store_result(mysql_.get()));
        if (!result && mysql_field_count(mysql_.get()) != 0)
            Fail();
        return result;
    }

    // Reads and frees every result after the current one (CALL can return several), so the
    // connection is ready for the next statement; an error in a later result is thrown.
    void DrainResults() {
        for (;;) {
            const int next = mysql_next_result(mysql_.get());
            if (next > 0)
                Fail();
            if (next < 0)
                return;
            StoreResult();
        }
    }

    MySqlTarget target_;
    MysqlHandle mysql_;
    // What the server accepts: the longest statement, and the budget of a multi-row INSERT.
    std::size_t statement_limit_ = std::numeric_limits<std::size_t>::max();
    std::size_t batch_bytes_ = kMaxBatchBytes;
    // Set on whichever thread sees the client library close the connection.
    std::atomic<bool> lost_{false};
    bool reconnection_given_up_ = false;
    std::string reconnection_error_;
    // Transaction state, used by whichever thread holds the connection.
    std::string transaction_prefix_;
    bool table_is_transactional_ = false;
    bool in_transaction_ = false;
    std::size_t transaction_rows_ = 0;
    std::size_t transaction_bytes_ = 0;
    std::size_t batch_rows_ = kDefaultBatchRows;
    FailureHandler failure_handler_;
    Batch building_;

    // Shared with the sender thread; the MYSQL handle is used by one thread at a time: by the
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

} // namespace

std::unique_ptr<Provider> OpenMySqlProvider(const MySqlTarget& target) {
    InitClientLibrary();
    MySqlTarget settled = target;
    if (settled.read_timeout_seconds == 0)
        settled.read_timeout_seconds = kDefaultServerTimeoutSeconds;
    if (settled.write_timeout_seconds == 0)
        settled.write_timeout_seconds = kDefaultServerTimeoutSeconds;
    auto provider = std::make_unique<MySqlProvider>(settled);
    provider->Connect(nullptr);
    return provider;
}

} // namespace tw::data
