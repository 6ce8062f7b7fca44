// tablewright-cli: converts an Access file into MySQL/MariaDB and/or an SQL script file from
// the command line, through the same engine and run as the window.
#include "tablewright/engine/Cls_Convertion.h"
#include "tablewright/engine/ViewPlan.h"
#include "tablewright/run/ConversionRun.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailures = 1;
constexpr int kExitUsage = 2;

constexpr const char* kUsage = R"(Usage: tablewright-cli [options] FILE

Converts the Access database FILE (.mdb, .accdb) into a MySQL/MariaDB server and/or an SQL
script file: one DROP TABLE IF EXISTS, one CREATE TABLE and one INSERT per row for each table.

Options:
  --source-password P   database password of the Access file
  --list                print the user tables as "name:rows", one a line, and exit; the saved
                        queries are named on standard error
  --table NAME          convert this table (repeatable; default: every user table)
  --scenario S          server (default), script, or both
  --host H              MySQL server host (default localhost, always over TCP)
  --port N              MySQL server port (default 3306)
  --user U              MySQL user (default root)
  --password[=P]        MySQL password; without a value (last, or before another option) it
                        is asked for with echo off, or read as the first line of standard input
                        when that is not a terminal; default: $MYSQL_PWD, else empty
  --database D          target database, created when missing (default test)
  --script PATH         SQL script file (default test.sql in the current directory)
  --structure-only      create the tables without copying rows
  --no-drop             do not drop existing tables first
  --no-keys             bare tables: no primary keys, indexes, NOT NULL, AUTO_INCREMENT,
                        defaults, comments or foreign keys (by default all are carried over)
  --no-views            do not turn the saved select and union queries into views (by default
                        each one MySQL can express becomes a view after the tables)
  --table-type T        MyISAM (default), InnoDB, ISAM, BDB or HEAP
  --batch-rows N        rows joined into one INSERT sent to the server (default 1000;
                        1 sends one statement per row); reported statements are unchanged
  --extended-insert[=N] join the rows of a table into multi-row INSERTs in the script file, at
                        most N rows (default: as many as fit 1 MiB) each; the script then
                        loads many times faster (default: one INSERT per row)
  --timeout S           seconds the server may stay silent before the connection is given up
                        (default 120; connecting waits at most 10)
  --quiet               print neither progress nor the log
  --help                show this help

Exit status: 0 every statement was accepted; 1 the run finished with failures or was
interrupted; 2 usage error, unreadable source or unreachable server. A first Ctrl-C stops
after the current row; a second one ends the program at once.
)";

struct Options {
    std::string file;
    std::string source_password;
    bool list = false;
    std::vector<std::string> tables;
    std::int16_t scenario = 0;
    std::string host = "localhost";
    int port = 3306;
    std::string user = "root";
    /// The password as given; unset when none was given, so the environment or a prompt fills it.
    std::optional<std::string> password;
    bool prompt_password = false;
    unsigned timeout_seconds = 0;
    std::string database = "test";
    std::string script = "test.sql";
    bool structure_only = false;
    bool no_drop = false;
    bool no_keys = false;
    bool no_views = false;
    std::string table_type = "MyISAM";
    int batch_rows = tw::data::kDefaultBatchRows;
    /// Rows joined into one INSERT of the script file (1: one INSERT per row).
    int extended_insert_rows = 1;
    bool quiet = false;
};

struct UsageError {
    std::string message;
};

std::atomic<bool> interrupted{false};

// The first signal asks the run to stop after the current row; a second one ends the program.
void OnInterrupt(int) {
    if (interrupted.exchange(true))
        _exit(130);
}

// Overwrites a secret on the command line, so that process listings no longer show it.
void Scrub(char* text) {
    for (; *text; ++text)
        *text = 'x';
}

// The whole number `text` spells when it lies in [low, high]; nullopt otherwise.
std::optional<long> WholeNumber(const std::string& text, long low, long high) {
    std::size_t used = 0;
    long number = 0;
    try {
        number = std::stol(text, &used);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    if (used != text.size() || number < low || number > high)
        return std::nullopt;
    return number;
}

// Whether argument i is absent or another option, so that "--password" carries no value.
bool NoValueFollows(const std::vector<std::string>& args, std::size_t i) {
    return i + 1 >= args.size() || args[i + 1].rfind("--", 0) == 0 || args[i + 1] == "-h";
}

Options ParseArguments(int argc, char** argv, bool& show_help) {
    Options options;
    std::vector<std::string> args(argv + 1, argv + argc);
    // A secret value is taken and then overwritten on the command line.
    auto secret = [&](std::size_t& i, bool has_inline_value, const std::string& inline_value,
                      const std::string& arg) -> std::string {
        if (has_inline_value) {
            Scrub(argv[i + 1] + arg.size() + 1); // after "--option="
            return inline_value;
        }
        if (i + 1 >= args.size())
            throw UsageError{"选项 " + arg + " 需要一个值"};
        ++i;
        Scrub(argv[i + 1]);
        return args[i];
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        std::string inline_value;
        bool has_inline_value = false;
        if (arg.rfind("--", 0) == 0) {
            const auto eq = arg.find('=');
            if (eq != std::string::npos) {
                inline_value = arg.substr(eq + 1);
                arg = arg.substr(0, eq);
                has_inline_value = true;
            }
        }
        auto value = [&]() -> std::string {
            if (has_inline_value)
                return inline_value;
            if (i + 1 >= args.size())
                throw UsageError{"选项 " + arg + " 需要一个值"};
            return args[++i];
        };
        auto flag = [&] {
            if (has_inline_value)
                throw UsageError{"选项 " + arg + " 不带值"};
        };
        if (arg == "--help" || arg == "-h") {
            show_help = true;
        } else if (arg == "--source-password") {
            options.source_password = secret(i, has_inline_value, inline_value, arg);
        } else if (arg == "--list") {
            flag();
            options.list = true;
        } else if (arg == "--table") {
            options.tables.push_back(value());
        } else if (arg == "--scenario") {
            const std::string s = value();
            if (s == "server")
                options.scenario = 0;
            else if (s == "script")
                options.scenario = 1;
            else if (s == "both")
                options.scenario = 2;
            else
                throw UsageError{"--scenario 只能是 server、script 或 both：'" + s + "'"};
        } else if (arg == "--host") {
            options.host = value();
        } else if (arg == "--port") {
            const std::string p = value();
            std::size_t used = 0;
            int port = 0;
            try {
                port = std::stoi(p, &used);
            } catch (const std::exception&) {
                used = 0;
            }
            if (used != p.size() || port <= 0 || port > 65535)
                throw UsageError{"端口号无效：'" + p + "'"};
            options.port = port;
        } else if (arg == "--user") {
            options.user = value();
        } else if (arg == "--password") {
            if (!has_inline_value && NoValueFollows(args, i)) {
                options.prompt_password = true;
                options.password.reset();
            } else {
                options.password = secret(i, has_inline_value, inline_value, arg);
                options.prompt_password = false;
            }
        } else if (arg == "--database") {
            options.database = value();
            if (options.database.empty())
                throw UsageError{"--database 不能为空"};
        } else if (arg == "--script") {
            options.script = value();
        } else if (arg == "--structure-only") {
            flag();
            options.structure_only = true;
        } else if (arg == "--no-keys") {
            flag();
            options.no_keys = true;
        } else if (arg == "--no-views") {
            flag();
            options.no_views = true;
        } else if (arg == "--no-drop") {
            flag();
            options.no_drop = true;
        } else if (arg == "--table-type") {
            options.table_type = value();
        } else if (arg == "--batch-rows") {
            const std::string n = value();
            const auto rows = WholeNumber(n, 1, 1000000);
            if (!rows)
                throw UsageError{"--batch-rows 必须是 1 到 1000000 之间的整数：'" + n + "'"};
            options.batch_rows = static_cast<int>(*rows);
        } else if (arg == "--extended-insert") {
            // Without a value, as many rows as fit one line of the script's size limit.
            options.extended_insert_rows = tw::run::kExtendedInsertUnlimited;
            if (has_inline_value) {
                const auto rows = WholeNumber(inline_value, 1, 1000000);
                if (!rows)
                    throw UsageError{"--extended-insert 必须是 1 到 1000000 之间的整数：'" +
                                     inline_value + "'"};
                options.extended_insert_rows = static_cast<int>(*rows);
            }
        } else if (arg == "--timeout") {
            const std::string t = value();
            const auto seconds = WholeNumber(t, 1, 86400);
            if (!seconds)
                throw UsageError{"--timeout 必须是 1 到 86400 之间的秒数：'" + t + "'"};
            options.timeout_seconds = static_cast<unsigned>(*seconds);
        } else if (arg == "--quiet") {
            flag();
            options.quiet = true;
        } else if (arg == "--") {
            for (++i; i < args.size(); ++i) {
                if (!options.file.empty())
                    throw UsageError{"只能指定一个 Access 文件"};
                options.file = args[i];
            }
        } else if (arg.size() > 1 && arg[0] == '-') {
            throw UsageError{"未知选项：" + arg};
        } else {
            if (!options.file.empty())
                throw UsageError{"只能指定一个 Access 文件"};
            options.file = arg;
        }
    }
    if (!show_help && options.file.empty())
        throw UsageError{"缺少 Access 文件"};
    return options;
}

// Terminal settings to put back when a signal ends the program while the password is typed.
termios saved_terminal{};
volatile std::sig_atomic_t echo_is_off = 0;

void RestoreTerminalAndStop(int signal_number) {
    if (echo_is_off)
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_terminal);
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

// Reads the server password without showing it: from the terminal with echo off, or as the
// first line of standard input when that is not a terminal.
std::string ReadPassword() {
    std::string password;
    if (!isatty(STDIN_FILENO)) {
        std::getline(std::cin, password);
        if (!password.empty() && password.back() == '\r')
            password.pop_back();
        return password;
    }
    termios terminal{};
    const bool hidden = tcgetattr(STDIN_FILENO, &terminal) == 0;
    constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
    void (*previous[std::size(kStopSignals)])(int) = {};
    if (hidden) {
        saved_terminal = terminal;
        for (std::size_t k = 0; k < std::size(kStopSignals); ++k)
            previous[k] = std::signal(kStopSignals[k], RestoreTerminalAndStop);
        termios quiet = terminal;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        echo_is_off = 1;
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    // The prompt comes once echo is off, so nothing typed after it is ever shown.
    std::fputs("MySQL 密码：", stderr);
    std::fflush(stderr);
    std::getline(std::cin, password);
    if (hidden) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_terminal);
        echo_is_off = 0;
        for (std::size_t k = 0; k < std::size(kStopSignals); ++k)
            std::signal(kStopSignals[k], previous[k]);
    }
    std::fputc('\n', stderr); // the Enter the user typed was not shown
    return password;
}

// The server password: as given, asked for, or from MYSQL_PWD as the mariadb client does.
std::string ServerPassword(const Options& options) {
    if (options.password)
        return *options.password;
    if (options.prompt_password)
        return ReadPassword();
    const char* environment = std::getenv("MYSQL_PWD");
    return environment ? environment : "";
}

/// Draws one progress line per table on a terminal.
class ProgressBar {
public:
    explicit ProgressBar(bool enabled) : enabled_(enabled) {}
    ~ProgressBar() { Finish(); }
    void Table(const std::string& status) {
        if (!enabled_)
            return;
        Finish();
        status_ = status;
        Draw(0);
        open_ = true;
    }
    void Draw(double percent) {
        if (!enabled_)
            return;
        constexpr int kWidth = 30;
        const int filled = static_cast<int>(percent * kWidth / 100.0);
        std::string bar(static_cast<std::size_t>(filled), '#');
        bar.append(static_cast<std::size_t>(kWidth - filled), '.');
        std::fprintf(stderr, "\r%s [%s] %3d%%", status_.c_str(), bar.c_str(),
                     static_cast<int>(percent));
        std::fflush(stderr);
        open_ = true;
    }
    void Finish() {
        if (enabled_ && open_)
            std::fputc('\n', stderr);
        open_ = false;
    }

private:
    bool enabled_;
    bool open_ = false;
    std::string status_;
};

std::string WithUnixLineEnds(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            continue;
        out += text[i];
    }
    return out;
}

int Run(const Options& options) {
    tw::engine::Cls_Convertion engine;
    engine.ShowCriticalMessage = [](const std::string& text) {
        std::cerr << "tablewright-cli: " << text << '\n';
    };
    if (!engine.OpenSourceDB(options.file, options.source_password))
        return kExitUsage;

    const std::vector<tw::data::TableEntry> entries = engine.SourceTables();
    if (options.list) {
        for (const auto& entry : entries)
            std::cout << entry.name << ':' << entry.rows << '\n';
        // The saved queries are not tables; they are named apart, so that the list stays a list
        // of tables for scripts that read it.
        try {
            for (const auto& query : engine.SourceQueries())
                std::cerr << "tablewright-cli: 查询 '" << query.name << "'（"
                          << tw::engine::QueryKindName(query.kind) << "）\n";
        } catch (const tw::data::DataAccessError& e) {
            std::cerr << "tablewright-cli: 无法读取查询：" << e.what() << '\n';
        }
        return kExitOk;
    }

    tw::run::PlainRunWindow window;
    window.scenario = options.scenario;
    window.script_path = options.script;
    window.database_name = options.database;
    window.no_data = options.structure_only ? 1 : 0;
    window.drop_tables = options.no_drop ? 0 : 1;
    window.keep_keys = options.no_keys ? 0 : 1;
    window.convert_views = options.no_views ? 0 : 1;
    window.extended_insert_rows = options.extended_insert_rows;
    std::vector<std::string> names;
    for (const auto& entry : entries)
        names.push_back(entry.name);
    if (options.tables.empty()) {
        for (const auto& name : names)
            window.tables.push_back({name, true});
    } else {
        for (const auto& wanted : options.tables) {
            bool found = false;
            for (const auto& name : names)
                found = found || name == wanted;
            if (!found) {
                std::cerr << "tablewright-cli: 文件中没有用户表 '" << wanted
                          << "'（--list 列出所有表）\n";
                return kExitUsage;
            }
            window.tables.push_back({wanted, true});
        }
    }

    engine.SetServerTimeout(options.timeout_seconds);
    if (options.scenario != 1 && !engine.OpenDestinationDB(options.host, options.user,
                                                           ServerPassword(options), options.port))
        return kExitUsage;
    engine.SetTableType(options.table_type);
    engine.SetBatchRows(options.batch_rows);

    ProgressBar bar(!options.quiet && isatty(STDERR_FILENO));
    window.on_status = [&bar](const std::string& status) { bar.Table(status); };
    window.on_progress = [&bar](double value) { bar.Draw(value); };

    tw::run::ConversionRun run(engine, window);
    // Ctrl-C stops the run like the window's Cancel: the current table stops before its next
    // row and no further table starts.
    engine.DoEvents = [&engine, &window] {
        if (interrupted) {
            engine.EndProgress = true;
            window.exit_confirmed = true;
        }
    };
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
    engine.EndProgress = false;
    run.RunConversion();
    bar.Finish();

    if (!options.quiet)
        std::cout << WithUnixLineEnds(window.message) << '\n';
    const auto& summary = run.Summary();
    if (!summary.schema_notes.empty()) {
        // What of the schema did not arrive as Access had it, even when every row did.
        std::cerr << "tablewright-cli: " << summary.schema_notes.size()
                  << " 处结构未能按 Access 的原样保留：\n";
        for (const auto& note : summary.schema_notes)
            std::cerr << "  " << note << '\n';
    }
    if (!summary.query_notes.empty()) {
        std::cerr << "tablewright-cli: " << summary.query_notes.size()
                  << " 个查询未转换为视图：\n";
        for (const auto& note : summary.query_notes)
            std::cerr << "  " << note << '\n';
    }
    if (summary.Clean())
        return kExitOk;
    if (summary.database_failed)
        std::cerr << "tablewright-cli: 创建数据库失败 '" << options.database << "'\n";
    if (summary.script_failed)
        std::cerr << "tablewright-cli: 无法写入脚本文件 '" << options.script << "'\n";
    if (summary.cancelled)
        std::cerr << "tablewright-cli: 已中断\n";
    else
        std::cerr << "tablewright-cli: " << summary.tables_failed << " 个表转换出错，共 "
                  << summary.failed_statements << " 条语句失败\n";
    return kExitFailures;
}

} // namespace

int main(int argc, char** argv) {
    // A closed pipe or a file-size limit makes a write fail with its reason (reported in the
    // log) instead of ending the program.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    bool show_help = false;
    Options options;
    try {
        options = ParseArguments(argc, argv, show_help);
    } catch (const UsageError& e) {
        std::cerr << "tablewright-cli: " << e.message << "\n\n" << kUsage;
        return kExitUsage;
    }
    if (show_help) {
        std::cout << kUsage;
        return kExitOk;
    }
    return Run(options);
}
