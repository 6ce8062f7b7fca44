#include "MySqlInternals.h"

#include "tablewright/model/AdoTypes.h"
#include "tablewright/model/Text.h"

#include <errmsg.h>
#include <mysqld_error.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tw::data::mysql {

namespace {

// Ten seconds is long enough for a slow network and short enough that an unreachable address
// fails while the user is still looking; a shorter server timeout shortens it too.
constexpr unsigned kConnectTimeoutSeconds = 10;
// How much of a statement an error about the statement itself quotes.
constexpr std::size_t kPreviewBytes = 80;
// The character set number that marks binary strings.
constexpr unsigned kBinaryCharset = 63;
// Bytes per character of utf8mb4, the character set of every result of the connection.
constexpr unsigned long kResultBytesPerChar = 4;

// mysql_library_init is not thread-safe; a function-local static makes it run exactly once.
void InitClientLibraryOnce() {
    static const bool initialised = mysql_library_init(0, nullptr, nullptr) == 0;
    if (!initialised)
        throw DataAccessError("无法初始化 MySQL 客户端库。");
}

bool IsLocalHost(std::string_view host) {
    return host.empty() || EqualsNoCase(host, "localhost");
}

std::string HostAndPort(const std::string& host, int port) {
    const bool ipv6 = host.find(':') != std::string::npos;
    return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

unsigned ProtocolNumber(MySqlProtocol protocol) {
    switch (protocol) {
    case MySqlProtocol::Tcp:
        return MYSQL_PROTOCOL_TCP;
    case MySqlProtocol::Socket:
        return MYSQL_PROTOCOL_SOCKET;
    case MySqlProtocol::Default:
        break;
    }
    return MYSQL_PROTOCOL_DEFAULT;
}

// A protocol number that no option file sets and Connector/C refuses before it opens anything.
constexpr unsigned kUnreadProtocol = 0xFFFF;
// A socket path that cannot exist: its parent is not a folder.
constexpr const char* kNoSocket = "/dev/null/tablewright";

// Reads option files into the handle and returns the protocol they name, if any. Connector/C
// reads them only when the handle connects, and then what they say overrides whatever was set on
// the handle before: the command line's values included. So they are read by a connection
// attempt that fails before it reaches any server (an unknown protocol; should a file name a
// protocol, a socket that cannot exist or port 1 of this machine), the handle keeps what they
// said (CLIENT_REMEMBER_OPTIONS), and what was given is set on top of it afterwards.
std::optional<unsigned> ReadOptionFiles(MYSQL* handle, const std::string& file) {
    unsigned protocol = kUnreadProtocol;
    if (mysql_optionsv(handle, MYSQL_OPT_PROTOCOL, &protocol) != 0 ||
        mysql_optionsv(handle, MYSQL_READ_DEFAULT_GROUP, "tablewright") != 0 ||
        (!file.empty() && mysql_optionsv(handle, MYSQL_READ_DEFAULT_FILE, file.c_str()) != 0))
        throw DataAccessError("无法设置 MySQL 连接选项。");
    if (mysql_real_connect(handle, "localhost", nullptr, nullptr, nullptr, 1, kNoSocket,
                           CLIENT_REMEMBER_OPTIONS))
        throw DataAccessError("读取选项文件时意外连接到了服务器。");
    if (mysql_get_optionv(handle, MYSQL_OPT_PROTOCOL, &protocol) != 0 ||
        protocol == kUnreadProtocol)
        return std::nullopt;
    return protocol;
}

// The server as a connection failure names it: host and port where they were given and TCP is
// used; otherwise Connector/C's own message says which socket or host it tried.
std::string ConnectFailure(const MySqlTarget& target, const std::string& host, const char* error) {
    const bool tcp = target.protocol == MySqlProtocol::Tcp || !IsLocalHost(host);
    if (tcp && !host.empty() && target.port > 0)
        return "无法连接到 MySQL 服务器 " + HostAndPort(host, target.port) + "：" + error;
    return std::string("无法连接到 MySQL 服务器：") + error;
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
// readable after the connection has moved on to other statements or has been closed (or, for a
// scan of a whole table, one the server sends while it is read). Values
// are the server's text (bytes for binary columns, whose Type says so) or null: enough for
// listings and checks, which is what results of the target server are read for.
class MySqlRecordset final : public Recordset {
public:
    // Takes a stored result; a null result (a statement without rows) gives an empty recordset.
    // With `streamed_from`, the result is read from that session's connection row by row, and a
    // failure to read on is thrown instead of taken for the end.
    explicit MySqlRecordset(ResultHandle result, MySqlSession* streamed_from = nullptr)
        : result_(std::move(result)), streamed_from_(streamed_from) {
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
        if (!on_row_) {
            if (streamed_from_ && mysql_errno(streamed_from_->Handle()) != 0)
                streamed_from_->Fail();
            return;
        }
        const unsigned long* lengths = mysql_fetch_lengths(result_.get());
        for (std::size_t i = 0; i < values_.size(); ++i) {
            if (!row[i])
                values_[i] = std::monostate{};
            else if (auto* text = std::get_if<std::string>(&values_[i]))
                text->assign(row[i], lengths[i]); // the memory of the last row's text
            else
                values_[i] = std::string(row[i], lengths[i]);
        }
    }

    ResultHandle result_;
    MySqlSession* streamed_from_;
    std::int64_t row_count_ = 0;
    bool on_row_ = false;
    std::vector<std::unique_ptr<MySqlField>> fields_;
    std::vector<Value> values_;
};

const Value& MySqlField::GetValue() {
    return owner_.ValueAt(index_);
}

// Makes a handle with the connection's options (timeouts already settled) and connects it to the
// given default database or none; throws DataAccessError with the server's text.
MysqlHandle ConnectHandle(const MySqlTarget& target, const char* database) {
    MysqlHandle mysql(mysql_init(nullptr));
    if (!mysql)
        throw DataAccessError("无法初始化 MySQL 连接（内存不足）。");
    MYSQL* handle = mysql.get();

    // What was not given comes from the option files, and failing them from the environment:
    // MYSQL_HOST is set first, so that a file overrides it; Connector/C itself falls back to
    // MYSQL_TCP_PORT, MYSQL_UNIX_PORT and MYSQL_PWD after the files.
    const char* environment_host = std::getenv("MYSQL_HOST");
    if (target.host.empty() && environment_host && *environment_host &&
        mysql_optionsv(handle, MARIADB_OPT_HOST, environment_host) != 0)
        throw DataAccessError("无法设置 MySQL 连接选项。");
    std::optional<unsigned> file_protocol;
    const MySqlOptionFiles& files = target.option_files;
    if (files.read) {
        file_protocol = ReadOptionFiles(handle, files.only_file);
        if (!files.extra_file.empty())
            if (const auto extra = ReadOptionFiles(handle, files.extra_file))
                file_protocol = extra;
    }

    // Set after the files, so what was given wins, and the connection stays what the tool needs
    // whatever a file says: utf8mb4, its timeouts, no LOCAL INFILE, no silent reconnection.
    unsigned protocol = ProtocolNumber(target.protocol);
    if (target.protocol == MySqlProtocol::Default && file_protocol)
        protocol = *file_protocol;
    const unsigned read_timeout = target.read_timeout_seconds;
    const unsigned write_timeout = target.write_timeout_seconds;
    // Connecting includes reading the server's greeting, so a short server timeout bounds it too.
    const unsigned connect_timeout = std::min(kConnectTimeoutSeconds, read_timeout);
    const unsigned local_infile = 0;
    const my_bool reconnect = 0;
    if (mysql_options(handle, MYSQL_OPT_PROTOCOL, &protocol) != 0 ||
        mysql_options(handle, MYSQL_SET_CHARSET_NAME, "utf8mb4") != 0 ||
        mysql_options(handle, MYSQL_OPT_CONNECT_TIMEOUT, &connect_timeout) != 0 ||
        mysql_options(handle, MYSQL_OPT_READ_TIMEOUT, &read_timeout) != 0 ||
        mysql_options(handle, MYSQL_OPT_WRITE_TIMEOUT, &write_timeout) != 0 ||
        mysql_options(handle, MYSQL_OPT_LOCAL_INFILE, &local_infile) != 0 ||
        mysql_options(handle, MYSQL_OPT_RECONNECT, &reconnect) != 0)
        throw DataAccessError("无法设置 MySQL 连接选项。");
    const MySqlTls& tls = target.tls;
    const my_bool on = 1;
    if ((tls.enabled && mysql_optionsv(handle, MYSQL_OPT_SSL_ENFORCE, &on) != 0) ||
        (!tls.ca.empty() && mysql_optionsv(handle, MYSQL_OPT_SSL_CA, tls.ca.c_str()) != 0) ||
        (!tls.cert.empty() && mysql_optionsv(handle, MYSQL_OPT_SSL_CERT, tls.cert.c_str()) != 0) ||
        (!tls.key.empty() && mysql_optionsv(handle, MYSQL_OPT_SSL_KEY, tls.key.c_str()) != 0) ||
        (tls.verify_server_cert &&
         mysql_optionsv(handle, MYSQL_OPT_SSL_VERIFY_SERVER_CERT, &on) != 0))
        throw DataAccessError("无法设置 MySQL 连接的加密选项。");

    // A "localhost" given for TCP means the loopback address, so that a host and port name the
    // same server on every machine; otherwise it is spelt as Connector/C knows the local server.
    std::string host = target.host;
    if (!host.empty() && IsLocalHost(host))
        host = target.protocol == MySqlProtocol::Tcp ? "127.0.0.1" : "localhost";
    // CLIENT_MULTI_RESULTS lets CALL return its result sets; several statements in one string
    // stay refused, so one Execute is always one statement.
    if (!mysql_real_connect(handle, host.empty() ? nullptr : host.c_str(),
                            target.user.empty() ? nullptr : target.user.c_str(),
                            target.password_given ? target.password.c_str() : nullptr, database,
                            static_cast<unsigned>(std::max(target.port, 0)),
                            target.socket.empty() ? nullptr : target.socket.c_str(),
                            CLIENT_MULTI_RESULTS))
        throw DataAccessError(ConnectFailure(target, host, mysql_error(handle)));
    // An option file may have asked for several statements per string; the session refuses them.
    unsigned long capabilities = 0;
    if (mariadb_get_infov(handle, MARIADB_CONNECTION_CLIENT_CAPABILITIES, &capabilities) == 0 &&
        (capabilities & CLIENT_MULTI_STATEMENTS) != 0 &&
        mysql_set_server_option(handle, MYSQL_OPTION_MULTI_STATEMENTS_OFF) != 0)
        throw DataAccessError(mysql_error(handle));
    return mysql;
}

} // namespace

// The start of a statement for an error message, cut at a character boundary.
std::string Preview(std::string_view sql) {
    if (sql.size() <= kPreviewBytes)
        return std::string(sql);
    const std::size_t end = Utf8CharStart(sql, kPreviewBytes); // not inside a character
    return std::string(sql.substr(0, end)) + "…";
}

void MySqlSession::Connect(const char* database) {
    mysql_ = ConnectHandle(target_, database);
    KeepSocketCopy();
    lost_.store(false, std::memory_order_release);
    ReadPacketLimit();
    ReadWriteSetLimits();
    NormaliseSqlMode();
    LimitLockWaits();
}

void MySqlSession::Reconnect() {
    std::string database;
    const char* schema = nullptr;
    if (mariadb_get_infov(mysql_.get(), MARIADB_CONNECTION_SCHEMA, &schema) == 0 && schema)
        database = schema;
    if (interrupted_.load(std::memory_order_acquire))
        throw DataAccessError("连接已被用户中断。");
    MysqlHandle lost = std::move(mysql_);
    try {
        Connect(database.empty() ? nullptr : database.c_str());
    } catch (...) {
        mysql_ = std::move(lost); // keep a handle, closed, so every call fails at once
        lost_.store(true, std::memory_order_release);
        throw;
    }
}

MySqlSession::~MySqlSession() {
    mysql_.reset();
    socket_copy_.Reset();
}

void MySqlSession::KeepSocketCopy() {
    const my_socket socket = mysql_get_socket(mysql_.get());
    const int copy = socket == MARIADB_INVALID_SOCKET ? -1 : ::fcntl(socket, F_DUPFD_CLOEXEC, 0);
    const std::lock_guard lock(socket_mutex_);
    socket_copy_.Reset(copy);
}

void MySqlSession::Interrupt() {
    interrupted_.store(true, std::memory_order_release);
    const std::lock_guard lock(socket_mutex_);
    // Shutting the socket down wakes a read or write blocked on it, on whatever descriptor; the
    // call then fails as with a lost connection.
    if (socket_copy_)
        ::shutdown(socket_copy_.Get(), SHUT_RDWR);
}

void MySqlSession::Abandon() {
    {
        const std::lock_guard lock(socket_mutex_);
        // A closed socket that still has rows coming would only stop taking them; the server
        // would wait for room to send until its write timeout, holding the table meanwhile.
        const linger reset{1, 0};
        if (socket_copy_)
            ::setsockopt(socket_copy_.Get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
    Interrupt();
}

void MySqlSession::NoteLoss() {
    if (mysql_get_socket(mysql_.get()) != MARIADB_INVALID_SOCKET)
        return;
    lost_.store(true, std::memory_order_release);
    // The library has closed its descriptor; closing this one too lets the server see the end.
    const std::lock_guard lock(socket_mutex_);
    socket_copy_.Reset();
}

void MySqlSession::CheckLength(std::string_view sql) const {
    if (sql.size() <= statement_limit_)
        return;
    throw DataAccessError(
        "语句长 " + std::to_string(sql.size()) + " 字节，超过服务器的 max_allowed_packet（" +
        std::to_string(statement_limit_ + 1) + " 字节），未发送：" + Preview(sql));
}

void MySqlSession::Send(std::string_view sql) {
    if (mysql_real_query(mysql_.get(), sql.data(), sql.size()) != 0)
        Fail();
}

ResultHandle MySqlSession::StoreResult() {
    ResultHandle result(mysql_store_result(mysql_.get()));
    if (!result && mysql_field_count(mysql_.get()) != 0)
        Fail();
    return result;
}

void MySqlSession::DrainResults() {
    for (;;) {
        const int next = mysql_next_result(mysql_.get());
        if (next > 0)
            Fail();
        if (next < 0)
            return;
        StoreResult();
    }
}

bool MySqlSession::QueryQuietly(std::string_view sql) {
    if (mysql_real_query(mysql_.get(), sql.data(), sql.size()) != 0) {
        NoteLoss();
        return false;
    }
    for (;;) {
        ResultHandle result(mysql_store_result(mysql_.get()));
        const int next =
            !result && mysql_field_count(mysql_.get()) != 0 ? 1 : mysql_next_result(mysql_.get());
        if (next > 0) {
            NoteLoss();
            return false;
        }
        if (next < 0)
            return true;
    }
}

void MySqlSession::Fail() {
    NoteLoss();
    if (mysql_errno(mysql_.get()) == ER_TOO_BIG_ROWSIZE)
        throw RowTooLargeError(mysql_error(mysql_.get()));
    throw DataAccessError(mysql_error(mysql_.get()));
}

bool MySqlSession::SupportsBulk() const {
    // MariaDB announces bulk execution among its extended capabilities; MySQL has none.
    unsigned long capabilities = 0;
    unsigned long extended = 0;
    if (mariadb_get_infov(mysql_.get(), MARIADB_CONNECTION_SERVER_CAPABILITIES, &capabilities) ||
        mariadb_get_infov(mysql_.get(), MARIADB_CONNECTION_EXTENDED_SERVER_CAPABILITIES, &extended))
        return false;
    return (capabilities & CLIENT_MYSQL) == 0 &&
           (extended & (MARIADB_CLIENT_STMT_BULK_OPERATIONS >> 32)) != 0;
}

std::vector<std::string> MySqlSession::FirstColumn(std::string_view query) {
    CheckLength(query);
    Send(query);
    ResultHandle result = StoreResult();
    DrainResults();
    std::vector<std::string> values;
    while (MYSQL_ROW row = result ? mysql_fetch_row(result.get()) : nullptr) {
        const unsigned long* lengths = mysql_fetch_lengths(result.get());
        values.emplace_back(row[0] ? row[0] : "", row[0] ? lengths[0] : 0);
    }
    return values;
}

// Removes the sql_mode words that change how statements are read (see IsUnwantedSqlMode) and
// makes every table strict: a value that does not fit is refused rather than quietly changed,
// in a multi-row statement as much as in a single-row one. NO_AUTO_VALUE_ON_ZERO keeps a 0 in
// a column that becomes AUTO_INCREMENT a 0 instead of a newly counted number.
void MySqlSession::NormaliseSqlMode() {
    const auto modes = FirstColumn("SELECT @@SESSION.sql_mode");
    if (modes.empty())
        return;
    const std::string& current = modes.front();
    std::string wanted = WithoutUnwantedSqlModes(current);
    for (const std::string_view mode : {"STRICT_ALL_TABLES", "NO_AUTO_VALUE_ON_ZERO"}) {
        if (("," + wanted + ",").find("," + std::string(mode) + ",") == std::string::npos)
            wanted += wanted.empty() ? std::string(mode) : "," + std::string(mode);
    }
    if (wanted == current)
        return;
    std::string escaped(wanted.size() * 2 + 1, '\0');
    escaped.resize(
        mysql_real_escape_string(mysql_.get(), escaped.data(), wanted.data(), wanted.size()));
    const std::string statement = "SET SESSION sql_mode = '" + escaped + "'";
    Send(statement);
    StoreResult();
    DrainResults();
}

// A table that another session keeps locked makes DROP TABLE wait, by default for a day; the
// server gives up after half the read timeout instead, so the statement fails with the server's
// own reason while the connection stays usable.
void MySqlSession::LimitLockWaits() {
    const unsigned seconds = std::max(1u, target_.read_timeout_seconds / 2);
    QueryQuietly("SET SESSION lock_wait_timeout = " + std::to_string(seconds));
}

// Reads the largest statement the server accepts; the batch budget follows from it.
void MySqlSession::ReadPacketLimit() {
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

void MySqlSession::ReadWriteSetLimits() {
    commit_rows_ = kCommitRows;
    commit_bytes_ = kCommitBytes;
    // Servers without Galera do not know the variables; 0 rows means no limit.
    constexpr std::string_view kQuery = "SELECT @@wsrep_max_ws_rows, @@wsrep_max_ws_size";
    if (mysql_real_query(mysql_.get(), kQuery.data(), kQuery.size()) != 0)
        return;
    ResultHandle result(mysql_store_result(mysql_.get()));
    MYSQL_ROW row = result ? mysql_fetch_row(result.get()) : nullptr;
    if (!row || !row[0] || !row[1])
        return;
    const unsigned long long rows = std::strtoull(row[0], nullptr, 10);
    const unsigned long long bytes = std::strtoull(row[1], nullptr, 10);
    if (rows > 1)
        commit_rows_ = std::min<std::size_t>(kCommitRows, static_cast<std::size_t>(rows / 2));
    if (bytes > 1)
        commit_bytes_ = std::min<std::size_t>(kCommitBytes, static_cast<std::size_t>(bytes / 2));
}

void InitClientLibrary() {
    InitClientLibraryOnce();
}

std::unique_ptr<Recordset> OpenResult(ResultHandle result) {
    return std::make_unique<MySqlRecordset>(std::move(result));
}

std::unique_ptr<Recordset> OpenStreamedResult(MySqlSession& session, std::string_view sql) {
    session.CheckLength(sql);
    session.Send(sql);
    ResultHandle result(mysql_use_result(session.Handle()));
    if (!result)
        session.Fail();
    return std::make_unique<MySqlRecordset>(std::move(result), &session);
}

} // namespace tw::data::mysql

namespace tw::data {

std::string DefaultSocketPath() {
    const char* environment = std::getenv("MYSQL_UNIX_PORT");
    return environment && *environment ? environment : MARIADB_UNIX_ADDR;
}

} // namespace tw::data
