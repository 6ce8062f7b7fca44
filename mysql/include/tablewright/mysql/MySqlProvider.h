#pragma once

#include "tablewright/model/ConnectionString.h"
#include "tablewright/model/DataAccess.h"

#include <memory>
#include <string>

namespace tw::data {

/// How long, by default, the server may stay silent (or not take what is sent) before the
/// connection is given up: far longer than any statement of a conversion needs on a working
/// server, short enough that a server that stopped answering does not hold a run for long.
inline constexpr unsigned kDefaultServerTimeoutSeconds = 120;

/// How the server is reached.
enum class MySqlProtocol {
    /// As the mariadb client: "localhost" (or no host) through the Unix socket, any other host
    /// over TCP; an option file's protocol setting still applies.
    Default,
    /// Over TCP; a "localhost" that was given means the loopback address.
    Tcp,
    /// Through the Unix socket when the host is "localhost" (or none), any other host over TCP,
    /// as Connector/C does.
    Socket,
};

/// Encryption of the connection, as Connector/C's MYSQL_OPT_SSL_* options have it.
struct MySqlTls {
    /// Encrypt the connection when the server offers it (TCP only; MYSQL_OPT_SSL_ENFORCE).
    bool enabled = false;
    std::string ca;
    std::string cert;
    std::string key;
    /// Refuse a server that offers no encryption, or whose certificate does not check out
    /// against `ca` (or the system's authorities) or does not name the host connected to.
    bool verify_server_cert = false;
};

/// The option files that fill in what a MySqlTarget leaves open, read by Connector/C: the groups
/// [client], [client-server], [client-mariadb] and [tablewright].
struct MySqlOptionFiles {
    bool read = false;
    /// Only this file instead of the usual ones (/etc/my.cnf, /etc/mysql/my.cnf, ~/.my.cnf).
    std::string only_file;
    /// This file too, after the usual ones.
    std::string extra_file;
};

/// Connection data of a MySQL/MariaDB server. As with the mariadb client, what is left open (an
/// empty host or user, port 0, password_given false, an empty socket) comes from the option files
/// when they are read, then from MYSQL_HOST, MYSQL_TCP_PORT, MYSQL_UNIX_PORT and MYSQL_PWD, then
/// from the client's defaults (localhost, 3306, the login name, no password, the Unix socket
/// /run/mysqld/mysqld.sock): what is given always wins.
struct MySqlTarget {
    std::string host = "localhost";
    int port = 3306;
    std::string user = "root";
    std::string password;
    bool password_given = true;
    /// The Unix socket file.
    std::string socket;
    MySqlProtocol protocol = MySqlProtocol::Tcp;
    MySqlTls tls;
    MySqlOptionFiles option_files;
    /// Seconds to wait for each reply of the server (also bounds connecting and lock waits).
    unsigned read_timeout_seconds = kDefaultServerTimeoutSeconds;
    /// Seconds to wait for the server to take what is sent.
    unsigned write_timeout_seconds = kDefaultServerTimeoutSeconds;
};

/// The Unix socket a local server is reached through when none is named: $MYSQL_UNIX_PORT, else
/// the client library's default (/run/mysqld/mysqld.sock on Debian).
std::string DefaultSocketPath();

/// The connection string that Connection::Open reads back as `target`: Connector/ODBC's keys
/// (DRIVER, SERVER, PORT, UID, PWD, SOCKET, SSLCA, ...) for what is given, and PROTOCOL,
/// USE_MYCNF, DEFAULTS_FILE and DEFAULTS_EXTRA_FILE for the rest.
std::string MySqlConnectionString(const MySqlTarget& target);

/// True when an ODBC driver name names MySQL's or MariaDB's driver.
bool IsMySqlDriver(std::string_view driver);

/// The target that a MySQL ODBC connection string names (the inverse of MySqlConnectionString);
/// throws DataAccessError for a port, protocol or timeout that is not valid.
MySqlTarget MySqlTargetFromConnectionString(const std::vector<ConnectionStringPart>& parts);

/// Connects to a MySQL/MariaDB server; throws DataAccessError with the server's text on failure.
std::unique_ptr<Provider> OpenMySqlProvider(const MySqlTarget& target);

} // namespace tw::data
