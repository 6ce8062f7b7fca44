// Faults on the way out: servers that cannot be reached, refuse, die, stop answering or refuse
// large rows; users without rights; script files that cannot be written; cancels at every
// point; passwords. Real Access files, real MariaDB servers (the shared throwaway one, and
// dedicated ones this file starts, kills and restarts), real files; what arrived is compared
// with what was reported.
#include "ChildProcess.h"
#include "Loopback.h"
#include "ScriptText.h"
#include "ServerSession.h"
#include "TestEnv.h"

#include "tablewright/engine/Cls_Convertion.h"
#include "tablewright/mysql/SqlText.h"
#include "tablewright/run/ConversionRun.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

using namespace tw;
using test::ServerSession;

namespace {

using Clock = std::chrono::steady_clock;

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string TempPath(const std::string& name) {
    return (std::filesystem::temp_directory_path() /
            ("tw_faults_" + std::to_string(::getpid()) + "_" + name))
        .string();
}

// The statement lines of a script file; every line must end in CR LF.
std::vector<std::string> ScriptLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const auto end = text.find("\r\n", start);
        if (end == std::string::npos) {
            ADD_FAILURE() << "the script file ends in half a line";
            break;
        }
        if (!test::IsSessionLine(std::string_view(text).substr(start, end - start)))
            lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

// The number of failed statements the log gives for a table, or -1 when it names none.
std::int64_t FailedIn(const std::string& log, const std::string& table) {
    const std::string marker = "表 '" + table + "' 转换出错：";
    const auto at = log.find(marker);
    if (at == std::string::npos)
        return -1;
    return std::strtoll(log.c_str() + at + marker.size(), nullptr, 10);
}

// Where a conversion run stands when one of its hooks is called.
struct Progress {
    std::int64_t rows = 0; // row statements produced so far, over all tables
    std::string table;     // the table being converted
};

struct ConvertSpec {
    data::MySqlTarget target;
    std::string file;
    std::vector<std::string> tables; // default: every user table in file order
    std::string database;
    std::int16_t scenario = 0;
    std::string script;
    std::string table_type = "MyISAM";
    bool structure_only = false;
    unsigned timeout_seconds = 0;
    /// Called after every produced row statement.
    std::function<void(const Progress&)> on_row;
    /// Called when a table starts.
    std::function<void(const Progress&)> on_table;
    /// Called whenever the engine yields; true confirms a cancel.
    std::function<bool(const Progress&)> cancel;
};

struct Converted {
    run::RunSummary summary;
    std::string log;
    double seconds = 0;
};

/// Converts tables of an Access file through the engine and the run, with hooks.
Converted Convert(const ConvertSpec& job, engine::Cls_Convertion* reuse = nullptr) {
    engine::Cls_Convertion own{tw::data::DefaultProviderFactory(),
                               tw::data::DefaultScriptDestinationFactory()};
    engine::Cls_Convertion& engine = reuse ? *reuse : own;
    std::string message;
    const auto shown_before = engine.ShowCriticalMessage;
    engine.ShowCriticalMessage = [&message](const std::string& text) { message = text; };
    EXPECT_TRUE(engine.OpenSourceDB(job.file)) << message;
    run::PlainRunWindow window;
    window.scenario = job.scenario;
    window.script_path = job.script;
    window.database_name = job.database;
    window.no_data = job.structure_only ? 1 : 0;
    if (job.tables.empty()) {
        std::vector<std::string> entries;
        const int count = engine.GetSourceTables(entries);
        for (int i = 1; i <= count; ++i)
            window.tables.push_back(
                {entries[std::size_t(i)].substr(0, entries[std::size_t(i)].rfind(':')), true});
    } else {
        for (const auto& name : job.tables)
            window.tables.push_back({name, true});
    }
    engine.SetServerTimeout(job.timeout_seconds);
    if (job.scenario != 1 && (!reuse || engine.DestinationDB().State() == 0)) {
        EXPECT_TRUE(engine.OpenDestinationDB(job.target.host, job.target.user, job.target.password,
                                             job.target.port))
            << message;
    }
    engine.SetTableType(job.table_type);

    Progress progress;
    run::ConversionRun run(engine, window);
    auto report = engine.ExecuteInfo;
    engine.ExecuteInfo = [&](std::string& sql) {
        report(sql);
        if (sql.rfind("INSERT INTO", 0) == 0) {
            ++progress.rows;
            if (job.on_row)
                job.on_row(progress);
        }
    };
    window.on_status = [&](const std::string& status) {
        progress.table = status;
        if (job.on_table)
            job.on_table(progress);
    };
    engine.DoEvents = [&] {
        if (job.cancel && job.cancel(progress)) {
            engine.EndProgress = true;
            window.exit_confirmed = true;
        }
    };
    engine.EndProgress = false;
    run.TimeOfDay = [] { return std::string("12:00:00"); };
    const auto started = Clock::now();
    run.RunConversion();
    Converted result;
    result.seconds = std::chrono::duration<double>(Clock::now() - started).count();
    result.summary = run.Summary();
    result.log = window.message;
    engine.ExecuteInfo = nullptr;
    engine.DoEvents = nullptr;
    engine.ShowCriticalMessage = shown_before;
    return result;
}

// A MariaDB server of a test's own, in a temporary folder: started, killed, stopped and
// restarted at will, removed at the end. mariadbd runs as a child that dies with the test.
class DedicatedServer {
public:
    explicit DedicatedServer(std::vector<std::string> options = {}) : options_(std::move(options)) {
        static int counter = 0;
        dir_ = std::filesystem::temp_directory_path() /
               ("tw_faults_server_" + std::to_string(::getpid()) + "_" + std::to_string(++counter));
        std::filesystem::remove_all(dir_);
        // A temporary folder of its own: servers set up side by side must not share one.
        std::filesystem::create_directories(dir_ / "tmp");
        const std::string install = Program("mariadb-install-db");
        mariadbd_ = Program("mariadbd");
        if (install.empty() || mariadbd_.empty()) {
            error_ = "mariadb-install-db or mariadbd not found; run scripts/setup";
            return;
        }
        std::vector<std::string> args = {install,
                                         "--no-defaults",
                                         "--auth-root-authentication-method=normal",
                                         "--skip-test-db",
                                         "--innodb-log-file-size=8M",
                                         "--tmpdir=" + (dir_ / "tmp").string(),
                                         "--datadir=" + (dir_ / "data").string()};
        if (::geteuid() == 0)
            args.push_back("--user=root");
        if (RunProgram(args, (dir_ / "install.log").string()) != 0) {
            error_ = "mariadb-install-db failed:\n" + ReadFile((dir_ / "install.log").string());
            return;
        }
        port_ = test::FreeLoopbackPort();
        Start();
    }

    ~DedicatedServer() {
        if (pid_ > 0) {
            ::kill(pid_, SIGCONT);
            ::kill(pid_, SIGTERM);
            if (!WaitFor(pid_, std::chrono::seconds(30))) {
                ::kill(pid_, SIGKILL);
                WaitFor(pid_, std::chrono::seconds(10));
            }
        }
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    /// Empty when the server answers; otherwise why it does not.
    const std::string& Error() const { return error_; }

    /// The server as the engine reaches it.
    data::MySqlTarget Target() const {
        data::MySqlTarget target;
        target.host = "127.0.0.1";
        target.port = port_;
        target.user = "root";
        return target;
    }

    /// Starts mariadbd on the folder and port and waits until it answers.
    void Start() {
        std::vector<std::string> args = {mariadbd_,
                                         "--no-defaults",
                                         "--datadir=" + (dir_ / "data").string(),
                                         "--tmpdir=" + (dir_ / "tmp").string(),
                                         "--socket=" + (dir_ / "mariadbd.sock").string(),
                                         "--pid-file=" + (dir_ / "mariadbd.pid").string(),
                                         "--log-error=" + (dir_ / "mariadbd.log").string(),
                                         "--port=" + std::to_string(port_),
                                         "--bind-address=127.0.0.1",
                                         "--skip-log-bin",
                                         "--innodb-log-file-size=8M",
                                         "--innodb-buffer-pool-size=32M",
                                         "--character-set-server=utf8mb4",
                                         "--collation-server=utf8mb4_general_ci"};
        if (::geteuid() == 0)
            args.push_back("--user=root");
        args.insert(args.end(), options_.begin(), options_.end());
        pid_ = Spawn(args, true);
        const auto deadline = Clock::now() + std::chrono::seconds(60);
        data::MySqlTarget target = Target();
        target.read_timeout_seconds = 5;
        while (Clock::now() < deadline) {
            try {
                // Another server may have taken the port while this one was down.
                auto provider = data::OpenMySqlProvider(target);
                auto rs = provider->OpenRecordset("SELECT @@datadir");
                const std::string datadir = std::get<std::string>(rs->GetField(0).GetValue());
                if (std::filesystem::equivalent(datadir, dir_ / "data")) {
                    error_.clear();
                    return;
                }
                error_ = "port " + std::to_string(port_) + " is taken by another server";
                return;
            } catch (const data::DataAccessError& e) {
                error_ = e.what();
            }
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                error_ = "mariadbd exited:\n" + ReadFile((dir_ / "mariadbd.log").string());
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        error_ = "mariadbd did not answer: " + error_;
    }

    /// Kills the server at once, as a crash or a power cut would.
    void Kill() {
        if (pid_ <= 0)
            return;
        ::kill(pid_, SIGKILL);
        WaitFor(pid_, std::chrono::seconds(30));
        pid_ = -1;
    }

    /// Freezes the server: its connections stay open but nothing answers.
    void Freeze() {
        if (pid_ > 0)
            ::kill(pid_, SIGSTOP);
    }

    /// Lets a frozen server go on.
    void Thaw() {
        if (pid_ > 0)
            ::kill(pid_, SIGCONT);
    }

private:
    static std::string Program(const std::string& name) {
        for (const char* dir : {"/usr/sbin", "/usr/bin", "/usr/local/sbin", "/usr/local/bin"}) {
            const std::string path = std::string(dir) + "/" + name;
            if (::access(path.c_str(), X_OK) == 0)
                return path;
        }
        return {};
    }

    // Starts a program with its output in the folder's log; with die_with_parent the child is
    // killed when the test process ends, however it ends.
    pid_t Spawn(const std::vector<std::string>& args, bool die_with_parent,
                const std::string& log = {}) {
        const std::string output = log.empty() ? (dir_ / "mariadbd.out").string() : log;
        const pid_t pid = ::fork();
        if (pid == 0) {
            if (die_with_parent)
                ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            const int fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            const int null = ::open("/dev/null", O_RDONLY);
            ::dup2(null, 0);
            std::vector<char*> argv;
            for (const auto& arg : args)
                argv.push_back(const_cast<char*>(arg.c_str()));
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        return pid;
    }

    int RunProgram(const std::vector<std::string>& args, const std::string& log) {
        const pid_t pid = Spawn(args, true, log);
        int status = 0;
        ::waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    static bool WaitFor(pid_t pid, std::chrono::seconds limit) {
        const auto deadline = Clock::now() + limit;
        int status = 0;
        while (Clock::now() < deadline) {
            if (::waitpid(pid, &status, WNOHANG) == pid)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    std::vector<std::string> options_;
    std::filesystem::path dir_;
    std::string mariadbd_;
    int port_ = 0;
    pid_t pid_ = -1;
    std::string error_;
};

#define TW_REQUIRE_DEDICATED(server)                                                               \
    if (server.Error().find("not found") != std::string::npos)                                     \
        GTEST_SKIP() << server.Error();                                                            \
    ASSERT_EQ(server.Error(), "")

// What the command-line tool printed and how it ended.
struct CliResult {
    int status = -1;
    std::string output; // standard output and standard error, or the terminal's text
};

struct CliOptions {
    std::map<std::string, std::string> environment;
    std::string input;          // written to standard input (or typed at the prompt)
    bool terminal = false;      // run on a pseudo-terminal and type input at the prompt
    rlim_t file_size_limit = 0; // a file-size limit in bytes, as a nearly full disk
};

/// Runs tablewright-cli without a shell, so that arguments arrive exactly; kills it when it
/// does not finish within a generous limit.
CliResult RunCli(const std::vector<std::string>& args, const CliOptions& options = {}) {
    test::ChildRun child;
    child.argv = {TABLEWRIGHT_CLI_PATH};
    child.argv.insert(child.argv.end(), args.begin(), args.end());
    child.unset_environment = {"MYSQL_PWD"};
    child.environment = options.environment;
    child.terminal = options.terminal;
    child.merge_error = true;
    child.file_size_limit = options.file_size_limit;
    child.limit = std::chrono::seconds(120);
    // Set by the watch, which runs while the child does: it must outlive the branch below.
    bool typed = false;
    if (!options.terminal) {
        child.input = options.input;
    } else {
        // The input is typed at the password prompt.
        child.watch = [&](test::ChildControl& control) {
            if (!typed && control.Output().find("密码") != std::string::npos) {
                control.Type(options.input + "\n");
                typed = true;
            }
        };
    }
    test::ChildResult ended = test::RunChild(child);
    if (ended.timed_out)
        ADD_FAILURE() << "tablewright-cli did not finish; killed";
    return {ended.status, std::move(ended.out)};
}

std::vector<std::string> ServerArgs(const data::MySqlTarget& target) {
    return {"--host", target.host, "--port", std::to_string(target.port), "--user", target.user};
}

std::string GenTypes() {
    return test::TestDataPath("gen-types.mdb");
}
std::string GenBig() {
    return test::TestDataPath("gen-big.mdb");
}

// Statements per gen-types table: DROP, CREATE and one INSERT per row.
constexpr std::int64_t kAllTypesStatements = 2 + 13;
constexpr std::int64_t kOrderDetailsStatements = 2 + 5;
constexpr std::int64_t kItsStatements = 2 + 3;

/// Row counts of gen-types' tables in a database, as "alltypes,order details,it's".
std::string GenTypesCounts(ServerSession& server, const std::string& database) {
    std::string counts;
    for (const char* table : {"alltypes", "order details", "it's"}) {
        const auto exists = server.Scalar(
            "SELECT COUNT(*) FROM information_schema.TABLES WHERE TABLE_SCHEMA = '" + database +
            "' AND TABLE_NAME = '" + (std::string(table) == "it's" ? "it''s" : table) + "'");
        if (!counts.empty())
            counts += ',';
        counts += exists == "1" ? server.Scalar("SELECT COUNT(*) FROM `" + database + "`.`" +
                                                std::string(table) + "`")
                                : "-";
    }
    return counts;
}

} // namespace

// The server is killed in the middle of a table: every row that did not arrive is counted, the
// log names the table that was cut short, the script file still gets everything, and a later
// run converts everything. MyISAM keeps what it wrote before the kill; InnoDB undoes the open
// transaction, and its rows are exactly the ones counted as failed.
TEST(ServerDies, KilledMidTableCountsWhatWasLostAndALaterRunConvertsEverything) {
    DedicatedServer server;
    TW_REQUIRE_DEDICATED(server);
    constexpr std::int64_t kLines = 50000;
    for (const std::string type : {"MyISAM", "InnoDB"}) {
        SCOPED_TRACE(type);
        ConvertSpec job;
        job.target = server.Target();
        job.file = GenBig();
        job.tables = {"Lines"};
        job.database = "tw_killed";
        job.table_type = type;
        job.scenario = 2;
        job.script = TempPath("killed.sql");
        job.on_row = [&](const Progress& progress) {
            if (progress.rows == 20000)
                server.Kill();
        };
        const Converted cut = Convert(job);
        EXPECT_LT(cut.seconds, 60.0) << "watchdog";
        const std::int64_t failed = FailedIn(cut.log, "Lines");
        EXPECT_GT(failed, 0) << cut.log;
        EXPECT_NE(cut.log.find("表 'Lines'：与 MySQL 服务器的连接中断"), std::string::npos)
            << cut.log;
        EXPECT_EQ(cut.log.find("成功转换"), std::string::npos) << cut.log;
        EXPECT_EQ(cut.summary.failed_statements, failed);
        // The script side is not affected.
        EXPECT_EQ(ScriptLines(ReadFile(job.script)).size(), std::size_t(2 + kLines));

        server.Start();
        ASSERT_EQ(server.Error(), "");
        ServerSession check(server.Target());
        const std::int64_t arrived =
            std::stoll(check.Scalar("SELECT COUNT(*) FROM tw_killed.`lines`"));
        if (type == "InnoDB") {
            EXPECT_EQ(arrived + failed, kLines);
        } else {
            // A multi-row statement that the kill cut off may have written some of its rows.
            EXPECT_GE(arrived + failed, kLines);
            EXPECT_LE(arrived + failed, kLines + data::kDefaultBatchRows);
        }

        job.on_row = nullptr;
        job.scenario = 0;
        const Converted again = Convert(job);
        EXPECT_TRUE(again.summary.Clean()) << again.log;
        EXPECT_EQ(check.Scalar("SELECT COUNT(*) FROM tw_killed.`lines`"), "50000");
        EXPECT_EQ(check.Scalar("SELECT SUM(lineid) FROM tw_killed.`lines`"), "1250025000");
        std::remove(job.script.c_str());
    }
}

// A server that dies between tables is reached again once it is back; one that stays down or
// stops answering makes the remaining tables fail at once instead of waiting for each.
TEST(ServerDies, RestartedServerIsReachedAgainAndAStoppedOneIsGivenUpAfterTheTimeout) {
    DedicatedServer server;
    TW_REQUIRE_DEDICATED(server);
    ConvertSpec job;
    job.target = server.Target();
    job.file = GenTypes();
    job.database = "tw_restarted";

    // Killed during AllTypes (whose rows are still held back), back before Order Details.
    job.on_row = [&](const Progress& progress) {
        if (progress.rows == 5)
            server.Kill();
    };
    job.on_table = [&](const Progress& progress) {
        if (progress.table == "处理表 'Order Details'")
            server.Start();
    };
    Converted run = Convert(job);
    ASSERT_EQ(server.Error(), "");
    EXPECT_EQ(FailedIn(run.log, "AllTypes"), 13) << run.log;
    EXPECT_NE(run.log.find("表 'AllTypes'：与 MySQL 服务器的连接中断"), std::string::npos);
    EXPECT_NE(run.log.find("表 'Order Details' 成功转换"), std::string::npos) << run.log;
    EXPECT_NE(run.log.find("表 'it's' 成功转换"), std::string::npos) << run.log;
    EXPECT_EQ(run.summary.tables_done, 2);
    EXPECT_EQ(run.summary.failed_statements, 13);
    ServerSession check(server.Target());
    EXPECT_EQ(GenTypesCounts(check, "tw_restarted"), "0,5,3");

    // Killed during AllTypes and left down: the other tables fail at once, every statement
    // counted, nothing reported as converted.
    job.on_table = nullptr;
    run = Convert(job);
    EXPECT_LT(run.seconds, 30.0) << "watchdog";
    EXPECT_EQ(FailedIn(run.log, "AllTypes"), 13) << run.log;
    EXPECT_EQ(FailedIn(run.log, "Order Details"), kOrderDetailsStatements) << run.log;
    EXPECT_EQ(FailedIn(run.log, "it's"), kItsStatements) << run.log;
    EXPECT_NE(run.log.find("重新连接失败"), std::string::npos) << run.log;
    EXPECT_EQ(run.log.find("成功转换"), std::string::npos) << run.log;
    server.Start();
    ASSERT_EQ(server.Error(), "");

    // Frozen during AllTypes: the connection is given up after the timeout, and so is the one
    // reconnection attempt; the later tables do not wait again.
    job.timeout_seconds = 2;
    job.on_row = [&](const Progress& progress) {
        if (progress.rows == 5)
            server.Freeze();
    };
    run = Convert(job);
    server.Thaw();
    EXPECT_LT(run.seconds, 30.0) << "watchdog";
    EXPECT_EQ(FailedIn(run.log, "AllTypes"), 13) << run.log;
    EXPECT_EQ(FailedIn(run.log, "Order Details"), kOrderDetailsStatements) << run.log;
    EXPECT_EQ(FailedIn(run.log, "it's"), kItsStatements) << run.log;
    EXPECT_EQ(run.log.find("成功转换"), std::string::npos) << run.log;

    // Back to normal, a later run converts everything.
    job.on_row = nullptr;
    run = Convert(job);
    EXPECT_TRUE(run.summary.Clean()) << run.log;
    ServerSession after(server.Target());
    EXPECT_EQ(GenTypesCounts(after, "tw_restarted"), "13,5,3");
}

// A row longer than the server's max_allowed_packet is refused without being sent (a server
// drops the connection on such a packet); it fails alone and every other row arrives. A
// read-only server refuses everything, and every table says so.
TEST(ServerLimits, OversizedRowFailsAloneAndAReadOnlyServerFailsEveryTable) {
    DedicatedServer server({"--max-allowed-packet=1024"});
    TW_REQUIRE_DEDICATED(server);
    ServerSession root(server.Target());
    for (const std::string type : {"MyISAM", "InnoDB"}) {
        SCOPED_TRACE(type);
        ConvertSpec job;
        job.target = server.Target();
        job.file = GenTypes();
        job.database = "tw_packet";
        job.table_type = type;
        const Converted run = Convert(job);
        EXPECT_EQ(run.summary.failed_statements, 1) << run.log;
        EXPECT_EQ(FailedIn(run.log, "AllTypes"), 1) << run.log;
        // The log names the row: its statement starts with the row's first values.
        EXPECT_NE(run.log.find("max_allowed_packet（1024 字节），未发送：INSERT INTO `alltypes` "
                               "values('13','1','13'"),
                  std::string::npos)
            << run.log;
        EXPECT_NE(run.log.find("表 'Order Details' 成功转换"), std::string::npos);
        EXPECT_NE(run.log.find("表 'it's' 成功转换"), std::string::npos);
        EXPECT_EQ(GenTypesCounts(root, "tw_packet"), "12,5,3");
        EXPECT_EQ(root.Scalar("SELECT GROUP_CONCAT(id ORDER BY id) FROM tw_packet.alltypes"),
                  "1,2,3,4,5,6,7,8,9,10,11,12");
        EXPECT_EQ(root.Scalar("SELECT MD5(GROUP_CONCAT(HEX(col_ole), col_memo ORDER BY id)) "
                              "FROM tw_packet.alltypes WHERE id IN (1, 3, 9)"),
                  root.Scalar("SELECT MD5(CONCAT('0001275CFF', 'O''Brien''s memo', ',', "
                              "'FFFEFD', 'It''''s doubled: '''' and tripled: ''''''', ',', "
                              "'E4BAAC', '北京市朝阳区建国路88号 – Grüße aus Köln, € 5, "
                              "naïve café'))"));
    }

    // A read-only server: the database exists and can be selected, but nothing can be
    // written; every statement of every table is counted and no table is called converted.
    root.Execute("CREATE USER 'tw_reader'@'%' IDENTIFIED BY 'r-pw'");
    root.Execute("GRANT ALL ON tw_packet.* TO 'tw_reader'@'%'");
    root.Execute("SET GLOBAL read_only = 1");
    ConvertSpec job;
    job.target = server.Target();
    job.target.user = "tw_reader";
    job.target.password = "r-pw";
    job.file = GenTypes();
    job.database = "tw_packet";
    const Converted refused = Convert(job);
    root.Execute("SET GLOBAL read_only = 0");
    EXPECT_NE(refused.log.find("创建数据库不存在 'tw_packet'"), std::string::npos) << refused.log;
    EXPECT_EQ(FailedIn(refused.log, "AllTypes"), kAllTypesStatements) << refused.log;
    EXPECT_EQ(FailedIn(refused.log, "Order Details"), kOrderDetailsStatements) << refused.log;
    EXPECT_EQ(FailedIn(refused.log, "it's"), kItsStatements) << refused.log;
    EXPECT_NE(refused.log.find("--read-only"), std::string::npos) << refused.log;
    EXPECT_EQ(refused.log.find("成功转换"), std::string::npos) << refused.log;
    EXPECT_EQ(refused.summary.tables_done, 0);
    EXPECT_EQ(GenTypesCounts(root, "tw_packet"), "12,5,3"); // untouched
}

// An unreachable server and wrong credentials stop before the run with the reason (never the
// password); a database name the server refuses is logged, every table reports it, and nothing
// goes into the database the connection used before.
TEST(Destination, UnreachableServerWrongPasswordAndRefusedDatabaseAreSaidClearly) {
    TW_REQUIRE_SERVER(target);
    ServerSession root(target);
    const std::string password = "Pw'\"`;{}= -- x\\";
    std::string quoted;
    data::AppendEscapedText(quoted, password);
    root.Execute("DROP USER IF EXISTS 'tw_faults_pw'@'%'");
    root.Execute("CREATE USER 'tw_faults_pw'@'%' IDENTIFIED BY '" + quoted + "'");
    root.Execute("GRANT ALL ON `tw_faults_keep`.* TO 'tw_faults_pw'@'%'");
    root.Execute("DROP DATABASE IF EXISTS tw_faults_keep");

    engine::Cls_Convertion engine{tw::data::DefaultProviderFactory(),
                                  tw::data::DefaultScriptDestinationFactory()};
    std::vector<std::string> shown;
    engine.ShowCriticalMessage = [&shown](const std::string& text) { shown.push_back(text); };
    // A socket that is bound but not listening refuses every connection to its port.
    const test::LoopbackSocket bound;
    ASSERT_NE(bound.Port(), 0);
    const int closed_port = bound.Port();
    EXPECT_FALSE(engine.OpenDestinationDB("127.0.0.1", "tw_faults_pw", password, closed_port));
    EXPECT_FALSE(
        engine.OpenDestinationDB(target.host, "tw_faults_pw", "wrong-" + password, target.port));
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].rfind(
                  "无法连接到 MySQL 服务器 127.0.0.1:" + std::to_string(closed_port) + "：", 0),
              0u)
        << shown[0];
    EXPECT_NE(shown[1].find("Access denied for user 'tw_faults_pw'"), std::string::npos)
        << shown[1];
    for (const auto& text : shown)
        EXPECT_EQ(text.find(password), std::string::npos) << text;

    const std::string cli_file = GenTypes();
    std::vector<std::string> args = {
        "--host", "127.0.0.1", "--port", std::to_string(closed_port), "--password=" + password,
        cli_file};
    CliResult cli = RunCli(args);
    EXPECT_EQ(cli.status, 2) << cli.output;
    EXPECT_NE(cli.output.find("tablewright-cli: 无法连接到 MySQL 服务器"), std::string::npos);
    EXPECT_EQ(cli.output.find(password), std::string::npos) << cli.output;

    // The same engine converts into one database, then is given a name the server refuses.
    ConvertSpec job;
    job.target = target;
    job.target.user = "tw_faults_pw";
    job.target.password = password;
    job.file = GenTypes();
    job.tables = {"Order Details"};
    job.database = "tw_faults_keep";
    const Converted kept = Convert(job, &engine);
    ASSERT_TRUE(kept.summary.Clean()) << kept.log;
    job.database = "tw faults bad ";
    job.structure_only = true;
    const Converted refused = Convert(job, &engine);
    EXPECT_TRUE(refused.summary.database_failed);
    EXPECT_NE(refused.log.find("创建数据库失败 'tw faults bad '：Incorrect database name"),
              std::string::npos)
        << refused.log;
    EXPECT_NE(refused.log.find("表 'Order Details' 转换出错：2 条语句失败（创建数据库失败："),
              std::string::npos)
        << refused.log;
    EXPECT_EQ(refused.log.find("成功转换"), std::string::npos) << refused.log;
    EXPECT_EQ(root.Scalar("SELECT COUNT(*) FROM tw_faults_keep.`order details`"), "5");

    // The tool says so through its exit status; the script file still gets every statement.
    const std::string script = TempPath("refused_database.sql");
    args = ServerArgs(target);
    args.insert(args.end(), {"--database", "tw faults bad ", "--table", "it's", "--scenario",
                             "both", "--script", script, cli_file});
    cli = RunCli(args);
    EXPECT_EQ(cli.status, 1) << cli.output;
    EXPECT_NE(cli.output.find("创建数据库失败 'tw faults bad '"), std::string::npos) << cli.output;
    EXPECT_NE(cli.output.find("表 'it's' 转换出错：5 条语句失败"), std::string::npos) << cli.output;
    EXPECT_EQ(ScriptLines(ReadFile(script)).size(), std::size_t(kItsStatements));
    std::remove(script.c_str());
    root.Execute("DROP DATABASE tw_faults_keep");
    root.Execute("DROP USER 'tw_faults_pw'@'%'");
}

// Users without the rights a conversion needs: every refused statement is counted for its
// table, and no table is reported as converted.
TEST(Destination, MissingRightsAreReportedPerTableAndNothingAsSuccess) {
    TW_REQUIRE_SERVER(target);
    ServerSession root(target);
    root.FreshDatabase("tw_faults_rights");
    struct Case {
        std::string user;
        std::string grant; // empty: no rights at all
        std::int64_t all_types, order_details, its;
        std::string counts_after;
    };
    const std::vector<Case> cases = {
        // Neither the database nor its tables: the database step fails, each table reports it.
        {"tw_faults_nobody", "", kAllTypesStatements, kOrderDetailsStatements, kItsStatements,
         "-,-,-"},
        // Reading only: the database can be selected, every statement is refused.
        {"tw_faults_reader", "SELECT", kAllTypesStatements, kOrderDetailsStatements, kItsStatements,
         "-,-,-"},
        // Tables but no rows: the tables are made, every row is refused.
        {"tw_faults_maker", "CREATE, DROP", 13, 5, 3, "0,0,0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.user);
        root.Execute("DROP USER IF EXISTS '" + c.user + "'@'%'");
        root.Execute("CREATE USER '" + c.user + "'@'%' IDENTIFIED BY 'pw'");
        if (!c.grant.empty())
            root.Execute("GRANT " + c.grant + " ON tw_faults_rights.* TO '" + c.user + "'@'%'");
        ConvertSpec job;
        job.target = target;
        job.target.user = c.user;
        job.target.password = "pw";
        job.file = GenTypes();
        job.database = "tw_faults_rights";
        const Converted run = Convert(job);
        EXPECT_EQ(FailedIn(run.log, "AllTypes"), c.all_types) << run.log;
        EXPECT_EQ(FailedIn(run.log, "Order Details"), c.order_details) << run.log;
        EXPECT_EQ(FailedIn(run.log, "it's"), c.its) << run.log;
        EXPECT_EQ(run.log.find("成功转换"), std::string::npos) << run.log;
        EXPECT_EQ(run.summary.tables_done, 0);
        EXPECT_EQ(run.summary.failed_statements, c.all_types + c.order_details + c.its);
        EXPECT_NE(run.log.find("denied"), std::string::npos) << run.log;
        EXPECT_EQ(GenTypesCounts(root, "tw_faults_rights"), c.counts_after);
        root.Execute("DROP USER '" + c.user + "'@'%'");
        root.FreshDatabase("tw_faults_rights");
    }

    // Rows but no DROP, over tables that exist: the old tables cannot be replaced, and their
    // new rows are not mixed into the old ones (which would double them) but counted.
    ConvertSpec job;
    job.target = target;
    job.file = GenTypes();
    job.database = "tw_faults_rights";
    ASSERT_TRUE(Convert(job).summary.Clean());
    root.Execute("DROP USER IF EXISTS 'tw_faults_appender'@'%'");
    root.Execute("CREATE USER 'tw_faults_appender'@'%' IDENTIFIED BY 'pw'");
    root.Execute("GRANT SELECT, INSERT, CREATE ON tw_faults_rights.* TO "
                 "'tw_faults_appender'@'%'");
    job.target.user = "tw_faults_appender";
    job.target.password = "pw";
    const Converted run = Convert(job);
    EXPECT_EQ(FailedIn(run.log, "AllTypes"), kAllTypesStatements) << run.log;
    EXPECT_EQ(FailedIn(run.log, "Order Details"), kOrderDetailsStatements) << run.log;
    EXPECT_NE(run.log.find("（DROP command denied"), std::string::npos) << run.log;
    EXPECT_EQ(run.log.find("成功转换"), std::string::npos) << run.log;
    EXPECT_EQ(GenTypesCounts(root, "tw_faults_rights"), "13,5,3");
    root.Execute("DROP USER 'tw_faults_appender'@'%'");
    root.Execute("DROP DATABASE tw_faults_rights");
}

// A script file that cannot be opened, or whose writes fail at once or part-way, is reported
// for the very tables whose statements it lost; the file keeps whole lines only, and the
// server side of a run to both goes on to the end.
TEST(ScriptFile, WriteFailuresAreCountedForTheirTablesAndTheServerSideGoesOn) {
    TW_REQUIRE_SERVER(target);
    ServerSession root(target);
    const std::string directory = TempPath("script_dir");
    std::filesystem::create_directories(directory);
    const std::vector<std::string> paths = {
        TempPath("no_such_dir") + "/out.sql", // the folder does not exist
        directory,                            // a folder, not a file
        "/sys/kernel/tw_faults.sql",          // a place where no file can be made
        "/dev/full",                          // opens, but every write fails (disk full)
    };
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        root.FreshDatabase("tw_faults_script");
        ConvertSpec job;
        job.target = target;
        job.file = GenTypes();
        job.database = "tw_faults_script";
        job.scenario = 2;
        job.script = path;
        const Converted run = Convert(job);
        EXPECT_TRUE(run.summary.script_failed);
        EXPECT_NE(run.log.find("无法写入脚本文件 '" + path + "'："), std::string::npos) << run.log;
        EXPECT_EQ(FailedIn(run.log, "AllTypes"), kAllTypesStatements) << run.log;
        EXPECT_EQ(FailedIn(run.log, "Order Details"), kOrderDetailsStatements) << run.log;
        EXPECT_EQ(FailedIn(run.log, "it's"), kItsStatements) << run.log;
        EXPECT_EQ(GenTypesCounts(root, "tw_faults_script"), "13,5,3");
    }

    // A disk that fills up part-way (a file-size limit): the lines written before stay whole,
    // the one that did not fit and everything after it are counted, the server gets it all.
    root.FreshDatabase("tw_faults_script");
    const std::string script = TempPath("limited.sql");
    CliOptions limited;
    limited.file_size_limit = 64 * 1024;
    std::vector<std::string> args = ServerArgs(target);
    args.insert(args.end(), {"--database", "tw_faults_script", "--scenario", "both", "--script",
                             script, "--no-keys", GenTypes()});
    CliResult cli = RunCli(args, limited);
    EXPECT_EQ(cli.status, 1) << cli.output;
    const auto lines = ScriptLines(ReadFile(script));
    EXPECT_EQ(lines.size(), 14u); // DROP, CREATE and rows 1 to 12; row 13 alone is 270 KB
    EXPECT_EQ(lines.back().rfind("INSERT INTO `alltypes` values('12',", 0), 0u);
    EXPECT_NE(cli.output.find("表 'AllTypes' 转换出错：1 条语句失败（无法写入脚本文件：File "
                              "too large）"),
              std::string::npos)
        << cli.output;
    EXPECT_EQ(FailedIn(cli.output, "Order Details"), kOrderDetailsStatements);
    EXPECT_EQ(FailedIn(cli.output, "it's"), kItsStatements);
    EXPECT_NE(cli.output.find("tablewright-cli: 无法写入脚本文件 '" + script + "'"),
              std::string::npos);
    EXPECT_EQ(GenTypesCounts(root, "tw_faults_script"), "13,5,3");

    // With the script file as the only output, a full disk ends the run after that table.
    cli = RunCli({"--scenario", "script", "--script", "/dev/full", "--no-keys", GenTypes()});
    EXPECT_EQ(cli.status, 1) << cli.output;
    EXPECT_NE(cli.output.find("表 'AllTypes' 转换出错：15 条语句失败（无法写入脚本文件：No "
                              "space left on device）"),
              std::string::npos)
        << cli.output;
    EXPECT_EQ(cli.output.find("开始处理表 'Order Details'"), std::string::npos) << cli.output;

    std::filesystem::remove_all(directory);
    std::remove(script.c_str());
    root.Execute("DROP DATABASE tw_faults_script");
}

// Cancel during the database step, between tables and in the middle of a table: the log ends
// with the cancel, the script file is closed with whole lines only, and every row produced
// before the cancel is on the server (the rows still held back are sent when the table ends).
TEST(Cancel, AtEveryPointKeepsWholeLinesAndTheRowsAlreadyProduced) {
    TW_REQUIRE_SERVER(target);
    ServerSession root(target);
    const std::string script = TempPath("cancel.sql");
    const std::regex cancelled_end(
        "\r\n\\[12:00:00\\] 用户取消 \\.\\.\\.\\.\\.\r\n\r\n\\([0-9]+\\.[0-9]{2} s taken\\)$");
    const std::string head = "[12:00:00] Start conversion ....\r\n\r\n"
                             "[12:00:00] 创建数据库不存在 'tw_faults_cancel'\r\n\r\n";
    ConvertSpec job;
    job.target = target;
    job.file = GenTypes();
    job.database = "tw_faults_cancel";
    job.scenario = 2;
    job.script = script;

    // While the database is made: no table starts.
    root.Execute("DROP DATABASE IF EXISTS tw_faults_cancel");
    job.cancel = [](const Progress&) { return true; };
    Converted run = Convert(job);
    EXPECT_TRUE(run.summary.cancelled);
    EXPECT_EQ(run.log.rfind(head + "\r\n[12:00:00] 用户取消 .....\r\n\r\n(", 0), 0u) << run.log;
    EXPECT_TRUE(std::regex_search(run.log, cancelled_end)) << run.log;
    EXPECT_EQ(test::ScriptStatements(ReadFile(script)), "");
    EXPECT_EQ(GenTypesCounts(root, "tw_faults_cancel"), "-,-,-");

    // Between tables: right after the last row of the first table.
    job.cancel = [](const Progress& progress) { return progress.rows == 13; };
    run = Convert(job);
    EXPECT_EQ(
        run.log.rfind(head + "[12:00:00] 开始处理表 'AllTypes' \r\n\r\n[12:00:00] 用户取消", 0), 0u)
        << run.log;
    EXPECT_TRUE(std::regex_search(run.log, cancelled_end)) << run.log;
    EXPECT_EQ(ScriptLines(ReadFile(script)).size(), std::size_t(kAllTypesStatements));
    EXPECT_EQ(GenTypesCounts(root, "tw_faults_cancel"), "13,-,-");

    // In the middle of a big table: 1234 rows were produced, 234 of them still held back.
    job.file = GenBig();
    job.tables = {"Orders", "Lines"};
    job.cancel = [](const Progress& progress) { return progress.rows == 1234; };
    run = Convert(job);
    EXPECT_TRUE(std::regex_search(run.log, cancelled_end)) << run.log;
    EXPECT_EQ(run.log.find("'Lines'"), std::string::npos) << run.log;
    const auto lines = ScriptLines(ReadFile(script));
    ASSERT_EQ(lines.size(), 2u + 1234u);
    EXPECT_EQ(lines.back().rfind("INSERT INTO `orders` values('1234',", 0), 0u);
    EXPECT_EQ(root.Query("SELECT COUNT(*), MIN(id), MAX(id) FROM tw_faults_cancel.orders"),
              (std::vector<test::Row>{{"1234", "1", "1234"}}));
    std::remove(script.c_str());
    root.Execute("DROP DATABASE tw_faults_cancel");
}

// Passwords never appear in the log, the script file, messages or the terminal. The tool takes
// the server password from a prompt with echo off, from standard input, or from MYSQL_PWD, so
// it need not stand on the command line.
TEST(Secrets, PasswordsNeverShowAndNeedNotStandOnTheCommandLine) {
    TW_REQUIRE_SERVER(target);
    ServerSession root(target);
    const std::string password = "Sec'r\"et;pw{1}=`x`";
    std::string quoted;
    data::AppendEscapedText(quoted, password);
    root.Execute("DROP USER IF EXISTS 'tw_faults_secret'@'%'");
    root.Execute("CREATE USER 'tw_faults_secret'@'%' IDENTIFIED BY '" + quoted + "'");
    root.Execute("GRANT ALL ON tw_faults_secret.* TO 'tw_faults_secret'@'%'");
    const std::string script = TempPath("secret.sql");
    const std::vector<std::string> base = {"--host",     target.host,
                                           "--port",     std::to_string(target.port),
                                           "--user",     "tw_faults_secret",
                                           "--database", "tw_faults_secret",
                                           "--table",    "it's"};
    auto with = [&](std::vector<std::string> extra) {
        std::vector<std::string> args = base;
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    };
    auto converted = [&](const CliResult& cli) {
        EXPECT_EQ(cli.status, 0) << cli.output;
        EXPECT_NE(cli.output.find("表 'it's' 成功转换"), std::string::npos) << cli.output;
        EXPECT_EQ(cli.output.find(password), std::string::npos) << cli.output;
        EXPECT_EQ(root.Scalar("SELECT COUNT(*) FROM tw_faults_secret.`it's`"), "3");
        root.Execute("DROP DATABASE IF EXISTS tw_faults_secret");
    };

    // On the command line (still allowed), into the server and a script file.
    converted(RunCli(
        with({"--password=" + password, "--scenario", "both", "--script", script, GenTypes()})));
    EXPECT_EQ(ReadFile(script).find(password), std::string::npos);
    // From the environment, as the mariadb client takes it.
    CliOptions environment;
    environment.environment["MYSQL_PWD"] = password;
    converted(RunCli(with({GenTypes()}), environment));
    // "--password" before another option, on a terminal: asked for, not echoed.
    CliOptions typed;
    typed.terminal = true;
    typed.input = password;
    CliResult cli = RunCli(with({"--password", "--quiet", GenTypes()}), typed);
    EXPECT_NE(cli.output.find("MySQL 密码："), std::string::npos) << cli.output;
    EXPECT_EQ(cli.status, 0) << cli.output;
    EXPECT_EQ(cli.output.find(password), std::string::npos) << cli.output;
    EXPECT_EQ(root.Scalar("SELECT COUNT(*) FROM tw_faults_secret.`it's`"), "3");
    root.Execute("DROP DATABASE IF EXISTS tw_faults_secret");
    // "--password" last, standard input not a terminal: its first line.
    CliOptions piped;
    piped.input = password + "\nnot part of it\n";
    converted(RunCli(with({GenTypes(), "--password"}), piped));
    // A wrong password typed at the prompt: refused, and shown nowhere.
    typed.input = "Wrong-" + password;
    cli = RunCli(with({"--password", "--quiet", GenTypes()}), typed);
    EXPECT_EQ(cli.status, 2) << cli.output;
    EXPECT_NE(cli.output.find("Access denied for user 'tw_faults_secret'"), std::string::npos);
    EXPECT_EQ(cli.output.find(typed.input), std::string::npos) << cli.output;

    // The Access password: a wrong one is refused without being shown; the right one opens.
    const std::string locked = test::TestDataPath("jet4-password.mdb");
    cli = RunCli({"--list", "--source-password", "Wrong-Access-Pw7", locked});
    EXPECT_EQ(cli.status, 2) << cli.output;
    EXPECT_NE(cli.output.find("不是有效的密码"), std::string::npos) << cli.output;
    EXPECT_EQ(cli.output.find("Wrong-Access-Pw7"), std::string::npos) << cli.output;
    cli = RunCli({"--source-password=password", "--scenario", "script", "--script", script,
                  "--no-keys", locked});
    EXPECT_EQ(cli.status, 0) << cli.output;
    EXPECT_EQ(ScriptLines(ReadFile(script)).size(), 2u + 3u);

    std::remove(script.c_str());
    root.Execute("DROP USER 'tw_faults_secret'@'%'");
}
