// The prepared statement's handle: closed once when it goes, also when the connection under it
// is gone and the server cannot be told (the sanitizer build would report a leak or a double
// free).
#include "MySqlInternals.h"
#include "TestEnv.h"

#include <gtest/gtest.h>

#include <string>
#include <type_traits>
#include <utility>

namespace tw::data::mysql {
namespace {

static_assert(!std::is_copy_constructible_v<StatementHandle> &&
              std::is_nothrow_move_constructible_v<StatementHandle> &&
              std::is_nothrow_destructible_v<StatementHandle>);

MysqlHandle Connect(const MySqlTarget& target) {
    MysqlHandle mysql(mysql_init(nullptr));
    if (mysql && !mysql_real_connect(mysql.get(), target.host.c_str(), target.user.c_str(),
                                     target.password.c_str(), nullptr,
                                     static_cast<unsigned>(target.port), nullptr, 0))
        mysql.reset();
    return mysql;
}

TEST(StatementHandle, ClosesAlsoAfterTheConnectionWasKilled) {
    TW_REQUIRE_SERVER(target);
    MysqlHandle mysql = Connect(target);
    MysqlHandle killer = Connect(target);
    ASSERT_TRUE(mysql && killer);
    StatementHandle statement(mysql_stmt_init(mysql.get()));
    ASSERT_TRUE(statement);
    const std::string sql = "SELECT ?";
    ASSERT_EQ(mysql_stmt_prepare(statement.get(), sql.data(), sql.size()), 0)
        << mysql_stmt_error(statement.get());
    StatementHandle moved = std::move(statement);
    EXPECT_FALSE(statement);
    ASSERT_TRUE(moved);

    const std::string kill = "KILL CONNECTION " + std::to_string(mysql_thread_id(mysql.get()));
    ASSERT_EQ(mysql_query(killer.get(), kill.c_str()), 0) << mysql_error(killer.get());
    // The statement cannot run on the dead connection; closing it still frees it.
    EXPECT_NE(mysql_stmt_execute(moved.get()), 0);
    moved.reset();
    EXPECT_FALSE(moved);
}

} // namespace
} // namespace tw::data::mysql
