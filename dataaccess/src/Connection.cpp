#include "tablewright/dataaccess/DataAccess.h"
#include "tablewright/dataaccess/Destination.h"

#include "tablewright/dataaccess/AccessProvider.h"
#include "tablewright/dataaccess/ConnectionString.h"
#include "tablewright/dataaccess/MySqlProvider.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <iterator>
#include <system_error>
#include <utility>

namespace tw::data {

namespace {

bool ContainsNoCase(std::string_view text, std::string_view needle) {
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
    if (needle.size() > text.size())
        return false;
    for (std::size_t i = 0; i + needle.size() <= text.size(); ++i) {
        std::size_t k = 0;
        while (k < needle.size() && lower(text[i + k]) == lower(needle[k]))
            ++k;
        if (k == needle.size())
            return true;
    }
    return false;
}

// A timeout in whole seconds from the connection string; the default when absent or 0.
unsigned TimeoutValue(const std::vector<ConnectionStringPart>& parts, std::string_view key) {
    const auto text = FindConnectionValue(parts, key);
    if (!text)
        return kDefaultServerTimeoutSeconds;
    unsigned seconds = 0;
    auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), seconds);
    if (ec != std::errc() || end != text->data() + text->size())
        throw DataAccessError("超时值无效：'" + *text + "'。");
    return seconds == 0 ? kDefaultServerTimeoutSeconds : seconds;
}

constexpr int kDefaultPort = 3306;

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && ContainsNoCase(a, b);
}

bool IsLocalHost(std::string_view host) {
    return host.empty() || EqualsNoCase(host, "localhost");
}

// Connector/ODBC writes its switches as 1 and 0.
bool Switch(const std::vector<ConnectionStringPart>& parts, std::string_view key) {
    return FindConnectionValue(parts, key) == "1";
}

constexpr std::pair<MySqlProtocol, std::string_view> kProtocolNames[] = {
    {MySqlProtocol::Default, "DEFAULT"},
    {MySqlProtocol::Tcp, "TCP"},
    {MySqlProtocol::Socket, "SOCKET"},
};

// A server named by host and port alone (the window's connection boxes): "localhost" at the
// default port is the local server as the mariadb client reaches it, through its Unix socket,
// where a stock Debian server lets root in without a password; when there is no socket file
// there, the same server over TCP. Every other host and port is reached over TCP.
void ChooseHostAndPortProtocol(MySqlTarget& target) {
    target.protocol = MySqlProtocol::Tcp;
    if (!IsLocalHost(target.host) || (target.port != 0 && target.port != kDefaultPort))
        return;
    const std::string socket = target.socket.empty() ? DefaultSocketPath() : target.socket;
    std::error_code ignored;
    if (!std::filesystem::is_socket(socket, ignored))
        return;
    target.protocol = MySqlProtocol::Default;
    target.socket = socket;
}

MySqlTarget TargetFromString(const std::vector<ConnectionStringPart>& parts) {
    MySqlTarget target;
    target.host = FindConnectionValue(parts, "SERVER").value_or("");
    target.user = FindConnectionValue(parts, "UID").value_or("");
    const auto password = FindConnectionValue(parts, "PWD");
    target.password = password.value_or("");
    target.password_given = password.has_value();
    target.port = 0;
    if (const auto port_text = FindConnectionValue(parts, "PORT")) {
        int port = 0;
        auto [end, ec] =
            std::from_chars(port_text->data(), port_text->data() + port_text->size(), port);
        if (ec != std::errc() || end != port_text->data() + port_text->size() || port <= 0 ||
            port > 65535)
            throw DataAccessError("端口号无效：'" + *port_text + "'。");
        target.port = port;
    }
    target.socket = FindConnectionValue(parts, "SOCKET").value_or("");
    if (const auto protocol = FindConnectionValue(parts, "PROTOCOL")) {
        const auto* known =
            std::find_if(std::begin(kProtocolNames), std::end(kProtocolNames),
                         [&](const auto& name) { return EqualsNoCase(name.second, *protocol); });
        if (known == std::end(kProtocolNames))
            throw DataAccessError("连接协议无效：'" + *protocol + "'。");
        target.protocol = known->first;
    } else {
        ChooseHostAndPortProtocol(target);
    }
    // MariaDB Connector/ODBC's names for encryption and for reading option files.
    target.tls.enabled = Switch(parts, "FORCETLS");
    target.tls.ca = FindConnectionValue(parts, "SSLCA").value_or("");
    target.tls.cert = FindConnectionValue(parts, "SSLCERT").value_or("");
    target.tls.key = FindConnectionValue(parts, "SSLKEY").value_or("");
    target.tls.verify_server_cert = Switch(parts, "SSLVERIFY");
    target.option_files.read = Switch(parts, "USE_MYCNF");
    target.option_files.only_file = FindConnectionValue(parts, "DEFAULTS_FILE").value_or("");
    target.option_files.extra_file = FindConnectionValue(parts, "DEFAULTS_EXTRA_FILE").value_or("");
    // Connector/ODBC's names for the timeouts, in seconds; absent or 0 keeps the default.
    target.read_timeout_seconds = TimeoutValue(parts, "READTIMEOUT");
    target.write_timeout_seconds = TimeoutValue(parts, "WRITETIMEOUT");
    return target;
}

std::unique_ptr<Provider> OpenFromString(const std::string& connection_string) {
    const auto parts = ParseConnectionString(connection_string);
    if (auto provider = FindConnectionValue(parts, "Provider")) {
        if (!ContainsNoCase(*provider, "Jet.OLEDB") && !ContainsNoCase(*provider, "ACE.OLEDB"))
            throw DataAccessError("找不到提供程序 '" + *provider + "'。");
        auto path = FindConnectionValue(parts, "Data Source");
        if (!path || path->empty())
            throw DataAccessError("连接字符串中没有指定数据库文件。");
        return OpenAccessProvider(*path, FindConnectionValue(parts, "Jet OLEDB:Database Password"));
    }
    if (auto driver = FindConnectionValue(parts, "DRIVER")) {
        if (!ContainsNoCase(*driver, "MySQL") && !ContainsNoCase(*driver, "MariaDB"))
            throw DataAccessError("找不到驱动程序 '" + *driver + "'。");
        return OpenMySqlProvider(TargetFromString(parts));
    }
    throw DataAccessError("连接字符串无法识别：既没有 Provider 也没有 DRIVER。");
}

} // namespace

std::string MySqlConnectionString(const MySqlTarget& target) {
    std::string text = "DRIVER={MySQL ODBC 3.51 Driver}";
    auto add = [&text](std::string_view key, std::string_view value) {
        text += ';';
        text += key;
        text += '=';
        text += QuoteConnectionValue(value);
    };
    if (!target.host.empty())
        add("SERVER", target.host);
    if (!target.user.empty())
        add("UID", target.user);
    if (target.password_given)
        add("PWD", target.password);
    if (target.port > 0)
        add("PORT", std::to_string(target.port));
    if (!target.socket.empty())
        add("SOCKET", target.socket);
    for (const auto& [protocol, name] : kProtocolNames)
        if (protocol == target.protocol)
            add("PROTOCOL", name);
    if (target.tls.enabled)
        add("FORCETLS", "1");
    if (!target.tls.ca.empty())
        add("SSLCA", target.tls.ca);
    if (!target.tls.cert.empty())
        add("SSLCERT", target.tls.cert);
    if (!target.tls.key.empty())
        add("SSLKEY", target.tls.key);
    if (target.tls.verify_server_cert)
        add("SSLVERIFY", "1");
    if (target.option_files.read)
        add("USE_MYCNF", "1");
    if (!target.option_files.only_file.empty())
        add("DEFAULTS_FILE", target.option_files.only_file);
    if (!target.option_files.extra_file.empty())
        add("DEFAULTS_EXTRA_FILE", target.option_files.extra_file);
    add("READTIMEOUT", std::to_string(target.read_timeout_seconds));
    add("WRITETIMEOUT", std::to_string(target.write_timeout_seconds));
    return text;
}

ProviderFactory DefaultProviderFactory() {
    return &OpenFromString;
}

Connection::Connection(ProviderFactory factory) : factory_(std::move(factory)) {}

Connection::~Connection() {
    Close();
}

void Connection::Open(const std::string& connection_string) {
    Close();
    try {
        provider_ = factory_(connection_string);
        if (!provider_)
            throw DataAccessError("无法打开连接。");
        Configure();
    } catch (const DataAccessError& e) {
        last_error_ = e.what();
        throw;
    }
}

void Connection::Configure() {
    provider_->SetBatchRows(batch_rows_);
    provider_->SetFailureHandler([this](const std::string& error) {
        last_error_ = error;
        if (failure_handler_)
            failure_handler_(error);
    });
}

void Connection::SetBatchRows(int rows) {
    batch_rows_ = rows < 1 ? 1 : rows;
    if (provider_)
        provider_->SetBatchRows(batch_rows_);
}

void Connection::SetFailureHandler(FailureHandler handler) {
    failure_handler_ = std::move(handler);
}

void Connection::Close() noexcept {
    if (!provider_)
        return;
    try {
        provider_->Flush();
    } catch (const DataAccessError& e) {
        last_error_ = e.what();
    }
    destination_.reset();
    provider_.reset();
}

Provider& Connection::Require() {
    if (!provider_) {
        last_error_ = "连接未打开。";
        throw DataAccessError(last_error_);
    }
    return *provider_;
}

// Runs a call on the provider; a failure is kept as LastError() and passed on.
template <typename Call>
auto Connection::Guarded(Call&& call) -> decltype(call(std::declval<Provider&>())) {
    try {
        return call(Require());
    } catch (const DataAccessError& e) {
        last_error_ = e.what();
        throw;
    }
}

void Connection::Execute(std::string_view sql) {
    Guarded([&](Provider& p) { p.Execute(sql); });
}

std::unique_ptr<Recordset> Connection::OpenRecordset(std::string_view sql) {
    return Guarded([&](Provider& p) { return p.OpenRecordset(sql); });
}

std::vector<SchemaTableRow> Connection::OpenSchemaTables() {
    return Guarded([&](Provider& p) { return p.SchemaTables(); });
}

std::unique_ptr<Recordset> Connection::OpenTable(const std::string& table) {
    return Guarded([&](Provider& p) { return p.OpenTable(table); });
}

TableSchema Connection::ReadTableSchema(const std::string& table) {
    return Guarded([&](Provider& p) { return p.ReadTableSchema(table); });
}

std::vector<ComplexColumnSchema> Connection::ReadComplexColumns(const std::string& table) {
    return Guarded([&](Provider& p) { return p.ReadComplexColumns(table); });
}

std::unique_ptr<Recordset> Connection::OpenComplexValues(const std::string& table,
                                                         const std::string& column) {
    return Guarded([&](Provider& p) { return p.OpenComplexValues(table, column); });
}

std::vector<RelationshipSchema> Connection::ReadRelationships() {
    return Guarded([&](Provider& p) { return p.ReadRelationships(); });
}

std::vector<QuerySchema> Connection::ReadQueries() {
    return Guarded([](Provider& p) { return p.ReadQueries(); });
}

void Connection::EnsureConnected() {
    Guarded([](Provider& p) { p.EnsureConnected(); });
}

void Connection::Flush() {
    Guarded([](Provider& p) { p.Flush(); });
}

Destination& Connection::AsDestination() {
    Provider& provider = Require();
    if (Destination* own = provider.AsDestination())
        return *own;
    if (!destination_)
        destination_ = std::make_unique<StatementDestination>(provider);
    return *destination_;
}

// Sources that know no tables of their own answer as a query-only source would.
std::unique_ptr<Recordset> Provider::OpenTable(const std::string& table) {
    throw DataAccessError("无法按表名读取 '" + table + "'：此数据源不支持。");
}

std::unique_ptr<Recordset> Provider::OpenComplexValues(const std::string& table,
                                                       const std::string& column) {
    throw DataAccessError("无法读取表 '" + table + "' 的列 '" + column +
                          "' 的值：此数据源不支持。");
}

TableSchema Provider::ReadTableSchema(const std::string& table) {
    throw DataAccessError("无法读取表 '" + table + "' 的定义：此数据源不支持。");
}

} // namespace tw::data
