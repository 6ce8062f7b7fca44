// The command-line tool as a database user drives it: the mariadb client's options, option files
// and environment, the socket, usage errors, the script on standard output, and the summary at
// the end. The real binary against the real server; what arrived is counted on the server.
#include "ChildProcess.h"
#include "ServerSession.h"
#include "TempDir.h"
#include "TestEnv.h"

#include "tablewright/mysql/SqlText.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <regex>
#include <sstream>

using namespace tw;
using test::ServerSession;

namespace {

namespace fs = std::filesystem;

struct Cli {
    int status = -1;
    std::string out; // standard output, or everything the terminal showed
    std::string err;
};

struct CliRun {
    std::vector<std::string> args;
    /// Set in the tool's environment, after MYSQL_HOST, MYSQL_TCP_PORT, MYSQL_UNIX_PORT and
    /// MYSQL_PWD were cleared.
    std::map<std::string, std::string> environment;
    std::string input; // standard input
    /// On a pseudo-terminal: Ctrl-C once the screen shows this text.
    std::string interrupt_on;
};

/// Runs tablewright-cli without a shell, so that the arguments arrive exactly: with pipes, or on
/// a pseudo-terminal when the run is to be interrupted. Killed when it does not end in time.
Cli RunCli(const CliRun& run) {
    test::ChildRun child;
    child.argv = {TABLEWRIGHT_CLI_PATH};
    child.argv.insert(child.argv.end(), run.args.begin(), run.args.end());
    child.unset_environment = {"MYSQL_HOST", "MYSQL_TCP_PORT", "MYSQL_UNIX_PORT", "MYSQL_PWD"};
    child.environment = run.environment;
    child.input = run.input;
    child.terminal = !run.interrupt_on.empty();
    child.limit = std::chrono::minutes(3);
    bool interrupted = false;
    child.watch = [&](test::ChildControl& control) {
        if (!interrupted && child.terminal &&
            control.Output().find(run.interrupt_on) != std::string::npos) {
            control.Signal(SIGINT);
            interrupted = true;
        }
    };
    test::ChildResult ended = test::RunChild(child);
    if (ended.timed_out)
        ADD_FAILURE() << "tablewright-cli did not finish; killed";
    return {ended.status, std::move(ended.out), std::move(ended.err)};
}

std::string GenTypes() {
    return test::TestDataPath("gen-types.mdb");
}

std::string Random(std::size_t length) {
    static std::mt19937_64 random{std::random_device{}()};
    constexpr char kChars[] = "abcdefghijkmnopqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789";
    std::string text;
    for (std::size_t i = 0; i < length; ++i)
        text += kChars[random() % (sizeof kChars - 1)];
    return text;
}

using test::TempDir;

/// The rows of the summary table, "read written failed" by table name (and "合计" for the
/// totals).
std::map<std::string, std::string> SummaryRows(const std::string& text) {
    std::map<std::string, std::string> rows;
    const std::regex row(R"(^(.*\S)\s+(\d+)\s+(\d+)\s+(\d+)\s+\d+\.\d\d$)");
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::smatch match;
        if (!std::regex_match(line, match, row))
            continue;
        std::string name = match[1];
        if (name.rfind("合计", 0) == 0)
            name = "合计";
        rows[name] =
            std::string(match[2]) + " " + std::string(match[3]) + " " + std::string(match[4]);
    }
    return rows;
}

} // namespace

// Usage errors are one line that says what is wrong and points at --help; nothing is created
// before the options are known to be good.
TEST(CommandLine, UsageErrorsAreOneLineAndTheVersionIsTheProjects) {
    TempDir dir("tw_cli");
    const std::string script = dir.Path() + "/out.sql";
    const std::string missing_cnf = dir.Path() + "/missing.cnf";
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out, err;
    };
    const std::string help = "（--help 查看用法）\n";
    const std::vector<Case> cases = {
        {{"--version"}, 0, "tablewright-cli " TABLEWRIGHT_VERSION "\n", ""},
        {{"-V"}, 0, "tablewright-cli " TABLEWRIGHT_VERSION "\n", ""},
        {{"--foo", GenTypes()}, 2, "", "tablewright-cli: 未知选项：--foo" + help},
        {{"-x", GenTypes()}, 2, "", "tablewright-cli: 未知选项：-x" + help},
        {{"-h"}, 2, "", "tablewright-cli: 选项 -h 需要服务器主机名，与 mariadb 客户端相同" + help},
        {{"-h", GenTypes()},
         2,
         "",
         "tablewright-cli: 缺少 Access 文件：'" + GenTypes() +
             "' 跟在 -h 之后，被当作了服务器主机；-h 与 mariadb 客户端一样表示主机" + help},
        {{"--scenario", "script", "--script", script, "--table-type", "ISAM", GenTypes()},
         2,
         "",
         "tablewright-cli: 表类型 ISAM 已不被任何现行的 MySQL 或 MariaDB 服务器支持，请改用 "
         "MyISAM 或 InnoDB" +
             help},
        {{"--scenario", "script", "--script", script, "--table-type=bdb", GenTypes()},
         2,
         "",
         "tablewright-cli: 表类型 BDB 已不被任何现行的 MySQL 或 MariaDB 服务器支持，请改用 "
         "MyISAM 或 InnoDB" +
             help},
        {{"--scenario", "script", "--script", script, "--table-type", "Falcon", GenTypes()},
         2,
         "",
         "tablewright-cli: --table-type 只能是 MyISAM、InnoDB、Aria、MEMORY 或 HEAP：'Falcon'" +
             help},
        {{"--protocol=PIPE", GenTypes()},
         2,
         "",
         "tablewright-cli: --protocol 只能是 TCP 或 SOCKET：'PIPE'" + help},
        {{GenTypes(), "--no-defaults"},
         2,
         "",
         "tablewright-cli: 选项 --no-defaults 只能放在最前面，且只能给出一次" + help},
        {{"--defaults-file", missing_cnf, GenTypes()},
         2,
         "",
         "tablewright-cli: 选项 --defaults-file 需要一个文件名：--defaults-file=文件" + help},
        {{"--no-defaults", "--defaults-extra-file=" + missing_cnf, GenTypes()},
         2,
         "",
         "tablewright-cli: 选项 --no-defaults 之后不能再指定选项文件" + help},
        {{"--defaults-file=" + missing_cnf, "--list", GenTypes()},
         2,
         "",
         "tablewright-cli: 无法读取选项文件 '" + missing_cnf + "'\n"},
        {{"-pSecret"}, 2, "", "tablewright-cli: 缺少 Access 文件" + help},
        {{"--list", "--table-type=innodb", "-u", "x", GenTypes()},
         0,
         "AllTypes:13\nOrder Details:5\nit's:3\n",
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.front());
        const Cli cli = RunCli({c.args});
        EXPECT_EQ(cli.status, c.status);
        EXPECT_EQ(cli.out, c.out);
        EXPECT_EQ(cli.err, c.err);
        EXPECT_FALSE(fs::exists(script));
    }
    for (const std::string help_option : {"-?", "--help"}) {
        const Cli cli = RunCli({{help_option}});
        EXPECT_EQ(cli.status, 0);
        EXPECT_EQ(cli.out.rfind("Usage: tablewright-cli", 0), 0u) << cli.out;
        EXPECT_EQ(cli.err, "");
    }
    // Every long option the help names is one the parser knows, and the help names them all.
    const std::string usage = RunCli({{"--help"}}).out;
    const std::regex long_option(R"(^  (?:-\S(?:\[P\])?, )?(--[a-z-]+))");
    int named = 0;
    std::istringstream lines(usage);
    for (std::string line; std::getline(lines, line);) {
        std::smatch match;
        if (!std::regex_search(line, match, long_option))
            continue;
        ++named;
        const Cli cli = RunCli({{match[1].str()}});
        EXPECT_EQ(cli.err.find("未知选项"), std::string::npos) << match[1] << ": " << cli.err;
    }
    EXPECT_EQ(named, 38);
}

// The Access file's password comes from the command line, a prompt or the environment; linked
// tables are not converted but named: on --list, for --table, and in the run's log.
TEST(CommandLine, TheAccessPasswordFromEveryPlaceAndLinkedTablesNamed) {
    TempDir dir("tw_cli");
    const std::string script = dir.Path() + "/out.sql";
    const std::string encrypted = test::TestDataPath("ace12-encrypted-rc4.accdb");
    const std::string linker = test::TestDataPath("ace12-linker.accdb");
    const std::string link = "'Table1'（位于 Z:\\jackcess_test\\linkeeTest.accdb）";
    const std::string refused =
        "tablewright-cli: 无法打开数据库 '" + encrypted + "'：不是有效的密码。\n";
    struct Case {
        CliRun run;
        int status;
        std::string out, err;
    };
    const std::vector<Case> cases = {
        {{{"--list", "--source-password", "Test123", encrypted}}, 0, "Table1:1\n", ""},
        {{{"--list", "--source-password=Test123", encrypted}}, 0, "Table1:1\n", ""},
        // Alone before the file, it is asked for: here, the first line of standard input.
        {{{"--list", "--source-password", encrypted}, {}, "Test123\n"}, 0, "Table1:1\n", ""},
        {{{"--source-password", "--list", encrypted}, {}, "Test123\n"}, 0, "Table1:1\n", ""},
        {{{"--list", encrypted}, {{"TABLEWRIGHT_SOURCE_PASSWORD", "Test123"}}},
         0,
         "Table1:1\n",
         ""},
        // The command line wins over the environment.
        {{{"--list", "--source-password=test123", encrypted},
          {{"TABLEWRIGHT_SOURCE_PASSWORD", "Test123"}}},
         2,
         "",
         refused},
        {{{"--list", encrypted}}, 2, "", refused},
        {{{"--list", linker}},
         0,
         "Table1:1\n",
         "tablewright-cli: 链接表 'Table2'，数据在 " + link + "中，不转换\n"},
        {{{"--scenario", "script", "--script", script, "--table", "table2", linker}},
         2,
         "",
         "tablewright-cli: 'Table2' 是链接表，数据在 " + link + "中，不在这个文件里，无法转换\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.run.args.front() + " " + c.run.args[1]);
        const Cli cli = RunCli(c.run);
        EXPECT_EQ(cli.status, c.status);
        EXPECT_EQ(cli.out, c.out);
        EXPECT_EQ(cli.err, c.err);
    }
    const Cli run = RunCli({{"--scenario", "script", "--script", script, linker}});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("链接表 'Table2' 未转换：数据在 " + link + "中，不在这个文件里"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("表 'Table1' 成功转换"), std::string::npos) << run.out;
}

// Host, port, user, password and socket come from the command line, the option files and the
// environment, in the mariadb client's order: the command line over the files over the
// environment. A user whose password only the file under test knows logs in or is refused.
TEST(CommandLine, ConnectionSettingsComeFromTheClientsPlacesAndTheCommandLineWins) {
    TW_REQUIRE_SERVER(target);
    ServerSession root(target);
    const std::string user = "tw_cli_" + Random(8);
    const std::string password = Random(16);
    const std::string database = "tw_cli_connection";
    root.Execute("CREATE USER '" + user + "'@'%' IDENTIFIED BY '" + password + "'");
    root.Execute("GRANT ALL ON `" + database + "`.* TO '" + user + "'@'%'");
    const std::string host = target.host;
    const std::string port = std::to_string(target.port);
    TempDir dir("tw_cli");
    const std::string server = "host=" + host + "\nport=" + port + "\nuser=" + user + "\n";
    const std::string own_group =
        dir.File("own.cnf", "[tablewright]\n" + server + "password=" + password + "\n");
    const std::string client_group =
        dir.File("client.cnf", "[client]\n" + server + "password=" + password + "\n");
    const std::string wrong_password =
        dir.File("wrong.cnf", "[client-mariadb]\n" + server + "password=wrong\n");
    const std::string wrong_port =
        dir.File("port.cnf", "[client]\nhost=" + host + "\nport=1\nuser=" + user +
                                 "\npassword=" + password + "\n");
    // Wrong values where the files and the command line must win over them; 127.0.0.2 is this
    // machine, where no server listens.
    const std::map<std::string, std::string> wrong_environment = {
        {"MYSQL_HOST", "127.0.0.2"}, {"MYSQL_TCP_PORT", "1"}, {"MYSQL_PWD", "wrong"}};
    const std::vector<std::string> on_command_line = {"--no-defaults", "-h", host, "-P", port,
                                                      "-u" + user};
    auto with = [](std::vector<std::string> args, const std::vector<std::string>& more) {
        args.insert(args.end(), more.begin(), more.end());
        return args;
    };
    struct Case {
        std::string name;
        std::vector<std::string> args;
        std::map<std::string, std::string> environment;
        std::string input;
        int status = 0;
        std::string error;                    // in standard error when refused
        std::vector<std::string> before_file; // the last options, right before the Access file
    };
    std::vector<Case> cases = {
        {"--defaults-file, [tablewright] group", {"--defaults-file=" + own_group}},
        {"--defaults-extra-file, [client] group",
         {"--defaults-extra-file=" + client_group},
         {{"HOME", dir.Path()}}},
        {"the file over the environment", {"--defaults-file=" + own_group}, wrong_environment},
        {"the file's user, refused with the file's wrong password",
         {"--defaults-file=" + wrong_password},
         {},
         "",
         2,
         "Access denied for user '" + user + "'"},
        {"the command line's password over the file's",
         {"--defaults-file=" + wrong_password, "-p" + password}},
        {"the command line's port over the file's", {"--defaults-file=" + wrong_port, "-P", port}},
        {"the environment",
         {"--no-defaults", "-u", user},
         {{"MYSQL_HOST", host}, {"MYSQL_TCP_PORT", port}, {"MYSQL_PWD", password}}},
        {"short options over the environment", with(on_command_line, {"-p" + password}),
         wrong_environment},
        {"long options",
         {"--no-defaults", "--host=" + host, "--port=" + port, "--user=" + user,
          "--password=" + password}},
        {"--password then the file: asked for",
         on_command_line,
         {},
         password + "\n",
         0,
         "",
         {"--password"}},
        {"-p then the file: asked for", on_command_line, {}, password + "\n", 0, "", {"-p"}},
        // As the mariadb client: TLS where the server offers it; verification refuses a server
        // without it (the test server has none) or with a certificate that does not check out.
        {"--ssl", with(on_command_line, {"-p" + password, "--ssl"})},
        {"--ssl-verify-server-cert",
         with(on_command_line, {"-p" + password, "--ssl-verify-server-cert"}),
         {},
         "",
         2,
         "TLS/SSL"},
    };
    if (const auto socket = test::TestServerSocket()) {
        // Root of a stock server logs in through the socket; the last of --port, --socket and
        // --protocol decides, and a socket given on the command line wins over $MYSQL_UNIX_PORT.
        const std::string root_password = "--password=" + target.password;
        const std::vector<Case> socket_cases = {
            {"-S, root", {"--no-defaults", "-S", *socket, "-uroot", root_password}},
            {"$MYSQL_UNIX_PORT, root",
             {"--no-defaults", "-uroot", root_password},
             {{"MYSQL_UNIX_PORT", *socket}}},
            {"--socket over $MYSQL_UNIX_PORT",
             {"--no-defaults", "--socket=" + *socket, "-uroot", root_password},
             {{"MYSQL_UNIX_PORT", dir.Path() + "/none.sock"}}},
            {"-P then -S: the socket",
             {"--no-defaults", "-P", "1", "-S", *socket, "-uroot", root_password}},
            {"-S then -P: TCP",
             {"--no-defaults", "-S", *socket, "-P", "1", "-uroot", root_password},
             {},
             "",
             2,
             "无法连接到 MySQL 服务器"},
            {"--protocol=SOCKET last",
             {"--no-defaults", "-S", *socket, "-P", "1", "--protocol=socket", "-uroot",
              root_password}},
            {"-S in an option file",
             {"--defaults-file=" + dir.File("socket.cnf", "[client]\nsocket=" + *socket + "\n"),
              "-uroot", root_password}},
        };
        cases.insert(cases.end(), socket_cases.begin(), socket_cases.end());
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        root.Execute("DROP DATABASE IF EXISTS `" + database + "`");
        std::vector<std::string> args =
            with(c.args, {"-D", database, "--table", "it's", "--quiet"});
        args = with(args, c.before_file);
        args.push_back(GenTypes());
        const Cli cli = RunCli({args, c.environment, c.input});
        EXPECT_EQ(cli.status, c.status) << cli.err;
        if (c.status == 0) {
            EXPECT_EQ(root.Scalar("SELECT COUNT(*) FROM `" + database + "`.`it's`"), "3");
        } else {
            EXPECT_NE(cli.err.find(c.error), std::string::npos) << cli.err;
        }
        EXPECT_EQ(cli.err.find(password), std::string::npos) << cli.err;
    }
    root.Execute("DROP DATABASE IF EXISTS `" + database + "`");
    root.Execute("DROP USER '" + user + "'@'%'");
}

// After the log, a table of each table's rows read and written, failed statements and seconds;
// when the script file fails, the summary says so instead of counting nothing as failed. Off a
// terminal, progress is a line per finished table. --table finds a table as Access names it,
// without regard to case.
TEST(CommandLine, TheSummaryCountsRowsPerTableAndSaysWhatFailed) {
    TW_REQUIRE_SERVER(target);
    ServerSession root(target);
    const std::string database = "tw_cli_summary";
    TempDir dir("tw_cli");
    const std::vector<std::string> server = {"--no-defaults",
                                             "-h",
                                             target.host,
                                             "-P",
                                             std::to_string(target.port),
                                             "-u",
                                             target.user,
                                             "--password=" + target.password,
                                             "-D",
                                             database};
    auto with = [&](const std::vector<std::string>& more) {
        std::vector<std::string> args = server;
        args.insert(args.end(), more.begin(), more.end());
        args.push_back(GenTypes());
        return args;
    };
    struct Case {
        std::string name;
        std::vector<std::string> args;
        int status;
        std::map<std::string, std::string> rows; // "read written failed" by table
        std::string err;                         // a line of standard error
        std::string counts;                      // rows on the server afterwards
        std::vector<std::string> setup;          // statements run on the fresh database first
    };
    const std::string nowhere = dir.Path() + "/no/such/folder/out.sql";
    const std::vector<Case> cases = {
        {"every table",
         with({}),
         0,
         {{"AllTypes", "13 13 0"},
          {"Order Details", "5 5 0"},
          {"it's", "3 3 0"},
          {"合计", "21 21 0"}},
         "tablewright-cli: 表 'AllTypes'：读取 13 行，写入 13 行，0 条语句失败，",
         "13,5,3"},
        {"a table named in other case",
         with({"--table", "ORDER details"}),
         0,
         {{"Order Details", "5 5 0"}, {"合计", "5 5 0"}},
         "",
         "-,5,-"},
        {"a script file that cannot be made",
         with({"--scenario", "script", "--script", nowhere}),
         1,
         {},
         "tablewright-cli: 无法写入脚本文件 '" + nowhere + "'，没有转换任何表\n",
         "-,-,-"},
        {"rows the server refuses",
         with({"--table", "IT'S", "--no-drop"}),
         1,
         {{"it's", "3 2 2"}, {"合计", "3 2 2"}},
         "tablewright-cli: 1 个表转换出错，共 2 条语句失败\n",
         "-,-,3",
         {"CREATE TABLE `" + database +
              "`.`it's` (id INT PRIMARY KEY, `it's col` VARCHAR(50), "
              "`order` INT, `größe` DOUBLE, `50% off` TINYINT(1) NOT NULL)",
          "INSERT INTO `" + database + "`.`it's` VALUES (2, 'kept', 2, NULL, 0)"}},
        {"a database the server refuses",
         with({"-D", "tw cli bad ", "--no-keys"}),
         1,
         {{"AllTypes", "13 0 15"},
          {"Order Details", "5 0 7"},
          {"it's", "3 0 5"},
          {"合计", "21 0 27"}},
         "tablewright-cli: 创建数据库失败 'tw cli bad '\n",
         "-,-,-"},
        {"a full disk under a run to both",
         with({"--scenario", "both", "--script", "/dev/full", "--no-keys"}),
         1,
         {{"AllTypes", "13 0 15"},
          {"Order Details", "5 0 7"},
          {"it's", "3 0 5"},
          {"合计", "21 0 27"}},
         "tablewright-cli: 3 个表转换出错，共 27 条语句失败\n",
         "13,5,3"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        root.FreshDatabase(database);
        for (const auto& statement : c.setup)
            root.Execute(statement);
        const Cli cli = RunCli({c.args});
        EXPECT_EQ(cli.status, c.status) << cli.err;
        EXPECT_EQ(SummaryRows(cli.out), c.rows) << cli.out;
        if (c.rows.empty()) {
            EXPECT_NE(cli.out.find("没有转换任何表。"), std::string::npos) << cli.out;
        }
        EXPECT_NE(cli.err.find(c.err), std::string::npos) << cli.err;
        EXPECT_EQ(cli.err.find("0 个表转换出错"), std::string::npos) << cli.err;
        std::string counts;
        for (const std::string table : {"alltypes", "order details", "it's"}) {
            std::string quoted = table;
            if (table == "it's")
                quoted = "it''s";
            const bool exists = root.Scalar("SELECT COUNT(*) FROM information_schema.TABLES WHERE "
                                            "TABLE_SCHEMA='" +
                                            database + "' AND TABLE_NAME='" + quoted + "'") == "1";
            counts +=
                (counts.empty() ? "" : ",") +
                (exists ? root.Scalar("SELECT COUNT(*) FROM `" + database + "`.`" + table + "`")
                        : std::string("-"));
        }
        EXPECT_EQ(counts, c.counts);
    }
    root.Execute("DROP DATABASE IF EXISTS " + database);
}

// "--script -" writes the script, and nothing else, to standard output: the mariadb client
// loads it. The log and the summary go to standard error.
TEST(CommandLine, ScriptOnStandardOutputLoadsWithTheClient) {
    TW_REQUIRE_SERVER(target);
    ServerSession root(target);
    const std::string database = "tw_cli_stdout";
    root.FreshDatabase(database);
    const Cli cli = RunCli({{"--scenario", "script", "--script", "-", GenTypes()}});
    ASSERT_EQ(cli.status, 0) << cli.err;
    EXPECT_NE(cli.err.find("Start conversion"), std::string::npos) << cli.err;
    EXPECT_EQ(SummaryRows(cli.err).at("合计"), "21 21 0") << cli.err;
    TempDir dir("tw_cli");
    const std::string script = dir.File("out.sql", cli.out);
    const std::string load =
        "mariadb --no-defaults --protocol=tcp --host=" + target.host +
        " --port=" + std::to_string(target.port) + " --user=" + target.user + " --password='" +
        target.password + "' --default-character-set=utf8mb4 " + database + " < '" + script + "'";
    ASSERT_EQ(std::system(load.c_str()), 0);
    EXPECT_EQ(root.Query("SELECT (SELECT COUNT(*) FROM " + database +
                         ".alltypes), (SELECT COUNT(*) FROM " + database +
                         ".`order details`), (SELECT COUNT(*) FROM " + database + ".`it's`)"),
              (std::vector<test::Row>{{"13", "5", "3"}}));
    root.Execute("DROP DATABASE " + database);
}

// An Access 97 file whose header names code page 1252 but whose text is GBK: read as the header
// says without the option, as GBK with --source-charset (or the option file's [tablewright]
// group); the log names the code page used, and an Access 2000+ file says it has no use for it.
TEST(CommandLine, SourceCharsetDecodesAccess97TextOfAnotherCodePage) {
    TempDir dir;
    const std::string gbk = test::TestDataPath("jet3-gbk.mdb");
    const std::string option_file =
        dir.File("tw.cnf", "[client]\nuser=x\n[tablewright]\nsource-charset = GBK\n");
    struct Case {
        std::vector<std::string> options;
        std::string file;
        std::string row;
        std::string log;
    };
    const std::vector<Case> cases = {
        {{"--no-defaults"},
         gbk,
         "'GBK\xC2\xB1\xC3\xA0\xC3\x82\xC3\xAB'",
         "按文件头写的代码页 1252 解码"},
        {{"--no-defaults", "--source-charset", "CP936"},
         gbk,
         "'GBK编码'",
         "按 CP936 解码（文件头写的代码页是 1252）"},
        {{"--defaults-file=" + option_file}, gbk, "'GBK编码'", "按 GBK 解码"},
        {{"--no-defaults", "--source-charset", "CP936"},
         test::TestDataPath("gen-rules.accdb"),
         "",
         "源字符集 CP936 未使用"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.log);
        std::vector<std::string> args = c.options;
        for (const std::string& arg : {std::string("--scenario"), std::string("script"),
                                       std::string("--script"), std::string("-"), c.file})
            args.push_back(arg);
        const Cli cli = RunCli({args});
        ASSERT_EQ(cli.status, 0) << cli.err;
        EXPECT_NE(cli.err.find(c.log), std::string::npos) << cli.err;
        if (!c.row.empty()) {
            EXPECT_NE(cli.out.find("INSERT INTO `table1` values('2'," + c.row + ");"),
                      std::string::npos)
                << cli.out;
        }
    }
    const Cli unknown = RunCli({{"--no-defaults", "--source-charset", "NO-SUCH-SET", "--scenario",
                                 "script", "--script", "-", gbk}});
    EXPECT_EQ(unknown.status, 2);
    EXPECT_NE(unknown.err.find("不认识字符集 'NO-SUCH-SET'"), std::string::npos) << unknown.err;
}

// Ctrl-C in the middle of a table: the tool says how many of its rows arrived, and exactly that
// many are on the server.
TEST(CommandLine, ACancelSaysHowManyRowsOfTheCutTableArrived) {
    TW_REQUIRE_SERVER(target);
    ServerSession root(target);
    const std::string database = "tw_cli_cancel";
    root.FreshDatabase(database);
    // The bar shows 1% once the first 2,000 of Orders' 200,000 rows are read.
    const Cli cli = RunCli({{"--no-defaults", "-h", target.host, "-P", std::to_string(target.port),
                             "-u", target.user, "--password=" + target.password, "-D", database,
                             "--no-keys", test::TestDataPath("gen-big.mdb")},
                            {},
                            "",
                            "  1%"});
    EXPECT_EQ(cli.status, 1) << cli.out;
    std::smatch match;
    ASSERT_TRUE(std::regex_search(cli.out, match,
                                  std::regex("tablewright-cli: 已中断：表 'Orders' 已写入 (\\d+) 行"
                                             "（共 200000 行），1 个表未开始")))
        << cli.out;
    EXPECT_EQ(root.Scalar("SELECT COUNT(*) FROM " + database + ".orders"), std::string(match[1]));
    EXPECT_NE(cli.out.find("Orders（中断）"), std::string::npos) << cli.out;
    root.Execute("DROP DATABASE " + database);
}
