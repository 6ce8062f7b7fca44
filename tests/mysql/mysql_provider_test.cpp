// The MySQL provider against the real throwaway server that scripts/test starts.

#include "tablewright/model/AdoTypes.h"
#include "tablewright/model/DataAccess.h"
#include "tablewright/model/Destination.h"
#include "tablewright/model/Text.h"
#include "tablewright/mysql/MySqlProvider.h"
#include "tablewright/providers/Providers.h"

#include "Loopback.h"
#include "TestEnv.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace tw::data {
namespace {

using Clock = std::chrono::steady_clock;

// Every row of a query's result, read through the Recordset interface.
std::vector<std::vector<Value>> ReadAll(Provider& provider, std::string_view sql) {
    auto recordset = provider.OpenRecordset(sql);
    std::vector<std::vector<Value>> rows;
    for (; !recordset->IsEOF(); recordset->MoveNext()) {
        std::vector<Value> row;
        for (int i = 0; i < recordset->FieldCount(); ++i)
            row.push_back(recordset->GetField(i).GetValue());
        rows.push_back(std::move(row));
    }
    EXPECT_EQ(recordset->RecordCount(), static_cast<std::int64_t>(rows.size()));
    return rows;
}

// The single text value a query returns.
std::string Scalar(Provider& provider, std::string_view sql) {
    const auto rows = ReadAll(provider, sql);
    if (rows.size() != 1 || rows[0].size() != 1 || !std::holds_alternative<std::string>(rows[0][0]))
        throw std::runtime_error("expected one text value from: " + std::string(sql));
    return std::get<std::string>(rows[0][0]);
}

std::string Message(const std::function<void()>& action) {
    try {
        action();
    } catch (const DataAccessError& e) {
        return e.what();
    }
    ADD_FAILURE() << "no DataAccessError was thrown";
    return {};
}

// Each test works in a database of its own, so tests can run side by side on one server.
class MySqlProviderTest : public ::testing::Test {
protected:
    void SetUp() override {
        TW_REQUIRE_SERVER(target);
        target_ = target;
        // Database names have at most 64 characters; the test names differ early enough.
        database_ = "tw_mysql_provider_test_";
        for (char c : std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()))
            if (database_.size() < 64)
                database_ += data::AsciiLower(c);
        provider_ = OpenMySqlProvider(target_);
        provider_->Execute("DROP DATABASE IF EXISTS " + database_);
        provider_->Execute("CREATE DATABASE " + database_ + " CHARACTER SET utf8mb4");
        provider_->Execute("USE " + database_);
    }

    void TearDown() override {
        if (database_.empty())
            return;
        provider_.reset();
        OpenMySqlProvider(target_)->Execute("DROP DATABASE IF EXISTS " + database_);
    }

    MySqlTarget target_;
    std::string database_;
    std::unique_ptr<Provider> provider_;
};

TEST_F(MySqlProviderTest, ConnectionStringWithLocalhostReachesTheTcpServerInUtf8mb4) {
    Connection connection{DefaultProviderFactory()};
    connection.Open("DRIVER={MySQL ODBC 3.51 Driver};SERVER=localhost;UID=" + target_.user +
                    ";PWD=" + target_.password + ";PORT=" + std::to_string(target_.port));
    ASSERT_EQ(connection.State(), 1);

    auto session = connection.OpenRecordset(
        "SELECT @@port, HOST, @@character_set_client, @@character_set_connection, "
        "@@character_set_results FROM information_schema.PROCESSLIST "
        "WHERE ID = CONNECTION_ID()");
    ASSERT_FALSE(session->IsEOF());
    EXPECT_EQ(std::get<std::string>(session->GetField(0).GetValue()), std::to_string(target_.port));
    // A TCP client shows as host:port in the process list; a socket client as bare localhost.
    const auto client = std::get<std::string>(session->GetField(1).GetValue());
    EXPECT_NE(client.find(':'), std::string::npos) << client;
    for (int i = 2; i < 5; ++i)
        EXPECT_EQ(std::get<std::string>(session->GetField(i).GetValue()), "utf8mb4");
}

// The window names a server by host and port alone: "localhost" at the default port is the local
// server's Unix socket, as the mariadb client reaches it (a stock Debian server lets root in
// there only), and the same port over TCP when there is no socket file; any other host or port
// is TCP. The socket is the one $MYSQL_UNIX_PORT names, here the test server's.
TEST_F(MySqlProviderTest, WindowsLocalhostAtTheDefaultPortIsTheUnixSocket) {
    const auto socket = test::TestServerSocket();
    if (!socket)
        GTEST_SKIP() << "TABLEWRIGHT_TEST_MYSQL_SOCKET is not set; run scripts/test";
    const std::string port = std::to_string(target_.port);
    // The process list shows a socket client as "localhost", a TCP client as host:port.
    struct Case {
        std::string server, port, socket_file;
        std::string client;
    };
    const std::vector<Case> cases = {
        {"localhost", "3306", *socket, "localhost"},
        {"", "3306", *socket, "localhost"},
        {"LocalHost", "3306", *socket, "localhost"},
        {"localhost", port, *socket, "localhost:"},
        {target_.host, port, *socket, "localhost:"},
        {"localhost", "3306", "/nonexistent/mysqld.sock", "127.0.0.1:3306"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.server + " " + c.port + " " + c.socket_file);
        ::setenv("MYSQL_UNIX_PORT", c.socket_file.c_str(), 1);
        Connection connection{DefaultProviderFactory()};
        try {
            connection.Open("DRIVER={MySQL ODBC 3.51 Driver};SERVER=" + c.server +
                            ";UID=root;PWD=" + target_.password + ";PORT=" + c.port);
        } catch (const DataAccessError& e) {
            // Whatever answers on port 3306 of this machine, if anything, was asked over TCP.
            EXPECT_EQ(std::string(e.what()).rfind("无法连接到 MySQL 服务器 " + c.client + "：", 0),
                      0u)
                << e.what();
            continue;
        }
        auto session = connection.OpenRecordset(
            "SELECT HOST FROM information_schema.PROCESSLIST WHERE ID = CONNECTION_ID()");
        const auto client = std::get<std::string>(session->GetField(0).GetValue());
        if (c.client == "localhost") {
            EXPECT_EQ(client, "localhost");
        } else if (c.client == "localhost:") {
            EXPECT_NE(client.find(':'), std::string::npos) << client;
        }
    }
    ::unsetenv("MYSQL_UNIX_PORT");
}

TEST_F(MySqlProviderTest, TextRoundTripsByteExactAndRecordsetDescribesItsColumns) {
    const std::string text = "北京贸易公司 🙂𝄞 Zoë";
    provider_->Execute("CREATE TABLE t (id INT NOT NULL, s VARCHAR(50), b BLOB, n DECIMAL(19,4), "
                       "u BIGINT UNSIGNED)");
    provider_->Execute("INSERT INTO t VALUES (1, '" + text + "', X'00FF41', -12.5, NULL)");

    auto recordset = provider_->OpenRecordset("SELECT id, s, b, n, u FROM t");
    ASSERT_EQ(recordset->RecordCount(), 1);
    ASSERT_EQ(recordset->FieldCount(), 5);
    auto& s = recordset->GetField(1);
    EXPECT_EQ(s.Name(), "s");
    EXPECT_EQ(s.Type(), adVarWChar);
    EXPECT_EQ(s.DefinedSize(), 50);
    EXPECT_EQ(recordset->GetField(0).Type(), adInteger);
    EXPECT_EQ(recordset->GetField(2).Type(), adLongVarBinary);
    EXPECT_EQ(recordset->GetField(3).Type(), adNumeric);
    EXPECT_EQ(recordset->GetField(3).Precision(), 19);
    EXPECT_EQ(recordset->GetField(3).NumericScale(), 4);
    EXPECT_EQ(recordset->GetField(4).Type(), adUnsignedBigInt);

    // The provider is closed first: the recordset holds its rows by itself.
    provider_.reset();
    EXPECT_EQ(recordset->GetField(0).GetValue(), Value(std::string("1")));
    EXPECT_EQ(s.GetValue(), Value(text));
    EXPECT_EQ(recordset->GetField(2).GetValue(), Value(std::string("\0\xFF"
                                                                   "A",
                                                                   3)));
    EXPECT_EQ(recordset->GetField(3).GetValue(), Value(std::string("-12.5000")));
    EXPECT_TRUE(IsNull(recordset->GetField(4).GetValue()));
    recordset->MoveNext();
    EXPECT_TRUE(recordset->IsEOF());
    EXPECT_THROW(s.GetValue(), DataAccessError);

    // The server holds 13 characters in the text's own bytes: a double encoding that happens
    // to round-trip would store more bytes.
    provider_ = OpenMySqlProvider(target_);
    provider_->Execute("USE " + database_);
    EXPECT_EQ(Scalar(*provider_, "SELECT CONCAT(CHAR_LENGTH(s), ' ', LENGTH(s)) FROM t"),
              "13 " + std::to_string(text.size()));
}

TEST_F(MySqlProviderTest, SessionReadsBackslashesAndDoubleQuotesAsMySqlDoes) {
    const std::string global_mode = Scalar(*provider_, "SELECT @@GLOBAL.sql_mode");
    // ANSI brings ANSI_QUOTES; the global setting is put back right after the connection
    // is made, so that tests running beside this one see it only for that moment.
    provider_->Execute("SET GLOBAL sql_mode = CONCAT(@@GLOBAL.sql_mode, "
                       "',NO_BACKSLASH_ESCAPES,ANSI')");
    std::unique_ptr<Provider> connected;
    std::string failure;
    try {
        connected = OpenMySqlProvider(target_);
    } catch (const DataAccessError& e) {
        failure = e.what();
    }
    provider_->Execute("SET GLOBAL sql_mode = '" + global_mode + "'");
    ASSERT_TRUE(connected) << failure;

    const std::string mode = Scalar(*connected, "SELECT @@SESSION.sql_mode");
    EXPECT_EQ(mode.find("NO_BACKSLASH_ESCAPES"), std::string::npos) << mode;
    EXPECT_EQ(mode.find("ANSI_QUOTES"), std::string::npos) << mode;
    // Only what changes the reading of statements goes; the rest of the server's modes stay.
    EXPECT_NE(mode.find("STRICT_TRANS_TABLES"), std::string::npos) << mode;
    EXPECT_NE(mode.find("PIPES_AS_CONCAT"), std::string::npos) << mode;

    EXPECT_EQ(Scalar(*connected, R"(SELECT 'it\'s C:\\Data\\')"), R"(it's C:\Data\)");
    EXPECT_EQ(Scalar(*connected, R"(SELECT "double \"quoted\"")"), R"(double "quoted")");
}

TEST_F(MySqlProviderTest, RefusedStatementThrowsServerTextAndConnectionStaysUsable) {
    EXPECT_NE(Message([&] {
                  provider_->Execute("CREATE TABL t (id INT)");
              }).find("You have an error in your SQL syntax"),
              std::string::npos);

    provider_->Execute("CREATE TABLE t (id INT PRIMARY KEY)");
    provider_->Execute("INSERT INTO t VALUES (1)");
    EXPECT_NE(Message([&] {
                  provider_->Execute("INSERT INTO t VALUES (1)");
              }).find("Duplicate entry '1'"),
              std::string::npos);
    // Several statements in one string are refused rather than run in part.
    EXPECT_THROW(provider_->Execute("INSERT INTO t VALUES (7); INSERT INTO t VALUES (8)"),
                 DataAccessError);

    // Results of executed queries and every result set of a procedure are read off the wire.
    provider_->Execute("SELECT * FROM t");
    provider_->Execute("CREATE PROCEDURE two_results() BEGIN SELECT 1; SELECT 2; END");
    provider_->Execute("CALL two_results()");
    EXPECT_EQ(Scalar(*provider_, "CALL two_results()"), "1");
    provider_->Execute("INSERT INTO t VALUES (2)");
    EXPECT_EQ(Scalar(*provider_, "SELECT GROUP_CONCAT(id ORDER BY id) FROM t"), "1,2");
}

TEST_F(MySqlProviderTest, ConnectFailuresAreQuickAndNeverShowThePassword) {
    const std::string password = "tw-Secret-Pa55";
    const std::string server = "无法连接到 MySQL 服务器 127.0.0.1:";

    MySqlTarget wrong_password = target_;
    wrong_password.host = "localhost";
    wrong_password.password = password;
    auto started = Clock::now();
    const std::string denied = Message([&] { OpenMySqlProvider(wrong_password); });
    EXPECT_LT(Clock::now() - started, std::chrono::seconds(5));
    EXPECT_EQ(denied.rfind(server + std::to_string(target_.port) + "：", 0), 0u) << denied;
    EXPECT_NE(denied.find("Access denied"), std::string::npos) << denied;
    EXPECT_EQ(denied.find(password), std::string::npos) << denied;

    // A socket that is bound but not listening refuses every connection to its port.
    std::optional<test::LoopbackSocket> bound(std::in_place);
    ASSERT_NE(bound->Port(), 0);
    MySqlTarget closed_port = wrong_password;
    closed_port.port = bound->Port();
    started = Clock::now();
    const std::string refused = Message([&] { OpenMySqlProvider(closed_port); });
    bound.reset();
    EXPECT_LT(Clock::now() - started, std::chrono::seconds(5));
    EXPECT_EQ(refused.rfind(server + std::to_string(closed_port.port) + "：", 0), 0u) << refused;
    EXPECT_EQ(refused.find(password), std::string::npos) << refused;
}

TEST_F(MySqlProviderTest, StatementsArriveWholeWithNulBytesAndLongValues) {
    provider_->Execute("CREATE TABLE t (id INT PRIMARY KEY, v LONGTEXT)");
    provider_->Execute(R"(INSERT INTO t VALUES (1, 'a\0b'))");
    std::string raw_nul = "INSERT INTO t VALUES (2, 'c";
    raw_nul += '\0';
    raw_nul += "d')";
    provider_->Execute(raw_nul);
    std::string long_value;
    for (int i = 0; long_value.size() < 4 * 1024 * 1024; ++i)
        long_value += "line " + std::to_string(i) + " 北京\n";
    provider_->Execute("INSERT INTO t VALUES (3, '" + long_value + "')");

    const auto rows = ReadAll(*provider_, "SELECT v FROM t ORDER BY id");
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0][0], Value(std::string("a\0b", 3)));
    EXPECT_EQ(rows[1][0], Value(std::string("c\0d", 3)));
    EXPECT_EQ(rows[2][0], Value(long_value));
}

TEST_F(MySqlProviderTest, SchemaTablesListsTablesAndViewsOfTheCurrentDatabase) {
    provider_->Execute("CREATE TABLE `订单` (id INT)");
    provider_->Execute("CREATE TABLE `Lines` (id INT)");
    provider_->Execute("CREATE VIEW big_orders AS SELECT id FROM `订单`");

    auto tables = provider_->SchemaTables();
    std::vector<std::pair<std::string, std::string>> listed;
    for (const auto& table : tables)
        listed.emplace_back(table.table_name, table.table_type);
    std::sort(listed.begin(), listed.end());
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"Lines", "TABLE"}, {"big_orders", "VIEW"}, {"订单", "TABLE"}};
    EXPECT_EQ(listed, expected);

    EXPECT_TRUE(OpenMySqlProvider(target_)->SchemaTables().empty());
}

// Rows appended to the destination arrive in multi-row statements: in bulk (values, no SQL
// text) into a table the destination made, as INSERT text into one that was there before. On
// both ways a refused statement is sent again row by row, so exactly the refused rows fail,
// each with the server's own error, and every other row arrives once, also when the error
// names no row (a NULL in a NOT NULL column) and the table keeps the rows before it.
TEST_F(MySqlProviderTest, BatchedRowsFailRowByRowAndKeepEveryOtherRow) {
    Destination& destination = *provider_->AsDestination();
    ColumnSchema s{"s", 0, adVarWChar, 3};
    s.required = true;
    TableSchema table{"B`T",
                      {{"n", 0, adInteger, 4}, s, {"d", 0, adDate, 8}, {"b", 0, adTinyInt, 1}}};
    // Row number -> the bad value and the error it must fail with.
    const std::map<int, std::pair<int, std::string>> bad = {
        {3, {1, "Data too long for column 's' at row 1"}},
        {9, {2, "Incorrect datetime value: '2021-02-30 00:00:00' for column "}},
        {17, {1, "Column 's' cannot be null"}},
        {24, {3, "Out of range value for column 'b' at row 1"}},
        {38, {1, "Data too long for column 's' at row 1"}},
    };
    for (const std::string engine : {"MyISAM", "InnoDB"}) {
        for (const bool made_here : {true, false}) {
            SCOPED_TRACE(engine + (made_here ? " bulk" : " text"));
            destination.DropTable(table.name);
            if (made_here) {
                std::vector<std::string> notes;
                destination.CreateTable(table, TableOptions{engine, true}, notes);
            } else {
                provider_->Execute("CREATE TABLE `b``t`(n int, s varchar(3) NOT NULL, d datetime, "
                                   "b tinyint) ENGINE=" +
                                   engine);
                provider_->Execute("INSERT INTO `b``t` VALUES (0, 'old', NULL, 0)");
            }
            std::vector<std::string> failures;
            provider_->SetFailureHandler([&](const std::string& e) { failures.push_back(e); });
            provider_->SetBatchRows(7);
            destination.BeginRows(table);
            for (int i = 1; i <= 40; ++i) {
                Value row[] = {std::int64_t{i}, std::string("ok"), DateTime{2021, 2, 28},
                               std::int64_t{i}};
                if (const auto it = bad.find(i); it != bad.end()) {
                    const int column = it->second.first;
                    row[column] = column == 1   ? (i == 17 ? Value{} : Value{std::string("long")})
                                  : column == 2 ? Value{DateTime{2021, 2, 30}}
                                                : Value{std::int64_t{300}};
                }
                destination.AppendRow(row);
            }
            destination.EndTable();
            ASSERT_EQ(failures.size(), bad.size());
            std::size_t k = 0;
            for (const auto& [row, expected] : bad) {
                SCOPED_TRACE(row);
                EXPECT_EQ(failures[k++].rfind(expected.second, 0), 0u);
            }
            const int old = made_here ? 0 : 1;
            EXPECT_EQ(Scalar(*provider_, "SELECT COUNT(*) FROM `b``t`"),
                      std::to_string(40 - bad.size() + old));
            EXPECT_EQ(Scalar(*provider_, "SELECT COUNT(DISTINCT n) FROM `b``t`"),
                      std::to_string(40 - bad.size() + old));
            int sum = 40 * 41 / 2;
            for (const auto& entry : bad)
                sum -= entry.first;
            EXPECT_EQ(Scalar(*provider_, "SELECT SUM(n) FROM `b``t`"), std::to_string(sum));
            EXPECT_EQ(Scalar(*provider_, "SELECT COUNT(*) FROM `b``t` WHERE s = 'ok' AND "
                                         "d = '2021-02-28' AND b = n"),
                      std::to_string(40 - bad.size()));
        }
    }
}

// Rows held back are visible to other sessions after Flush, and one-row batches behave as
// single statements.
TEST_F(MySqlProviderTest, FlushCommitsHeldBackRowsForOtherSessions) {
    Destination& destination = *provider_->AsDestination();
    TableSchema table{"t", {{"n", 0, adInteger, 4}}};
    std::vector<std::string> notes;
    destination.CreateTable(table, TableOptions{"InnoDB"}, notes);
    destination.BeginRows(table);
    for (int i = 0; i < 2500; ++i) {
        const Value row[] = {std::int64_t{i}};
        destination.AppendRow(row);
    }
    provider_->Flush();
    auto other = OpenMySqlProvider(target_);
    EXPECT_EQ(Scalar(*other, "SELECT COUNT(*) FROM " + database_ + ".t"), "2500");

    std::vector<std::string> failures;
    provider_->SetFailureHandler([&](const std::string& e) { failures.push_back(e); });
    provider_->SetBatchRows(1);
    const Value bad[] = {std::string("x")};
    EXPECT_THROW(destination.AppendRow(bad), DataAccessError);
    EXPECT_TRUE(failures.empty()); // refused at once, not held back
}

} // namespace
} // namespace tw::data
