#pragma once

#include "tablewright/mysql/MySqlProvider.h"
#include "tablewright/providers/Providers.h"

#include <cstdlib>
#include <optional>
#include <string>

namespace tw::test {

/// Path of a file of the shared test data (TABLEWRIGHT_TESTDATA overrides the built-in folder).
inline std::string TestDataPath(const std::string& name) {
    const char* env = std::getenv("TABLEWRIGHT_TESTDATA");
    std::string dir = env && *env ? env : TABLEWRIGHT_TESTDATA_DIR;
    return dir + "/" + name;
}

/// The throwaway server that scripts/test starts, named by TABLEWRIGHT_TEST_MYSQL_* variables.
inline std::optional<data::MySqlTarget> TestServer() {
    const char* port = std::getenv("TABLEWRIGHT_TEST_MYSQL_PORT");
    if (!port || !*port)
        return std::nullopt;
    data::MySqlTarget target;
    const char* host = std::getenv("TABLEWRIGHT_TEST_MYSQL_HOST");
    const char* user = std::getenv("TABLEWRIGHT_TEST_MYSQL_USER");
    const char* password = std::getenv("TABLEWRIGHT_TEST_MYSQL_PASSWORD");
    target.host = host && *host ? host : "127.0.0.1";
    target.port = std::atoi(port);
    target.user = user && *user ? user : "root";
    target.password = password ? password : "";
    return target;
}

/// The Unix socket of the same server (TABLEWRIGHT_TEST_MYSQL_SOCKET), if it is named.
inline std::optional<std::string> TestServerSocket() {
    const char* socket = std::getenv("TABLEWRIGHT_TEST_MYSQL_SOCKET");
    if (!socket || !*socket)
        return std::nullopt;
    return std::string(socket);
}

} // namespace tw::test

/// Skips the current test when no test server is configured (scripts/test always configures one).
#define TW_REQUIRE_SERVER(target_var)                                                              \
    auto target_var##_opt = ::tw::test::TestServer();                                              \
    if (!target_var##_opt)                                                                         \
        GTEST_SKIP() << "TABLEWRIGHT_TEST_MYSQL_PORT is not set; run scripts/test";                \
    const ::tw::data::MySqlTarget& target_var = *target_var##_opt
