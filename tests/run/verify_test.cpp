// tablewright-cli --verify and --verify-only on real Access files and a real MariaDB: converted
// tables are found identical, tampered ones are named with the row, the column and both values,
// and tables another tool made are compared without the comparison breaking.
#include "ChildProcess.h"
#include "ServerSession.h"
#include "TestEnv.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <sys/wait.h>
#include <vector>

using namespace tw;
using test::ServerSession;

namespace {

using CliResult = test::ShellResult;
using test::ShellQuoted;

CliResult Shell(const std::string& command) {
    return test::RunShell(command);
}

// The tool with the test server's address and the given arguments.
std::string Cli(const data::MySqlTarget& target, const std::string& arguments) {
    std::string command = std::string(TABLEWRIGHT_CLI_PATH) + " --host " + target.host +
                          " --port " + std::to_string(target.port) + " --user " + target.user;
    if (!target.password.empty())
        command += " --password=" + ShellQuoted(target.password);
    return command + " " + arguments;
}

// The mariadb client on the test server.
std::string Client(const data::MySqlTarget& target, const std::string& database) {
    std::string command =
        "mariadb --protocol=tcp --default-character-set=utf8mb4 --host=" + target.host +
        " --port=" + std::to_string(target.port) + " --user=" + target.user;
    if (!target.password.empty())
        command += " --password=" + ShellQuoted(target.password);
    return command + " " + database;
}

// "name:rows" lines of --list.
std::vector<std::pair<std::string, std::string>> Tables(const std::string& file) {
    const CliResult list =
        Shell(std::string(TABLEWRIGHT_CLI_PATH) + " --list " + ShellQuoted(file) + " 2>/dev/null");
    std::vector<std::pair<std::string, std::string>> tables;
    std::size_t start = 0;
    for (std::size_t end; (end = list.output.find('\n', start)) != std::string::npos;
         start = end + 1) {
        const std::string line = list.output.substr(start, end - start);
        const auto colon = line.rfind(':');
        if (colon != std::string::npos)
            tables.emplace_back(line.substr(0, colon), line.substr(colon + 1));
    }
    return tables;
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

struct Fixture {
    const char* name;
    const char* file;
    const char* arguments;
};

class ConvertedTables : public testing::TestWithParam<Fixture> {};

} // namespace

TEST_P(ConvertedTables, VerifyIdenticalAfterConversion) {
    TW_REQUIRE_SERVER(target);
    const Fixture& fixture = GetParam();
    const std::string file = test::TestDataPath(fixture.file);
    const std::string database = std::string("tw_verify_") + fixture.name;
    ServerSession server(target);
    server.Execute("DROP DATABASE IF EXISTS `" + database + "`");

    const CliResult run = Shell(Cli(target, "--quiet --verify --database " + database + " " +
                                                fixture.arguments + " " + ShellQuoted(file)));
    EXPECT_EQ(run.status, 0) << run.output;
    const auto tables = Tables(file);
    ASSERT_FALSE(tables.empty());
    for (const auto& [table, rows] : tables)
        EXPECT_TRUE(Contains(run.output, "表 '" + table + "'：一致（" + rows + " 行）"))
            << table << "\n"
            << run.output;
    EXPECT_TRUE(
        Contains(run.output, "核对完成：" + std::to_string(tables.size()) + " 个表全部一致"))
        << run.output;

    // The same comparison later, without converting.
    const CliResult again =
        Shell(Cli(target, "--verify-only --database " + database + " " + ShellQuoted(file)));
    EXPECT_EQ(again.status, 0) << again.output;
    EXPECT_TRUE(run.output.ends_with(again.output)) << again.output;
}

INSTANTIATE_TEST_SUITE_P(
    Files, ConvertedTables,
    testing::Values(Fixture{"types_myisam", "gen-types.mdb", "--table-type MyISAM"},
                    Fixture{"types_innodb", "gen-types.mdb", "--table-type InnoDB"},
                    // Bare tables: the rows are still paired by the Access primary key.
                    Fixture{"types_bare", "gen-types.mdb", "--table-type InnoDB --no-keys"},
                    // Server and script file at once.
                    Fixture{"unicode_both", "jet4-2003-unicode.mdb",
                            "--table-type InnoDB --scenario both --script /dev/null"},
                    Fixture{"projects_myisam", "jet4-msp-projects.mdb", "--table-type MyISAM"}),
    [](const testing::TestParamInfo<Fixture>& info) { return std::string(info.param.name); });

// Each change made on the server after a clean conversion is found and named: the row by its key
// (by its place for the table without one), the column, and both values.
TEST(Verify, TamperingIsFoundAndNamed) {
    TW_REQUIRE_SERVER(target);
    const std::string file = test::TestDataPath("gen-types.mdb");
    const std::string database = "tw_verify_tamper";
    struct Case {
        const char* what;
        std::vector<std::string> statements;
        std::vector<std::string> expected;
        // The changed table; the others are reported identical.
        std::string table = "AllTypes";
    };
    const std::vector<Case> cases = {
        {"one character of a text",
         {"UPDATE alltypes SET col_text = 'O''Brian' WHERE id = 1"},
         {"表 'AllTypes'：1 行 1 个值不一致",
          "ID=1，列 'col_text'：Access \"O'Brien\"，服务器 \"O'Brian\""}},
        {"a currency value by 0.0001",
         {"UPDATE alltypes SET col_money = col_money + 0.0001 WHERE id = 3"},
         {"表 'AllTypes'：1 行 1 个值不一致",
          "ID=3，列 'col_money'：Access 922337203685477.5807，服务器 922337203685477.5808"}},
        {"a date by one second",
         {"UPDATE alltypes SET col_datetime = col_datetime + INTERVAL 1 SECOND WHERE id = 1"},
         {"ID=1，列 'col_datetime'：Access 2011-12-14 10:30:00，服务器 2011-12-14 10:30:01"}},
        {"a double in its last bit",
         {"UPDATE alltypes SET col_double = 3.1415926535897936 WHERE id = 1"},
         {"ID=1，列 'col_double'：Access 3.141592653589793，服务器 3.1415926535897936"}},
        {"a single in its last bit",
         {"UPDATE alltypes SET col_float = 1.5000001 WHERE id = 1"},
         {"ID=1，列 'col_float'：Access 1.5，服务器 1.5000001"}},
        {"one byte of a binary value",
         {"UPDATE alltypes SET col_binary = 0x0001275CFE WHERE id = 1"},
         {"ID=1，列 'col_binary'：Access 0x0001275CFF，服务器 0x0001275CFE"}},
        {"one byte deep inside a long OLE value",
         {"UPDATE alltypes SET col_ole = INSERT(col_ole, 50001, 1, 0x34) WHERE id = 13"},
         {"ID=13，列 'col_ole'：Access …2728292A2B2C2D2E2F303132333435363738393A3B3C3D3E…（共 "
          "100000 字节），服务器 …2728292A2B2C2D2E2F303132343435363738393A3B3C3D3E…（共 100000 "
          "字节）"}},
        {"one character deep inside a long memo",
         {"UPDATE alltypes SET col_memo = INSERT(col_memo, 35001, 1, 'X') WHERE id = 13"},
         {"ID=13，列 'col_memo'：Access "
          "…\"000034980;000034990;000035000;000035010;000035020;000035030;\"…（共 70000 个字符），"
          "服务器 …\"000034980;000034990;X00035000;000035010;000035020;000035030;\"…（共 70000 "
          "个字符）"}},
        {"a NULL turned into ''",
         {"UPDATE alltypes SET col_text = '' WHERE id = 2"},
         {"ID=2，列 'col_text'：Access NULL，服务器 \"\""}},
        {"a deleted row",
         {"DELETE FROM alltypes WHERE id = 5"},
         {"表 'AllTypes'：1 行不一致", "行数：Access 13，服务器 12；服务器缺少 1 行",
          "ID=5：服务器上没有这一行"}},
        {"an added row",
         {"INSERT INTO alltypes (id, col_bool, col_text) VALUES (100, 0, 'new')"},
         {"表 'AllTypes'：1 行不一致", "行数：Access 13，服务器 14；服务器多出 1 行",
          "ID=100：服务器上多出的行"}},
        {"a value of the table without a key",
         {"UPDATE `it's` SET `it's col` = 'it''s\there' WHERE id = 1"},
         {"表 'it's'：1 行 1 个值不一致", "没有可用于配对的主键，行按顺序对比",
          "第 1 行，列 'it's col'：Access \"it's here\"，服务器 \"it's\\there\""},
         "it's"},
        {"a dropped table",
         {"DROP TABLE `order details`"},
         {"表 'Order Details'：服务器上没有这个表", "核对完成：2 个表一致，1 个表不一致"},
         "Order Details"},
    };
    ServerSession server(target);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const CliResult conversion =
            Shell(Cli(target, "--quiet --database " + database + " " + ShellQuoted(file)));
        ASSERT_EQ(conversion.status, 0) << conversion.output;
        server.Execute("USE " + database);
        for (const std::string& statement : c.statements)
            server.Execute(statement);

        const CliResult run =
            Shell(Cli(target, "--verify-only --database " + database + " " + ShellQuoted(file)));
        EXPECT_EQ(run.status, 1) << run.output;
        for (const std::string& expected : c.expected)
            EXPECT_TRUE(Contains(run.output, expected)) << expected << "\n" << run.output;
        for (const auto& [table, rows] : Tables(file)) {
            if (table != c.table) {
                EXPECT_TRUE(Contains(run.output, "表 '" + table + "'：一致（" + rows + " 行）"))
                    << run.output;
            }
        }
    }
}

// Tables made and filled by mdbtools (mdb-schema, then mdb-export per table, through the
// mariadb client) keep its spelling of names and its own column types and values: what differs
// from the Access file is reported, and nothing keeps the comparison from ending with 1.
TEST(Verify, TablesOfAnotherToolAreComparedToo) {
    TW_REQUIRE_SERVER(target);
    struct Case {
        const char* file;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        // mdb-export's INSERT for AllTypes holds a NUL byte, which the client refuses; currency
        // lands in float columns.
        {"gen-types.mdb",
         {"表 'AllTypes'：13 行不一致", "行数：Access 13，服务器 0；服务器缺少 13 行",
          "ID=1：服务器上没有这一行", "表 'Order Details'：3 行 3 个值不一致",
          "OrderID=10249，列 'Unit Price'：Access 9.8，服务器 9.80000019073486328125",
          "表 'it's'：一致（3 行）", "核对完成：1 个表一致，2 个表不一致"}},
        // mdb-export does not escape the backslash of the row of all Latin-1 characters.
        {"jet4-2003-unicode.mdb",
         {"表 'Table'：1 行 1 个值不一致",
          "ID=8，列 'Unicode'：Access …\"HIJKLMNOPQRSTUVWXYZ[\\\\]^_`abcdefghijklmnopqrstuvwxyz{|}~"
          "\\x7F\\u0080\\u0081\\u0082\\u0083\"…（共 255 个字符），服务器 …\"HIJKLMNOPQRSTUVWXYZ[]^_"
          "`abcdefghijklmnopqrstuvwxyz{|}~\\x7F\\u0080\\u0081\\u0082\\u0083\\u0084\"…（共 254 "
          "个字符）"}},
    };
    if (Shell("command -v mdb-schema mdb-export mariadb").status != 0)
        GTEST_SKIP()
            << "mdbtools or the mariadb client is not installed (scripts/setup installs them)";
    const std::string database = "tw_verify_mdbtools";
    ServerSession server(target);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const std::string file = test::TestDataPath(c.file);
        server.FreshDatabase(database);
        // mdb-schema also adds foreign keys to system tables it does not create; the client
        // goes on past those statements.
        const std::string client = Client(target, database) + " --force";
        Shell("mdb-schema " + ShellQuoted(file) + " mysql 2>/dev/null | " + client);
        for (const auto& table : Tables(file))
            Shell("mdb-export -I mysql " + ShellQuoted(file) + " " + ShellQuoted(table.first) +
                  " | " + client);

        const CliResult run =
            Shell(Cli(target, "--verify-only --database " + database + " " + ShellQuoted(file)));
        EXPECT_EQ(run.status, 1) << run.output;
        for (const std::string& expected : c.expected)
            EXPECT_TRUE(Contains(run.output, expected)) << expected << "\n" << run.output;
    }
}

TEST(Verify, ScriptOnlyRunHasNothingToVerify) {
    const std::string script = testing::TempDir() + "tw_verify_script.sql";
    const CliResult run =
        Shell(std::string(TABLEWRIGHT_CLI_PATH) + " --quiet --verify --scenario script --script " +
              ShellQuoted(script) + " " + ShellQuoted(test::TestDataPath("gen-types.mdb")));
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(run.output, "只写入了脚本文件：服务器上没有可核对的表\n");
    std::remove(script.c_str());
}

TEST(Verify, UnusableServerOrDatabaseExitsWithTwo) {
    TW_REQUIRE_SERVER(target);
    const std::string file = ShellQuoted(test::TestDataPath("gen-types.mdb"));
    ServerSession server(target);
    server.Execute("DROP DATABASE IF EXISTS tw_verify_absent");
    const CliResult absent =
        Shell(Cli(target, "--verify-only --database tw_verify_absent " + file));
    EXPECT_EQ(absent.status, 2) << absent.output;
    EXPECT_TRUE(Contains(absent.output, "无法核对数据库 'tw_verify_absent'")) << absent.output;

    const CliResult unreachable = Shell(std::string(TABLEWRIGHT_CLI_PATH) +
                                        " --verify-only --host 127.0.0.1 --port 1 " + file);
    EXPECT_EQ(unreachable.status, 2) << unreachable.output;
}
