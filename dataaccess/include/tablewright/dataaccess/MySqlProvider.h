#pragma once

#include "tablewright/dataaccess/DataAccess.h"

#include <memory>
#include <string>

namespace tw::data {

/// Connection data of a MySQL/MariaDB server, always reached over TCP.
struct MySqlTarget {
    std::string host = "localhost";
    int port = 3306;
    std::string user = "root";
    std::string password;
};

/// Connects to a MySQL/MariaDB server; throws DataAccessError with the server's text on failure.
std::unique_ptr<Provider> OpenMySqlProvider(const MySqlTarget& target);

} // namespace tw::data
