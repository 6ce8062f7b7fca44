#pragma once

#include "tablewright/dataaccess/DataAccess.h"

#include <memory>
#include <string>

namespace tw::data {

/// How long, by default, the server may stay silent (or not take what is sent) before the
/// connection is given up: far longer than any statement of a conversion needs on a working
/// server, short enough that a server that stopped answering does not hold a run for long.
inline constexpr unsigned kDefaultServerTimeoutSeconds = 120;

/// Connection data of a MySQL/MariaDB server, always reached over TCP.
struct MySqlTarget {
    std::string host = "localhost";
    int port = 3306;
    std::string user = "root";
    std::string password;
    /// Seconds to wait for each reply of the server (also bounds connecting and lock waits).
    unsigned read_timeout_seconds = kDefaultServerTimeoutSeconds;
    /// Seconds to wait for the server to take what is sent.
    unsigned write_timeout_seconds = kDefaultServerTimeoutSeconds;
};

/// Connects to a MySQL/MariaDB server; throws DataAccessError with the server's text on failure.
std::unique_ptr<Provider> OpenMySqlProvider(const MySqlTarget& target);

} // namespace tw::data
