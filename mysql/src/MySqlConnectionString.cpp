#include "tablewright/mysql/MySqlProvider.h"

#include "tablewright/model/ConnectionString.h"
#include "tablewright/model/DataAccess.h"
#include "tablewright/model/Text.h"

#include <charconv>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

namespace tw::data {

namespace {

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

} // namespace

bool IsMySqlDriver(std::string_view driver) {
    return ContainsNoCase(driver, "MySQL") || ContainsNoCase(driver, "MariaDB");
}

MySqlTarget MySqlTargetFromConnectionString(const std::vector<ConnectionStringPart>& parts) {
    return TargetFromString(parts);
}

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

} // namespace tw::data
